"""Runs the real Trailmere window in this process and reports what happened.

    python gui_driver.py SCENARIO [ARG...]

Used by the tests, one process per scenario: GUI runs its own event loop
until the window is closed, so every check runs from `after` callbacks (a
script of steps), and the results are printed as one line "RESULT <json>"
after GUI has returned. The file dialog, the browser and the screen size are
replaced; everything else is the real window, map and handlers.
"""

from __future__ import annotations

import contextlib
import gc
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path
from typing import Any, Callable, Iterator

from conftest import use_authority_file  # noqa: E402

use_authority_file()

import tkinter  # noqa: E402
import tkinter.filedialog  # noqa: E402
import webbrowser  # noqa: E402

import pyautogui  # noqa: E402

import trailmere  # noqa: E402
from trailmere import GUI as gui  # noqa: E402

from gpxfiles import gpx_text  # noqa: E402
from tileserver import unreachable_url  # noqa: E402

# The window's map asks 127.0.0.1 for its tiles, where nothing listens.
gui.Draw_Map.default_tile_server = unreachable_url()

GPXPY = Path(__file__).resolve().parent / "data" / "gpxpy"  # see its README for sources
SAMPLE = Path(trailmere.__file__).parent / "samples" / "sample.gpx"

Step = Callable[[], bool] | int | float
Script = Iterator[Step]

result: dict[str, Any] = {"script": "not started", "handlers_wrapped": [], "heartbeats": []}
signals: list[str] = []
# Filled as the window is built.
built: dict[str, Any] = {"buttons": [], "add_button": []}


class Queue:
    def __init__(self, name: str) -> None:
        self.name = name

    def put(self, item: Any) -> None:
        signals.append(f"{self.name}.put({item!r})")


class Event:
    def set(self) -> None:
        signals.append("end.set()")


def mappings() -> tuple[dict[str, Any], dict[str, Any]]:
    return {"end": Queue("end"), "起始數據": Queue("起始數據")}, {"end": Event()}


def record_draws(draw_map: Any, draws: list[list[Any]]) -> None:
    """Every draw_gpx call on the map is recorded as [path, kwargs], then made."""
    real_draw_gpx = draw_map.draw_gpx

    def draw_gpx(path: str, **kwargs: Any) -> None:
        draws.append([path, kwargs])
        real_draw_gpx(path, **kwargs)

    draw_map.draw_gpx = draw_gpx


def set_screen_width(width: int) -> None:
    pyautogui.size = lambda: (width, 1080)  # type: ignore[assignment]


def record_build(script: Callable[[], Script]) -> None:
    """Wraps the module names GUI looks up, to see what it builds and to start
    `script` once the event loop runs."""
    Set_Button, Draw_Map, try_except_log = gui.Set_Button, gui.Draw_Map, gui.try_except_log

    class RecordingSet_Button(Set_Button):  # type: ignore[misc, valid-type]
        def add_button(self, frame: Any, **kwargs: Any) -> None:
            built["add_button"].append({k: v for k, v in kwargs.items() if k != "button_event"})
            before = set(frame.winfo_children())
            try:
                super().add_button(frame, **kwargs)
            finally:
                built["buttons"] += [w for w in frame.winfo_children() if w not in before]

    def recording_Draw_Map(frame: Any) -> Any:
        draw_map = Draw_Map(frame)
        built["draw_map"] = draw_map
        app = built["app"] = frame.winfo_toplevel()
        built["initial_view"] = view()
        app_after = app.after

        def after(ms: Any, func: Any = None, *args: Any) -> Any:
            if func is not None and func is built.get("heartbeat"):
                result["heartbeats"].append(ms)
            return app_after(ms, func, *args)

        app.after = after  # this window only: the heartbeat schedules itself through it
        frame.after(300, lambda: run(frame, script()))
        return draw_map

    def recording_try_except_log(f: Any) -> Any:
        name = f.__name__
        result["handlers_wrapped"].append(name)
        wrapped = try_except_log(f)
        if name != "aa":
            return wrapped

        def beat() -> None:
            wrapped()

        built["heartbeat"] = beat
        return beat

    gui.Set_Button = RecordingSet_Button
    gui.Draw_Map = recording_Draw_Map  # type: ignore[assignment]
    gui.try_except_log = recording_try_except_log


