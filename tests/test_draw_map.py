"""The map: GPX files read on workers, paths drawn and the view fitted on the
Tk thread, and the path lock never left held."""

from __future__ import annotations

import math
import threading
import time
import types
from pathlib import Path
from typing import Any, Iterator

import pytest

from conftest import DATA, no_collection, pump
from gpxfiles import gpx_text, line_track, write_gpx
from tileserver import unreachable_url

LABEL = "gpx繪製進度"


@pytest.fixture
def draw_map(frame: Any, Loomkit: Any) -> Any:
    return Loomkit.Draw_Map(frame)


@pytest.fixture
def thread_errors(monkeypatch: pytest.MonkeyPatch) -> Iterator[list[BaseException]]:
    """Exceptions that ended worker threads (the interpreter's report is replaced)."""
    caught: list[BaseException] = []
    monkeypatch.setattr(threading, "excepthook", lambda args: caught.append(args.exc_value))
    yield caught


def paths(draw_map: Any) -> list[list[tuple[float, float]]]:
    return [list(p.position_list) for p in draw_map.map_widget.canvas_path_list]


def wait_paths(tk_root: Any, draw_map: Any, count: int) -> None:
    assert pump(tk_root, lambda: len(draw_map.map_widget.canvas_path_list) >= count), \
        f"expected {count} paths, have {len(draw_map.map_widget.canvas_path_list)}"


def test_construction(draw_map: Any, frame: Any, tk_root: Any) -> None:
    import gpxpy
    import math

    widget = draw_map.map_widget
    assert draw_map.frame is frame
    assert draw_map.gpxpy is gpxpy and draw_map.math is math and draw_map.threading is threading
    assert type(draw_map.lock_draw_line) is type(threading.Lock())
    import pyautogui

    w, h = pyautogui.size()
    assert (widget.width, widget.height) == (750 * w / 1920, 400 * h / 1080)
    assert widget.grid_info()["row"] == 0 and widget.grid_info()["rowspan"] == 2
    assert widget.grid_info()["sticky"] == "nesw"
    assert widget.zoom == 7
    lat, lon = widget.get_position()
    assert lat == pytest.approx(23.749959894724828, abs=1e-6)
    assert lon == pytest.approx(120.94158253422043, abs=1e-6)
    with pytest.raises(TypeError):
        type(draw_map)()
    with pytest.raises(TypeError):
        type(draw_map)(frame, frame)
    with pytest.raises(TypeError):
        draw_map.draw_gpx("a.gpx", True)


@pytest.mark.parametrize(
    "segment, position, zoom, printed",
    [
        ([(24.0, 121.0), (24.5, 122.0)], (24.25, 121.5), 8, "適應大小 座標(121.5, 24.25) 層級(8)"),
        ([(24.0, 121.0), (24.1, 121.01)], (24.05, 121.005), 10, None),
    ],
)
def test_fit_to_first_segment(draw_map: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                              segment: Any, position: tuple[float, float], zoom: int, printed: str | None) -> None:
    path = write_gpx(tmp_path / "fit.gpx", [[segment]])
    draw_map._draw_gpx(path, True)
    widget = draw_map.map_widget
    assert widget.zoom == zoom
    assert widget.get_position() == pytest.approx(position, abs=1e-4)
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "已匯入 --> " + path
    assert out[0].startswith("適應大小 座標(") and out[0].endswith(f") 層級({zoom})")
    if printed:
        assert out == [printed, "已匯入 --> " + path]
    assert paths(draw_map) == [segment]


