"""Path drawing on the map: Draw_Map's widget beside a plain TkinterMapView
given the same points, in the same run and the same window.

  set_path   Tk-thread time to add the track (plain: the widget's set_path;
             ours: the time _draw_gpx holds lock_draw_line, which it holds
             around that one call only)
  zoom       one zoom step, median of 6: the handler (set_zoom) alone, and
             with Tk's redraw of the canvas (update_idletasks) after it
  pan        one drag motion event (mouse_move), median and worst of 12,
             alone and with Tk's redraw
  no path    the same steps on the widgets without any path
Each timed step starts after gc.collect(): the plain widget's millions of
objects would otherwise make collections land in either widget's steps.
  latency    draw_gpx under mainloop: from the worker's points being ready
             to set_path starting on the Tk thread, and to its end (ours
             only; the worst of the files)

Tiles are not loaded (no network is needed): what is measured is the paths.
Run under a display:
  xvfb-run -a -s "-screen 0 1920x1080x24" python3 bench/bench_map_paths.py
"""

from __future__ import annotations

import gc
import math
import statistics
import sys
import time
import types
from pathlib import Path
from typing import Any, Callable

import customtkinter
import tkintermapview

from gpxgen import track_file

import varnholt通用模組

Loomkit = varnholt通用模組.Loomkit


class TimedLock:
    """lock_draw_line with the time it was held."""

    def __init__(self) -> None:
        self.lock = sys.modules["threading"].Lock()
        self.held = 0.0
        self.acquired: list[float] = []
        self.released: list[float] = []

    def acquire(self, *args: Any) -> bool:
        ok = self.lock.acquire(*args)
        self.since = time.perf_counter()
        self.acquired.append(self.since)
        return ok

    def release(self) -> None:
        now = time.perf_counter()
        self.held += now - self.since
        self.released.append(now)
        self.lock.release()

    def locked(self) -> bool:
        return self.lock.locked()


def timed(fn: Callable[[], Any]) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f}"


