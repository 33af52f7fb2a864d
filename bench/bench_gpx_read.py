"""GPX reading on the map: the native reader beside the plain gpxpy path.

For each track size and each path, in a fresh process (so that peak memory
is the read's own):
  ready    time from draw_gpx until the worker hands the points to the map
  total    time from draw_gpx until set_path has returned on the Tk thread
  set_path the widget's own set_path, part of total
  gap      longest gap between 10 ms event-loop ticks while the file is read
  memory   what the read adds to the process's peak resident memory

Run under a display: DISPLAY=:1 python bench/bench_gpx_read.py [--sizes 10000,100000,500000]
  --kind garmin       Garmin Connect exports of that many points instead of a device's recording
  --kind long-number  a few points, one with a latitude of that many digits
  --read              the read alone (Draw_Map._read_lines): wall and CPU time, MB/s and added
                      peak memory of the map's native reading, of the exact (expat) reader alone,
                      and with --before PYTHON of another build (e.g. main's, installed in another
                      virtual environment), each in a fresh process, alternating
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
import types
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
PACKAGE = "varnholt通用模組"
sys.path.insert(0, str(HERE.parent / "tests"))


def write_track(path: Path, points: int) -> None:
    """A recording like a device writes: elevation and time on every point."""
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<gpx version="1.1" creator="bench" xmlns="http://www.topografix.com/GPX/1/1" '
                'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">\n<trk><name>bench</name><trkseg>\n')
        for i in range(points):
            lat = 46.0 + i * 1.3e-6
            lon = 13.5 + i * 0.9e-6
            f.write(f'<trkpt lat="{lat:.9f}" lon="{lon:.9f}"><ele>{500 + (i % 700) * 0.1:.1f}</ele>'
                    f"<time>2024-05-01T{(i // 3600) % 24:02d}:{(i // 60) % 60:02d}:{i % 60:02d}Z</time></trkpt>\n")
        f.write("</trkseg></trk>\n</gpx>\n")


def write_garmin(path: Path, points: int) -> None:
    from gpxfiles import garmin_connect_lines

    with open(path, "w", encoding="utf-8") as f:
        f.writelines(garmin_connect_lines(points))


def write_long_number(path: Path, digits: int) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<gpx version="1.1" creator="bench">\n<trk><trkseg>\n'
                '<trkpt lat="46.1" lon="13.5"/>\n<trkpt lat="45.')
        f.write("1" * digits)
        f.write('" lon="13.6"/>\n<trkpt lat="46.2" lon="13.7"/>\n</trkseg></trk>\n</gpx>\n')


WRITERS = {"device": write_track, "garmin": write_garmin, "long-number": write_long_number}


def track_file(kind: str, size: int) -> Path:
    """The bench's file of that kind and size, written the first time."""
    path = OUT / f"{'track' if kind == 'device' else kind}-{size}.gpx"
    if not path.exists():
        WRITERS[kind](path, size)
    return path


def peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux reports KiB


def child(path: str, mode: str, adapt: bool) -> None:
    import importlib

    import customtkinter
    import gpxpy

    importlib.import_module(PACKAGE + ".Loomkit")
    Loomkit = sys.modules[PACKAGE + ".Loomkit"].Loomkit
    root = customtkinter.CTk()
    draw_map = Loomkit.Draw_Map(root)
    if mode == "gpxpy":
        # Another object than the module the map imported: the map uses it as a parser.
        draw_map.gpxpy = types.SimpleNamespace(parse=gpxpy.parse)
    root.update()

    stamps: dict[str, float] = {}
    widget = draw_map.map_widget
    real_set_path = widget.set_path

    def timed_set_path(points: Any, **kwargs: Any) -> Any:
        stamps["set_path_start"] = time.perf_counter()
        try:
            return real_set_path(points, **kwargs)
        finally:
            stamps["set_path_end"] = time.perf_counter()
            root.after(0, root.quit)

    class Timed(type(widget)):  # type: ignore[misc]
        # The worker looks set_path up once its points are ready.
        @property
        def set_path(self) -> Any:
            if "ready" not in stamps:
                stamps["ready"] = time.perf_counter()
                stamps["peak_ready"] = peak_bytes()
            return timed_set_path

    widget.__class__ = Timed
    ticks: list[float] = []

    def tick() -> None:
        ticks.append(time.perf_counter())
        if "set_path_end" not in stamps:
            root.after(10, tick)

    peak_before = peak_bytes()
    root.after(10, tick)
    root.update()
    start = time.perf_counter()
    draw_map.draw_gpx(path, adapt_sizes=adapt)
    root.mainloop()
    during = [t for t in ticks if start <= t <= stamps["ready"]]
    edges = [start] + during + [stamps["ready"]]
    gap = max(b - a for a, b in zip(edges, edges[1:]))
    print(json.dumps({
        "ready": stamps["ready"] - start,
        "total": stamps["set_path_end"] - start,
        "set_path": stamps["set_path_end"] - stamps["set_path_start"],
        "gap": gap,
        "memory": max(0, stamps["peak_ready"] - peak_before),
    }))


