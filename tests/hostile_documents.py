"""Builders of hostile uploads for the hardening tests and the stress run (no
tests here): .docx templates that attack the XML parser or the unzipping,
broken archives, awkward pictures, and a way to measure a case's peak memory
in a fresh interpreter."""

from __future__ import annotations

import io
import json
import os
import struct
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path
from typing import Any, Callable

import docx
from PIL import Image

MiB = 1 << 20
GiB = 1 << 30
SECRET = "SECRET-0f3c9a-LOCAL-FILE-CONTENT"


def _member(name: str, raw: bytes, crc: int, size: int, declared: int | None = None, method: int = 8) -> dict[str, Any]:
    return {"name": name.encode(), "raw": raw, "crc": crc, "size": size if declared is None else declared, "method": method}


def stored(data: bytes) -> tuple[bytes, int, int, None, int]:
    """A member kept as it is (zip method 0), for `rebuilt`."""
    return data, zlib.crc32(data), len(data), None, 0


def _deflate(data: bytes) -> bytes:
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def zeros_deflated(size: int) -> tuple[bytes, int]:
    """A raw deflate stream of `size` zero bytes and its CRC, made in
    milliseconds: after a full flush the compressor starts afresh, so every
    MiB of zeros compresses to the same bytes."""
    assert size % MiB == 0
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = c.compress(bytes(MiB)) + c.flush(zlib.Z_FULL_FLUSH)
    tail = zlib.compressobj(9, zlib.DEFLATED, -15).flush()
    crc = 0
    block = bytes(MiB)
    for _ in range(size // MiB):
        crc = zlib.crc32(block, crc)
    return chunk * (size // MiB) + tail, crc


def write_zip(path: Path, members: list[dict[str, Any]]) -> None:
    """A plain (non-zip64) archive of deflated (or stored) members, sizes as declared."""
    out = bytearray()
    central = bytearray()
    for m in members:
        offset = len(out)
        fields = (20, 0, m.get("method", 8), 0, 0x21, m["crc"] & 0xFFFFFFFF, len(m["raw"]), m["size"], len(m["name"]))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, *fields, 0) + m["name"] + m["raw"]
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, *fields, 0, 0, 0, 0, 0, offset) + m["name"]
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members), len(central), len(out), 0)
    path.write_bytes(bytes(out + central + end))


def plain_template(path: Path, text: str = "Hello TEMPLATE", picture: bool = True) -> Path:
    document = docx.Document()
    document.add_paragraph(text)
    table = document.add_table(rows=1, cols=2)
    table.cell(0, 0).text = "cell KEY"
    if picture:
        image = io.BytesIO()
        Image.new("RGB", (10, 10), (0, 90, 200)).save(image, "PNG")
        image.seek(0)
        document.add_picture(image)
    document.save(str(path))
    return path


def rebuilt(source: Path, target: Path, replace: dict[str, Any]) -> Path:
    """`source` with some members replaced: bytes, or a ready (raw, crc,
    size[, declared]) tuple."""
    import zipfile

    members = []
    with zipfile.ZipFile(source) as package:
        for info in package.infolist():
            new = replace.get(info.filename)
            if new is None:
                data = package.read(info.filename)
                members.append(_member(info.filename, _deflate(data), zlib.crc32(data), len(data)))
            elif isinstance(new, bytes):
                members.append(_member(info.filename, _deflate(new), zlib.crc32(new), len(new)))
            else:
                members.append(_member(info.filename, *new))
    write_zip(target, members)
    return target


def with_document_xml(
    folder: Path, name: str, prolog: str, body: str, encoding: str = "UTF-8", store: bool = False
) -> Path:
    base = plain_template(folder / f"{name}-base.docx", picture=False)
    import zipfile

    with zipfile.ZipFile(base) as package:
        xml = package.read("word/document.xml").decode()
    head, rest = xml.split("?>", 1)
    start = rest.index("<w:body>") + len("<w:body>")
    xml = head.replace("UTF-8", encoding) + "?>" + prolog + rest[:start] + body + rest[start:]
    data = xml.encode(encoding)
    target = rebuilt(base, folder / f"{name}.docx", {"word/document.xml": stored(data) if store else data})
    base.unlink()
    return target


def with_stored_part(folder: Path, part: str, data: bytes) -> Path:
    """A plain template with one more part, kept unpacked in the archive."""
    import zipfile

    base = plain_template(folder / "stored-base.docx", picture=False)
    target = folder / "stored.docx"
    with zipfile.ZipFile(base) as source, zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as out:
        for info in source.infolist():
            out.writestr(info, source.read(info.filename))
        out.writestr(zipfile.ZipInfo(part), data, compress_type=zipfile.ZIP_STORED)
    base.unlink()
    return target


FOOTNOTES_WITH_ENTITY = (
    '<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE w:footnotes [<!ENTITY note "a note">]>'
    '<w:footnotes xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
    '<w:footnote w:id="1"><w:p><w:r><w:t>&note;</w:t></w:r></w:p></w:footnote></w:footnotes>'
)


