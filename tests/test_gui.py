"""The Trailmere window, driven for real: each scenario runs GUI in its own
process under the test display (see gui_driver.py)."""

from __future__ import annotations

import functools
import sys
import tempfile
import types
from pathlib import Path
from typing import Any

import pytest

from driving import Run, drive, expected_view

SIGNALS = ["end.put(None)", "end.set()", "起始數據.put(None)"]
SAMPLE = Path(__file__).resolve().parent.parent / "python" / "trailmere" / "samples" / "sample.gpx"


@pytest.fixture(scope="module")
def gui(tk_root: Any) -> Any:
    from trailmere import GUI

    return GUI


@functools.lru_cache(maxsize=None)
def scenario(*args: str) -> Run:
    """Each scenario runs once per test session, in a home folder of its own."""
    return drive(Path(tempfile.mkdtemp(prefix="trailmere-home-")), *args)


def test_module_names_are_bound_in_order(gui: Any) -> None:
    import tkinter.filedialog

    import PIL.Image

    names = [n for n in vars(gui) if not n.startswith("__")]
    assert names == ["os", "tkinter", "customtkinter", "webbrowser", "Image", "pyautogui", "varnholt", "loomkit",
                     "Set_Button", "Draw_Map", "try_except", "try_except_log", "Parameters", "GUI"]
    assert gui.varnholt is sys.modules["varnholt通用模組"]
    assert gui.tkinter.filedialog is tkinter.filedialog and gui.Image is PIL.Image
    assert type(gui.loomkit) is gui.varnholt.Loomkit
    assert (gui.Set_Button, gui.Draw_Map) == (gui.loomkit.Set_Button, gui.loomkit.Draw_Map)
    assert type(gui.try_except) is gui.varnholt.Faultlog
    assert gui.try_except_log.__self__ is gui.try_except


def test_parameters(gui: Any) -> None:
    parameters = gui.Parameters().parameters
    assert list(parameters.items()) == [
        ("顯示免用統一發票章", False), ("顯示負責人章", False), ("顯示日期", True), ("文字大小比例", 1),
        ("中文文字字體", "標楷體"), ("英文文字字體", "Calibri"), ("分析最接近專利數量", 5),
    ]
    assert type(parameters["文字大小比例"]) is int and type(parameters["顯示日期"]) is bool
    assert gui.Parameters().parameters is not parameters


@pytest.mark.parametrize("args", [(), ({},), ({}, {}, {})])
def test_GUI_takes_exactly_two_arguments(gui: Any, monkeypatch: pytest.MonkeyPatch, args: tuple[Any, ...]) -> None:
    made: list[str] = []
    monkeypatch.setattr(gui, "customtkinter", types.SimpleNamespace(CTk=lambda: made.append("window")))
    with pytest.raises(TypeError):
        gui.GUI(*args)
    assert made == []


def test_the_window_and_its_run() -> None:
    run = scenario("window", "1920")
    r = run.result
    assert r["script"] == "done", r["script"]
    assert run.printed == []  # the icon and the header loaded without a complaint
    assert (r["title"], r["resizable"], r["columns"]) == ("Trailmere", [0, 0], [1, 1, 1])
    assert r["data_folders"] == [True, True]
    assert r["windows_names"] == []

    def grid(facts: dict[str, Any]) -> tuple[Any, ...]:
        return tuple(facts[k] for k in ("row", "column", "columnspan", "rowspan", "padx", "pady", "sticky"))

    assert grid(r["FF"]) == (0, 0, 2, 1, [10, 5], [10, 5], "nesw")
    assert grid(r["DD"]) == (1, 0, 2, 1, 10, [5, 10], "ew")
    assert grid(r["strip"])[:4] == (0, 0, 1, 2) and grid(r["spacer"])[:4] == (0, 0, 1, 2)
    assert r["map_in_DD"] and grid(r["map"]) == (0, 0, 1, 2, 0, 0, "nesw")

    logo, lettering, title = r["header"]
    for button, size, column, padx in ((logo, [50, 50], 0, [0, 5]), (lettering, [120, 30], 1, [0, 15])):
        assert (button["type"], button["image_size"], button["state"], button["text"], button["width"],
                button["fg_color"]) == ("CTkButton", size, "disabled", "", 50, "transparent")
        assert (button["column"], button["padx"], button["sticky"]) == (column, padx, "w")
    assert (title["type"], title["text"], title["font"], title["column"], title["sticky"]) == (
        "CTkLabel", "Trailmere", ["Microsoft JhengHei", 16, "bold"], 2, "nesw")

    assert [kw["image_path"] for kw in r["add_button"]] == ["格式範本/加號001.png", "格式範本/垃圾桶.png",
                                                            "格式範本/問號001.png"]
    for button, kw, right in zip(r["bar"], r["add_button"], (55, 105, 155)):
        assert kw == {"image_path": kw["image_path"], "size": [25, 25], "padx": [207.6, right], "row": 0,
                      "column": 1, "fg_color": "transparent"}
        assert (button["row"], button["column"], button["sticky"], button["padx"]) == (0, 1, "ne", [208, right])
        assert (button["image_size"], button["width"], button["text"]) == ([25, 25], 20, "")
    assert r["bar_parent_is_FF"] == [True, True, True]

    assert r["handlers_wrapped"] == ["button_event_008", "button_event_010", "button_event_011", "aa"]
    # Scheduled at start, then by each run of itself.
    assert r["heartbeats"][:3] == [500, 500, 500]
    assert (r["returned"], r["signals"]) == ("None", SIGNALS)


