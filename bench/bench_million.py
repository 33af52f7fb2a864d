"""A track of a million points (about 100 MB) opened on the map, as the
launcher opens one file (draw_gpx with the view fitted), with the canvas
work included (update_idletasks after each step).

In a fresh process per build and run:
  on screen  seconds from the worker's start until the path is on the map
             and the canvas has been redrawn; split into
               read       until the reader's progress line (the worker runs
                          _draw_gpx as draw_gpx starts it, with progress_check)
               project    from then until the worker first turns to the map
                          (in builds that project on the worker)
               hand-over  from then until the path call starts on the Tk
                          thread (the view's fit is part of it)
               first draw the path call and the canvas redraw after it
  zoom       one zoom step at the fitted view and one level in, median of 6
  deep zoom  the same, four levels further in, on the track's first point
             (its jitter shows there)
  pan        one drag motion event, median and worst of 12
  memory     resident memory added once drawn (after a collection), and the
             peak added on the way (the reader's own buffers included)

  xvfb-run -a -s "-screen 0 1920x1080x24" python3 bench/bench_million.py \\
      [--python before=/path/to/python --python after=/path/to/python] [--points 1000000] [--runs 2]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import threading
import time
from typing import Any

from map_measures import builds, drag_events, new_map, reset_peak, rss_kib, run_child, zoom_steps


class TimedLock:
    """lock_draw_line, with when it was taken and let go."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.acquired: list[float] = []
        self.released: list[float] = []

    def acquire(self, *args: Any) -> bool:
        ok = self.lock.acquire(*args)
        self.acquired.append(time.perf_counter())
        return ok

    def release(self) -> None:
        self.released.append(time.perf_counter())
        self.lock.release()

    def locked(self) -> bool:
        return self.lock.locked()


def child(points: int) -> dict[str, Any]:
    from gpxgen import track_file

    path = str(track_file(points))
    root, draw_map = new_map()
    widget = draw_map.map_widget
    gc.collect()
    rss_before = rss_kib()
    reset_peak()

    lock = draw_map.lock_draw_line = TimedLock()  # type: ignore[assignment]
    main = threading.main_thread()
    ready: list[float] = []

    class Watched(type(draw_map)):  # type: ignore[misc]
        # The worker turns to the map once its points are ready.
        @property
        def map_widget(self) -> Any:
            if threading.current_thread() is not main and not ready:
                ready.append(time.perf_counter())
            return self.__dict__["map_widget"]

    cls = type(draw_map)
    draw_map.__class__ = Watched
    result: dict[str, Any] = {}
    read: list[float] = []

    class Output:
        def write(self, text: str) -> int:
            if not read:
                read.append(time.perf_counter())  # the progress line: the file is read
            return len(text)

        def flush(self) -> None:
            pass

    def check() -> None:
        if widget.canvas_path_list:
            widget.update_idletasks()
            result["on_screen"] = time.perf_counter() - started
            root.quit()
        else:
            root.after(2, check)

    real_stdout = sys.stdout
    sys.stdout = Output()  # type: ignore[assignment]
    worker = threading.Thread(target=draw_map._draw_gpx, args=(path, True), kwargs={"progress_check": True},
                              daemon=True)
    try:
        started = time.perf_counter()
        gc.disable()
        worker.start()
        gc.enable()
        root.after(2, check)
        root.mainloop()
    finally:
        sys.stdout = real_stdout
        draw_map.__class__ = cls
    result["read"] = read[0] - started
    result["project"] = ready[0] - read[0]
    result["handover"] = lock.acquired[-1] - ready[0]
    result["first_draw"] = result["on_screen"] - (lock.acquired[-1] - started)
    gc.collect()
    result["rss_mib"] = (rss_kib() - rss_before) / 1024
    result["peak_mib"] = (rss_kib("VmHWM") - rss_before) / 1024
    result["native"] = "draw" in vars(widget.canvas_path_list[0])

    zoom = round(widget.zoom)
    centre = widget.get_position()
    result["zoom"] = zoom
    result["zoom_ms"] = zoom_steps(widget, zoom)
    widget.set_zoom(zoom + 4)
    widget.set_position(*widget.canvas_path_list[0].position_list[0])  # on the track
    result["deep_zoom_ms"] = zoom_steps(widget, zoom + 4)
    widget.set_zoom(zoom)
    widget.set_position(*centre)
    widget.update_idletasks()

    result["pan_ms"], result["pan_worst_ms"] = drag_events(widget)
    root.destroy()
    return result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", action="append", default=[], help="LABEL=interpreter, repeatable")
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.points)), flush=True)
        return

    from gpxgen import track_file

    track = track_file(args.points)  # written before any timing
    print(f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.1f} at the start; "
          f"{args.points} points, {track.stat().st_size / 1e6:.0f} MB", flush=True)
    print("| build | on screen s | read | project | hand-over | first draw | zoom step ms | deep zoom ms "
          "| pan ms (median / worst) | memory added MiB (peak) |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for _ in range(args.runs):
        for label, python in builds(args.python, sys.executable):
            r = run_child([python, __file__, "--child", "--points", str(args.points)], timeout=900)
            if "failed" in r:
                print(f"| {label} | failed: {r['failed']} |", flush=True)
                continue
            print(f"| {label} | {r['on_screen']:.2f} | {r['read']:.2f} | {r['project']:.2f} | {r['handover']:.2f} "
                  f"| {r['first_draw']:.2f} | {r['zoom_ms']:.1f} (z{r['zoom']}) | {r['deep_zoom_ms']:.1f} "
                  f"| {r['pan_ms']:.1f} / {r['pan_worst_ms']:.1f} | {r['rss_mib']:.0f} ({r['peak_mib']:.0f}) |",
                  flush=True)


if __name__ == "__main__":
    main()
