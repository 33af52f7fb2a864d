"""Builders shared by the Scrivet tests (no tests here): templates made with
python-docx, raw WordprocessingML runs, pictures of known pixel size, and a
stand-in PDF converter."""

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
INCH = 914400  # EMU
TRACK = 'w:id="1" w:author="t" w:date="2025-01-01T00:00:00Z"'
PAGE_BREAK = '<w:r><w:br w:type="page"/></w:r>'
LINE_BREAK = "<w:r><w:br/></w:r>"
TAB = "<w:r><w:tab/></w:r>"


def scrivet_module() -> Any:
    importlib.import_module(PACKAGE + ".Scrivet")
    return sys.modules[PACKAGE + ".Scrivet"]


def r(text: str) -> str:
    return f'<w:r><w:t xml:space="preserve">{text}</w:t></w:r>'


def ins(text: str) -> str:
    return f"<w:ins {TRACK}>{r(text)}</w:ins>"


def dele(inner: str) -> str:
    return f"<w:del {TRACK}><w:r>{inner}</w:r></w:del>"


def raw_paragraph(document: Any, inner_xml: str) -> Any:
    """Appends a paragraph written as raw XML and returns it."""
    placeholder = document.add_paragraph()._p
    placeholder.addnext(parse_xml(f"<w:p {nsdecls('w', 'r')}>{inner_xml}</w:p>"))
    placeholder.getparent().remove(placeholder)
    return document.paragraphs[-1]


def picture(folder: Path, width: int, height: int, suffix: str = "png") -> str:
    path = folder / f"pic_{width}x{height}.{suffix}"
    Image.new("RGB", (width, height), (200, 30, 30)).save(path)
    return str(path)


def save_template(document: Any, folder: Path) -> str:
    document.save(str(folder / "template.docx"))
    return str(folder / "template.docx")


def open_filler(template: str, folder: Path, version: Any = "v1") -> Any:
    """A Scrivet.Document with the template opened; output goes to `folder`."""
    filler = scrivet_module().Scrivet.Document()
    filler.set_word_version_path(version, template)
    filler.run_version(version, save_path=str(folder) + "/")
    return filler


def save_and_reopen(filler: Any, folder: Path) -> Any:
    filler.output("out")
    return docx.Document(str(folder / "out.docx"))


def run_facts(run: Any) -> tuple[Any, ...]:
    """(text, font, East Asian font, points, colour, ends with page break)."""
    fonts = run._element.rPr.rFonts if run._element.rPr is not None else None
    return (
        run.text,
        run.font.name,
        None if fonts is None else fonts.get(qn("w:eastAsia")),
        None if run.font.size is None else run.font.size.pt,
        None if run.font.color.type is None else str(run.font.color.rgb),
        'w:type="page"' in run._element.xml,
    )


def picture_extents(cell: Any) -> list[tuple[int, int]]:
    extent = "{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}extent"
    return [(int(e.get("cx")), int(e.get("cy"))) for e in cell._element.iter(extent)]


class FakeConverter:
    """Writes a small file; remembers whether the .docx was there when it ran."""

    calls: list[tuple[str, str, Any, bool]] = []

    def convert(self, input: str, output: str, keep_active: Any = None) -> None:
        FakeConverter.calls.append((input, output, keep_active, Path(input).exists()))
        Path(output).write_bytes(b"%PDF-1.4 fake\n")


def commented(path: Path) -> Path:
    """A document with comments as patent drafts carry them: on plain text, on
    a tracked insertion, on a tracked deletion and on table cells."""
    from docx.text.run import Run

    document = docx.Document()
    p = document.add_paragraph("Claim 1: a device ")
    p.add_run("with a lever")
    document.add_comment(p.runs[1], text="Which lever?", author="Examiner", initials="EX")
    tracked = raw_paragraph(document, r("Claim 2: ") + ins("an inserted clause") + dele("<w:delText>a removed clause</w:delText>"))
    inserted = Run(tracked._p.xpath("./w:ins/w:r")[0], tracked)
    removed = Run(tracked._p.xpath("./w:del/w:r")[0], tracked)
    document.add_comment(inserted, text="Added at the hearing", author="Agent", initials="AG")
    document.add_comment(removed, text="Removed, see 3.2", author="Agent", initials="AG")
    table = document.add_table(rows=2, cols=2)
    for i, cell in enumerate(table._cells):
        cell.text = f"cell {i} KEY"
        document.add_comment(cell.paragraphs[0].runs, text=f"note on cell {i}", author="Agent")
    document.save(str(path))
    return path