class Bench:
    def __init__(self) -> None:
        self.root = customtkinter.CTk()
        self.root.geometry("+0+0")
        ours_frame = customtkinter.CTkFrame(self.root)
        plain_frame = customtkinter.CTkFrame(self.root)
        ours_frame.grid(row=0, column=0)
        plain_frame.grid(row=0, column=1)
        self.draw_map = Loomkit.Draw_Map(ours_frame)
        self.ours = self.draw_map.map_widget
        gc.disable()  # the plain widget starts its tile threads too
        self.plain = tkintermapview.TkinterMapView(plain_frame, width=self.ours.width, height=self.ours.height,
                                                   corner_radius=0)
        gc.enable()
        self.plain.grid(row=0, column=0)
        self.root.update()

    def show(self, widget: Any, lat: float, lon: float, zoom: int) -> None:
        widget.set_zoom(zoom)
        widget.set_position(lat, lon)
        widget.update_idletasks()

    def zoom_steps(self, widget: Any, zoom: int) -> tuple[float, float]:
        alone, redrawn = [], []
        for step in range(6):
            target = zoom + 1 if step % 2 == 0 else zoom
            gc.collect()  # neither widget pays for the other's garbage
            alone.append(timed(lambda: widget.set_zoom(target)))
            redrawn.append(alone[-1] + timed(widget.update_idletasks))
        return statistics.median(alone), statistics.median(redrawn)

    def pan(self, widget: Any) -> tuple[float, float, float, float]:
        widget.mouse_click(types.SimpleNamespace(x=300, y=200))
        alone, redrawn = [], []
        for step in range(1, 13):
            event = types.SimpleNamespace(x=300 - 7 * step, y=200 + 5 * step)
            gc.collect()
            alone.append(timed(lambda: widget.mouse_move(event)))
            redrawn.append(alone[-1] + timed(widget.update_idletasks))
        widget.mouse_release(types.SimpleNamespace(x=0, y=0))
        widget.fading_possible = False
        return statistics.median(alone), max(alone), statistics.median(redrawn), max(redrawn)

    def latency(self, files: list[Path]) -> tuple[float, float]:
        """Worst times from a worker's points being ready to its set_path
        starting and ending."""
        widget = self.ours
        self.draw_map.delete_all_path()
        lock = self.draw_map.lock_draw_line = TimedLock()
        stamps: dict[str, list[float]] = {"ready": []}
        main = sys.modules["threading"].main_thread()

        class Watched(type(self.draw_map)):  # type: ignore[misc]
            # The worker looks the widget up once its points are ready.
            @property
            def map_widget(self) -> Any:
                if sys.modules["threading"].current_thread() is not main:
                    stamps["ready"].append(time.perf_counter())
                return self.__dict__["map_widget"]

        cls = type(self.draw_map)
        self.draw_map.__class__ = Watched
        try:
            for f in files:
                self.draw_map.draw_gpx(str(f))

            def check() -> None:
                if len(widget.canvas_path_list) == len(files):
                    self.root.quit()
                else:
                    self.root.after(5, check)

            self.root.after(5, check)
            self.root.mainloop()
        finally:
            self.draw_map.__class__ = cls
        ready = sorted(stamps["ready"])
        return (max(a - r for r, a in zip(ready, lock.acquired)), max(d - r for r, d in zip(ready, lock.released)))

    def row(self, name: str, points: int, kept: int, plain_set: float, ours_set: float,
            zoom_plain: tuple[float, float], zoom_ours: tuple[float, float], pan_plain: tuple[float, ...],
            pan_ours: tuple[float, ...], latency: tuple[float, ...]) -> None:
        def ratio(a: float, b: float) -> str:
            return f"{a / b:.0f}x" if b > 0 else "-"

        print(f"| {name} | {points} | {kept} | {ms(plain_set)} | {ms(ours_set)} | {ratio(plain_set, ours_set)} "
              f"| {ms(zoom_plain[0])} | {ms(zoom_ours[0])} | {ratio(zoom_plain[0], zoom_ours[0])} "
              f"| {ms(zoom_plain[1])} | {ms(zoom_ours[1])} | {ratio(zoom_plain[1], zoom_ours[1])} "
              f"| {ms(pan_plain[0])} / {ms(pan_plain[1])} | {ms(pan_ours[0])} / {ms(pan_ours[1])} "
              f"| {ms(pan_plain[2])} / {ms(pan_plain[3])} | {ms(pan_ours[2])} / {ms(pan_ours[3])} "
              + (f"| {ms(latency[0])} / {ms(latency[1])} |" if latency else "| - |"), flush=True)

    def no_path(self) -> None:
        lat, lon, zoom = 24.0, 121.0, 10
        for w in (self.ours, self.plain):
            w.delete_all_path()
            self.show(w, lat, lon, zoom)
        zp, zo = self.zoom_steps(self.plain, zoom), self.zoom_steps(self.ours, zoom)
        pp, po = self.pan(self.plain), self.pan(self.ours)
        self.row("no path", 0, 0, 0.0, 0.0, zp, zo, pp, po, ())

    def case(self, name: str, files: list[Path]) -> None:
        lines = [self.draw_map._read_lines(str(f))[0] for f in files]
        points = sum(len(line) for line in lines)
        lats = [p[0] for line in lines for p in line[:: max(1, len(line) // 1000)]]
        lons = [p[1] for line in lines for p in line[:: max(1, len(line) // 1000)]]
        centre = ((min(lats) + max(lats)) / 2, (min(lons) + max(lons)) / 2)
        zoom = int(math.log2(360 / (max(lons) - min(lons)))) + 1

        for w in (self.ours, self.plain):
            w.delete_all_path()
            self.show(w, *centre, zoom)
        plain_set = sum(timed(lambda: self.plain.set_path(line)) for line in lines)
        lock = self.draw_map.lock_draw_line = TimedLock()
        for f in files:
            self.draw_map._draw_gpx(str(f), False)
        ours_set = lock.held
        assert all("draw" in vars(p) for p in self.ours.canvas_path_list), "not drawn natively"
        kept = sum(len(self.ours.canvas.coords(p.canvas_line)) // 2 for p in self.ours.canvas_path_list)

        zoom_plain = self.zoom_steps(self.plain, zoom)
        zoom_ours = self.zoom_steps(self.ours, zoom)
        for w in (self.ours, self.plain):
            self.show(w, *centre, zoom)
        pan_plain = self.pan(self.plain)
        pan_ours = self.pan(self.ours)
        for w in (self.ours, self.plain):
            w.delete_all_path()
        latency = self.latency(files)
        self.ours.delete_all_path()
        self.row(name, points, kept, plain_set, ours_set, zoom_plain, zoom_ours, pan_plain, pan_ours, latency)


def main() -> None:
    sizes = [int(a) for a in sys.argv[1:]] or [100_000, 300_000, 1_000_000]
    bench = Bench()
    print("| track | points | drawn points | set_path plain ms | ours ms | faster "
          "| zoom step plain ms | ours ms | faster | zoom + redraw plain ms | ours ms | faster "
          "| pan event plain ms (median / worst) | ours ms | pan + redraw plain ms | ours ms | ready to set_path / to drawn ms |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    bench.no_path()
    for n in sizes:
        bench.case(f"one of {n}", [track_file(n)])
    bench.case("ten of 50000", [track_file(50_000, k) for k in range(10)])
    bench.root.destroy()


if __name__ == "__main__":
    main()
