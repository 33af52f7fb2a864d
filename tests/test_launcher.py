"""The trailmere command: the viewer with GPX files drawn at start."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import DATA
from driving import DRIVER, drive, expected_view

SAMPLE = Path(__file__).resolve().parent.parent / "python" / "trailmere" / "samples" / "sample.gpx"


def test_files_on_the_command_line_are_drawn_and_the_last_fitted(tmp_path: Path) -> None:
    first = DATA / "gpxpy" / "Mojstrovka.gpx"
    run = drive(tmp_path, "launcher", str(first), str(SAMPLE))
    r = run.result
    assert r["script"] == "done", r["script"]
    assert r["exit"] == 0 and r["paths"] == 2
    (lat, lon), zoom = expected_view(SAMPLE)
    (got_lat, got_lon), got_zoom = r["view"]
    assert (got_lat, got_lon, got_zoom) == (pytest.approx(lat, abs=1e-7), pytest.approx(lon, abs=1e-7), zoom)
    assert sorted(line for line in run.printed if line.startswith("已匯入 --> ")) == sorted(
        ["已匯入 --> " + str(first), "已匯入 --> " + str(SAMPLE)])
    # GUI's own map class is back in place once the window has closed.
    assert r["Draw_Map_restored"]


def test_files_that_draw_nothing_are_named_with_the_reason(tmp_path: Path) -> None:
    routes, empty_first = DATA / "gpxpy" / "route.gpx", DATA / "gpxpy" / "korita-zbevnica.gpx"
    text = tmp_path / "notes.gpx"
    text.write_text("just some notes")
    missing = tmp_path / "nowhere.gpx"
    run = drive(tmp_path, "launcher", str(routes), str(missing), str(empty_first), str(text), str(SAMPLE))
    r = run.result
    assert r["script"] == "done", r["script"]
    # The window opened with the files that are there.
    assert r["exit"] == 0 and r["paths"] == 1
    assert r["view"][1] == expected_view(SAMPLE)[1]
    assert r["errors"] == [f"trailmere: {missing}: no such file or folder"]
    reports = r["reports"]
    assert len(reports) == 3, reports
    assert f"{routes}: no track to draw (the file holds only routes or waypoints)" in reports
    assert f"{empty_first}: the first track segment has no points" in reports
    assert any(line.startswith(f"{text}: not a GPX file: Error parsing XML: ") for line in reports)
    assert "Traceback" not in run.stderr


def test_a_folder_opens_the_gpx_files_under_it_in_name_order(tmp_path: Path) -> None:
    folder = tmp_path / "season"
    (folder / "b-june").mkdir(parents=True)
    (folder / "a-may").mkdir()
    shutil.copy(DATA / "gpxpy" / "Mojstrovka.gpx", folder / "b-june" / "RIDE.GPX")
    shutil.copy(SAMPLE, folder / "c-last.Gpx")  # last in name order: the view fits it
    shutil.copy(DATA / "gpxpy" / "around-visnjan-with-car.gpx", folder / "a-may" / "walk.gpx")
    (folder / "a-may" / "notes.txt").write_text("not a track")
    (tmp_path / "empty").mkdir()
    run = drive(tmp_path, "launcher", str(folder), str(tmp_path / "empty"))
    r = run.result
    assert r["script"] == "done", r["script"]
    assert r["exit"] == 0 and r["paths"] == 3 and r["reports"] == []
    assert r["errors"] == [f"trailmere: {tmp_path / 'empty'}: no GPX files in this folder"]
    (lat, lon), zoom = expected_view(SAMPLE)
    (got_lat, got_lon), got_zoom = r["view"]
    assert (got_lat, got_lon, got_zoom) == (pytest.approx(lat, abs=1e-7), pytest.approx(lon, abs=1e-7), zoom)
    from trailmere.__main__ import files_to_draw

    assert files_to_draw([str(folder)]) == [
        str(folder / "a-may" / "walk.gpx"), str(folder / "b-june" / "RIDE.GPX"), str(folder / "c-last.Gpx")]


def test_a_display_without_authority_file_is_explained(tmp_path: Path) -> None:
    missing = tmp_path / "no.Xauthority"
    done = subprocess.run([sys.executable, "-m", "trailmere", str(SAMPLE)], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, XAUTHORITY=str(missing)))
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "trailmere: cannot start the viewer: the screen-size library (pyautogui, through Xlib) could not open the "
        f"display's authority file {missing} (No such file or directory); set XAUTHORITY to the display's "
        f"authority file, or, if the display needs none, create an empty one: touch {missing}"]


def test_an_empty_authority_file_gives_no_xlib_warning(tmp_path: Path) -> None:
    """A display that needs no authority: Xlib warns for the empty file on every
    connection, and pyautogui makes two when it is imported."""
    if shutil.which("Xvfb") is None:
        pytest.skip("needs Xvfb")
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                              pass_fds=(write,), stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        with os.fdopen(read) as display_number:
            display = ":" + display_number.readline().strip()
        empty = tmp_path / "empty.Xauthority"
        empty.touch()
        done = subprocess.run([sys.executable, "-c", "from trailmere import GUI; import varnholt通用模組 as v; v.Loomkit"],
                              capture_output=True, text=True, timeout=120,
                              env=dict(os.environ, DISPLAY=display, XAUTHORITY=str(empty)))
    finally:
        server.terminate()
        server.wait()
    assert (done.returncode, done.stdout) == (0, ""), done.stderr


def test_tiles_from_an_mbtiles_file(tmp_path: Path) -> None:
    from tileserver import write_mbtiles

    offline = write_mbtiles(tmp_path / "taiwan.mbtiles", [(7, x, y) for x in range(100, 114) for y in range(50, 62)],
                            attribution="© Test Maps")
    run = drive(tmp_path, "launcher_tiles", "--tiles", str(offline))
    r = run.result
    assert r["script"] == "done", r["script"]
    assert r["exit"] == 0 and r["tiles"] >= 8 and r["attribution"] == ["© Test Maps"]


@pytest.mark.parametrize("source, problem", [
    ("nowhere.mbtiles", "no such MBTiles file: nowhere.mbtiles"),
    ("https://tiles.example/{z}/{x}.png", "not a tile source (an http(s) address with {z}, {x} and {y}, or an "
                                          "MBTiles file): https://tiles.example/{z}/{x}.png"),
])
def test_a_bad_tile_source_is_refused_in_one_line(tmp_path: Path, source: str, problem: str) -> None:
    done = subprocess.run([sys.executable, "-m", "trailmere", "--tiles", source, str(SAMPLE)], capture_output=True,
                          text=True, timeout=60, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.splitlines() == [f"trailmere: --tiles: {problem}"]


def test_closing_while_files_are_read_ends_the_process_cleanly(tmp_path: Path) -> None:
    env = dict(os.environ, HOME=str(tmp_path))
    for _ in range(3):  # the shutdown fault it guards against did not strike every time
        done = subprocess.run([sys.executable, str(DRIVER), "launcher_closed_early"], capture_output=True,
                              text=True, timeout=60, env=env)
        assert done.returncode == 0, done.stderr
        assert '"exit": 0' in done.stdout  # main returned, then the interpreter shut down normally