def run(widget: Any, script: Script, timeout: float = 120.0) -> None:
    """Steps through the script from `after` callbacks: a number waits that
    many milliseconds, a predicate is polled until it holds."""
    result["script"] = "running"

    def advance() -> None:
        try:
            step = next(script)
        except StopIteration:
            result["script"] = "done"
            close()
            return
        except Exception:
            result["script"] = "failed: " + traceback.format_exc()
            close()
            return
        if callable(step):
            poll(step, time.monotonic() + timeout)
        else:
            widget.after(int(step), advance)

    def poll(until: Callable[[], bool], deadline: float) -> None:
        if until():
            advance()
        elif time.monotonic() > deadline:
            result["script"] = f"timed out waiting for {until.__name__}"
            close()
        else:
            widget.after(25, lambda: poll(until, deadline))

    advance()


def close() -> None:
    result["closed_at"] = time.monotonic()
    built["app"].destroy()


def call_gui(*args: Any) -> None:
    try:
        result["returned"] = repr(gui.GUI(*args))  # type: ignore[func-returns-value]
    except BaseException as error:
        result["raised"] = type(error).__name__
        result["error"] = str(error)
    result["returned_at"] = time.monotonic()
    result["signals"] = signals
    result["default_root_left"] = tkinter._default_root is not None  # type: ignore[attr-defined]


def widget_facts(w: Any) -> dict[str, Any]:
    info = w.grid_info()
    facts = {k: info[k] for k in ("row", "column", "padx", "pady", "sticky") if k in info}
    facts.update(columnspan=info.get("columnspan"), rowspan=info.get("rowspan"), type=type(w).__name__)
    for option in ("text", "state", "width", "fg_color"):
        try:
            facts[option] = w.cget(option)
        except Exception:
            pass
    try:
        image = w.cget("image")
        facts["image_size"] = image.cget("size") if image is not None else None
    except Exception:
        pass
    try:
        font = w.cget("font")
        facts["font"] = [font.cget("family"), font.cget("size"), font.cget("weight")]
    except Exception:
        pass
    return facts


def paths_on_map() -> int:
    return len(built["draw_map"].map_widget.canvas_path_list)


def view() -> list[Any]:
    widget = built["draw_map"].map_widget
    return [list(widget.get_position()), widget.zoom]


# Scenarios


def scenario_window(width: str) -> None:
    """Builds the window on a screen of the given width, looks at it, closes it."""
    set_screen_width(int(width))

    def three_heartbeats() -> bool:
        return len(result["heartbeats"]) >= 3

    def script() -> Script:
        yield three_heartbeats
        app = built["app"]
        FF, DD = (app.grid_slaves(row=r, column=0)[0] for r in (0, 1))
        strip = FF.grid_slaves(row=0, column=0)[0]
        result.update(
            title=app.title(),
            resizable=list(app.resizable()),
            columns=[app.grid_columnconfigure(c)["weight"] for c in range(3)],
            FF=widget_facts(FF),
            DD=widget_facts(DD),
            strip=widget_facts(strip),
            header=[widget_facts(w) for w in strip.winfo_children()],
            spacer=widget_facts(DD.winfo_children()[0]),
            map_in_DD=built["draw_map"].map_widget.master is DD,
            map=widget_facts(built["draw_map"].map_widget),
            bar=[widget_facts(w) for w in built["buttons"]],
            bar_parent_is_FF=[w.master is FF for w in built["buttons"]],
            add_button=[
                {**kw, "image_path": os.path.relpath(kw["image_path"], os.path.dirname(gui.__file__))}
                for kw in built["add_button"]
            ],
        )

    record_build(script)
    call_gui(*mappings())
    home = Path(os.environ["HOME"])
    result["data_folders"] = [(home / "varnholt").is_dir(), (home / "varnholt" / "Trailmere").is_dir()]
    # The Windows folder names must never appear as relative folders here.
    result["windows_names"] = [str(p) for folder in (home, Path.cwd()) for p in folder.iterdir()
                               if p.name.startswith("C:")]


