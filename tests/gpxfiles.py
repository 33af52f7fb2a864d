"""GPX documents written by the tests."""

from __future__ import annotations

import math
import struct
from decimal import Decimal
from pathlib import Path
from typing import Iterator, Sequence

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


GARMIN_CONNECT_HEAD = (
    '<?xml version="1.0" encoding="UTF-8"?>\n'
    '<gpx creator="Garmin Connect" version="1.1"\n'
    '  xsi:schemaLocation="http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/11.xsd"\n'
    '  xmlns:ns3="http://www.garmin.com/xmlschemas/TrackPointExtension/v1"\n'
    '  xmlns="http://www.topografix.com/GPX/1/1"\n'
    '  xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
    'xmlns:ns2="http://www.garmin.com/xmlschemas/GpxExtensions/v3">\n'
    "  <metadata>\n"
    '    <link href="connect.garmin.com">\n'
    "      <text>Garmin Connect</text>\n"
    "    </link>\n"
    "    <time>2024-05-01T06:12:34.000Z</time>\n"
    "  </metadata>\n"
    "  <trk>\n"
    "    <name>Morning Run</name>\n"
    "    <type>running</type>\n"
    "    <trkseg>\n")


def garmin_connect_lines(points: int) -> Iterator[str]:
    """An activity as Garmin Connect exports it: its namespace header, the
    device's semicircle coordinates written out exactly, single-precision
    elevations and a TrackPointExtension (temperature, heart rate, cadence)."""
    yield GARMIN_CONNECT_HEAD
    for i in range(points):
        a = i / max(points, 1) * 2 * math.pi
        lat = round((46.0 + 0.05 * math.sin(a) + 1e-5 * math.sin(i)) * 2**31 / 180) * 180 / 2**31
        lon = round((14.5 + 0.07 * math.cos(a) + 1e-5 * math.cos(i)) * 2**31 / 180) * 180 / 2**31
        ele = struct.unpack("f", struct.pack("f", 296.6 + 40 * math.sin(a * 5)))[0]
        s = 34 + i
        yield (f'      <trkpt lat="{Decimal(lat)}" lon="{Decimal(lon)}">\n'
               f"        <ele>{ele!r}</ele>\n"
               f"        <time>2024-05-{1 + s // 86400 % 28:02d}T{s // 3600 % 24:02d}:{s // 60 % 60:02d}:"
               f"{s % 60:02d}.000Z</time>\n"
               "        <extensions>\n"
               "          <ns3:TrackPointExtension>\n"
               f"            <ns3:atemp>{24 + i % 5}.0</ns3:atemp>\n"
               f"            <ns3:hr>{90 + i % 80}</ns3:hr>\n"
               f"            <ns3:cad>{i % 90}</ns3:cad>\n"
               "          </ns3:TrackPointExtension>\n"
               "        </extensions>\n"
               "      </trkpt>\n")
    yield "    </trkseg>\n  </trk>\n</gpx>"