@pytest.mark.parametrize("width, left, on_screen", [("1309", 0, 0), ("1310", 0.2, 0), ("2560", 425.2, 425),
                                                    ("1920", 207.6, 208)])
def test_bar_left_padding_follows_screen_width(width: str, left: float, on_screen: int) -> None:
    r = scenario("window", width).result
    assert [kw["padx"][0] for kw in r["add_button"]] == [left] * 3
    assert all(type(kw["padx"][0]) is type(left) for kw in r["add_button"])  # int 0, never 0.0
    assert [b["padx"][0] for b in r["bar"]] == [on_screen] * 3


def test_missing_icon_and_logos_leave_an_empty_header() -> None:
    run = scenario("templates", "buttons")
    assert len(run.printed) == 2, run.printed
    assert all("logo.png" in line for line in run.printed)
    r = run.result
    assert (r["script"], r["header"], r["bar"]) == ("done", 0, 3)
    assert r["signals"] == SIGNALS


def test_missing_template_folder_fails_at_the_first_button_before_the_loop() -> None:
    run = scenario("templates", "none")
    assert len(run.printed) == 2, run.printed
    r = run.result
    assert r["raised"] == "FileNotFoundError" and "加號001.png" in r["error"]
    assert r["script"] == "not started" and r["signals"] == []
    assert r["default_root_left"] is False  # the half-built window is taken down


@pytest.fixture(scope="module")
def handlers() -> Run:
    run = scenario("handlers")
    assert run.result["script"] == "done", run.result["script"]
    return run


def test_add_draws_every_chosen_file_and_fits_the_last(handlers: Run) -> None:
    r = handlers.result
    assert r["dialogs"][0] == {"title": "選擇檔案", "filetypes": [["所有檔案", "*.*"]]}
    assert [(Path(path).name, kw) for path, kw in r["draws"]] == [
        ("Mojstrovka.gpx", {"adapt_sizes": False}),
        ("around-visnjan-with-car.gpx", {"adapt_sizes": False}),
        ("sample.gpx", {"adapt_sizes": True}),
    ]
    (lat, lon), zoom = expected_view(r["draws"][2][0])
    (got_lat, got_lon), got_zoom = r["view_after_three"]
    assert (got_lat, got_lon, got_zoom) == (pytest.approx(lat, abs=1e-7), pytest.approx(lon, abs=1e-7), zoom)
    assert r["start_view"][1] == 7


def test_cancel_and_clear(handlers: Run) -> None:
    r = handlers.result
    assert r["after_cancel"] == [3, 3, r["view_after_three"]]
    assert r["after_clear"] == [0, r["view_after_three"]]


def test_product_page_falls_back_to_plain_http(handlers: Run) -> None:
    https, http = "https://trailmere.example.com:34008/Trailmere", "http://trailmere.example.com:34008/Trailmere"
    assert handlers.result["opened"] == [https, https, http, https, http]


