"""What the map benchmarks measure alike: zoom steps and drag events with
Tk's redraw, resident memory, and a fresh process per build."""

from __future__ import annotations

import gc
import json
import statistics
import subprocess
import time
import types
from typing import Any


def new_map() -> tuple[Any, Any]:
    """A window with a Draw_Map in it, settled (its tile threads started);
    returns the window and the map."""
    import customtkinter

    import varnholt通用模組

    root = customtkinter.CTk()
    root.geometry("+0+0")
    frame = customtkinter.CTkFrame(root)
    frame.pack()
    draw_map = varnholt通用模組.Loomkit.Draw_Map(frame)
    for _ in range(20):
        root.update()
        time.sleep(0.01)
    return root, draw_map


def rss_kib(field: str = "VmRSS") -> int:
    """A memory figure of this process from /proc (VmRSS, VmHWM ...), in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak() -> None:
    """VmHWM counts from here on."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def zoom_steps(widget: Any, zoom: int, count: int = 6) -> float:
    """Median ms of a zoom step (in, out, in ...) with the canvas redrawn."""
    times = []
    for step in range(count):
        gc.collect()  # a step pays for no one's garbage
        started = time.perf_counter()
        widget.set_zoom(zoom + 1 if step % 2 == 0 else zoom)
        widget.update_idletasks()
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1000


def drag_events(widget: Any, count: int = 12) -> tuple[float, float]:
    """Median and worst ms of a drag motion event with the canvas redrawn."""
    widget.mouse_click(types.SimpleNamespace(x=300, y=200))
    times = []
    for step in range(1, count + 1):
        event = types.SimpleNamespace(x=300 - 7 * step, y=200 + 5 * step)
        gc.collect()
        started = time.perf_counter()
        widget.mouse_move(event)
        widget.update_idletasks()
        times.append(time.perf_counter() - started)
    widget.mouse_release(types.SimpleNamespace(x=0, y=0))
    widget.fading_possible = False
    return statistics.median(times) * 1000, max(times) * 1000


def builds(pythons: list[str], default: str) -> list[tuple[str, str]]:
    """(label, interpreter) of each --python LABEL=PATH, or this one."""
    return [(p.split("=", 1)[0], p.split("=", 1)[1]) for p in pythons] or [("this", default)]


def run_child(command: list[str], timeout: float) -> dict[str, Any]:
    """The JSON a child prints last, or why there is none."""
    try:
        out = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"failed": f"no result in {timeout:.0f} s"}
    if out.returncode != 0:
        return {"failed": (out.stderr.strip().splitlines() or [f"exit {out.returncode}"])[-1]}
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    return result
