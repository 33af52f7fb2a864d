"""Many GPX files handed to Draw_Map.draw_gpx at once, as the + button hands a
folder's worth of rides: the view fitted to the last file, in one process,
a 10 ms after() ticker watching the event loop.

For each case (files x points per file), in a fresh process per build:
  drawn      seconds from the first draw_gpx call until every path is on the
             map and the canvas has been redrawn (update_idletasks)
  calls      how long the loop of draw_gpx calls itself took (one event-loop
             callback, so part of the longest gap); beside it, as many plain
             daemon threads started by the same process afterwards: the floor
             that thread creation sets on this machine
  gap        the longest gap between ticks from the first call until drawn,
             and the longest after the calls
  zoom       one zoom step with all paths drawn, canvas redraw included:
             median of 6 (zoom in, out, in ...)
  pan        one drag motion event with all drawn, canvas redraw included:
             median and worst of 12
  redraw     Tk's redraw of the canvas alone after all paths moved by one
             pixel (canvas.move of every path item): the floor the canvas
             work sets for a zoom or pan, whichever code computes the lines
  memory     resident memory added once all are drawn (after a collection),
             and the peak added on the way
  threads    threads left 300 ms of event loop after all were drawn, beyond
             those the map had before (its tile loaders)

Rides are closed loops laid on a grid a few kilometres apart, overlapping
their neighbours as a season of rides from one home does; generated once
into bench/out/many/.

  xvfb-run -a -s "-screen 0 1920x1080x24" python3 bench/bench_many_files.py \\
      [--python before=/path/to/python --python after=/path/to/python] \\
      [--cases 100x500,300x500,1000x500,3000x500,300x2000] [--limit 600]

Without --python the running interpreter is measured. Each build's
processes run one after another, alternating, so both see the same machine.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Any

from map_measures import builds, drag_events, new_map, reset_peak, rss_kib, run_child, zoom_steps

HERE = Path(__file__).resolve().parent
OUT = HERE / "out" / "many"
TICK_MS = 10


def ride_file(points: int, k: int, count: int) -> Path:
    """The k-th of `count` rides: a loop of `points` points (a recording's
    jitter on it), on a square grid 0.05 degrees apart."""
    folder = OUT / f"{count}x{points}"
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"ride-{k:05d}.gpx"
    if path.exists():
        return path
    rng = random.Random(k)
    side = math.ceil(math.sqrt(count))
    lat0 = 46.0 + 0.05 * (k // side) + rng.uniform(-0.01, 0.01)
    lon0 = 14.0 + 0.05 * (k % side) + rng.uniform(-0.01, 0.01)
    radius = rng.uniform(0.02, 0.06)
    phase = rng.uniform(0, 2 * math.pi)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>\n'
             '<gpx version="1.1" creator="bench" xmlns="http://www.topografix.com/GPX/1/1">\n'
             f"<trk><name>ride {k}</name><trkseg>\n"]
    for i in range(points):
        a = phase + i / points * 2 * math.pi
        wobble = 1 + 0.15 * math.sin(5 * a)
        lat = lat0 + radius * wobble * math.sin(a) + rng.gauss(0, 2e-5)
        lon = lon0 + 1.4 * radius * wobble * math.cos(a) + rng.gauss(0, 2e-5)
        s = 8 * 3600 + 6 * i
        lines.append(f'<trkpt lat="{lat:.7f}" lon="{lon:.7f}"><ele>{300 + 40 * math.sin(3 * a):.1f}</ele>'
                     f"<time>2024-06-01T{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}Z</time></trkpt>\n")
    lines.append("</trkseg></trk></gpx>\n")
    path.write_text("".join(lines), encoding="utf-8")
    return path


class Counter:
    """Standard output while the files are drawn: only counted."""

    def __init__(self) -> None:
        self.imported = 0

    def write(self, text: str) -> int:
        self.imported += text.count("已匯入 --> ")
        return len(text)

    def flush(self) -> None:
        pass


def child(count: int, points: int, limit: float) -> dict[str, Any]:
    files = [str(ride_file(points, k, count)) for k in range(count)]
    root, draw_map = new_map()
    widget = draw_map.map_widget
    gc.collect()
    threads_before = threading.active_count()
    rss_before = rss_kib()
    reset_peak()  # the peak so far is the interpreter and the window
    counter = Counter()
    ticks: list[float] = []
    result: dict[str, Any] = {}
    started = time.perf_counter()

    def tick() -> None:
        now = time.perf_counter()
        ticks.append(now)
        if "drawn" not in result and len(widget.canvas_path_list) >= count:
            widget.update_idletasks()
            result["drawn"] = time.perf_counter() - started
            result["gap_ms"] = max(b - a for a, b in zip(ticks, ticks[1:])) * 1000
            after_calls = [t for t in ticks if t >= started + result["calls_ms"] / 1000]
            result["gap_after_calls_ms"] = max((b - a for a, b in zip(after_calls, after_calls[1:])), default=0) * 1000
            root.after(300, root.quit)  # the workers print and end meanwhile
        elif "drawn" not in result and now - started > limit:
            root.quit()
        root.after(TICK_MS, tick)

    def start() -> None:
        nonlocal started
        started = time.perf_counter()
        for i, path in enumerate(files):
            draw_map.draw_gpx(path, adapt_sizes=i + 1 == count)
            if time.perf_counter() - started > limit:
                break  # the calls alone take too long: given up below
        result["calls_ms"] = (time.perf_counter() - started) * 1000

    real_stdout = sys.stdout
    sys.stdout = counter  # type: ignore[assignment]
    try:
        root.after(TICK_MS, tick)
        root.after(3 * TICK_MS, start)  # ticks before: the calls' own gap counts
        root.mainloop()
    finally:
        sys.stdout = real_stdout
    if "drawn" not in result:
        return {"stopped": limit, "paths": len(widget.canvas_path_list)}
    result["imported"] = counter.imported
    result["threads_left"] = threading.active_count() - threads_before
    gc.collect()
    result["rss_mib"] = (rss_kib() - rss_before) / 1024
    result["peak_mib"] = (rss_kib("VmHWM") - rss_before) / 1024

    zoom = round(widget.zoom)
    result["zoom_ms"] = zoom_steps(widget, zoom)
    result["pan_ms"], result["pan_worst_ms"] = drag_events(widget)

    redraws = []
    for step in range(4):
        t = time.perf_counter()
        widget.canvas.move("path", 1 if step % 2 == 0 else -1, 0)
        widget.update_idletasks()
        redraws.append(time.perf_counter() - t)
    result["redraw_ms"] = statistics.median(redraws) * 1000
    result["paths"] = len(widget.canvas_path_list)
    result["zoom"] = zoom

    release = threading.Event()
    gc.disable()
    t = time.perf_counter()
    for _ in range(count):
        threading.Thread(target=release.wait, daemon=True).start()
    result["plain_starts_ms"] = (time.perf_counter() - t) * 1000
    gc.enable()
    release.set()
    root.destroy()
    return result


def cell(result: dict[str, Any], key: str, digits: int = 0) -> str:
    if "failed" in result:
        return "failed"
    if "stopped" in result:
        return f"> {result['stopped']:.0f} s ({result['paths']} drawn)" if key == "drawn" else "-"
    value = result[key]
    return f"{value:.{digits}f}" if isinstance(value, float) else str(value)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", action="append", default=[], help="LABEL=interpreter, repeatable")
    parser.add_argument("--cases", default="100x500,300x500,1000x500,3000x500,300x2000")
    parser.add_argument("--limit", type=float, default=600.0, help="seconds before a case is given up")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        count, points = (int(x) for x in args.child.split("x"))
        print(json.dumps(child(count, points, args.limit)), flush=True)
        return

    cases = [tuple(int(x) for x in c.split("x")) for c in args.cases.split(",")]
    for count, points in cases:  # written before any timing
        for k in range(count):
            ride_file(points, k, count)
    print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.1f} at the start", flush=True)
    print("| files x points | build | drawn s | calls ms (plain threads) | longest gap ms (after the calls) "
          "| zoom step ms | pan ms (median / worst) | canvas redraw ms | memory added MiB (peak) | threads left "
          "| printed |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for count, points in cases:
        for label, python in builds(args.python, sys.executable):
            r = run_child([python, __file__, "--child", f"{count}x{points}", "--limit", str(args.limit)],
                          timeout=args.limit * 3 + 120)
            print(f"| {count} x {points} | {label} | {cell(r, 'drawn', 2)} "
                  f"| {cell(r, 'calls_ms', 0)} ({cell(r, 'plain_starts_ms', 0)}) "
                  f"| {cell(r, 'gap_ms', 0)} ({cell(r, 'gap_after_calls_ms', 0)}) "
                  f"| {cell(r, 'zoom_ms', 1)} | {cell(r, 'pan_ms', 1)} / {cell(r, 'pan_worst_ms', 1)} "
                  f"| {cell(r, 'redraw_ms', 1)} | {cell(r, 'rss_mib', 0)} ({cell(r, 'peak_mib', 0)}) "
                  f"| {cell(r, 'threads_left')} | {cell(r, 'imported')} |", flush=True)


if __name__ == "__main__":
    main()
