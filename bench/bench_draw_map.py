"""Time from draw_gpx to the path on the map, and the longest gap between 10 ms
event-loop ticks meanwhile, against a plain-Python baseline (gpxpy.parse on a
thread, pairs built in Python, handed over with a queue) in the same run.

Run under a display: xvfb-run -a -s "-screen 0 1920x1080x24" python3 bench/bench_draw_map.py [sizes...]
"""

from __future__ import annotations

import queue
import sys
import threading
import time
from typing import Any, Callable

import customtkinter
import gpxpy

from gpxgen import track_file

import varnholt通用模組

TICK_MS = 10


def measure(root: Any, widget: Any, start: Callable[[], None], timeout: float = 600) -> tuple[float, float]:
    """Seconds until a new path is on `widget`, and the longest tick gap in ms."""
    before = len(widget.canvas_path_list)
    ticks: list[float] = []
    done: dict[str, float] = {}

    def tick() -> None:
        now = time.perf_counter()
        ticks.append(now)
        if len(widget.canvas_path_list) > before:
            done["t"] = now
            root.quit()
        elif now - t0 > timeout:
            root.quit()
        else:
            root.after(TICK_MS, tick)

    t0 = time.perf_counter()
    start()
    root.after(TICK_MS, tick)
    root.mainloop()
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    return done.get("t", float("nan")) - t0, max(gaps, default=0) * 1000


def baseline_start(root: Any, widget: Any, path: str) -> Callable[[], None]:
    results: queue.SimpleQueue[list[tuple[float, float]]] = queue.SimpleQueue()

    def work() -> None:
        with open(path, encoding="utf-8") as f:
            gpx = gpxpy.parse(f)
        seg = gpx.tracks[0].segments[0]
        results.put(list(zip([p.latitude for p in seg.points], [p.longitude for p in seg.points])))

    def poll() -> None:
        try:
            widget.set_path(results.get_nowait())
        except queue.Empty:
            root.after(TICK_MS, poll)

    def start() -> None:
        threading.Thread(target=work, daemon=True).start()
        root.after(TICK_MS, poll)

    return start


def main() -> None:
    sizes = [int(a) for a in sys.argv[1:]] or [10_000, 100_000, 500_000]
    root = customtkinter.CTk()
    frame = customtkinter.CTkFrame(root)
    frame.pack()
    draw_map = varnholt通用模組.Loomkit.Draw_Map(frame)
    widget = draw_map.map_widget
    root.update()
    print(f"{'points':>8} | {'Draw_Map s':>10} | {'max gap ms':>10} | {'baseline s':>10} | {'max gap ms':>10}")
    for n in sizes:
        path = str(track_file(n))
        draw_map.delete_all_path()
        ours = measure(root, widget, lambda: draw_map.draw_gpx(path))
        draw_map.delete_all_path()
        base = measure(root, widget, baseline_start(root, widget, path))
        print(f"{n:>8} | {ours[0]:>10.3f} | {ours[1]:>10.1f} | {base[0]:>10.3f} | {base[1]:>10.1f}", flush=True)
    root.destroy()


if __name__ == "__main__":
    main()
