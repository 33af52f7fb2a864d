"""GPX files a desktop user might drop on the viewer: broken, hostile and odd.

`corpus(folder, secret)` writes them and returns (bad, good): `bad` files may
fail or draw something, `good` files must each end up drawn exactly.
`secret` is a local file the hostile documents point at; nothing may read it.
"""

from __future__ import annotations

import random
from pathlib import Path

from conftest import DATA
from gpxfiles import gpx_text, line_track

REAL = ["Mojstrovka.gpx", "around-visnjan-with-car.gpx", "track-with-extremes.gpx", "gpx-with-node-with-comments.gpx"]
HEAD = '<?xml version="1.0" encoding="UTF-8"?>\n'
GPX_OPEN = '<gpx version="1.1" creator="t" xmlns="http://www.topografix.com/GPX/1/1">'


def _hostile(secret: Path) -> dict[str, bytes]:
    lol = "".join(f'<!ENTITY l{i + 1} "' + f"&l{i};" * 10 + '">' for i in range(9))
    bomb = (HEAD + f'<!DOCTYPE gpx [<!ENTITY l0 "lol">{lol}]>' + GPX_OPEN
            + '<trk><name>&l9;</name><trkseg><trkpt lat="1" lon="2"/><trkpt lat="3" lon="4"/></trkseg></trk></gpx>')
    # If the entity were loaded, its track point would show up as a path.
    xxe = (HEAD + f'<!DOCTYPE gpx [<!ENTITY xxe SYSTEM "file://{secret}">]>' + GPX_OPEN
           + "<trk><trkseg>&xxe;</trkseg></trk></gpx>")
    xxe_param = (HEAD + f'<!DOCTYPE gpx [<!ENTITY % p SYSTEM "file://{secret}"> %p;]>' + GPX_OPEN
                 + '<trk><trkseg><trkpt lat="1" lon="2"/><trkpt lat="3" lon="4"/></trkseg></trk></gpx>')
    nested = (HEAD + GPX_OPEN + '<trk><trkseg><trkpt lat="1" lon="2"><extensions>' + "<x>" * 50000
              + "</x>" * 50000 + '</extensions></trkpt><trkpt lat="3" lon="4"/></trkseg></trk></gpx>')
    huge_attr = (HEAD + GPX_OPEN.replace('creator="t"', 'creator="' + "x" * 8_000_000 + '"')
                 + '<trk><trkseg><trkpt lat="1" lon="2"/><trkpt lat="3" lon="4"/></trkseg></trk></gpx>')
    huge_number = (HEAD + GPX_OPEN + '<trk><trkseg><trkpt lat="1.' + "1" * 2_000_000
                   + '" lon="2"/><trkpt lat="3" lon="4"/></trkseg></trk></gpx>')
    files = {
        "bomb.gpx": bomb.encode(),
        "xxe.gpx": xxe.encode(),
        "xxe-param.gpx": xxe_param.encode(),
        "nested.gpx": nested.encode(),
        "huge-attribute.gpx": huge_attr.encode(),
        "huge-number.gpx": huge_number.encode(),
        "empty.gpx": b"",
        "bom-only.gpx": b"\xef\xbb\xbf",
        "latin1.gpx": (HEAD + GPX_OPEN + "<trk><name>caf\xe9</name></trk></gpx>").encode("latin-1"),
        "utf16.gpx": gpx_text([[line_track(3)]]).replace("UTF-8", "UTF-16").encode("utf-16"),
        "invalid-utf8.gpx": gpx_text([[line_track(3)]]).encode().replace(b"track 0", b"track \xff\xfe"),
        "nan.gpx": gpx_text([[[(float("nan"), 121.0), (24.0, 121.5)]]]).encode(),
        "inf.gpx": gpx_text([[[(float("inf"), 121.0), (24.0, float("-inf"))]]]).encode(),
        "out-of-range.gpx": gpx_text([[[(95.0, 500.0), (-95.0, -500.0)]]]).encode(),
        "no-coordinates.gpx": (HEAD + GPX_OPEN + "<trk><trkseg><trkpt/><trkpt/></trkseg></trk></gpx>").encode(),
        "text-coordinates.gpx": (HEAD + GPX_OPEN + '<trk><trkseg><trkpt lat="north" lon="east"/>'
                                 "</trkseg></trk></gpx>").encode(),
        "kml.gpx": b"<?xml version='1.0'?><kml><Document/></kml>",
        "no-track.gpx": gpx_text([]).encode(),
        "empty-segment.gpx": gpx_text([[[]]]).encode(),
        "directory.gpx": b"",  # replaced by a folder below
    }
    rng = random.Random(7)
    for i in range(10):
        files[f"garbage-{i}.gpx"] = rng.randbytes(rng.randint(1, 5000))
    return files


SECRET_POINT = (12.345678, 98.765432)
SECRET_TEXT = f'<trkpt lat="{SECRET_POINT[0]}" lon="{SECRET_POINT[1]}"/><trkpt lat="1" lon="1"/>'


def corpus(folder: Path, secret: Path) -> tuple[list[str], list[str]]:
    folder.mkdir(parents=True, exist_ok=True)
    bad: list[str] = []
    for name, data in _hostile(secret).items():
        path = folder / name
        if name == "directory.gpx":
            path.mkdir()
        else:
            path.write_bytes(data)
        bad.append(str(path))
    bad.append(str(folder / "missing.gpx"))

    rng = random.Random(11)
    # Cut a real recording at every structural point (before and after each tag).
    text = (DATA / "gpxpy" / "Mojstrovka.gpx").read_bytes()
    cuts = sorted({i for i, c in enumerate(text) if c in b"<>"} | {i + 1 for i, c in enumerate(text) if c == ord(">")})
    for n, cut in enumerate(cuts[:: max(1, len(cuts) // 600)]):
        path = folder / f"cut-{n}.gpx"
        path.write_bytes(text[:cut])
        bad.append(str(path))
    # Random byte flips of real recordings.
    for n in range(400):
        flipped = bytearray((DATA / "gpxpy" / REAL[n % len(REAL)]).read_bytes())
        for _ in range(rng.randint(1, 8)):
            flipped[rng.randrange(len(flipped))] = rng.randrange(256)
        path = folder / f"flip-{n}.gpx"
        path.write_bytes(bytes(flipped))
        bad.append(str(path))

    good: list[str] = []
    for n, name in enumerate(REAL):
        path = folder / f"good-real-{n}.gpx"
        path.write_bytes((DATA / "gpxpy" / name).read_bytes())
        good.append(str(path))
    for n, segment in enumerate([[(24.0, 121.0)], [(24.0, 121.0), (24.5, 121.0)], line_track(1000)]):
        path = folder / f"good-odd-{n}.gpx"  # one point, a north-south line, a long track
        path.write_text(gpx_text([[segment]]), encoding="utf-8")
        good.append(str(path))
    return bad, good