def scenario_templates(keep: str) -> None:
    """Runs GUI from a module folder whose template folder holds only the
    button images ("buttons") or does not exist ("none")."""
    set_screen_width(1920)
    folder = Path(tempfile.mkdtemp(prefix="trailmere-templates-"))
    real = Path(gui.__file__).parent / "格式範本"
    if keep == "buttons":
        (folder / "格式範本").mkdir()
        for name in ("加號001.png", "垃圾桶.png", "問號001.png"):
            shutil.copy(real / name, folder / "格式範本" / name)
    gui.__file__ = str(folder / Path(gui.__file__).name)

    def script() -> Script:
        yield 200
        strip = built["app"].grid_slaves(row=0, column=0)[0].grid_slaves(row=0, column=0)[0]
        result.update(header=len(strip.winfo_children()), bar=len(built["buttons"]))

    record_build(script)
    sys.stdout.flush()
    call_gui(*mappings())


def scenario_handlers() -> None:
    """Presses the three buttons with the dialog and the browser replaced."""
    set_screen_width(1920)
    A, B = str(GPXPY / "Mojstrovka.gpx"), str(GPXPY / "around-visnjan-with-car.gpx")
    C = str(SAMPLE)
    scratch = Path(tempfile.mkdtemp(prefix="trailmere-files-"))
    garbage = scratch / "garbage.gpx"
    garbage.write_text("this is not xml")
    latin1 = scratch / "latin1.gpx"
    latin1.write_bytes(b"<gpx>\xe9\xff</gpx>")
    folder_named_gpx = scratch / "folder.gpx"
    folder_named_gpx.mkdir()
    notes = scratch / "notes.txt"
    notes.write_text("hello")
    upper = scratch / "TRACK.GPX"  # as a GPS device names it
    shutil.copy(SAMPLE, upper)

    answers: list[Any] = []
    dialogs: list[dict[str, Any]] = []

    def askopenfilenames(**kwargs: Any) -> Any:
        dialogs.append(kwargs)
        answer = answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    opened: list[str] = []
    refuse: set[str] = set()

    def open_page(url: str) -> bool:
        opened.append(url)
        if url.split(":")[0] in refuse:
            raise OSError(f"no browser for {url}")
        return True

    tkinter.filedialog.askopenfilenames = askopenfilenames  # type: ignore[assignment]
    webbrowser.open = open_page  # type: ignore[assignment]
    draws: list[list[Any]] = []

    def script() -> Script:
        plus, waste_bin, question = built["buttons"]
        draw_map = built["draw_map"]
        record_draws(draw_map, draws)
        start_view = view()

        answers.append((A, "", B, C))
        plus.invoke()
        result["draws"] = list(draws)

        def three_paths() -> bool:
            return paths_on_map() == 3

        yield three_paths
        yield 300  # any late fit would show now
        result["view_after_three"] = view()
        result["start_view"] = start_view

        answers.append("")  # cancelled
        plus.invoke()
        answers.append(())
        plus.invoke()
        yield 300
        result["after_cancel"] = [paths_on_map(), len(draws), view()]

        waste_bin.invoke()
        result["after_clear"] = [paths_on_map(), view()]

        question.invoke()
        refuse.add("https")
        question.invoke()
        refuse.add("http")
        question.invoke()  # both fail: reported by the wrapper, the loop goes on
        result["opened"] = list(opened)

        answers.append(RuntimeError("dialog broke"))
        plus.invoke()

        before = len(draws)
        answers.append((str(garbage), str(latin1), str(folder_named_gpx), str(scratch / "missing.gpx"), str(notes),
                        str(upper)))
        plus.invoke()

        def upper_drawn() -> bool:
            return paths_on_map() == 1

        yield upper_drawn
        yield 1000
        result["after_bad_files"] = [paths_on_map(), [d[0] for d in draws[before:]]]
        waste_bin.invoke()

        answers.append((C,))
        plus.invoke()

        def one_path() -> bool:
            return paths_on_map() == 1

        yield one_path
        result["dialogs"] = dialogs
        result["answers_left"] = len(answers)

    record_build(script)
    call_gui(*mappings())


