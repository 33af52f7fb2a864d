"""Writes the bundled sample track, python/trailmere/samples/sample.gpx.

    python tools/make_sample_track.py [output file]

A made-up day hike on Qixing Mountain in Yangmingshan National Park, Taipei:
one loop of about 10 km in a few hundred points at walking pace, with a climb to the summit
and a descent on the other side. The random wobble is seeded, so the file is
the same every time.
"""

from __future__ import annotations

import datetime
import math
import random
import sys
from pathlib import Path

import gpxpy.gpx

OUT = Path(__file__).resolve().parent.parent / "python" / "trailmere" / "samples" / "sample.gpx"

# Loop centre and half-widths in degrees (about 4 km across east-west).
CENTRE_LAT, CENTRE_LON = 25.1697, 121.5530
RADIUS_LAT, RADIUS_LON = 0.0092, 0.0186
POINTS = 420
START = datetime.datetime(2024, 11, 16, 7, 42, 0, tzinfo=datetime.timezone.utc)


def loop(rng: random.Random) -> list[tuple[float, float, float]]:
    """(latitude, longitude, elevation) of a closed, irregular loop."""
    # Irregular outline: a few harmonics with random phases; switchbacks on
    # the steep climb; a little per-point GPS noise.
    harmonics = [(k, rng.uniform(0.10, 0.22) / k, rng.uniform(0, 2 * math.pi)) for k in (2, 3, 4, 6, 9, 14, 19)]
    points = []
    for i in range(POINTS + 1):
        t = 2 * math.pi * i / POINTS
        # Trailhead at about 780 m, summit near 1120 m a third of the way round.
        climb = math.exp(-((t - 2.1) ** 2) / 0.9)
        steep = math.exp(-((t - 1.6) ** 2) / 0.12)
        wobble = 1 + sum(a * math.sin(k * t + p) for k, a, p in harmonics) + 0.035 * steep * math.sin(34 * t)
        lat = CENTRE_LAT + RADIUS_LAT * wobble * math.sin(t) + rng.gauss(0, 0.000012)
        lon = CENTRE_LON + RADIUS_LON * wobble * math.cos(t) + rng.gauss(0, 0.000012)
        elevation = 780 + 340 * climb + 40 * math.sin(3 * t) ** 2 + rng.gauss(0, 1.5)
        points.append((lat, lon, elevation))
    points[-1] = points[0]
    return points


def walk_times(points: list[tuple[float, float, float]], rng: random.Random) -> list[datetime.datetime]:
    """Timestamps at a hiker's pace: slower uphill, faster down."""
    times = [START]
    for (lat0, lon0, ele0), (lat1, lon1, ele1) in zip(points, points[1:]):
        dy = (lat1 - lat0) * 111_320
        dx = (lon1 - lon0) * 111_320 * math.cos(math.radians(lat0))
        distance = math.hypot(dx, dy)
        climb = max(0.0, ele1 - ele0)
        seconds = distance / 1.1 + climb * 6 + rng.uniform(0, 4)
        times.append(times[-1] + datetime.timedelta(seconds=round(seconds)))
    return times


def build() -> str:
    rng = random.Random(11)
    points = loop(rng)
    times = walk_times(points, rng)

    gpx = gpxpy.gpx.GPX()
    gpx.creator = "Trailmere sample generator"
    gpx.name = "Qixing Mountain loop (sample)"
    gpx.description = "Synthetic sample track for the Trailmere viewer; not a surveyed route."
    track = gpxpy.gpx.GPXTrack(name="七星山環線 Qixing Mountain loop")
    segment = gpxpy.gpx.GPXTrackSegment()
    for (lat, lon, ele), time in zip(points, times):
        segment.points.append(
            gpxpy.gpx.GPXTrackPoint(round(lat, 6), round(lon, 6), elevation=round(ele, 1), time=time))
    track.segments.append(segment)
    gpx.tracks.append(track)
    return gpx.to_xml(version="1.1")


def main(argv: list[str]) -> int:
    out = Path(argv[1]) if len(argv) > 1 else OUT
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(build(), encoding="utf-8")
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
