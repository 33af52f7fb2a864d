"""Builders shared by the Scrivet tests: templates made with python-docx,
raw WordprocessingML paragraphs, pictures of known pixel size, and a
converter stand-in. Holds no tests itself."""

from __future__ import annotations

import importlib
import sys
from pathlib import Path
from typing import Any

import docx
from docx.oxml import parse_xml
from docx.oxml.ns import nsdecls, qn
from PIL import Image

PACKAGE = "varnholt通用模組"
W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
EMU_PER_INCH = 914400


def scrivet_module() -> Any:
    importlib.import_module(PACKAGE + ".Scrivet")
    return sys.modules[PACKAGE + ".Scrivet"]


def raw_paragraph(document: Any, inner_xml: str) -> Any:
    """Appends a paragraph written as raw XML (tracked changes, breaks,
    hyperlinks) and returns it as a python-docx paragraph."""
    placeholder = document.add_paragraph()
    element = parse_xml(f"<w:p {nsdecls('w', 'r')}>{inner_xml}</w:p>")
    placeholder._p.addnext(element)
    placeholder._p.getparent().remove(placeholder._p)
    return document.paragraphs[-1]


def r(text: str) -> str:
    return f'<w:r><w:t xml:space="preserve">{text}</w:t></w:r>'


def ins(text: str) -> str:
    return f'<w:ins w:id="1" w:author="t" w:date="2025-01-01T00:00:00Z">{r(text)}</w:ins>'


def dele(text: str) -> str:
    return (
        f'<w:del w:id="2" w:author="t" w:date="2025-01-01T00:00:00Z">'
        f'<w:r><w:delText xml:space="preserve">{text}</w:delText></w:r></w:del>'
    )


PAGE_BREAK = '<w:r><w:br w:type="page"/></w:r>'
LINE_BREAK = "<w:r><w:br/></w:r>"


def picture(folder: Path, width: int, height: int, name: str | None = None) -> str:
    path = folder / (name or f"pic_{width}x{height}.png")
    Image.new("RGB", (width, height), (200, 30, 30)).save(path)
    return str(path)


def save_template(document: Any, folder: Path, name: str = "template.docx") -> str:
    path = folder / name
    document.save(path)
    return str(path)


def open_filler(template: str, folder: Path, version: Any = "v1") -> Any:
    """A Scrivet.Document with the template registered and opened; output goes
    to `folder`."""
    filler = scrivet_module().Scrivet.Document()
    filler.set_word_version_path(version, template)
    filler.run_version(version, save_path=str(folder) + "/")
    return filler


def save_and_reopen(filler: Any, folder: Path, name: str = "out") -> Any:
    filler.output(name)
    return docx.Document(str(folder / (name + ".docx")))


def run_facts(run: Any) -> dict[str, Any]:
    """What a reader of the filled file sees of one run."""
    rpr = run._element.rPr
    fonts = rpr.rFonts if rpr is not None else None
    color = run.font.color
    return {
        "text": run.text,
        "font": run.font.name,
        "east_asia": fonts.get(qn("w:eastAsia")) if fonts is not None else None,
        "size": run.font.size,
        "color": str(color.rgb) if color.type is not None else None,
        "page_break": any(br.get(qn("w:type")) == "page" for br in run._element.findall(qn("w:br"))),
    }


def picture_extents(container: Any) -> list[tuple[int, int]]:
    """(cx, cy) in EMU of every inline picture under a paragraph or cell."""
    element = getattr(container, "_element", None)
    if element is None:
        element = container._p
    return [
        (int(e.get("cx")), int(e.get("cy")))
        for e in element.iter("{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}extent")
    ]


class FakeConverter:
    """Stands in for the PDF converter: writes a small file and remembers
    whether the .docx was still there when it ran."""

    calls: list[tuple[str, str, Any, bool]] = []

    def convert(self, input: str, output: str, keep_active: Any = None) -> None:
        FakeConverter.calls.append((input, output, keep_active, Path(input).exists()))
        Path(output).write_bytes(b"%PDF-1.4 fake\n")


class FailingConverter:
    def convert(self, input: str, output: str, keep_active: Any = None) -> None:
        raise RuntimeError("converter broke")