def test_without_fit_the_view_stays(draw_map: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    path = write_gpx(tmp_path / "a.gpx", [[[(10.0, 10.0), (11.0, 12.0)]]])
    before = draw_map.map_widget.get_position(), draw_map.map_widget.zoom
    draw_map._draw_gpx(path, False)
    assert (draw_map.map_widget.get_position(), draw_map.map_widget.zoom) == before
    assert capsys.readouterr().out == "已匯入 --> " + path + "\n"


def test_only_first_segment_of_first_track(draw_map: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    first = [(24.0, 121.0), (24.5, 122.0)]
    path = write_gpx(tmp_path / "two.gpx", [[first, [(30.0, 130.0), (31.0, 131.0)]], [[(0.0, 0.0), (1.0, 1.0)]]])
    draw_map._draw_gpx(path, True)
    assert paths(draw_map) == [first]
    assert draw_map.map_widget.zoom == 8
    assert capsys.readouterr().out.splitlines()[-2:] == [
        "已匯入 --> " + path, path + ": drew the first of 3 segments in 2 tracks"]
    one_track = write_gpx(tmp_path / "one.gpx", [[first, first]])
    draw_map._draw_gpx(one_track, False)
    assert capsys.readouterr().out.splitlines()[-1] == one_track + ": drew the first of 2 segments in 1 track"


def test_suffix_without_regard_to_case(draw_map: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # As GPS devices and Windows write it.
    path = write_gpx(tmp_path / "TRACK.GPX", [[[(24.0, 121.0), (24.5, 122.0)]]])
    draw_map._draw_gpx(path, False)
    assert capsys.readouterr().out == "已匯入 --> " + path + "\n"
    assert paths(draw_map) == [[(24.0, 121.0), (24.5, 122.0)]]


@pytest.mark.parametrize("name", ["track.gpx.bak", "gpx", ".gp", "track.gpxx", "trackgpx"])
def test_other_names_are_skipped(draw_map: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str], name: str) -> None:
    # The file does not even exist: nothing may be read.
    draw_map._draw_gpx(str(tmp_path / name), True)
    assert capsys.readouterr().out == ""
    assert paths(draw_map) == []


def test_progress_line(draw_map: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    seg = [(24.0, 121.0), (24.5, 122.0)]
    path = write_gpx(tmp_path / "three.gpx", [[seg], [seg, seg], [seg]])
    draw_map._draw_gpx(path, False, progress_check=True)
    out = capsys.readouterr().out
    assert out == (f"\r{LABEL} 1/3\r{LABEL} 2/3\r{LABEL} 3/3\n已匯入 --> {path}\n"
                   f"{path}: drew the first of 4 segments in 3 tracks\n")
    draw_map._draw_gpx(path, False, progress_check=True, progress="讀取", unknown=1)
    assert capsys.readouterr().out.startswith("\r讀取 1/3\r讀取 2/3")


def test_delete_then_draw(draw_map: Any, tk_root: Any, tmp_path: Path) -> None:
    a = write_gpx(tmp_path / "a.gpx", [[line_track(5)]])
    b = write_gpx(tmp_path / "b.gpx", [[line_track(7, lat0=25.0)]])
    draw_map.draw_gpx(a)
    draw_map.draw_gpx(b, adapt_sizes=False, colour="ignored")
    wait_paths(tk_root, draw_map, 2)
    position = draw_map.map_widget.get_position()
    draw_map.delete_all_path()
    assert paths(draw_map) == []
    assert draw_map.map_widget.get_position() == position
    draw_map._draw_gpx(b, False)
    assert paths(draw_map) == [line_track(7, lat0=25.0)]


@pytest.mark.parametrize(
    "segment, expected_zoom",
    [
        ([(24.0, 121.0)], "max"),                                 # one point
        ([(24.0, 121.0), (24.0, 121.0), (24.0, 121.0)], "max"),   # no extent at all
        ([(24.0, 121.0), (24.5, 121.0)], 8),                      # due north-south: log2(180/0.5) = 8.49
        ([(24.0, 121.0), (24.0, 121.01)], 15),                    # due east-west: log2(360/0.01) = 15.1
    ],
)
def test_fit_without_extent(draw_map: Any, tmp_path: Path, segment: Any, expected_zoom: Any) -> None:
    path = write_gpx(tmp_path / "flat.gpx", [[segment]])
    draw_map._draw_gpx(path, True)
    widget = draw_map.map_widget
    assert widget.zoom == (widget.max_zoom if expected_zoom == "max" else expected_zoom)
    # A one-point track is drawn as a dot: the point twice.
    assert paths(draw_map) == [segment * 2 if len(segment) == 1 else segment]


def test_failing_map_call_releases_lock(draw_map: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = write_gpx(tmp_path / "a.gpx", [[line_track(3)]])

    def broken(*args: Any, **kwargs: Any) -> None:
        raise RuntimeError("canvas gone")

    monkeypatch.setattr(draw_map.map_widget, "set_path", broken)
    with pytest.raises(RuntimeError, match="canvas gone"):
        draw_map._draw_gpx(path, False)
    assert not draw_map.lock_draw_line.locked()
    monkeypatch.setattr(draw_map.map_widget, "delete_all_path", broken)
    with pytest.raises(RuntimeError):
        draw_map.delete_all_path()
    assert not draw_map.lock_draw_line.locked()


def test_replaced_parser_is_used(draw_map: Any, tmp_path: Path) -> None:
    import gpxpy

    seen: list[str] = []

    class Parser:
        @staticmethod
        def parse(f: Any) -> Any:
            seen.append(f.read())
            return gpxpy.parse(gpx_text([[[(1.0, 2.0), (3.0, 4.0)]]]))

    path = write_gpx(tmp_path / "a.gpx", [[line_track(3)]])
    draw_map.gpxpy = Parser
    draw_map._draw_gpx(path, False)
    assert len(seen) == 1 and paths(draw_map) == [[(1.0, 2.0), (3.0, 4.0)]]


BAD_FILES = {
    "latin1.gpx": "<gpx><trk><name>caf\xe9</name></trk></gpx>".encode("latin-1"),
    "notxml.gpx": b"this is not xml at all",
    "notgpx.gpx": b"<?xml version='1.0'?><kml><Document/></kml>",
    "notrack.gpx": gpx_text([]).encode(),
    "emptyseg.gpx": gpx_text([[[]]]).encode(),
    "empty.gpx": b"",
}


def test_bad_files_end_their_worker_only(draw_map: Any, tk_root: Any, tmp_path: Path,
                                         thread_errors: list[BaseException]) -> None:
    for name, data in BAD_FILES.items():
        (tmp_path / name).write_bytes(data)
        draw_map.draw_gpx(str(tmp_path / name), adapt_sizes=True)
    draw_map.draw_gpx(str(tmp_path / "missing.gpx"))
    good = write_gpx(tmp_path / "good.gpx", [[line_track(4)]])
    draw_map.draw_gpx(good)
    wait_paths(tk_root, draw_map, 1)
    assert pump(tk_root, lambda: len(thread_errors) == len(BAD_FILES) + 1)
    kinds = sorted(type(e).__name__ for e in thread_errors)
    assert "UnicodeDecodeError" in kinds and "FileNotFoundError" in kinds and "IndexError" in kinds
    assert paths(draw_map) == [line_track(4)]
    assert not draw_map.lock_draw_line.locked()


def test_real_recordings(draw_map: Any, tk_root: Any) -> None:
    import gpxpy

    for name in ["Mojstrovka.gpx", "track-with-empty-segment.gpx", "around-visnjan-with-car.gpx",
                 "track-with-extremes.gpx"]:
        draw_map.delete_all_path()
        path = str(DATA / "gpxpy" / name)
        draw_map._draw_gpx(path, True)
        with open(path, encoding="utf-8") as f:
            first = gpxpy.parse(f).tracks[0].segments[0].points
        assert paths(draw_map) == [[(p.latitude, p.longitude) for p in first]], name
    # Its first segment is empty: nothing to draw or fit, and the lock is free.
    with pytest.raises(ValueError):
        draw_map._draw_gpx(str(DATA / "gpxpy" / "korita-zbevnica.gpx"), True)
    # Routes are not read: no track at all.
    with pytest.raises(IndexError):
        draw_map._draw_gpx(str(DATA / "gpxpy" / "route.gpx"), False)
    assert not draw_map.lock_draw_line.locked()


def test_worker_while_main_thread_pumps_update(draw_map: Any, tk_root: Any, tmp_path: Path) -> None:
    # update() instead of mainloop: a Tk call from the worker would fail here.
    path = write_gpx(tmp_path / "a.gpx", [[line_track(50)]])
    errors: list[BaseException] = []

    def work() -> None:
        try:
            draw_map._draw_gpx(path, True)
            draw_map.delete_all_path()
            draw_map._draw_gpx(path, False)
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    worker = threading.Thread(target=work)
    with no_collection():
        worker.start()
    assert pump(tk_root, lambda: not worker.is_alive())
    assert errors == []
    # When _draw_gpx returns on the worker, its path is on the map.
    assert paths(draw_map) == [line_track(50)]


def test_closing_the_map_releases_waiting_workers(frame: Any, Loomkit: Any, tk_root: Any, tmp_path: Path,
                                                  thread_errors: list[BaseException]) -> None:
    """Workers of draw_gpx whose map closes end quietly (nothing went wrong
    with their files); a caller of _draw_gpx learns that its track was not
    drawn."""
    import customtkinter

    inner = customtkinter.CTkFrame(frame)
    draw_map = Loomkit.Draw_Map(inner)
    path = write_gpx(tmp_path / "a.gpx", [[line_track(5)]])
    before = set(threading.enumerate())
    for _ in range(3):
        draw_map.draw_gpx(path, adapt_sizes=True)
    workers = [t for t in threading.enumerate() if t not in before]
    assert len(workers) == 3 and all(t.daemon for t in workers)
    caller_errors: list[BaseException] = []

    def call() -> None:
        try:
            draw_map._draw_gpx(path, True)
        except BaseException as error:
            caller_errors.append(error)

    caller = threading.Thread(target=call)
    with no_collection():
        caller.start()
    inner.destroy()  # no event was processed: every worker is still waiting
    with no_collection():
        for t in workers + [caller]:
            t.join(120)
    assert not any(t.is_alive() for t in workers + [caller])
    assert [type(e) for e in caller_errors] == [RuntimeError] and "closed" in str(caller_errors[0])
    tk_root.update()
    assert thread_errors == []
    assert not draw_map.lock_draw_line.locked()


def test_stress_draw_and_clear_under_mainloop(draw_map: Any, tk_root: Any, tmp_path: Path,
                                              monkeypatch: pytest.MonkeyPatch) -> None:
    """20 files drawn at once while the paths are cleared again and again."""
    widget = draw_map.map_widget
    main = threading.current_thread()
    events: list[str] = []
    off_thread: list[str] = []
    real_set_path, real_delete = widget.set_path, widget.delete_all_path

    def set_path(points: Any, **kw: Any) -> Any:
        if threading.current_thread() is not main:
            off_thread.append("set_path")
        events.append("set")
        return real_set_path(points, **kw)

    def delete_all_path() -> None:
        if threading.current_thread() is not main:
            off_thread.append("delete")
        events.append("delete")
        real_delete()

    monkeypatch.setattr(widget, "set_path", set_path)
    monkeypatch.setattr(widget, "delete_all_path", delete_all_path)
    files = [write_gpx(tmp_path / f"f{i}.gpx", [[line_track(200 + i, lat0=20 + i * 0.1)]]) for i in range(20)]

    finished: list[int] = []
    real_draw = draw_map._draw_gpx

    def counted(*args: Any, **kwargs: Any) -> None:
        try:
            real_draw(*args, **kwargs)
        finally:
            finished.append(1)

    draw_map._draw_gpx = counted
    deadline = time.monotonic() + 120  # ends a hung run only
    outcome: dict[str, Any] = {}

    def clear_again() -> None:
        if len(finished) < 20 and time.monotonic() < deadline:
            draw_map.delete_all_path()
            tk_root.after(3, clear_again)
        else:
            outcome["done"] = len(finished) == 20
            tk_root.quit()

    for i, f in enumerate(files):
        draw_map.draw_gpx(f, adapt_sizes=(i == 19))
    tk_root.after(1, clear_again)
    tk_root.mainloop()

    assert outcome == {"done": True}, "the workers hung"
    assert off_thread == []
    last_delete = max(i for i, e in enumerate(events) if e == "delete")
    assert len(widget.canvas_path_list) == events[last_delete:].count("set")
    assert events.count("set") == 20
    assert not draw_map.lock_draw_line.locked()

    # Without clearing, all 20 are there afterwards.
    draw_map.delete_all_path()
    finished.clear()
    for f in files:
        draw_map.draw_gpx(f)
    assert pump(tk_root, lambda: len(finished) == 20)
    assert sorted(len(p) for p in paths(draw_map)) == [200 + i for i in range(20)]


def test_hundreds_of_files_drawn_while_the_event_loop_answers(draw_map: Any, tk_root: Any, tmp_path: Path,
                                                              thread_errors: list[BaseException]) -> None:
    """A folder's worth handed to draw_gpx at once, as the + button does: every
    path on the map once, the event loop turning all along, the view fitted
    to the last file named, and no worker left."""
    count = 400
    segments = [line_track(300, lat0=20 + i * 0.01, lon0=120 + (i % 17) * 0.01, step=1e-5) for i in range(count)]
    files = [write_gpx(tmp_path / f"ride{i:03d}.gpx", [[segment]]) for i, segment in enumerate(segments)]
    widget = draw_map.map_widget
    ticks_while_loading = 0

    def tick() -> None:
        nonlocal ticks_while_loading
        if len(widget.canvas_path_list) < count:
            ticks_while_loading += 1
            tk_root.after(10, tick)

    before = set(threading.enumerate())
    tk_root.after(10, tick)
    for i, path in enumerate(files):
        draw_map.draw_gpx(path, adapt_sizes=i == count - 1)
    workers = [t for t in threading.enumerate() if t not in before]
    assert len(workers) == count
    assert pump(tk_root, lambda: len(widget.canvas_path_list) >= count and not any(t.is_alive() for t in workers))
    assert sorted(paths(draw_map)) == sorted(segments)
    assert all("draw" in vars(p) for p in widget.canvas_path_list), "drawn by the widget, not natively"
    # A loop that waited for the workers, or drew them all in one go, would let no tick run meanwhile.
    assert ticks_while_loading >= 3, ticks_while_loading
    last = segments[-1]
    assert widget.get_position() == pytest.approx(((last[0][0] + last[-1][0]) / 2, (last[0][1] + last[-1][1]) / 2),
                                                  abs=1e-4)
    assert thread_errors == [] and not draw_map.lock_draw_line.locked()


CLOSE_WHILE_HUNDREDS_LOAD = """
import gc, sys, threading, customtkinter
from varnholt通用模組 import Loomkit
root = customtkinter.CTk()
frame = customtkinter.CTkFrame(root)
frame.pack()
draw_map = Loomkit.Draw_Map(frame)
files = sys.argv[2:]
before = set(threading.enumerate())
for i, path in enumerate(files):
    draw_map.draw_gpx(path, adapt_sizes=i + 1 == len(files))
workers = [t for t in threading.enumerate() if t not in before]


def close_when_drawn(count):
    if len(draw_map.map_widget.canvas_path_list) >= count:
        root.destroy()
    else:
        root.after(1, close_when_drawn, count)


close_when_drawn(int(sys.argv[1]))
root.mainloop()
gc.disable()
for t in workers:
    t.join(60)
print("closed", sum(t.is_alive() for t in workers), flush=True)
"""


def test_closing_the_window_while_hundreds_of_files_load(tmp_path: Path) -> None:
    """The window closed before any path is drawn, and after the first: every
    worker ends, quietly (those still waiting for their turn without reading)."""
    import subprocess
    import sys

    files = [write_gpx(tmp_path / f"ride{i:03d}.gpx", [[line_track(2000, lat0=20 + i * 0.01)]]) for i in range(300)]
    script = tmp_path / "close.py"
    script.write_text(CLOSE_WHILE_HUNDREDS_LOAD, encoding="utf-8")
    for drawn_first in (0, 1):
        out = subprocess.run([sys.executable, str(script), str(drawn_first), *files], capture_output=True, text=True,
                             timeout=300)
        assert out.returncode == 0 and out.stderr == "", out.stderr[-2000:]
        assert "closed 0" in out.stdout
        assert drawn_first <= out.stdout.count("已匯入 --> ") < len(files)


EXIT_WHILE_READING = """
import sys, customtkinter
from varnholt通用模組 import Loomkit
Loomkit.Draw_Map.default_tile_server = sys.argv[3]
root = customtkinter.CTk()
frame = customtkinter.CTkFrame(root)
frame.pack()
draw_map = Loomkit.Draw_Map(frame)
for i in range(3):
    draw_map.draw_gpx(sys.argv[1], adapt_sizes=i == 2)
root.after(int(sys.argv[2]), root.destroy)
root.mainloop()
print("closed", flush=True)
"""


def test_interpreter_exit_while_workers_read(tmp_path: Path) -> None:
    """Workers still reading when the program ends must not crash it on the way out."""
    import subprocess
    import sys

    big = write_gpx(tmp_path / "big.gpx", [[line_track(30000)]])
    script = tmp_path / "exit.py"
    script.write_text(EXIT_WHILE_READING, encoding="utf-8")
    for delay in (20, 60, 150, 300):
        out = subprocess.run([sys.executable, str(script), big, str(delay), unreachable_url()], capture_output=True,
                             text=True, timeout=60)
        assert out.returncode == 0, out.stderr[-2000:]
        assert "closed" in out.stdout


def test_no_collection_while_a_worker_starts(draw_map: Any, tk_root: Any, tmp_path: Path) -> None:
    """Thread.start() waits for the new thread. A collection run on that thread
    could meet a Tk image finalizer whose Tk call waits for the Tk thread,
    which is waiting in start(): so none may run meanwhile."""
    import gc

    seen: list[bool] = []

    class Thread(threading.Thread):
        def start(self) -> None:
            seen.append(gc.isenabled())
            super().start()

    class Threading:
        def __getattr__(self, name: str) -> Any:
            return Thread if name == "Thread" else getattr(threading, name)

    path = write_gpx(tmp_path / "a.gpx", [[line_track(5)]])
    draw_map.threading = Threading()
    draw_map.draw_gpx(path)
    assert seen == [False] and gc.isenabled()
    wait_paths(tk_root, draw_map, 1)
    with no_collection():
        draw_map.draw_gpx(path)
        assert not gc.isenabled()  # a caller's choice is kept
    wait_paths(tk_root, draw_map, 2)


BUILD_AMID_TK_GARBAGE = """
import gc, sys, tkinter
import customtkinter
from varnholt通用模組 import Loomkit
Loomkit.Draw_Map.default_tile_server = sys.argv[2]

root = customtkinter.CTk()
frame = customtkinter.CTkFrame(root)
frame.pack()


class Litter:
    # A Tk image in a reference cycle, as the map's tiles leave them: only the
    # collector frees it, and its finalizer makes a Tk call.
    def __init__(self):
        self.me = self
        self.image = tkinter.PhotoImage(master=root, width=1, height=1)


def build(i=0):
    if i == 20:
        root.quit()
        return
    for _ in range(30):
        Litter()
    draw_map = Loomkit.Draw_Map(frame)
    for _ in range(3):
        draw_map.draw_gpx(sys.argv[1])
    draw_map.map_widget.destroy()
    root.after(1, build, i + 1)


# Inside the event loop a Tk call from another thread waits for this thread
# instead of failing: a collection on a thread being started would hang.
root.after(1, build)
root.mainloop()
print("done", flush=True)
"""


def test_no_hang_building_maps_amid_tk_garbage(tmp_path: Path) -> None:
    """Maps built and workers started from the event loop while Tk objects in
    reference cycles wait for the collector (without the pause, this hung
    within a few maps)."""
    import subprocess
    import sys

    script = tmp_path / "garbage.py"
    script.write_text(BUILD_AMID_TK_GARBAGE, encoding="utf-8")
    path = write_gpx(tmp_path / "a.gpx", [[line_track(5)]])
    try:
        out = subprocess.run([sys.executable, str(script), path, unreachable_url()], capture_output=True, text=True,
                             timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("building maps amid Tk garbage hung")
    assert out.returncode == 0 and "done" in out.stdout, out.stderr[-2000:]


def wandering_track(n: int, seed: int = 7) -> list[tuple[float, float]]:
    """A recording-like track: a random walk with GPS jitter, most points a
    few metres apart, so that many share a pixel when zoomed out."""
    import random

    rng = random.Random(seed)
    lat, lon, heading = 24.0, 121.0, 0.0
    points = []
    for _ in range(n):
        heading += rng.gauss(0, 0.3)
        lat += 2e-5 * math.cos(heading) + rng.gauss(0, 3e-6)
        lon += 2e-5 * math.sin(heading) + rng.gauss(0, 3e-6)
        points.append((lat, lon))
    return points


def screenshot(widget: Any) -> Any:
    import numpy
    from PIL import ImageGrab

    widget.canvas.itemconfigure("tile", state="hidden")  # tiles come from the network, or not
    widget.canvas.itemconfigure("attribution", state="hidden")
    widget.update()
    x, y = widget.canvas.winfo_rootx(), widget.canvas.winfo_rooty()
    return numpy.asarray(ImageGrab.grab(bbox=(x, y, x + widget.canvas.winfo_width(),
                                              y + widget.canvas.winfo_height())).convert("RGB"))


def test_paths_look_as_the_widget_draws_them(tk_root: Any, Loomkit: Any, tmp_path: Path) -> None:
    """Our map and a plain widget given the same points, at the same views:
    the few pixels that differ lie next to the widget's own line."""
    import numpy
    import tkinter
    import tkintermapview

    top = tkinter.Toplevel(tk_root)
    top.geometry("+0+0")
    ours_frame, plain_frame = tkinter.Frame(top), tkinter.Frame(top)
    ours_frame.grid(row=0, column=0)
    plain_frame.grid(row=1, column=0)
    try:
        draw_map = Loomkit.Draw_Map(ours_frame)
        ours = draw_map.map_widget
        with no_collection():
            # Its tiles from an empty database only: it asks no server.
            plain = tkintermapview.TkinterMapView(plain_frame, width=ours.width, height=ours.height, corner_radius=0,
                                                  database_path=str(tmp_path / "no-tiles.db"), use_database_only=True)
        plain.grid(row=0, column=0)
        track = write_gpx(tmp_path / "walk.gpx", [[wandering_track(30000)]])
        draw_map._draw_gpx(track, True)
        (path,) = ours.canvas_path_list
        assert "draw" in vars(path), "drawn by the widget, not natively"
        plain.set_path(draw_map._read_lines(track)[0])
        assert "draw" not in vars(plain.canvas_path_list[0]), "another map's path was taken over"
        fit = ours.zoom
        centre = ours.get_position()

        def views() -> Iterator[str]:
            for zoom in (fit - 3, fit - 1, fit, fit + 1, fit + 3, fit + 6):  # 10 to 19 here
                for widget in (ours, plain):
                    widget.set_zoom(zoom)
                    widget.set_position(*centre)
                yield f"zoom {zoom}"
            for widget in (ours, plain):  # a drag: the paths move with the map
                widget.mouse_click(types.SimpleNamespace(x=300, y=200))
                for step in range(1, 6):
                    widget.mouse_move(types.SimpleNamespace(x=300 - 37 * step, y=200 + 23 * step))
            yield "dragged"

        for view in views():
            a, b = screenshot(ours), screenshot(plain)
            line = (b == (0x3E, 0x69, 0xCB)).all(axis=2)  # the widget's path colour
            near_line = line.copy()
            for dy in (-1, 0, 1):
                for dx in (-1, 0, 1):
                    near_line |= numpy.roll(numpy.roll(line, dy, axis=0), dx, axis=1)
            differ = (a != b).any(axis=2)
            assert line.sum() > 300, f"{view}: no line to compare"
            assert differ.mean() <= 0.005, f"{view}: {differ.mean():.2%} of the pixels differ"
            assert not (differ & ~near_line).any(), f"{view}: a pixel differs away from the line"
    finally:
        top.destroy()


def test_native_paths_keep_the_widgets_model(draw_map: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    import tkintermapview
    from tkintermapview.canvas_path import CanvasPath

    widget = draw_map.map_widget
    segment = wandering_track(2000)
    track = write_gpx(tmp_path / "walk.gpx", [[segment]])
    draw_map._draw_gpx(track, True)
    (path,) = widget.canvas_path_list
    assert type(path) is CanvasPath and path.position_list == segment and "draw" in vars(path)
    widget.set_zoom(widget.zoom - 3)
    assert len(widget.canvas.coords(path.canvas_line)) // 2 < len(segment) // 10  # what the screen needs
    # A caller's own path on the same widget is the widget's own.
    own = widget.set_path(segment[:50])
    assert "draw" not in vars(own)
    # The path's own API: new points are drawn, and delete_all_path clears the canvas.
    path.set_position_list(segment[:3])
    assert len(widget.canvas.coords(path.canvas_line)) in (4, 6)
    path.add_position(24.5, 121.5)
    widget.set_zoom(widget.zoom - 1)
    assert widget.canvas.coords(path.canvas_line)[-2:] == pytest.approx(
        CanvasPath.get_canvas_pos(path, (24.5, 121.5), widget.lower_right_tile_pos[0] - widget.upper_left_tile_pos[0],
                                  widget.lower_right_tile_pos[1] - widget.upper_left_tile_pos[1]))
    widget.delete_all_path()
    assert widget.canvas_path_list == [] and widget.canvas.find_withtag("path") == ()

    # A spy on the class sees set_path called with exactly the points.
    calls: list[Any] = []
    real = tkintermapview.TkinterMapView.set_path

    def spy(self: Any, points: Any, **kwargs: Any) -> Any:
        calls.append(points)
        return real(self, points, **kwargs)

    monkeypatch.setattr(tkintermapview.TkinterMapView, "set_path", spy)
    draw_map._draw_gpx(track, False)
    assert calls == [segment] and widget.canvas_path_list[0].position_list == segment
    monkeypatch.undo()

    # A path class other than the one the native drawing stands in for: the widget draws.
    drawn: list[Any] = []
    real_draw = CanvasPath.draw

    def draw(self: Any, move: bool = False) -> None:
        drawn.append(self)
        real_draw(self, move)

    monkeypatch.setattr(CanvasPath, "draw", draw)
    draw_map._draw_gpx(track, False)
    assert "draw" not in vars(widget.canvas_path_list[-1]) and drawn[-1] is widget.canvas_path_list[-1]


def test_deleted_paths_are_freed_without_a_collection(draw_map: Any, tk_root: Any, tmp_path: Path) -> None:
    """A cleared path and its points go at once: a path kept until the next
    full collection would hold a long track's memory."""
    import weakref

    track = write_gpx(tmp_path / "walk.gpx", [[wandering_track(500)]])
    with no_collection():
        draw_map._draw_gpx(track, True)
        (path,) = draw_map.map_widget.canvas_path_list
        assert "draw" in vars(path)  # drawn natively
        gone = weakref.ref(path)
        path.draw()
        del path
        draw_map.delete_all_path()
        assert gone() is None


def test_many_paths_follow_drags_and_zooms(draw_map: Any, tk_root: Any, tmp_path: Path) -> None:
    """The paths of one map are redrawn in one pass and moved together by a
    drag: every line stays exactly where the widget puts its points, also for
    paths added or given new points while the map was dragged."""
    from tkintermapview.canvas_path import CanvasPath

    widget = draw_map.map_widget
    # Points a few pixels apart, all within the view: each one is drawn.
    segments = [line_track(8, lat0=24 + (i % 5) * 0.004, lon0=121 + (i // 5) * 0.004, step=4e-4) for i in range(23)]
    files = [write_gpx(tmp_path / f"p{i}.gpx", [[segment]]) for i, segment in enumerate(segments)]

    def check(view: str) -> None:
        width = widget.lower_right_tile_pos[0] - widget.upper_left_tile_pos[0]
        height = widget.lower_right_tile_pos[1] - widget.upper_left_tile_pos[1]
        for path in widget.canvas_path_list:
            expected = [c for p in path.position_list for c in CanvasPath.get_canvas_pos(path, p, width, height)]
            assert widget.canvas.coords(path.canvas_line) == pytest.approx(expected, abs=1e-6), view
        assert len(widget.canvas.find_withtag("path")) == len(widget.canvas_path_list), view

    def drag(dx: int, dy: int) -> None:
        widget.mouse_click(types.SimpleNamespace(x=300, y=200))
        for step in range(1, 4):
            widget.mouse_move(types.SimpleNamespace(x=300 + dx * step // 3, y=200 + dy * step // 3))

    for path in files[:20]:
        draw_map.draw_gpx(path)
    wait_paths(tk_root, draw_map, 20)
    widget.set_zoom(14)
    widget.set_position(24.01, 121.012)
    check("drawn")
    drag(-40, 25)
    check("dragged")
    for path in files[20:]:
        draw_map.draw_gpx(path)
    wait_paths(tk_root, draw_map, 23)
    check("added while dragged")
    widget.canvas_path_list[3].set_position_list(segments[3][::-1] + [(24.03, 121.03)])
    drag(33, -17)
    check("new points, dragged again")
    widget.set_zoom(15)
    check("zoomed")
    drag(-500, 300)  # further than the lines were built for, and back
    drag(500, -300)
    check("dragged away and back")
    draw_map.delete_all_path()
    assert widget.canvas.find_withtag("path") == ()