def paragraph(inner: str) -> str:
    return f"<w:p><w:r><w:t>{inner}</w:t></w:r></w:p>"


def billion_laughs(folder: Path, store: bool = False) -> Path:
    entities = '<!ENTITY lol0 "lol">' + "".join(
        f'<!ENTITY lol{i} "{f"&lol{i - 1};" * 10}">' for i in range(1, 10)
    )
    return with_document_xml(folder, "laughs", f"<!DOCTYPE w:document [{entities}]>", paragraph("&lol9;"), store=store)


def external_entity(folder: Path, encoding: str = "UTF-8") -> tuple[Path, Path]:
    """A template whose body pulls in a local file; returns it and the file."""
    secret = folder / "secret.txt"
    secret.write_text(SECRET)
    prolog = f'<!DOCTYPE w:document [<!ENTITY xxe SYSTEM "{secret.as_uri()}">]>'
    return with_document_xml(folder, "external", prolog, paragraph("before &xxe; after"), encoding), secret


def linked_picture(folder: Path) -> tuple[Path, Path]:
    """A template whose picture is not embedded but linked to a local file,
    which an office reads when it renders the page; returns it and the file."""
    import re
    import zipfile

    secret = folder / "secret.png"
    Image.new("RGB", (300, 200), (10, 200, 10)).save(secret)
    base = plain_template(folder / "linked-base.docx")
    with zipfile.ZipFile(base) as package:
        xml = package.read("word/document.xml").decode()
        rels = package.read("word/_rels/document.xml.rels").decode()
    embedded = re.search(r'r:embed="(rId\d+)"', xml)
    assert embedded is not None
    xml = xml.replace(embedded.group(0), 'r:link="rIdOutside"')
    image = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image"
    link = f'<Relationship Id="rIdOutside" Type="{image}" Target="{secret.as_uri()}" TargetMode="External"/>'
    rels = rels.replace("</Relationships>", link + "</Relationships>")
    target = rebuilt(base, folder / "linked.docx", {"word/document.xml": xml.encode(), "word/_rels/document.xml.rels": rels.encode()})
    base.unlink()
    return target, secret


def decompression_bomb(folder: Path, size: int = GiB, declared: int | None = None) -> Path:
    """A real template whose (linked) picture part inflates to `size` zero
    bytes. With `declared` the archive states that size instead, with the
    checksum of that many zeros, so reading the part to its stated size
    succeeds."""
    base = plain_template(folder / "bomb-base.docx")
    raw, crc = zeros_deflated(size)
    if declared is not None:
        crc = zlib.crc32(bytes(declared))
    target = rebuilt(base, folder / "bomb.docx", {"word/media/image1.png": (raw, crc, size, declared)})
    base.unlink()
    return target


def many_small_bombs(folder: Path, count: int = 300, size: int = MiB) -> Path:
    """`count` linked picture parts of ratio ~1000:1, each too small to stand
    out alone, together well under any limit on the total."""
    import zipfile

    base = plain_template(folder / "many-base.docx")
    raw, crc = zeros_deflated(size)
    rels_name = "word/_rels/document.xml.rels"
    image = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image"
    members = []
    with zipfile.ZipFile(base) as package:
        for info in package.infolist():
            data = package.read(info.filename)
            if info.filename == rels_name:
                links = "".join(
                    f'<Relationship Id="rIdBomb{i}" Type="{image}" Target="media/filler{i}.png"/>' for i in range(count)
                )
                data = data.replace(b"</Relationships>", links.encode() + b"</Relationships>")
            members.append(_member(info.filename, _deflate(data), zlib.crc32(data), len(data)))
    members += [_member(f"word/media/filler{i}.png", raw, crc, size) for i in range(count)]
    target = folder / "many.docx"
    write_zip(target, members)
    base.unlink()
    return target


def markup_bomb(folder: Path) -> Path:
    """Five million empty paragraphs: 30 MB of XML packed into 80 KB."""
    return with_document_xml(folder, "markup", "", "<w:p/>" * 5_000_000)