def drop_at(widget: Any, *files: str) -> subprocess.Popen[str]:
    """Starts dropping `files` on the middle of `widget` from another X client."""
    x, y = widget.winfo_rootx() + widget.winfo_width() // 2, widget.winfo_rooty() + widget.winfo_height() // 2
    source = Path(__file__).resolve().parent / "xdnd_source.py"
    return subprocess.Popen([sys.executable, str(source), str(x), str(y), *files], stdout=subprocess.PIPE,
                            text=True, encoding="utf-8")


def answer(source: subprocess.Popen[str]) -> str:
    """What the drop source saw, its last line (Xlib may warn before it)."""
    assert source.stdout is not None
    lines = source.stdout.read().splitlines()
    return lines[-1] if lines else f"exit {source.returncode}"


def scenario_drop(tkdnd: str) -> None:
    """Drops three GPX files on the map, then one on the header, the way a
    file manager does. With tkdnd "missing" the extension cannot be loaded."""
    set_screen_width(1920)
    if tkdnd == "missing":
        sys.modules["tkinterdnd2"] = None  # type: ignore[assignment]
    odd = Path(tempfile.mkdtemp(prefix="trailmere-drop-")) / "軌跡 100%.gpx"  # escaped in a URI
    shutil.copy(SAMPLE, odd)
    on_map = [str(GPXPY / "Mojstrovka.gpx"), str(odd), str(SAMPLE)]
    on_header = str(GPXPY / "around-visnjan-with-car.gpx")
    draws: list[list[Any]] = []

    def script() -> Script:
        draw_map = built["draw_map"]
        record_draws(draw_map, draws)
        source = drop_at(draw_map.map_widget, *on_map)

        def source_done() -> bool:
            return source.poll() is not None

        def paths_drawn() -> bool:
            return paths_on_map() == len(draws)

        yield source_done
        result["source_on_map"] = answer(source)
        yield paths_drawn
        yield 300  # any late fit would show now
        result["draws_on_map"] = list(draws)
        result["view_after_map_drop"] = view()

        title = built["app"].grid_slaves(row=0, column=0)[0].grid_slaves(row=0, column=0)[0].winfo_children()[2]
        source = drop_at(title, on_header)
        yield source_done
        result["source_on_header"] = answer(source)
        yield paths_drawn
        result["draws"] = list(draws)
        result["paths"] = paths_on_map()

    record_build(script)
    call_gui(*mappings())


def big_files(count: int, size: int = 60000) -> list[str]:
    """GPX files large enough to take a few seconds to read."""
    scratch = Path(tempfile.mkdtemp(prefix="trailmere-big-"))
    points = "".join(
        f'<trkpt lat="{24 + i * 1e-5:.6f}" lon="{121 + (i % 977) * 1e-5:.6f}"><ele>{i % 300}</ele></trkpt>'
        for i in range(size)
    )
    big = []
    for n in range(count):
        path = scratch / f"big{n}.gpx"
        path.write_text(f'<?xml version="1.0"?><gpx version="1.1" creator="t"><trk><trkseg>{points}'
                        "</trkseg></trk></gpx>")
        big.append(str(path))
    return big


