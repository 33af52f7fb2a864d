"""Registering replacements and filling them into body paragraphs and table
cells, checked run by run in the saved and reopened file."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import docx
import pytest
from docx.enum.text import WD_PARAGRAPH_ALIGNMENT as ALIGN
from docx.oxml.ns import qn
from docx.shared import Pt

from test_scrivet_support import (
    INCH, LINE_BREAK, PAGE_BREAK, TAB, dele, open_filler, picture, picture_extents, r, raw_paragraph, run_facts,
    save_and_reopen, save_template, scrivet_module,
)


def fill(tmp_path: Path, template: Any, entries: list[tuple[Any, ...]]) -> Any:
    """Fills (key, value[, options]) entries in and returns the reopened file."""
    filler = open_filler(save_template(template, tmp_path), tmp_path)
    for key, value, *options in entries:
        filler.set(key, value, **(options[0] if options else {}))
    filler.execute_set()
    return save_and_reopen(filler, tmp_path)


def template_with(paragraphs: list[str] = [], cells: list[str] = []) -> Any:
    document = docx.Document()
    for text in paragraphs:
        document.add_paragraph(text)
    if cells:
        for cell, text in zip(document.add_table(rows=1, cols=len(cells)).rows[0].cells, cells):
            cell.text = text
    return document


def cell_texts(document: Any) -> list[str]:
    return [c.text for row in document.tables[0].rows for c in row.cells]


def test_set_entry_defaults_and_order() -> None:
    filler = scrivet_module().Scrivet.Document()
    filler.set(5, 6.5, unknown="ignored")
    filler.set("B", "b", new_font_size=Pt(12), remark_new_font_size=Pt(6), image_fixed_ratio=False)
    filler.set(5, "again")
    assert list(filler.replace_value) == ["5", "B"]
    assert list(filler.replace_value["5"].items()) == [
        ("替換值", "again"), ("英文字型", "Calibri"), ("中文字型", "標楷體"), ("字體大小", Pt(8)),
        ("對其位置", ALIGN.CENTER), ("left_indent", None), ("line_spacing", None), ("font_color", None),
        ("__remark__", {"字體大小": Pt(8)}), ("image_path", None), ("image_height", None), ("image_width", None),
        ("固定圖片比例", True),
    ]
    other = filler.replace_value["B"]
    assert (other["字體大小"], other["__remark__"], other["固定圖片比例"]) == (Pt(12), {"字體大小": Pt(6)}, False)


class TestValuesADocumentCannotHold:
    @pytest.mark.parametrize(
        "value, options, message",
        [
            ("bell\x07", {}, r"set\('KEY'\): the value holds the character '\\x07' \(U\+0007\)"),
            ("nul\x00", {}, r"'\\x00' \(U\+0000\)"),
            ("page\x0c", {}, r"'\\x0c' \(U\+000C\)"),
            ("half \ud800", {}, r"U\+D800"),
            ("v", {"new_font_name": "Ari\x01al"}, r"new_font_name holds the character '\\x01'"),
            ("v", {"new_font_size": 12}, r"set\('KEY'\): new_font_size=12 .*one point.*Pt\(12\)"),
            ("v", {"new_font_size": "12"}, r"new_font_size='12' .*Pt\("),
            ("v", {"remark_new_font_size": Pt(0.5)}, r"remark_new_font_size=6350 .*Pt\("),
            ("v", {"font_color": (300, 0, 0)}, r"set\('KEY'\): .*RGBColor"),
        ],
        ids=["bell", "nul", "form feed", "lone surrogate", "font name", "size as a number", "size as text",
             "remark under a point", "colour out of range"],
    )
    def test_set_refuses_and_keeps_the_registry(self, value: str, options: dict[str, Any], message: str) -> None:
        filler = scrivet_module().Scrivet.Document()
        filler.set("KEY", "earlier")
        with pytest.raises(ValueError, match=message):
            filler.set("KEY", value, **options)
        assert filler.replace_value["KEY"]["替換值"] == "earlier"

    def test_vertical_tab_is_a_line_break_and_real_sizes_work(self, tmp_path: Path) -> None:
        options = {"new_font_size": Pt(12), "remark_new_font_size": Pt(1)}
        out = fill(tmp_path, template_with(["KEY"], ["KEY"]), [("KEY", "line 1\vline 2", options)])
        assert out.paragraphs[0].text == "line 1\nline 2" and cell_texts(out) == ["line 1\nline 2"]
        assert run_facts(out.paragraphs[0].runs[0])[3] == 12


def overspanning_table(document: Any) -> None:
    """A table declaring two grid columns whose second row holds three cells,
    the last one continuing a vertical merge from a cell the row above lacks:
    python-docx cannot list that row's cells."""
    from docx.oxml.ns import nsdecls

    def tc(text: str, merge: str = "") -> str:
        return f"<w:tc><w:tcPr>{merge}</w:tcPr><w:p>{r(text)}</w:p></w:tc>" if text or not merge else f"<w:tc><w:tcPr>{merge}</w:tcPr><w:p/></w:tc>"

    rows = [[tc("A KEY"), tc("B")], [tc("C KEY"), tc("D KEY"), tc("", "<w:vMerge/>")], [tc("E KEY"), tc("F")]]
    body = "".join("<w:tr>" + "".join(row) + "</w:tr>" for row in rows)
    grid = '<w:tblGrid><w:gridCol w:w="3000"/><w:gridCol w:w="3000"/></w:tblGrid>'
    anchor = document.add_paragraph()._p
    anchor.addnext(docx.oxml.parse_xml(f"<w:tbl {nsdecls('w')}><w:tblPr/>{grid}{body}</w:tbl>"))
    anchor.getparent().remove(anchor)


