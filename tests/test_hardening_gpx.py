"""Whatever a user drops on the map: a thousand broken, hostile and odd GPX
files drawn at once under a running event loop."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import gpxpy

from hostile_gpx import SECRET_POINT, SECRET_TEXT, corpus
from hostile_run import draw_all


def first_segment(path: str) -> list[tuple[float, float]]:
    with open(path, encoding="utf-8") as f:
        points = [(p.latitude, p.longitude) for p in gpxpy.parse(f).tracks[0].segments[0].points]
    return points * 2 if len(points) == 1 else points


def test_a_thousand_hostile_files(frame: Any, Loomkit: Any, tk_root: Any, tmp_path: Path) -> None:
    secret = tmp_path / "secret.xml"
    secret.write_text(SECRET_TEXT, encoding="utf-8")
    st = secret.stat()
    os.utime(secret, (st.st_mtime - 1000, st.st_mtime))  # any read moves atime (relatime)
    bad, good = corpus(tmp_path / "drop", secret)
    assert len(bad) + len(good) >= 1000

    draw_map = Loomkit.Draw_Map(frame)
    out = draw_all(tk_root, draw_map, bad + good)

    assert out.workers == len(bad) + len(good) and out.hung == 0
    assert out.lock_free  # how long the event loop waited meanwhile: bench/stress/stress_gpx.py
    assert out.opened <= set(bad + good), out.opened - set(bad + good)
    assert os.stat(secret).st_atime == st.st_mtime - 1000, "the secret file was read"
    assert not any(SECRET_POINT in path for path in out.paths)
    drawn = [tuple(p) for p in out.paths]
    for path in good:
        assert tuple(first_segment(path)) in drawn, path
    assert out.failed > len(bad) // 2  # most of them really are broken

    # The map still works afterwards.
    draw_map.delete_all_path()
    draw_map._draw_gpx(good[0], True)
    assert [list(p.position_list) for p in draw_map.map_widget.canvas_path_list] == [first_segment(good[0])]
