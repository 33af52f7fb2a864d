"""Map tiles against a local tile server, a first start and a second one with
the same cache: open the sample track, zoom in three steps, pan five times,
close.

  requests   tile requests the server got (and attempts to reach any other
             host, refused here: the widget's own start view is on
             OpenStreetMap's a. server)
  bytes      tile bytes it sent
  at start   from the window showing until the start view's tiles are drawn
  per step   the same after each step (fit, zoom, pan): median and worst
             (a view not drawn in full within 10 s counts 10 s, and is said)
  in flight  most requests the server had at once
  cache      the disk cache's size afterwards

The server answers every tile after 30 ms (a nearby real server), with
Cache-Control max-age of a day; its tiles are small flat pictures (a real
map's are 10 to 30 KB). With --before PYTHON the same steps run in that
interpreter too (one with another build installed, e.g. main's), with the
map pointed at the server through map_widget.set_tile_server, which both
builds take. Run under a display:

  xvfb-run -a -s "-screen 0 1920x1080x24" python3 bench/bench_tiles.py [--before PYTHON]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

TESTS = Path(__file__).resolve().parent.parent / "tests"
SAMPLE = Path(__file__).resolve().parent.parent / "python" / "trailmere" / "samples" / "sample.gpx"
DELAY = 0.03


def child(url: str) -> None:
    """One start of a map, as a viewer: prints one line of JSON."""
    import socket

    elsewhere: list[str] = []
    getaddrinfo = socket.getaddrinfo

    def local_only(host: Any, *args: Any, **kwargs: Any) -> Any:
        if host not in ("127.0.0.1", "localhost"):
            elsewhere.append(str(host))
            raise OSError("the bench reaches no other host")
        return getaddrinfo(host, *args, **kwargs)

    socket.getaddrinfo = local_only  # type: ignore[assignment]

    import customtkinter
    from varnholt通用模組 import Loomkit

    root = customtkinter.CTk()
    root.geometry("+0+0")
    frame = customtkinter.CTkFrame(root)
    frame.pack()
    draw_map = Loomkit.Draw_Map(frame)
    widget = draw_map.map_widget
    widget.set_tile_server(url)

    def undrawn() -> int:
        zoom = round(widget.zoom)
        return sum(t.canvas_object is None for column in widget.canvas_tile_array for t in column
                   if all(0 <= c < 2 ** zoom for c in t.tile_name_position))

    def fit() -> None:
        draw_map._draw_gpx(str(SAMPLE), True)

    def zoom_in() -> None:
        widget.set_zoom(round(widget.zoom) + 1)

    def pan() -> None:  # a drag of 300 pixels to the left: the view moves east
        widget.mouse_click(type("Event", (), {"x": 600, "y": 200})())
        widget.mouse_move(type("Event", (), {"x": 300, "y": 200})())

    # Inside the event loop, as in a viewer (tkintermapview's own loaders
    # make their Tk images on their threads, which works only then).
    steps: list[Any] = [None, fit, zoom_in, zoom_in, zoom_in, pan, pan, pan, pan, pan]
    times: list[float] = []
    gave_up: list[int] = []
    began = [0.0]

    def watch() -> None:
        waited = time.perf_counter() - began[0]
        if undrawn() and waited < 10.0:
            root.after(2, watch)
            return
        if undrawn():
            gave_up.append(undrawn())
        times.append(waited)
        if len(times) == len(steps):
            root.destroy()
            return
        began[0] = time.perf_counter()
        steps[len(times)]()
        root.after(2, watch)

    def shown() -> None:
        if root.winfo_viewable():
            began[0] = time.perf_counter()
            watch()
        else:
            root.after(2, shown)

    root.after(0, shown)
    root.mainloop()
    at_start, steps_times = times[0], times[1:]
    print("RESULT " + json.dumps({"at_start": at_start, "steps": steps_times, "elsewhere": len(elsewhere),
                                  "gave_up": gave_up}), flush=True)


def start(python: str, url: str, env: dict[str, str]) -> dict[str, Any]:
    done = subprocess.run([python, __file__, "--child", url], capture_output=True, text=True, env=env, timeout=600)
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    if done.returncode != 0 or not lines:
        sys.exit(f"{python}: the map did not run:\n{done.stdout}\n{done.stderr[-3000:]}")
    result: dict[str, Any] = json.loads(lines[-1][len("RESULT "):])
    return result


def cache_size(cache: Path) -> int:
    return sum(f.stat().st_size for f in (cache / "varnholt").glob("map-tiles.sqlite3*"))


def measure(label: str, python: str) -> None:
    sys.path.insert(0, str(TESTS))
    from tileserver import TileServer

    cache = Path(tempfile.mkdtemp(prefix="bench-tiles-"))
    env = dict(os.environ, XDG_CACHE_HOME=str(cache))
    print(f"\n{label} ({python})")
    print(f"{'':8} {'requests':>9} {'elsewhere':>9} {'bytes':>9} {'at start':>9} {'step med':>9} "
          f"{'step max':>9} {'in flight':>9} {'cache':>9}")
    with TileServer(max_age=24 * 3600, delay=DELAY) as server:
        before = 0
        for name in ("first", "second"):
            asked, sent = len(server.asked), server.bytes_sent
            server.max_in_flight = 0
            r = start(python, server.url, env)
            requests = len(server.asked) - asked
            print(f"{name:8} {requests:9d} {r['elsewhere']:9d} {server.bytes_sent - sent:9d} "
                  f"{r['at_start'] * 1000:7.0f}ms {statistics.median(r['steps']) * 1000:7.0f}ms "
                  f"{max(r['steps']) * 1000:7.0f}ms {server.max_in_flight:9d} {cache_size(cache) / 1024:7.0f}KB")
            if r["gave_up"]:
                print(f"{'':8} {len(r['gave_up'])} of 10 views not drawn in full after 10 s "
                      f"({sum(r['gave_up'])} tiles missing in all)")
            if name == "first":
                before = requests
            elif before:
                print(f"second start: {100 * requests / before:.0f} % of the first's requests")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", metavar="URL", help=argparse.SUPPRESS)
    parser.add_argument("--before", metavar="PYTHON", help="also run the steps in this interpreter's build")
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    if args.before:
        measure("before", args.before)
    measure("this build", sys.executable)
    print("\n(machine shared with other work: timings are noisy)")


if __name__ == "__main__":
    main()
