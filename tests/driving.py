"""Runs gui_driver.py scenarios in their own processes, and the expected fit of
a track, for the window and launcher tests."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import gpxpy


DRIVER = Path(__file__).resolve().parent / "gui_driver.py"


@dataclass
class Run:
    result: dict[str, Any]
    printed: list[str]  # standard output lines before the result
    stderr: str


def drive(home: Path, *args: str, timeout: float = 300) -> Run:
    env = dict(os.environ, HOME=str(home))
    done = subprocess.run([sys.executable, str(DRIVER), *args], capture_output=True, text=True, env=env,
                          timeout=timeout, encoding="utf-8")
    lines = done.stdout.splitlines()
    results = [line for line in lines if line.startswith("RESULT ")]
    assert done.returncode == 0 and results, f"driver failed ({done.returncode}):\n{done.stdout}\n{done.stderr}"
    printed = [line for line in lines if line not in results]
    return Run(json.loads(results[-1][len("RESULT "):]), printed, done.stderr)


def expected_view(gpx_path: str | Path) -> tuple[tuple[float, float], int]:
    """Centre (latitude, longitude) and zoom that fit the first segment of the file."""
    with open(gpx_path, encoding="utf-8") as f:
        points = gpxpy.parse(f).tracks[0].segments[0].points
    lats = [p.latitude for p in points]
    lons = [p.longitude for p in points]
    zoom_x = int(math.log2(360 / abs(max(lons) - min(lons))))
    zoom_y = int(math.log2(180 / abs(max(lats) - min(lats))))
    return ((min(lats) + max(lats)) / 2, (min(lons) + max(lons)) / 2), min(zoom_x, zoom_y)
