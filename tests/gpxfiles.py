"""GPX documents written by the tests."""

from __future__ import annotations

from pathlib import Path
from typing import Sequence

Segment = Sequence[tuple[float, float]]  # (latitude, longitude) pairs


def gpx_text(tracks: Sequence[Sequence[Segment]]) -> str:
    parts = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<gpx version="1.1" creator="tests" xmlns="http://www.topografix.com/GPX/1/1">']
    for number, track in enumerate(tracks):
        parts.append(f"<trk><name>track {number}</name>")
        for segment in track:
            parts.append("<trkseg>")
            parts.extend(f'<trkpt lat="{lat!r}" lon="{lon!r}"><ele>10</ele></trkpt>' for lat, lon in segment)
            parts.append("</trkseg>")
        parts.append("</trk>")
    parts.append("</gpx>")
    return "\n".join(parts)


def write_gpx(path: Path, tracks: Sequence[Sequence[Segment]]) -> str:
    path.write_text(gpx_text(tracks), encoding="utf-8")
    return str(path)


def line_track(n: int, lat0: float = 24.0, lon0: float = 121.0, step: float = 0.001) -> list[tuple[float, float]]:
    return [(lat0 + i * step, lon0 + i * step * 2) for i in range(n)]