class TestTablesPythonDocxCannotList:
    def test_every_cell_there_is_filled(self, tmp_path: Path, capsys: Any) -> None:
        template = template_with(["body KEY"])
        overspanning_table(template)
        template.add_table(rows=1, cols=1).cell(0, 0).text = "G KEY"
        with pytest.raises(ValueError, match="grid_offset"):
            template.tables[0].rows[1].cells
        out = fill(tmp_path, template, [("KEY", "v")])
        texts = [["".join(t.itertext()) for t in tc.iter(qn("w:t"))] for tc in out.tables[0]._tbl.iter(qn("w:tc"))]
        assert texts == [["A v"], ["B"], ["C v"], ["D v"], [], ["E v"], ["F"]]
        assert out.paragraphs[0].text == "body v" and out.tables[1].cell(0, 0).text == "G v"
        assert capsys.readouterr().out.startswith("[完成！]")  # nothing else printed

    def test_a_table_that_cannot_be_read_at_all_is_named_and_skipped(
        self, tmp_path: Path, capsys: Any, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        from docx.oxml.table import CT_Row

        template = template_with(["body KEY"], ["T1 KEY"])
        overspanning_table(template)
        filler = open_filler(save_template(template, tmp_path), tmp_path)
        filler.set("KEY", "v")

        real: Any = CT_Row.__dict__["tc_lst"]

        def cells_of(row: Any) -> Any:
            if "C KEY" in row.xpath("string(.)"):
                raise TypeError("unreadable row")
            return real.fget(row)

        monkeypatch.setattr(CT_Row, "tc_lst", property(cells_of))
        filler.execute_set()
        monkeypatch.undo()
        assert capsys.readouterr().out == "execute_set無法讀取表格，略過 --> 第2個表格: unreadable row\n"
        assert filler.problems == ["execute_set無法讀取表格，略過 --> 第2個表格: unreadable row"]
        out = save_and_reopen(filler, tmp_path)
        assert out.paragraphs[0].text == "body v" and out.tables[0].cell(0, 0).text == "T1 v"
        assert out.tables[1].cell(0, 0).text == "A KEY"


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
            ("keep", [("", "E")], "keep"),  # an empty key names nothing
        ],
    )
    def test_paragraphs_and_cells(self, tmp_path: Path, text: str, entries: list[tuple[str, str]], expected: str) -> None:
        out = fill(tmp_path, template_with([text], [text, "other"]), entries)
        assert out.paragraphs[0].text == expected and cell_texts(out) == [expected, "other"]

    def test_merged_cell_is_filled_once(self, tmp_path: Path) -> None:
        template = template_with(cells=["", ""])
        table = template.tables[0]
        table.add_row()
        table.cell(0, 0).merge(table.cell(1, 1)).text = "K"
        assert fill(tmp_path, template, [("K", "[K]")]).tables[0].cell(0, 0).text == "[K]"


