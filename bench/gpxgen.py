"""Writes large GPX tracks (with elevation and time, as devices record them)."""

from __future__ import annotations

import math
from pathlib import Path

OUT = Path(__file__).resolve().parent / "out"


def track_file(points: int, k: int | None = None) -> Path:
    """A loop of `points` track points; with `k`, the k-th of up to ten smaller
    loops laid side by side in rows of five."""
    OUT.mkdir(exist_ok=True)
    path = OUT / (f"track-{points}.gpx" if k is None else f"track-{points}-{k}.gpx")
    radius_lat, radius_lon, lat0, lon0 = (0.3, 0.4, 24.0, 121.0) if k is None else \
        (0.1, 0.1, 24.0 + 0.05 * (k // 5), 121.0 + 0.05 * (k % 5))
    if path.exists():
        return path
    with path.open("w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<gpx version="1.1" creator="bench" xmlns="http://www.topografix.com/GPX/1/1">\n'
                "<trk><name>bench</name><trkseg>\n")
        for i in range(points):
            a = i / points * 2 * math.pi
            lat = lat0 + radius_lat * math.sin(a) + 0.0001 * math.sin(i)
            lon = lon0 + radius_lon * math.cos(a) + 0.0001 * math.cos(i)
            s = i % 60
            m = (i // 60) % 60
            h = (i // 3600) % 24
            f.write(f'<trkpt lat="{lat:.7f}" lon="{lon:.7f}"><ele>{100 + 50 * math.sin(a * 7):.1f}</ele>'
                    f"<time>2024-05-0{1 + i // 86400 % 9}T{h:02d}:{m:02d}:{s:02d}Z</time></trkpt>\n")
        f.write("</trkseg></trk></gpx>\n")
    return path