def scenario_close_while_drawing() -> None:
    """Closes the window while files are still being read: the files are pipes
    nobody writes to until GUI has returned, so their readers cannot finish first."""
    set_screen_width(1920)
    folder = Path(tempfile.mkdtemp(prefix="trailmere-pipes-"))
    pipes = [str(folder / f"pipe{n}.gpx") for n in range(3)]
    for pipe in pipes:
        os.mkfifo(pipe)
    tkinter.filedialog.askopenfilenames = lambda **kwargs: tuple(pipes)  # type: ignore[assignment]
    readers: list[threading.Thread] = []

    def script() -> Script:
        before = set(threading.enumerate())
        built["buttons"][0].invoke()
        readers.extend(t for t in threading.enumerate() if t not in before)
        yield 50
        result["paths_when_closed"] = paths_on_map()

    record_build(script)
    call_gui(*mappings())
    result["readers"] = len(readers)
    result["readers_reading_at_return"] = sum(t.is_alive() for t in readers)
    # Now the readers get their files and end (the map is gone: each reports
    # that). Readers take turns: one still waiting for its turn never opens
    # its pipe, so each pipe is written once a reader has it open.
    track = gpx_text([[[(24.0, 121.0)]]]).encode()
    unwritten = list(pipes)
    deadline = time.monotonic() + 120  # ends a hung run only
    while unwritten and any(t.is_alive() for t in readers) and time.monotonic() < deadline:
        for pipe in list(unwritten):
            try:
                fd = os.open(pipe, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:  # no reader has it open yet
                continue
            os.set_blocking(fd, True)
            with open(fd, "wb") as f:
                f.write(track)
            unwritten.remove(pipe)
        time.sleep(0.01)
    gc.disable()  # a collection on a reader could wait for this thread while it waits in join()
    for t in readers:
        t.join(120)
    gc.enable()
    result["readers_left"] = sum(t.is_alive() for t in readers)


def scenario_clear_while_drawing(count: str = "50", points: str = "60000") -> None:
    """Adds `count` files, presses the waste bin every 50 ms meanwhile, and
    closes the window while workers are still reading."""
    set_screen_width(1920)
    files = big_files(int(count), int(points))
    tkinter.filedialog.askopenfilenames = lambda **kwargs: tuple(files)  # type: ignore[assignment]
    ticks: list[float] = []

    def tick() -> None:
        ticks.append(time.monotonic())
        built["app"].after(10, tick)

    def script() -> Script:
        tick()
        plus, waste_bin = built["buttons"][0], built["buttons"][1]
        plus.invoke()
        for _ in range(20):
            yield 50
            waste_bin.invoke()
        result["paths_when_closed"] = paths_on_map()
        result["lock_free"] = not built["draw_map"].lock_draw_line.locked()
        result["max_gap_ms"] = max(b - a for a, b in zip(ticks, ticks[1:])) * 1000

    record_build(script)
    call_gui(*mappings())


def scenario_product_page() -> None:
    """Presses "?", then clicks the map's credit, with the real webbrowser
    module and a desktop opener that hands the page on and exits, as xdg-open
    does."""
    from conftest import _guard_network

    _guard_network()  # the map shows OpenStreetMap's credit, its tiles refused here
    set_screen_width(1920)
    bin_folder = Path(tempfile.mkdtemp(prefix="trailmere-bin-"))
    opened = bin_folder / "opened"
    opener = bin_folder / "xdg-open"
    opener.write_text(f'#!/bin/sh\nsleep 0.3\necho "$1" > {opened}\n')
    opener.chmod(0o755)
    os.environ["PATH"] = f"{bin_folder}{os.pathsep}{os.environ['PATH']}"
    os.environ.pop("BROWSER", None)

    def children() -> list[str]:
        found = []
        for task in os.listdir("/proc/self/task"):
            found += Path(f"/proc/self/task/{task}/children").read_text().split()
        return found

    def script() -> Script:
        built["buttons"][2].invoke()

        def page_handed_on() -> bool:
            return opened.exists() and opened.read_text().strip() != ""

        def no_child_left() -> bool:
            return children() == []

        yield page_handed_on
        result["page"] = opened.read_text().strip()
        yield no_child_left  # a defunct child would stay until this process made another

        opened.unlink()
        draw_map = built["draw_map"]
        draw_map.set_tile_source("https://tile.openstreetmap.org/{z}/{x}/{y}.png")
        canvas = draw_map.map_widget.canvas

        def credit_shown() -> bool:
            return canvas.find_withtag("attribution_text") != ()

        yield credit_shown
        x0, y0, x1, y1 = canvas.bbox("attribution_text")
        x, y = (x0 + x1) // 2, (y0 + y1) // 2
        canvas.event_generate("<Motion>", x=x, y=y)  # the canvas's current item: the credit
        canvas.event_generate("<Button-1>", x=x, y=y)
        canvas.event_generate("<ButtonRelease-1>", x=x, y=y)
        yield page_handed_on
        result["credit_page"] = opened.read_text().strip()
        yield no_child_left

    record_build(script)
    call_gui(*mappings())


def scenario_as_main() -> None:
    """With the module's __name__ "__main__", GUI("X", "X") closes cleanly."""
    set_screen_width(1920)
    gui.__name__ = "__main__"
    record_build(lambda: iter([200]))
    call_gui("X", "X")


def scenario_launcher_closed_early() -> None:
    """Closes the launcher's window while the files it was given are read;
    the process must end cleanly and at once."""
    from trailmere import __main__ as launcher

    set_screen_width(1920)
    record_build(lambda: iter([50]))
    result["exit"] = launcher.main(big_files(3))


class Tee:
    """Passes a stream's writes on and keeps a copy of them."""

    def __init__(self, stream: Any) -> None:
        self.stream, self.text = stream, ""

    def write(self, text: str) -> int:
        self.text += text
        return self.stream.write(text)

    def flush(self) -> None:
        self.stream.flush()


def scenario_launcher(*files: str) -> None:
    """Runs the launcher on `files` and closes the window once each file has
    been drawn (the last one fitted) or reported as drawing nothing."""
    from trailmere import __main__ as launcher

    set_screen_width(1920)
    out, err = sys.stdout, sys.stderr = Tee(sys.stdout), Tee(sys.stderr)

    with contextlib.redirect_stderr(io.StringIO()):
        paths = launcher.files_to_draw(files)

    def script() -> Script:
        result["start_view"] = built["initial_view"]

        def each_drawn_or_reported() -> bool:
            return all("已匯入 --> " + path in out.text or f"{path}: " in out.text for path in paths)

        yield each_drawn_or_reported
        yield 300
        result["view"] = view()
        result["paths"] = paths_on_map()

    record_build(script)
    try:
        result["exit"] = launcher.main(list(files))
    except SystemExit as stop:
        result["exit"] = stop.code
    result["Draw_Map_restored"] = gui.Draw_Map.__name__ == "recording_Draw_Map"
    result["reports"] = [line for line in out.text.splitlines() if line.startswith("/")]
    result["errors"] = err.text.splitlines()


def scenario_launcher_tiles(*argv: str) -> None:
    """Runs the launcher with `argv` (--tiles SOURCE) and closes the window
    once the map's tiles are drawn."""
    from trailmere import __main__ as launcher

    set_screen_width(1920)

    def script() -> Script:
        widget = built["draw_map"].map_widget
        zoom = round(widget.zoom)
        tiles = [t for column in widget.canvas_tile_array for t in column
                 if all(0 <= c < 2 ** zoom for c in t.tile_name_position)]

        def tiles_drawn() -> bool:
            return all(t.canvas_object is not None for t in tiles)

        yield tiles_drawn
        result["tiles"] = len(tiles)
        result["attribution"] = [widget.canvas.itemcget(i, "text") for i in widget.canvas.find_withtag("attribution_text")]

    record_build(script)
    result["exit"] = launcher.main(list(argv))


if __name__ == "__main__":
    name, *args = sys.argv[1:]
    globals()["scenario_" + name](*args)
    sys.stdout.flush()
    print("RESULT " + json.dumps(result, ensure_ascii=False, default=repr), flush=True)