def read_child(path: str, reader: str) -> None:
    """Times one _read_lines in this process: wall, CPU, and the peak memory it adds."""
    import importlib

    import customtkinter

    importlib.import_module(PACKAGE + ".Loomkit")
    Loomkit = sys.modules[PACKAGE + ".Loomkit"].Loomkit
    root = customtkinter.CTk()
    draw_map = Loomkit.Draw_Map(root)
    peak_before = peak_bytes()
    wall, cpu = time.perf_counter(), time.process_time()
    lines = draw_map._read_lines(path) if reader == "native" else draw_map._read_lines(path, reader)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    assert lines is not None, "the scanner declined the file"
    print(json.dumps({"read": wall, "cpu": cpu, "memory": max(0, peak_bytes() - peak_before),
                      "points": sum(len(points) for points in lines)}))


def measure(path: Path, mode: str, adapt: bool, python: str = sys.executable) -> dict[str, float]:
    if mode.startswith("read:"):
        command = [python, __file__, "--read-child", str(path), mode[5:]]
    else:
        command = [python, __file__, "--child", str(path), mode] + (["--adapt-sizes"] if adapt else [])
    result = subprocess.run(command, capture_output=True, text=True, timeout=3600)
    if result.returncode != 0:
        raise RuntimeError(result.stderr[-3000:])
    line = next(s for s in result.stdout.splitlines() if s.startswith("{"))
    return json.loads(line)  # type: ignore[no-any-return]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10000,100000,500000")
    parser.add_argument("--kind", choices=sorted(WRITERS), default="device")
    parser.add_argument("--repeat", type=int, default=3, help="runs per native measurement (median)")
    parser.add_argument("--repeat-gpxpy", type=int, default=1, help="runs per gpxpy measurement (median)")
    parser.add_argument("--adapt-sizes", action="store_true", help="also fit the view (its time counts as reading)")
    parser.add_argument("--read", action="store_true", help="time the read alone (see above)")
    parser.add_argument("--before", metavar="PYTHON", help="with --read: also the build this interpreter imports")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--read-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], args.adapt_sizes)
        return
    if args.read_child:
        read_child(args.read_child[0], args.read_child[1])
        return

    import gpxpy.parser

    # Xlib (through pyautogui) refuses to connect without an Xauthority file.
    if not os.path.exists(os.environ.get("XAUTHORITY", os.path.expanduser("~/.Xauthority"))):
        OUT.mkdir(exist_ok=True)
        (OUT / "Xauthority").touch()
        os.environ["XAUTHORITY"] = str(OUT / "Xauthority")
    print(f"gpxpy {gpxpy.__version__} with {gpxpy.parser.library()}, Python {sys.version.split()[0]}, "
          f"{os.cpu_count()} cores")
    OUT.mkdir(exist_ok=True)
    if args.read:
        read_table(args)
        return
    rows = []
    for size in (int(s) for s in args.sizes.split(",")):
        path = track_file(args.kind, size)
        for mode, repeat in (("native", args.repeat), ("gpxpy", args.repeat_gpxpy)):
            if repeat < 1:
                continue
            runs = [measure(path, mode, args.adapt_sizes) for _ in range(repeat)]
            row = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
            rows.append((size, path.stat().st_size, mode, repeat, row))
            print(f"  {size} {mode}: {row}", file=sys.stderr, flush=True)

    print()
    print(f"{args.kind} files; size in {'digits' if args.kind == 'long-number' else 'points'}")
    print("| size | file MB | path | runs | ready s | total s | set_path s | max gap ms | +peak MiB | speed-up |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    ready_gpxpy = {size: row["ready"] for size, _, mode, _, row in rows if mode == "gpxpy"}
    for size, nbytes, mode, repeat, row in rows:
        speedup = f"{ready_gpxpy[size] / row['ready']:.0f}x" if mode == "native" and size in ready_gpxpy else ""
        print(f"| {size} | {nbytes / 1e6:.1f} | {mode} | {repeat} | {row['ready']:.3f} | {row['total']:.3f} | "
              f"{row['set_path']:.3f} | {row['gap'] * 1000:.0f} | {row['memory'] / 2**20:.0f} | {speedup} |")


def read_table(args: argparse.Namespace) -> None:
    ways = [("before", "read:native", args.before)] if args.before else []
    ways += [("exact", "read:exact", sys.executable), ("native", "read:native", sys.executable)]
    rows = []
    for size in (int(s) for s in args.sizes.split(",")):
        path = track_file(args.kind, size)
        # Alternating, so that a disturbance of the shared machine falls on all of them.
        runs: dict[str, list[dict[str, float]]] = {name: [] for name, _, _ in ways}
        for _ in range(args.repeat):
            for name, mode, python in ways:
                runs[name].append(measure(path, mode, False, python))
        for name, _, _ in ways:
            row = {k: statistics.median(r[k] for r in runs[name]) for k in runs[name][0]}
            rows.append((size, path.stat().st_size, name, row, [r["read"] for r in runs[name]]))
            print(f"  {size} {name}: {row}", file=sys.stderr, flush=True)
    print()
    print(f"{args.kind} files, the read alone (Draw_Map._read_lines, points as Python floats); medians of "
          f"{args.repeat} runs; {os.cpu_count()} cores")
    print("| points | file MB | build | read s | MB/s | CPU s | +peak MiB | runs s |")
    print("|---:|---:|---|---:|---:|---:|---:|---|")
    for size, nbytes, name, row, reads in rows:
        print(f"| {size} | {nbytes / 1e6:.1f} | {name} | {row['read']:.3f} | {nbytes / 1e6 / row['read']:.0f} | "
              f"{row['cpu']:.3f} | {row['memory'] / 2**20:.0f} | {' '.join(f'{r:.2f}' for r in reads)} |")


if __name__ == "__main__":
    main()
