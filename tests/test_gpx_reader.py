"""The map's native GPX reader against gpxpy: for every input either the
segments are bit for bit gpxpy's, or the reader declined and gpxpy ran."""

from __future__ import annotations

import math
import random
import subprocess
import sys
import textwrap
import threading
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

from conftest import DATA, REPO, pump
from gpxfiles import GARMIN_CONNECT_HEAD, garmin_connect_lines, gpx_text, line_track, write_gpx

LABEL = "gpx繪製進度"
GPX10 = "http://www.topografix.com/GPX/1/0"
GPX11 = "http://www.topografix.com/GPX/1/1"
TRACKPOINT_EXTENSION = "http://www.garmin.com/xmlschemas/TrackPointExtension/v1"


class Spy:
    """Wraps gpxpy.parse to tell whether the reader declined."""

    def __init__(self, real: Callable[[Any], Any]) -> None:
        self.real = real
        self.calls = 0

    def __call__(self, f: Any) -> Any:
        self.calls += 1
        return self.real(f)


@pytest.fixture(scope="module")
def map_frame(tk_root: Any) -> Iterator[Any]:
    import customtkinter

    f = customtkinter.CTkFrame(tk_root)
    yield f
    f.destroy()


@pytest.fixture
def reader(map_frame: Any, Loomkit: Any, monkeypatch: pytest.MonkeyPatch) -> Iterator[tuple[Any, Spy]]:
    import gpxpy

    draw_map = Loomkit.Draw_Map(map_frame)
    spy = Spy(gpxpy.parse)
    # Same module object, so the native reader stays in use.
    monkeypatch.setattr(gpxpy, "parse", spy)
    yield draw_map, spy
    draw_map.map_widget.destroy()


def exact(lines: Any) -> list[list[tuple[str, str]]]:
    """Bit-exact form of the lines: float.hex tells -0.0 from 0.0."""
    out = []
    for points in lines:
        assert type(points) is list
        for p in points:
            assert type(p) is tuple and len(p) == 2 and type(p[0]) is float and type(p[1]) is float
        out.append([(p[0].hex(), p[1].hex()) for p in points])
    return out