def test_failing_handlers_and_bad_files_leave_the_window_working(handlers: Run) -> None:
    r = handlers.result
    assert "button_event_008 failed: OSError" in handlers.stderr
    assert "button_event_010 failed: RuntimeError: dialog broke" in handlers.stderr
    paths, chosen = r["after_bad_files"]
    names = [Path(p).name for p in chosen]
    assert paths == 1 and names == ["garbage.gpx", "latin1.gpx", "folder.gpx", "missing.gpx", "notes.txt", "TRACK.GPX"]
    # Each file that draws nothing is named once, with the reason; the upper-case one is drawn.
    said = {Path(line.split(": ", 1)[0]).name: line.split(": ", 1)[1]
            for line in handlers.printed if line.startswith(str(Path(chosen[0]).parent))}
    assert said["garbage.gpx"].startswith("not a GPX file: Error parsing XML: ")
    assert said["latin1.gpx"].startswith("not a GPX file: 'utf-8' codec can't decode")
    assert said["folder.gpx"] == "a folder, not a GPX file"
    assert said["missing.gpx"] == "cannot be read: No such file or directory"
    assert said["notes.txt"] == "not a .gpx file, it will not be drawn"
    assert set(said) == set(names) - {"TRACK.GPX"}
    assert sum(line.startswith(str(Path(chosen[0]).parent)) for line in handlers.printed) == 5
    assert "已匯入 --> " + chosen[-1] in handlers.printed
    # Later steps ran: the last choice drew its file on the cleared map.
    assert r["answers_left"] == 0 and len(r["dialogs"]) == 6
    assert r["signals"] == SIGNALS


def test_the_product_page_and_the_map_credit_leave_no_defunct_browser_process() -> None:
    r = scenario("product_page").result
    assert r["script"] == "done", r["script"]
    assert r["page"] == "https://trailmere.example.com:34008/Trailmere"
    assert r["credit_page"] == "https://www.openstreetmap.org/copyright"


def test_files_dropped_on_the_window_are_drawn_like_chosen_ones() -> None:
    run = scenario("drop", "tkdnd")
    r = run.result
    assert r["script"] == "done", r["script"]
    assert (r["source_on_map"], r["source_on_header"]) == ("finished", "finished")
    assert [(Path(path).name, kw) for path, kw in r["draws"]] == [
        ("Mojstrovka.gpx", {"adapt_sizes": False}),
        ("軌跡 100%.gpx", {"adapt_sizes": False}),
        ("sample.gpx", {"adapt_sizes": True}),
        ("around-visnjan-with-car.gpx", {"adapt_sizes": True}),  # dropped on the header
    ]
    assert r["paths"] == 4 and "failed" not in run.stderr
    (lat, lon), zoom = expected_view(SAMPLE)
    (got_lat, got_lon), got_zoom = r["view_after_map_drop"]
    assert (got_lat, got_lon, got_zoom) == (pytest.approx(lat, abs=1e-7), pytest.approx(lon, abs=1e-7), zoom)


def test_without_tkdnd_the_window_takes_no_drops_and_is_the_same() -> None:
    run = scenario("drop", "missing")
    r = run.result
    assert r["script"] == "done", r["script"]
    assert (r["source_on_map"], r["source_on_header"], r["draws"]) == ("no target", "no target", [])
    assert run.printed == [] and r["signals"] == SIGNALS


def test_closing_while_files_are_read_returns_without_waiting_for_them() -> None:
    r = scenario("close_while_drawing").result
    assert r["script"] == "done" and r["paths_when_closed"] == 0
    assert r["returned"] == "None" and r["signals"] == SIGNALS
    # GUI returned while every reader was still reading; they ended afterwards.
    assert (r["readers"], r["readers_reading_at_return"], r["readers_left"]) == (3, 3, 0)


def test_clearing_while_fifty_files_are_drawn_then_closing() -> None:
    r = scenario("clear_while_drawing", "50", "20000").result
    assert r["script"] == "done", r["script"]  # all twenty presses ran while the files were read
    assert r["lock_free"] and r["returned"] == "None"
    assert r["signals"] == SIGNALS  # once each, in order


def test_run_as_main_program_sends_no_signals() -> None:
    r = scenario("as_main").result
    assert (r["script"], r["returned"], r["signals"]) == ("done", "None", [])