class TestParagraphs:
    def test_defaults_rebuild_the_whole_paragraph(self, tmp_path: Path) -> None:
        template = docx.Document()
        p = template.add_paragraph("before ", style="List Bullet")
        p.add_run("KEY").bold = True
        p.add_run("\tafter")
        p = fill(tmp_path, template, [("KEY", "值")]).paragraphs[0]
        assert p.style.name == "List Bullet" and p.alignment == ALIGN.CENTER and p.runs[0].bold is None
        assert [run_facts(run) for run in p.runs] == [("before 值\tafter", "Calibri", "標楷體", 8, None, False)]

    def test_options(self, tmp_path: Path) -> None:
        options = dict(
            new_font_name="Arial", new_font_name_Chinese="新細明體", new_font_size=Pt(14), new_alignment=ALIGN.RIGHT,
            left_indent=12, line_spacing=18, font_color=(255, 0, 16),
        )
        p = fill(tmp_path, template_with(["KEY"]), [("KEY", "one\ntwo", options)]).paragraphs[0]
        assert [run_facts(run) for run in p.runs] == [("one\ntwo", "Arial", "新細明體", 14, "FF0010", False)]
        assert p.alignment == ALIGN.RIGHT
        assert (p.paragraph_format.left_indent, p.paragraph_format.line_spacing) == (Pt(12), Pt(18))

    def test_font_name_none_still_sets_east_asian_font(self, tmp_path: Path) -> None:
        p = fill(tmp_path, template_with(["KEY"]), [("KEY", "v", {"new_font_name": None})]).paragraphs[0]
        assert run_facts(p.runs[0])[1:3] == (None, "標楷體")

    def test_breaks_and_tabs(self, tmp_path: Path) -> None:
        template = template_with(["untouched"], ["%P"])
        raw_paragraph(template, r("A") + PAGE_BREAK + r("B %P"))
        raw_paragraph(template, r("Name:") + TAB + r("KEY") + LINE_BREAK + r("line 2"))
        raw_paragraph(template, r("C") + PAGE_BREAK + r("D"))
        raw_paragraph(template, r("E") + dele('<w:br w:type="page"/><w:delText>x</w:delText>') + r("K2"))
        out = fill(tmp_path, template, [("%P", "one$$$page$$$two"), ("KEY", "v"), ("K2", "w")])
        runs = [[(f[0], f[5]) for f in map(run_facts, p.runs)] for p in out.paragraphs]
        assert runs == [
            [("untouched", False)],
            [("A", True), ("B one", True), ("two", False)],  # the template's own break comes back
            [("Name:\tv\nline 2", False)],
            [("C", False), ("", True), ("D", False)],  # a paragraph without key keeps its runs
            [("Ew", False)],  # a deleted page break stays deleted
        ]
        assert cell_texts(out) == ["one$$$page$$$two"]  # no page breaks in cells


class TestCells:
    def test_remark_run(self, tmp_path: Path) -> None:
        options = {"remark_new_font_size": Pt(6), "new_font_size": Pt(10), "font_color": (0, 0, 255)}
        out = fill(tmp_path, template_with(cells=["K", "R2"]), [("K", "text__remark__note", options), ("R2", "a__remark__b__remark__c")])
        first, second = out.tables[0].rows[0].cells
        assert [run_facts(run) for run in first.paragraphs[0].runs] == [
            ("text", "Calibri", "標楷體", 10, "0000FF", False),
            ("note", "Calibri", "標楷體", 6, "0000FF", False),
        ]
        assert first.paragraphs[0].alignment == ALIGN.CENTER
        assert [run_facts(run)[::3] for run in second.paragraphs[0].runs] == [("a", 8), ("b", 8)]

    def test_remark_and_picture_do_nothing_in_paragraphs(self, tmp_path: Path) -> None:
        options = {"image_path": picture(tmp_path, 40, 20), "image_width": 6, "image_height": 4}
        out = fill(tmp_path, template_with(["K"]), [("K", "a__remark__b", options)])
        assert [run.text for run in out.paragraphs[0].runs] == ["a__remark__b"] and len(out.inline_shapes) == 0

    @pytest.mark.parametrize(
        "pixels, box, fixed, inches",
        [
            ((400, 200), (6, 4), True, (6, 3)),
            ((400, 200), (6, 2), True, (4, 2)),
            ((2, 1), (6, 4), True, (6, 3)),
            ((1, 2), (6, 4), True, (2, 4)),
            ((6, 2), (6, 4), True, (6, 2)),  # touches one limit: left as it is
            ((400, 200), (6, 4), False, (6, 4)),  # no fixed ratio: stretched to the box
        ],
    )
    def test_picture_fitting(self, tmp_path: Path, pixels: Any, box: Any, fixed: bool, inches: Any) -> None:
        options = {"image_path": picture(tmp_path, *pixels), "image_width": box[0], "image_height": box[1], "image_fixed_ratio": fixed}
        cell = fill(tmp_path, template_with(cells=["K"]), [("K", "caption", options)]).tables[0].cell(0, 0)
        assert picture_extents(cell) == [(inches[0] * INCH, inches[1] * INCH)]
        assert [run.text for run in cell.paragraphs[0].runs] == ["caption", ""]

    @pytest.mark.parametrize(
        "path, box, error",
        [
            ("missing.png", (6, 4), "No such file or directory"),
            ("template.docx", (6, 4), "cannot identify image file"),
            (None, (None, 4), "not supported between"),
            ("webp", (6, 4), ""),  # Pillow reads it, python-docx cannot place it
        ],
    )
    def test_picture_errors_are_reported_and_filling_goes_on(self, tmp_path: Path, capsys: Any, path: Any, box: Any, error: str) -> None:
        image = picture(tmp_path, 40, 20, "webp" if path == "webp" else "png")
        options = {"image_path": str(tmp_path / path) if path not in (None, "webp") else image,
                   "image_width": box[0], "image_height": box[1], "new_font_size": Pt(9)}
        out = fill(tmp_path, template_with(cells=["K", "L"]), [("K", "kept", options), ("L", "next")])
        line = capsys.readouterr().out.splitlines()[0]
        assert line.startswith("execute_set設定照片錯誤 --> ") and error in line
        assert cell_texts(out) == ["kept", "next"] and len(out.inline_shapes) == 0
        assert run_facts(out.tables[0].cell(0, 0).paragraphs[0].runs[0])[3] == 9