def truncated(folder: Path) -> Path:
    whole = plain_template(folder / "whole.docx").read_bytes()
    target = folder / "truncated.docx"
    target.write_bytes(whole[: len(whole) // 2])
    (folder / "whole.docx").unlink()
    return target


def not_a_zip(folder: Path) -> Path:
    target = folder / "text.docx"
    target.write_text("an ordinary text file with a .docx name\n" * 100)
    return target


HOSTILE_TEMPLATES: dict[str, Callable[[Path], Any]] = {
    "billion laughs": billion_laughs,
    "billion laughs, stored": lambda folder: billion_laughs(folder, store=True),
    "entity in stored footnotes": lambda folder: with_stored_part(folder, "word/footnotes.xml", FOOTNOTES_WITH_ENTITY.encode()),
    "UTF-16 XML under another name, stored": lambda folder: with_stored_part(
        folder, "word/notes.bin", FOOTNOTES_WITH_ENTITY.replace("UTF-8", "UTF-16").encode("utf-16")
    ),
    "external entity": lambda folder: external_entity(folder)[0],
    "external entity, UTF-16": lambda folder: external_entity(folder, "UTF-16")[0],
    "linked local picture": lambda folder: linked_picture(folder)[0],
    "decompression bomb": decompression_bomb,
    "bomb, size understated": lambda folder: decompression_bomb(folder, declared=1000),
    "many small bombs": many_small_bombs,
    "markup bomb": markup_bomb,
    "truncated archive": truncated,
    "not a zip": not_a_zip,
}


# Pictures ------------------------------------------------------------------


def png_header_only(path: Path, width: int, height: int) -> Path:
    """A PNG whose header declares width x height (zero allowed) and whose
    pixel data is one empty compressed block."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"")) + chunk(b"IEND", b""))
    return path


def huge_png(path: Path, width: int = 10_000, height: int = 10_000) -> Path:
    """A real, decodable 100-megapixel PNG (all one colour) of a few hundred
    KiB, written row by row so making it needs no 300 MB of pixels."""
    c = zlib.compressobj(9)
    row = b"\x00" + bytes(3 * width)
    idat = b"".join(c.compress(row) for _ in range(height)) + c.flush()

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", idat) + chunk(b"IEND", b""))
    return path


def animated_gif(path: Path, frames: int = 12) -> Path:
    images = [Image.new("P", (120, 80), i * 20) for i in range(frames)]
    images[0].save(path, save_all=True, append_images=images[1:], duration=50, loop=0)
    return path


def corrupt_picture(path: Path) -> Path:
    path.write_bytes(b"GIF89a" + os.urandom(200))
    return path


def truncated_picture(path: Path) -> Path:
    Image.new("RGB", (400, 300), (250, 20, 20)).save(path, "JPEG")
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 3])
    return path


PICTURES: dict[str, Callable[[Path], Path]] = {
    "missing": lambda folder: folder / "no such picture.png",
    "zero height": lambda folder: png_header_only(folder / "zero.png", 300, 0),
    "corrupt": lambda folder: corrupt_picture(folder / "corrupt.gif"),
    "truncated": lambda folder: truncated_picture(folder / "truncated.jpg"),
    "huge (100 MP)": lambda folder: huge_png(folder / "huge.png"),
    "animated": lambda folder: animated_gif(folder / "animated.gif"),
}


# Measuring -----------------------------------------------------------------


def measured(code: str, *args: str, timeout: float = 300) -> dict[str, Any]:
    """Runs `code` in a fresh interpreter (with `args` in sys.argv[1:]); it
    fills the dict `result`. Returns that dict with the process's peak
    resident memory ("peak_mib") and the exit code. The peak is VmHWM:
    ru_maxrss keeps the parent's peak across fork and exec."""
    script = (
        "import json, resource, sys\nresult = {}\ntry:\n"
        + textwrap.indent(textwrap.dedent(code), "    ")
        + "\nfinally:\n"
        "    with open('/proc/self/status') as status:\n"
        "        hwm = [line.split()[1] for line in status if line.startswith('VmHWM:')]\n"
        "    result['peak_mib'] = int(hwm[0]) / 1024 if hwm else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024\n"
        "    print('\\n@@' + json.dumps(result, default=str))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=timeout
    )
    lines = [line for line in done.stdout.splitlines() if line.startswith("@@")]
    result: dict[str, Any] = json.loads(lines[-1][2:]) if lines else {"peak_mib": None}
    result["returncode"] = done.returncode
    result["stdout"] = "\n".join(line for line in done.stdout.splitlines() if not line.startswith("@@"))
    result["stderr"] = done.stderr
    return result


def large_template(folder: Path, pages: int = 200, pictures: int = 50) -> Path:
    """A real-sized template: `pages` pages of varied text (about 40 lines
    each), a table every ten pages, and `pictures` distinct photo-like JPEGs
    (noise does not compress, as photographs barely do)."""
    import random

    rng = random.Random(7)
    words = "patent claim device method signal layer circuit housing sensor wireless module".split()
    document = docx.Document()
    for page in range(pages):
        document.add_heading(f"Section {page + 1} <<TITLE>>", level=2)
        for _ in range(12):
            document.add_paragraph(" ".join(rng.choice(words) + str(rng.randrange(1000)) for _ in range(40)))
        if page % 10 == 0:
            table = document.add_table(rows=6, cols=4)
            for cell in (c for row in table.rows for c in row.cells):
                cell.text = f"{rng.choice(words)} {rng.random():.6f}"
        if pictures and page % max(1, pages // pictures) == 0 and page // max(1, pages // pictures) < pictures:
            noise = Image.frombytes("RGB", (800, 600), rng.randbytes(800 * 600 * 3))
            image = io.BytesIO()
            noise.save(image, "JPEG", quality=85)
            image.seek(0)
            document.add_picture(image, width=docx.shared.Inches(5))
        document.add_page_break()
    target = folder / "large.docx"
    document.save(str(target))
    return target