def outcome(read: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("lines", exact(read()))
    except Exception as e:  # gpxpy's own failure, compared by kind and text
        return ("error", type(e), str(e))


def gpxpy_lines(path: Path, real_parse: Callable[[Any], Any]) -> Any:
    with open(path, encoding="utf-8") as f:
        gpx = real_parse(f)
    return [[(p.latitude, p.longitude) for p in s.points] for t in gpx.tracks for s in t.segments]


def compare(reader: tuple[Any, Spy], path: Path) -> bool:
    """Asserts identity with gpxpy of the map's reading, of the exact reader
    alone (gpxpy where it declines) and of the scanner alone where it reads
    the file; True when the native readers declined."""
    draw_map, spy = reader
    expected = outcome(lambda: gpxpy_lines(path, spy.real))
    before = spy.calls
    got = outcome(lambda: draw_map._read_lines(str(path)))
    declined = spy.calls > before
    assert spy.calls - before <= 1, "read twice"
    assert got == expected, (path.name, declined, path.read_bytes()[:2000])
    assert outcome(lambda: draw_map._read_lines(str(path), "exact")) == expected, ("exact", path.read_bytes()[:2000])
    scanned = draw_map._read_lines(str(path), "scanner")
    assert scanned is None or ("lines", exact(scanned)) == expected, ("scanner", path.read_bytes()[:2000])
    assert scanned is None or not declined
    return declined


# --- generated documents ---------------------------------------------------

NUMBERS = ["0", "-0", "-0.0", "5.", ".5", "-.5", "00012.5", "45.123456789", "0.1", "179.999999999999999999",
           "46.35508573800325393676757812", "0.1000000000000000055511151231257827021181583404541015625",
           "1" * 40 + ".5", "0." + "0" * 30 + "1", "-89.99999999999999", "13.000000000000000888178419700125232",
           "1" * 400, "-" + "9" * 400, "0." + "0" * 400 + "1", "-0." + "0" * 400 + "7", "0." + "0" * 320 + "123"]
ODD_NUMBERS = ["1e1", "+5", "1_0", "inf", "nan", "0x1p3", "1.5e-3", "\u0661\u0662", "5 .5", "", "-", "."]


def number(rnd: random.Random, odd: float = 0.0) -> str:
    if rnd.random() < odd:
        return rnd.choice(ODD_NUMBERS)
    if rnd.random() < 0.4:
        return rnd.choice(NUMBERS)
    return repr(round(rnd.uniform(-180, 180), rnd.randint(0, 17)))


def space(rnd: random.Random) -> str:
    return rnd.choice(["", "", "\n", "  ", "\n\t", " \r\n "])


def generated(rnd: random.Random) -> str:
    """A GPX document with the variety real files show, always one gpxpy reads."""
    version = rnd.choice(["1.0", "1.1", None])
    ns = {"1.0": GPX10, "1.1": GPX11, None: rnd.choice([GPX11, None])}[version]
    root_attrs = []
    if version:
        root_attrs.append(f'version="{version}"')
    root_attrs.append("creator='tests &amp; co'")
    if ns and rnd.random() < 0.9:
        root_attrs.append(f'xmlns="{ns}"')
    prefixed = rnd.random() < 0.5
    # Garmin Connect names its extension prefixes ns2 and ns3.
    tpx = rnd.choice(["gpxtpx", "ns3"])
    if prefixed:
        root_attrs.append(f'xmlns:{tpx}="{TRACKPOINT_EXTENSION}"')
        root_attrs.append('xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"')
        root_attrs.append(f'xsi:schemaLocation="{GPX11} http://www.topografix.com/GPX/1/1/gpx.xsd"')
        if tpx == "ns3":
            root_attrs.append('xmlns:ns2="http://www.garmin.com/xmlschemas/GpxExtensions/v3"')
    same_ns_prefix = ns and rnd.random() < 0.3
    if same_ns_prefix:
        root_attrs.append(f'xmlns:g="{ns}"')
    rnd.shuffle(root_attrs)
    s = space
    out = []
    if rnd.random() < 0.7:
        out.append(rnd.choice(['<?xml version="1.0" encoding="UTF-8"?>', "<?xml version='1.0'?>",
                               '<?xml version="1.0" encoding="utf-8" standalone="yes"?>']))
    if rnd.random() < 0.2:
        out.append('<?xml-stylesheet type="text/xsl" href="view.xsl"?>')
    if rnd.random() < 0.3:
        out.append("<!-- made by <tests> -->")
    out.append(f"<gpx{s(rnd)} " + f"{s(rnd)} ".join(root_attrs) + f"{s(rnd)}>")
    if version == "1.1" and rnd.random() < 0.5:
        out.append(f"<metadata><name>m</name><bounds minlat='{number(rnd)}' maxlat=\"{number(rnd)}\" "
                   f"minlon='{number(rnd)}' maxlon='{number(rnd)}'/></metadata>")
    elif rnd.random() < 0.3:
        out.append(f"<bounds minlat='{number(rnd)}' maxlat='{number(rnd)}' minlon='1' maxlon='2'/>")
    for _ in range(rnd.randint(0, 2)):
        out.append(f'<wpt lat="{number(rnd)}" lon="{number(rnd)}"><ele>{number(rnd)}</ele><name>w</name></wpt>')
    if rnd.random() < 0.3:
        out.append(f"<rte><number>{rnd.randint(-3, 9)}</number>"
                   f'<rtept lat="{number(rnd)}" lon="{number(rnd)}"/></rte>')
    for t in range(rnd.randint(0, 3)):
        # A default namespace below the root: gpxpy cuts out only the first
        # declaration in the text, so a track under any later one is not its.
        trk_ns = f' xmlns="{ns or GPX11}"' if rnd.random() < 0.15 else ""
        out.append(f"<trk{trk_ns}>{s(rnd)}<name><![CDATA[track <{t}>]]></name>{s(rnd)}")
        if rnd.random() < 0.3:
            out.append(f"<number>{s(rnd)}{rnd.randint(0, 99)}{s(rnd)}</number>")
        if rnd.random() < 0.3:
            # Lookalikes that gpxpy does not read as track content.
            out.append('<extensions><trkseg><trkpt lat="1" lon="2"/></trkseg>'
                       '<gpxtpx:x xmlns:gpxtpx="http://e.example/v1"><deep><deeper>1</deeper></deep></gpxtpx:x>'
                       '</extensions>' if not prefixed else
                       f'<extensions><{tpx}:trkseg><trkpt lat="1" lon="2"/></{tpx}:trkseg></extensions>')
        for _ in range(rnd.randint(0, 3)):
            out.append(f"<trkseg>{s(rnd)}")
            for _ in range(rnd.randint(0, 6)):
                q = rnd.choice(['"', "'"])
                lat = s(rnd).replace("\r", "") + number(rnd) + s(rnd).replace("\r", "")
                attrs = [f"lat={q}{lat}{q}", f"lon={q}{number(rnd)}{q}"]
                rnd.shuffle(attrs)
                body = []
                if rnd.random() < 0.5:
                    body.append(f"<ele>{s(rnd)}{number(rnd)}{s(rnd)}</ele>")
                if rnd.random() < 0.3:
                    body.append("<time>2024-05-01T10:00:00Z</time>")
                if rnd.random() < 0.2:
                    body.append(f"<sat>{rnd.randint(0, 12)}</sat><fix>{rnd.choice(['2d', '3d', 'none'])}</fix>")
                if rnd.random() < 0.2:
                    body.append(f"<course>{number(rnd)}</course><speed>{number(rnd)}</speed>")
                if rnd.random() < 0.2:
                    body.append(rnd.choice(["<!-- a note -->", "<?note x?>"]))
                if rnd.random() < 0.2 and prefixed:
                    body.append(f"<extensions><{tpx}:TrackPointExtension><{tpx}:hr>120</{tpx}:hr>"
                                '<x xmlns="urn:x"><trkpt lat="1" lon="2"/></x>'
                                f"</{tpx}:TrackPointExtension></extensions>")
                tag = "g:trkpt" if same_ns_prefix and rnd.random() < 0.1 else "trkpt"
                if body:
                    out.append(f"<{tag} {s(rnd)}{f'{s(rnd)} '.join(attrs)}>{s(rnd).join(body)}</{tag}>{s(rnd)}")
                else:
                    out.append(f"<{tag} {' '.join(attrs)}{s(rnd)}/>{s(rnd)}")
            out.append("</trkseg>")
        out.append(f"</trk>{s(rnd)}")
    out.append("</gpx>")
    if rnd.random() < 0.2:
        out.append("<!-- trailing -->\n")
    return ("\ufeff" if rnd.random() < 0.1 else "") + s(rnd).join(out)


INSERTS = [b"<!--x-->", b"<![CDATA[1]]>", b'<trkpt lat="1" lon="2"/>', b"<trkseg>", b"</trkseg>", b"<trk>",
           b"</trk>", b' xmlns="urn:other"', b' xmlns:p="urn:p"', b"<p:trkpt/>", b" ", b"\t", b"\r\n", b"e5", b"+",
           b"-", b".", b"_", b"0", b"9" * 30, b"&amp;", b"&#49;", b"&#10;", b"&nope;", b"\xef\xbb\xbf",
           b"<?pi x?>", b'<!DOCTYPE gpx [<!ENTITY e "1">]>', b"&e;", "\u00a0".encode(), "\u3000".encode(),
           "é".encode(), b"\xff", b"\xc3", b"\xed\xa0\x80", b"\x00", b"inf", b"<ele> </ele>", b"<fix>4d</fix>",
           b"<sat>+3</sat>", b'<wpt lat="x" lon="1"/>', b'<?xml version="1.0" encoding="latin-1"?>', b"]]>",
           b" lat='3'", b' version="1.1"', b' version="1.0"', b"<metadata><bounds minlat='1e1'/></metadata>",
           b"<gpx>", b"</gpx>", b"xmlns", b"<course>x</course>", b"<number>1.5</number>",
           b"<?xml-stylesheet href='v.xsl'?>", b"<?xml-x?>", b"<?a:b?>", b' xmlns:ns3="urn:t"', b"<ns3:hr>1</ns3:hr>",
           b"<x xmlns='urn:y'>", b"</x>", b"1" * 400, b"0." + b"0" * 400]


def mutated(rnd: random.Random, data: bytes) -> bytes:
    """One to three edits, mostly at markup boundaries so that many results stay well-formed."""
    for _ in range(rnd.choice([1, 1, 1, 2, 3])):
        bounds = [k + 1 for k, c in enumerate(data) if c == 62] or [0]  # after each '>'
        i = rnd.choice(bounds) if rnd.random() < 0.6 else rnd.randrange(len(data) + 1)
        kind = rnd.random()
        if kind < 0.4:
            data = data[:i] + rnd.choice(INSERTS) + data[i:]
        elif kind < 0.5:
            data = data[:i] + data[i + rnd.randint(1, 12):]
        elif kind < 0.6:
            # Drop or repeat a whole run of markup.
            j = rnd.choice(bounds)
            a, b = min(i, j), max(i, j)
            data = data[:a] + data[b:] if rnd.random() < 0.5 else data[:b] + data[a:b][:400] + data[b:]
        elif kind < 0.9:
            digits = [k for k, c in enumerate(data) if 48 <= c <= 57 or c in (45, 46)]
            if digits:
                k = rnd.choice(digits)
                data = data[:k] + rnd.choice([b"0", b"5", b"9", b"", b"-", b".", b"e", b"00", b" ", b"1.2"]) + data[k + 1:]
        else:
            data = data[:i] + bytes([rnd.randrange(256)]) + data[i + 1:]
    return data


# --- tests -----------------------------------------------------------------


@pytest.fixture(scope="session")
def gpxpy_test_files() -> list[Path]:
    """gpxpy's own test files, kept in the checkout (source and licence in their README)."""
    files = sorted((DATA / "gpxpy").glob("*.gpx"))
    assert len(files) >= 20
    return files


@pytest.fixture(params=["lxml", "ElementTree"])
def backend(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """gpxpy's XML library: lxml when installed, the standard library otherwise."""
    import gpxpy.parser
    import xml.etree.ElementTree

    if request.param == "ElementTree":
        monkeypatch.setattr(gpxpy.parser, "mod_etree", xml.etree.ElementTree)
    elif gpxpy.parser.library() != "LXML":
        pytest.skip("lxml is not installed")
    return str(request.param)


def test_real_files(reader: tuple[Any, Spy], backend: str, gpxpy_test_files: list[Path]) -> None:
    assert any(f.read_bytes().startswith(b"\xef\xbb\xbf") for f in gpxpy_test_files)
    declined = [f.name for f in gpxpy_test_files if compare(reader, f)]
    assert declined == []


def test_generated_and_mutated(reader: tuple[Any, Spy], backend: str, tmp_path: Path,
                               gpxpy_test_files: list[Path]) -> None:
    rnd = random.Random(20250104 + (backend == "lxml"))
    path = tmp_path / "doc.gpx"
    generated_docs = [generated(rnd).encode() for _ in range(300)]
    for data in generated_docs:
        path.write_bytes(data)
        assert not compare(reader, path), data.decode()  # all of them are read natively
    seeds = generated_docs[:100] + [f.read_bytes() for f in gpxpy_test_files if f.stat().st_size < 60000]
    count = 4000 if backend == "lxml" else 1500
    declined = 0
    for _ in range(count):
        path.write_bytes(mutated(rnd, rnd.choice(seeds)))
        declined += compare(reader, path)
    print(f"{backend}: {len(generated_docs)} generated, {count} mutated, {declined} declined")
    # Both ways must be well exercised for the comparison to mean something.
    assert declined > count * 0.1 and count - declined > count * 0.15


ACCEPTED = {
    "odd spacing": '<gpx version="1.1"><trk><trkseg><trkpt lat=" 1.5&#9;" lon="\n-2."/></trkseg></trk></gpx>',
    "char reference": '<gpx><trk><trkseg><trkpt lat="&#52;5.5" lon="-0"/></trkseg></trk></gpx>',
    "prefixed lookalike": f'<gpx xmlns="{GPX11}" xmlns:g="{GPX11}"><trk><trkseg><g:trkpt lat="1" lon="2"/>'
                          '<trkpt lat="3" lon="4"/></trkseg></trk><g:trk><trkseg><trkpt lat="5" lon="6"/>'
                          "</trkseg></g:trk></gpx>",
    "second ele not read": '<gpx><trk><trkseg><trkpt lat="1" lon="2"><ele>3</ele><ele>x</ele></trkpt>'
                           "</trkseg></trk></gpx>",
    "course in 1.1 not read": '<gpx version="1.1"><trk><trkseg><trkpt lat="1" lon="2"><course>x</course>'
                              "</trkpt></trkseg></trk></gpx>",
    "number text before child": '<gpx><trk><number><b/>x</number><trkseg/></trk></gpx>',
    "garmin connect export": "".join(garmin_connect_lines(3)),
    "byte order mark": "\ufeff" + "".join(garmin_connect_lines(2)),
    "stylesheet": GARMIN_CONNECT_HEAD.replace("?>\n", '?>\n<?xml-stylesheet type="text/xsl" href="v.xsl"?>\n', 1)
                  + '<trkpt lat="1" lon="2"/><?note?></trkseg></trk></gpx>',
    "default namespace below the root": f'<gpx><trk xmlns="{GPX11}"><trkseg><trkpt lat="1" lon="2"/></trkseg></trk>'
                                        f'<trk xmlns="{GPX11}"><trkseg><trkpt lat="3" lon="4"/></trkseg></trk></gpx>',
    "root's default namespace again below": f'<gpx xmlns="{GPX11}"><trk><trkseg><trkpt lat="1" lon="2"/></trkseg>'
                                            f'</trk><trk xmlns="{GPX11}"><trkseg><trkpt lat="3" lon="4"/></trkseg>'
                                            "</trk></gpx>",
    "beyond the doubles": '<gpx><trk><trkseg><trkpt lat="1' + "0" * 400 + '" lon="-' + "9" * 309 + '.5"/>'
                          '<trkpt lat="0.' + "0" * 400 + '1" lon="-.' + "0" * 330 + '1"/></trkseg></trk></gpx>',
}

DECLINED = {
    "doctype": '<!DOCTYPE gpx [<!ENTITY e "4">]><gpx><trk><trkseg><trkpt lat="&e;" lon="2"/></trkseg></trk></gpx>',
    "latin-1 declared": '<?xml version="1.0" encoding="ISO-8859-1"?><gpx><trk><trkseg>'
                        '<trkpt lat="1" lon="2"/></trkseg></trk></gpx>',
    "exponent": '<gpx><trk><trkseg><trkpt lat="1e1" lon="2"/></trkseg></trk></gpx>',
    "plus sign": '<gpx><trk><trkseg><trkpt lat="+1" lon="2"/></trkseg></trk></gpx>',
    "missing lon": '<gpx><trk><trkseg><trkpt lat="1"/></trkseg></trk></gpx>',
    "bad waypoint": '<gpx><wpt lat="north" lon="2"/><trk><trkseg/></trk></gpx>',
    "bad elevation": '<gpx><trk><trkseg><trkpt lat="1" lon="2"><ele> </ele></trkpt></trkseg></trk></gpx>',
    "bad 1.0 speed": '<gpx version="1.0"><trk><trkseg><trkpt lat="1" lon="2"><speed>fast</speed></trkpt>'
                     "</trkseg></trk></gpx>",
    "bad fix": '<gpx><trk><trkseg><trkpt lat="1" lon="2"><fix>4d</fix></trkpt></trkseg></trk></gpx>',
    "bad track number": "<gpx><trk><number>1.5</number></trk></gpx>",
    "bad bounds": "<gpx version='1.1'><metadata><bounds minlat='x'/></metadata></gpx>",
    "root not gpx": '<kml><trk><trkseg><trkpt lat="1" lon="2"/></trkseg></trk></kml>',
    "not well-formed": '<gpx><trk><trkseg><trkpt lat="1" lon="2"></trkseg></trk></gpx>',
    "xmlns in a comment first": f'<!-- xmlns="urn:x" --><gpx xmlns="{GPX11}"><trk><trkseg>'
                                '<trkpt lat="1" lon="2"/></trkseg></trk></gpx>',
    "uri lxml refuses": '<gpx xmlns:a="http://a b"><trk><trkseg><trkpt lat="1" lon="2"/></trkseg></trk></gpx>',
    "processing instruction in a number": '<gpx><trk><trkseg><trkpt lat="1" lon="2"><ele>1<?pi?>x</ele></trkpt>'
                                          "</trkseg></trk></gpx>",
    "too deep": "<gpx>" + "<e>" * 300 + "</e>" * 300 + "</gpx>",
    # lxml refuses a start tag of 10 MB and a name of 50000 bytes.
    "tag lxml refuses": '<gpx><trk><trkseg><trkpt lat="1.' + "1" * 10_500_000 + '" lon="2"/></trkseg></trk></gpx>',
    "name lxml refuses": '<gpx><trk><trkseg><trkpt lat="1" lon="2" ' + "a" * 60000 + '="3"/></trkseg></trk></gpx>',
}


@pytest.mark.parametrize("name", sorted(ACCEPTED))
def test_accepted_forms(reader: tuple[Any, Spy], tmp_path: Path, name: str) -> None:
    path = tmp_path / "a.gpx"
    path.write_text(ACCEPTED[name], encoding="utf-8")
    assert not compare(reader, path)


@pytest.mark.parametrize("name", sorted(DECLINED))
def test_declined_forms(reader: tuple[Any, Spy], tmp_path: Path, name: str) -> None:
    path = tmp_path / "a.gpx"
    path.write_text(DECLINED[name], encoding="utf-8")
    assert compare(reader, path)


@pytest.mark.parametrize("odd", ODD_NUMBERS)
def test_odd_coordinates_declined(reader: tuple[Any, Spy], tmp_path: Path, odd: str) -> None:
    path = tmp_path / "a.gpx"
    path.write_text(f'<gpx><trk><trkseg><trkpt lat="1" lon="2"/><trkpt lat="{odd}" lon="2"/>'
                    "</trkseg></trk></gpx>", encoding="utf-8")
    assert compare(reader, path)


def test_rounding_like_float(reader: tuple[Any, Spy], tmp_path: Path) -> None:
    """Decimal texts near and exactly at halfway points between doubles convert as float() does."""
    import math
    from decimal import Decimal

    rnd = random.Random(7)
    texts = []
    for _ in range(6000):
        d = rnd.uniform(-180, 180) * 10 ** -rnd.randint(0, 8)
        up = math.nextafter(d, math.inf)
        mid = (Decimal(d) + Decimal(up)) / 2  # exact: ties round to even
        nudge = Decimal(1).scaleb(mid.adjusted() - 60) * rnd.choice([-1, 0, 1])
        texts.append(format(mid + nudge, "f"))
        texts.append(format(Decimal(d), "f"))  # the exact binary value, all digits
        texts.append(repr(d) if "e" not in repr(d) else format(d, ".20f"))
    points = "".join(f'<trkpt lat="{a}" lon="{b}"/>' for a, b in zip(texts[::2], texts[1::2]))
    path = tmp_path / "round.gpx"
    path.write_text(f"<gpx><trk><trkseg>{points}</trkseg></trk></gpx>", encoding="utf-8")
    assert not compare(reader, path)
    draw_map, spy = reader
    read = draw_map._read_lines(str(path))[0]
    assert [x.hex() for p in read for x in p] == [float(t).hex() for t in texts[:len(read) * 2]]


def test_millions_of_digits_like_float(reader: tuple[Any, Spy], tmp_path: Path) -> None:
    """Coordinates millions of digits long are read natively as float() reads them."""
    from decimal import Decimal

    # Exactly halfway between 1.0 and the next double: ties to even, one more digit far out rounds up.
    half = format((Decimal(1) + Decimal(math.nextafter(1.0, 2.0))) / 2, "f")
    far = "0" * 5_000_000
    texts = ["1" * 5_000_000, "-" + "9" * 1_000_000 + ".5", "0." + far + "1", "-." + far + "3",
             "45." + "1" * 5_000_000, half + far, half + far + "1", far + "7.25", "-" + far + "." + "0" * 1000]
    path = tmp_path / "long.gpx"
    with open(path, "w", encoding="utf-8") as f:
        f.write("<gpx><trk><trkseg>")
        for t in texts:
            f.write(f'<trkpt lat="{t}" lon="2"/>')
        f.write("</trkseg></trk></gpx>")
    assert not compare(reader, path)
    draw_map, spy = reader
    read = draw_map._read_lines(str(path))[0]
    assert [lat.hex() for lat, _ in read] == [float(t).hex() for t in texts]


def test_invalid_utf8_and_missing_file_left_to_python(reader: tuple[Any, Spy], tmp_path: Path) -> None:
    path = tmp_path / "a.gpx"
    path.write_bytes(b'<gpx><trk><name>caf\xe9</name><trkseg><trkpt lat="1" lon="2"/></trkseg></trk></gpx>')
    assert compare(reader, path)
    draw_map, spy = reader
    with pytest.raises(UnicodeDecodeError):
        draw_map._read_lines(str(path))
    with pytest.raises(FileNotFoundError):
        draw_map._read_lines(str(tmp_path / "missing.gpx"))
    with pytest.raises(IsADirectoryError if sys.platform != "win32" else PermissionError):
        draw_map._read_lines(str(tmp_path))


def test_big_exports_read_in_pieces_alike(reader: tuple[Any, Spy], tmp_path: Path) -> None:
    """Files of some megabytes are scanned in pieces on all cores, each piece
    guessing where a track point starts: a Garmin export with a segment
    break, and lookalike points in a comment, CDATA and an extension, still
    read exactly as gpxpy reads them."""
    lines = list(garmin_connect_lines(7000))
    for k in range(1, len(lines) - 1, 97):
        lines[k] = ("<!-- <trkpt lat='9' lon='9'/> --><![CDATA[<trkpt lat='8' lon='8'>]]>" + lines[k]).replace(
            "<extensions>", "<extensions><trkpt lat='7' lon='7'/>", 1)
    lines[len(lines) // 2] += "    </trkseg>\n    <trkseg>\n"
    path = tmp_path / "export.gpx"
    path.write_text("".join(lines), encoding="utf-8")
    assert path.stat().st_size > 2_500_000
    assert not compare(reader, path)
    draw_map, spy = reader
    assert draw_map._read_lines(str(path), "scanner") is not None


def test_chunk_boundaries(reader: tuple[Any, Spy], tmp_path: Path) -> None:
    """A big file read in many chunks: multi-byte characters and xmlns across every boundary."""
    names = "".join(f"<name>é{'x' * (i % 7)}中 xmlns</name>" for i in range(40000))
    seg = [(24.0 + i * 1e-5, 121.0 - i * 1e-5) for i in range(30000)]
    text = gpx_text([[seg]]).replace("<trk>", "<trk>" + names, 1)
    path = tmp_path / "big.gpx"
    path.write_text(text, encoding="utf-8")
    assert compare(reader, path)  # "xmlns" in text: gpxpy's namespace handling could differ
    path.write_text(text.replace(" xmlns</name>", "</name>"), encoding="utf-8")
    assert not compare(reader, path)


def test_only_the_constructors_module_is_bypassed(reader: tuple[Any, Spy], tmp_path: Path) -> None:
    import gpxpy
    import types

    draw_map, spy = reader
    path = write_gpx(tmp_path / "a.gpx", [[line_track(3)]])
    draw_map._read_lines(path)
    assert spy.calls == 0
    lookalike = types.SimpleNamespace(parse=spy)  # another object, even with gpxpy's parse
    draw_map.gpxpy = lookalike
    draw_map._read_lines(path)
    assert spy.calls == 1
    draw_map.gpxpy = gpxpy
    draw_map._read_lines(path)
    assert spy.calls == 1


def test_progress_lines_alike_in_both_paths(reader: tuple[Any, Spy], tmp_path: Path,
                                            capsys: pytest.CaptureFixture[str]) -> None:
    draw_map, spy = reader
    text = gpx_text([[line_track(2)], [line_track(3), []], [[]]])
    native = tmp_path / "native.gpx"
    native.write_text(text, encoding="utf-8")
    declined = tmp_path / "declined.gpx"
    declined.write_text("<!DOCTYPE gpx>\n" + text.split("\n", 1)[1], encoding="utf-8")
    outs = []
    for path in (native, declined):
        before = spy.calls
        draw_map._draw_gpx(str(path), True, progress_check=True)
        outs.append((spy.calls - before, capsys.readouterr().out.replace(str(path), "PATH")))
    assert outs[0][0] == 0 and outs[1][0] == 1
    assert outs[0][1] == outs[1][1]
    assert outs[0][1].startswith(f"\r{LABEL} 1/3\r{LABEL} 2/3\r{LABEL} 3/3\n")


def test_event_loop_keeps_running_during_a_big_read(reader: tuple[Any, Spy], tk_root: Any, tmp_path: Path) -> None:
    draw_map, spy = reader
    path = write_gpx(tmp_path / "big.gpx", [[line_track(400000, step=1e-6)]])
    done = threading.Event()

    def read() -> None:
        draw_map._read_lines(path)
        done.set()

    worker = threading.Thread(target=read, daemon=True)
    ticks_while_reading = 0

    def tick() -> None:
        nonlocal ticks_while_reading
        if not done.is_set():
            ticks_while_reading += 1
            tk_root.after(10, tick)

    tk_root.after(10, tick)
    worker.start()
    assert pump(tk_root, done.is_set, 60)
    assert spy.calls == 0
    # Holding the GIL for the whole read would let no tick run before it ends.
    assert ticks_while_reading >= 3, ticks_while_reading


@pytest.mark.parametrize("delay", [0.0, 0.05, 0.3])
def test_exit_during_a_big_draw(tmp_path: Path, delay: float) -> None:
    """The interpreter ends while a daemon worker reads: the process exits cleanly."""
    path = write_gpx(tmp_path / "big.gpx", [[line_track(300000, step=1e-6)]])
    script = textwrap.dedent(f"""
        import sys, time
        sys.path.insert(0, {str(REPO / 'tests')!r})
        from conftest import loomkit_module
        from tileserver import unreachable_url
        import customtkinter
        root = customtkinter.CTk()
        loomkit_module().Loomkit.Draw_Map.default_tile_server = unreachable_url()
        draw_map = loomkit_module().Loomkit.Draw_Map(root)

        class SlowToGo:
            # Keeps the interpreter in its shutdown while the worker finishes reading.
            def __del__(self, sleep=time.sleep):
                sleep(1.0)

        keep = SlowToGo()
        draw_map.draw_gpx({path!r}, adapt_sizes=True)
        time.sleep({delay})
        print("leaving", flush=True)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "leaving" in result.stdout
