"""Registering replacements and filling them into body paragraphs and table
cells, checked in the saved and reopened file."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import docx
import pytest
from docx.enum.text import WD_PARAGRAPH_ALIGNMENT
from docx.shared import Pt

from test_scrivet_support import (
    EMU_PER_INCH,
    PAGE_BREAK,
    open_filler,
    picture,
    picture_extents,
    r,
    raw_paragraph,
    run_facts,
    save_and_reopen,
    save_template,
    scrivet_module,
)


def fill(tmp_path: Path, template: Any, entries: list[tuple[Any, ...]], **kwargs: Any) -> Any:
    """Fills the template with (key, value[, options]) entries and returns the
    reopened result."""
    filler = open_filler(save_template(template, tmp_path), tmp_path)
    for key, value, *options in entries:
        filler.set(key, value, **(options[0] if options else {}))
    filler.execute_set()
    return save_and_reopen(filler, tmp_path)


def body(*texts: str) -> Any:
    document = docx.Document()
    for text in texts:
        document.add_paragraph(text)
    return document


def cells(*texts: str) -> Any:
    document = docx.Document()
    table = document.add_table(rows=1, cols=len(texts))
    for i, text in enumerate(texts):
        table.cell(0, i).text = text
    return document


def cell_texts(document: Any) -> list[str]:
    return [c.text for row in document.tables[0].rows for c in row.cells]


class TestSet:
    def test_entry_defaults_and_order(self) -> None:
        filler = scrivet_module().Scrivet.Document()
        filler.set(5, 6.5, unknown="ignored")
        filler.set("B", "b", new_font_size=Pt(12), remark_new_font_size=Pt(6), font_color=(1, 2, 3), image_fixed_ratio=False)
        filler.set(5, "again")
        assert list(filler.replace_value) == ["5", "B"]
        entry = filler.replace_value["5"]
        assert list(entry.items()) == [
            ("替換值", "again"), ("英文字型", "Calibri"), ("中文字型", "標楷體"), ("字體大小", Pt(8)),
            ("對其位置", WD_PARAGRAPH_ALIGNMENT.CENTER), ("left_indent", None), ("line_spacing", None),
            ("font_color", None), ("__remark__", {"字體大小": Pt(8)}), ("image_path", None),
            ("image_height", None), ("image_width", None), ("固定圖片比例", True),
        ]
        other = filler.replace_value["B"]
        assert other["字體大小"] == Pt(12) and other["__remark__"] == {"字體大小": Pt(6)}
        assert other["font_color"] == (1, 2, 3) and other["固定圖片比例"] is False
        filler.set("n", 6.5)
        assert filler.replace_value["n"]["替換值"] == "6.5"


class TestSplitting:
    @pytest.mark.parametrize(
        "text, entries, expected",
        [
            ("x KEY y", [("KEY", "R")], "x R y"),
            # only the first occurrence is filled; the rest of the text stays
            ("aKbKc", [("K", "R")], "aRbKc"),
            # the first entry consumed the second key: nothing left to fill
            ("AB", [("AB", "X"), ("B", "Y")], "X"),
            # a value holding another key is filled only if that key was there at the start
            ("AA", [("AA", "BB"), ("BB", "CC")], "BB"),
            ("AA BB", [("AA", "BB"), ("BB", "CC")], "CC BB"),
            ("untouched", [("KEY", "R")], "untouched"),
        ],
    )
    def test_paragraphs_and_cells(self, tmp_path: Path, text: str, entries: list[tuple[str, str]], expected: str) -> None:
        out = fill(tmp_path, body(text), entries)
        assert out.paragraphs[0].text == expected
        out = fill(tmp_path, cells(text), entries)
        assert cell_texts(out) == [expected]

    def test_empty_key_fills_nothing(self, tmp_path: Path) -> None:
        template = cells("c1", "")
        template.add_paragraph("p1")
        template.add_paragraph("")
        out = fill(tmp_path, template, [("", "E"), ("p1", "P")])
        assert [p.text for p in out.paragraphs] == ["P", ""] and cell_texts(out) == ["c1", ""]

    def test_merged_cell_is_filled_once(self, tmp_path: Path) -> None:
        template = cells("", "")
        table = template.tables[0]
        table.add_row()
        table.cell(0, 0).merge(table.cell(1, 1)).text = "K"
        out = fill(tmp_path, template, [("K", "[K]")])
        assert out.tables[0].cell(0, 0).text == "[K]"


class TestParagraphFormat:
    def test_defaults_rebuild_the_whole_paragraph(self, tmp_path: Path) -> None:
        template = docx.Document()
        p = template.add_paragraph("before ", style="List Bullet")
        p.add_run("KEY").bold = True
        p.add_run("\tafter")
        out = fill(tmp_path, template, [("KEY", "值")])
        p = out.paragraphs[0]
        assert p.style.name == "List Bullet" and p.alignment == WD_PARAGRAPH_ALIGNMENT.CENTER
        assert [run_facts(run) for run in p.runs] == [
            {"text": "before 值\tafter", "font": "Calibri", "east_asia": "標楷體", "size": Pt(8), "color": None, "page_break": False}
        ]
        assert p.runs[0].bold is None

    def test_tabs_and_line_breaks_survive_rebuilding(self, tmp_path: Path) -> None:
        template = docx.Document()
        # a soft line break sends the paragraph through the XML reader
        raw_paragraph(template, r("Name:") + "<w:r><w:tab/></w:r>" + r("KEY") + "<w:r><w:br/></w:r>" + r("line 2"))
        out = fill(tmp_path, template, [("KEY", "value")])
        assert [run.text for run in out.paragraphs[0].runs] == ["Name:\tvalue\nline 2"]

    def test_options(self, tmp_path: Path) -> None:
        options = dict(
            new_font_name="Arial", new_font_name_Chinese="新細明體", new_font_size=Pt(14),
            new_alignment=WD_PARAGRAPH_ALIGNMENT.RIGHT, left_indent=12, line_spacing=18, font_color=(255, 0, 16),
        )
        out = fill(tmp_path, body("KEY"), [("KEY", "line one\nline two", options)])
        p = out.paragraphs[0]
        assert run_facts(p.runs[0]) == {
            "text": "line one\nline two", "font": "Arial", "east_asia": "新細明體", "size": Pt(14), "color": "FF0010", "page_break": False,
        }
        assert p.alignment == WD_PARAGRAPH_ALIGNMENT.RIGHT
        assert p.paragraph_format.left_indent == Pt(12) and p.paragraph_format.line_spacing == Pt(18)

    def test_font_name_none_still_sets_east_asian_font(self, tmp_path: Path) -> None:
        out = fill(tmp_path, body("KEY"), [("KEY", "v", {"new_font_name": None})])
        facts = run_facts(out.paragraphs[0].runs[0])
        assert facts["font"] is None and facts["east_asia"] == "標楷體"


class TestPageBreaks:
    def test_markers_become_breaks_in_paragraphs_only(self, tmp_path: Path) -> None:
        template = cells("K")
        raw_paragraph(template, r("A") + PAGE_BREAK + r("B K"))
        out = fill(tmp_path, template, [("K", "one$$$page$$$two")])
        facts = [(f["text"], f["page_break"]) for f in map(run_facts, out.paragraphs[0].runs)]
        # the template's own break comes back through the accepted text
        assert facts == [("A", True), ("B one", True), ("two", False)]
        assert cell_texts(out) == ["one$$$page$$$two"]

    def test_paragraph_without_key_keeps_its_break(self, tmp_path: Path) -> None:
        template = docx.Document()
        raw_paragraph(template, r("A") + PAGE_BREAK + r("B"))
        out = fill(tmp_path, template, [("K", "v")])
        assert [run_facts(run)["page_break"] for run in out.paragraphs[0].runs] == [False, True, False]


class TestCells:
    def test_remark_run(self, tmp_path: Path) -> None:
        options = {"remark_new_font_size": Pt(6), "new_font_size": Pt(10), "font_color": (0, 0, 255)}
        out = fill(tmp_path, cells("K", "R2"), [("K", "text__remark__note", options), ("R2", "a__remark__b__remark__c")])
        first, second = out.tables[0].rows[0].cells
        facts = [run_facts(run) for run in first.paragraphs[0].runs]
        assert facts == [
            {"text": "text", "font": "Calibri", "east_asia": "標楷體", "size": Pt(10), "color": "0000FF", "page_break": False},
            {"text": "note", "font": "Calibri", "east_asia": "標楷體", "size": Pt(6), "color": "0000FF", "page_break": False},
        ]
        assert first.paragraphs[0].alignment == WD_PARAGRAPH_ALIGNMENT.CENTER
        assert [(f["text"], f["size"]) for f in map(run_facts, second.paragraphs[0].runs)] == [("a", Pt(8)), ("b", Pt(8))]

    def test_remark_and_picture_do_nothing_in_paragraphs(self, tmp_path: Path) -> None:
        pic = picture(tmp_path, 40, 20)
        out = fill(tmp_path, body("K"), [("K", "a__remark__b", {"image_path": pic, "image_width": 6, "image_height": 4})])
        assert [run.text for run in out.paragraphs[0].runs] == ["a__remark__b"]
        assert len(out.inline_shapes) == 0


class TestPictures:
    @pytest.mark.parametrize(
        "pixels, box, fixed, inches",
        [
            ((400, 200), (6, 4), True, (6, 3)),
            ((400, 200), (6, 2), True, (4, 2)),
            ((2, 1), (6, 4), True, (6, 3)),
            ((1, 2), (6, 4), True, (2, 4)),
            ((6, 2), (6, 4), True, (6, 2)),  # touches one limit: left as it is
            ((400, 200), (6, 4), False, (6, 4)),  # no fixed ratio: stretched to the box
            ((2, 1), (3, 5), False, (3, 5)),
        ],
    )
    def test_fitting(self, tmp_path: Path, pixels: tuple[int, int], box: tuple[int, int], fixed: bool, inches: tuple[int, int]) -> None:
        options = {"image_path": picture(tmp_path, *pixels), "image_width": box[0], "image_height": box[1], "image_fixed_ratio": fixed}
        out = fill(tmp_path, cells("K"), [("K", "caption", options)])
        cell = out.tables[0].cell(0, 0)
        assert picture_extents(cell) == [(inches[0] * EMU_PER_INCH, inches[1] * EMU_PER_INCH)]
        assert [run.text for run in cell.paragraphs[0].runs] == ["caption", ""]

    @pytest.mark.parametrize(
        "make, box, error",
        [
            (lambda folder: str(folder / "missing.png"), (6, 4), "No such file or directory"),
            (lambda folder: (folder / "bad.png").write_text("no image") and str(folder / "bad.png"), (6, 4), "cannot identify image file"),
            (lambda folder: picture(folder, 40, 20), (None, 4), "not supported between"),
        ],
    )
    def test_errors_are_reported_and_filling_goes_on(self, tmp_path: Path, capsys: Any, make: Any, box: tuple[Any, Any], error: str) -> None:
        options = {"image_path": make(tmp_path), "image_width": box[0], "image_height": box[1], "new_font_size": Pt(9)}
        out = fill(tmp_path, cells("K", "L"), [("K", "kept", options), ("L", "next")])
        lines = capsys.readouterr().out.splitlines()
        assert lines[0].startswith("execute_set設定照片錯誤 --> ") and error in lines[0]
        assert cell_texts(out) == ["kept", "next"] and len(out.inline_shapes) == 0
        assert run_facts(out.tables[0].cell(0, 0).paragraphs[0].runs[0])["size"] == Pt(9)
