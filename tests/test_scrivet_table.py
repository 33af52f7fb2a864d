"""The patent summary table appended to the document."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import docx
import pytest
from docx.enum.table import WD_ALIGN_VERTICAL
from docx.enum.text import WD_PARAGRAPH_ALIGNMENT
from docx.oxml.ns import qn
from docx.shared import Cm

from test_scrivet_support import open_filler, picture, picture_extents, save_and_reopen, save_template


@pytest.fixture
def filler(tmp_path: Path) -> Any:
    template = docx.Document()
    template.add_paragraph("intro")
    return open_filler(save_template(template, tmp_path), tmp_path)


def ends_with_page_break(document: Any) -> bool:
    last = document.element.body.getchildren()[-2]  # before the section properties
    return last.tag == qn("w:p") and 'w:type="page"' in last.xml


def cm(length: Any) -> Any:
    """Centimetres as Word keeps them (heights and widths are stored in twips)."""
    return None if length is None else round(length.cm, 2)


class TestTable:
    def test_defaults(self, filler: Any, tmp_path: Path) -> None:
        filler._add_table()
        out = save_and_reopen(filler, tmp_path)
        table = out.tables[0]
        assert table.style.name == "Table Grid" and len(table.rows) == 4 and len(table.columns) == 3
        assert [c.text for c in table.rows[0].cells] == ["專利編號", "專利名稱", "關聯性"]
        assert [c.text for c in table.rows[1].cells] == ["", "", ""]
        row2 = table.rows[2].cells
        assert row2[0]._tc is row2[2]._tc and row2[0].text == "摘要：\n"
        assert "<w:br/>" in row2[0].paragraphs[0]._p.xml
        row3 = table.rows[3].cells
        assert row3[0]._tc is row3[1]._tc is row3[2]._tc and row3[0].text == ""
        assert [cm(row.height) for row in table.rows] == [0.8, 0.8, 8, 10]
        assert [cm(c.width) for c in table.rows[1].cells] == [2, 12.2, 2]
        assert cm(row2[0].width) == 2  # a merged cell takes every width in turn, the last one stays
        assert all(c.vertical_alignment == WD_ALIGN_VERTICAL.CENTER for row in table.rows for c in row.cells)
        assert ends_with_page_break(out)

    def test_values_as_text_and_extra_rows(self, filler: Any, tmp_path: Path) -> None:
        filler._add_table("摘要內容", 12345, 3.5, rows=6, cols=4)
        filler._add_table(abstract="second")
        out = save_and_reopen(filler, tmp_path)
        table = out.tables[0]
        assert [c.text for c in table.rows[1].cells] == ["12345", "3.5", "", ""]
        assert table.cell(2, 0).text == "摘要：\n摘要內容" and table.cell(2, 3).text == ""
        assert [row.height for row in table.rows[4:]] == [None, None]
        assert all(c.text == "" and c.vertical_alignment == WD_ALIGN_VERTICAL.CENTER for row in table.rows[4:] for c in row.cells)
        # every row gets the three widths; the fourth column keeps the width the table was made with
        assert [cm(c.width) for c in table.rows[5].cells[:3]] == [2, 12.2, 2]
        assert len({cm(row.cells[3].width) for row in table.rows} - {2, 12.2}) == 1
        assert len(out.tables) == 2 and out.tables[1].cell(2, 0).text == "摘要：\nsecond"
        breaks = [p for p in out.paragraphs if 'w:type="page"' in p._p.xml]
        assert len(breaks) == 2

    def test_too_few_rows_raises_and_leaves_the_partial_table(self, filler: Any) -> None:
        with pytest.raises(IndexError):
            filler._add_table(rows=3)
        assert len(filler.doc.tables) == 1 and not ends_with_page_break(filler.doc)

    def test_missing_grid_style_is_reported(self, tmp_path: Path, capsys: Any) -> None:
        template = docx.Document()
        styles = template.styles
        styles.element.remove(styles["Table Grid"].element)
        filler = open_filler(save_template(template, tmp_path), tmp_path)
        filler._add_table(PAPN="1")
        assert capsys.readouterr().out == "無法設定格線\n"
        assert filler.doc.tables[0].cell(1, 0).text == "1" and ends_with_page_break(filler.doc)


class TestFigure:
    @pytest.mark.parametrize(
        "pixels, extent",
        [
            ((1200, 1000), (None, Cm(13))),  # 1200 < 1.2615 x 1000: tall
            ((1300, 1000), (Cm(16.4), None)),  # wide
            ((1640, 1300), (Cm(16.4), None)),  # the box ratio itself counts as wide
        ],
    )
    def test_orientation(self, filler: Any, tmp_path: Path, pixels: tuple[int, int], extent: tuple[Any, Any]) -> None:
        filler._add_table(image_path=picture(tmp_path, *pixels))
        out = save_and_reopen(filler, tmp_path)
        cell = out.tables[0].cell(3, 0)
        [(cx, cy)] = picture_extents(cell)
        if extent[0] is not None:
            assert cx == extent[0] and abs(cy - extent[0] * pixels[1] / pixels[0]) <= 1
        else:
            assert cy == extent[1] and abs(cx - extent[1] * pixels[0] / pixels[1]) <= 1
        assert cell.paragraphs[0].alignment == WD_PARAGRAPH_ALIGNMENT.CENTER
        assert ends_with_page_break(out)

    def test_unreadable_figure(self, filler: Any, tmp_path: Path, capsys: Any) -> None:
        filler._add_table(image_path=str(tmp_path / "missing.png"))
        lines = capsys.readouterr().out.splitlines()
        assert "No such file or directory" in lines[0] and lines[1:] == ["插入圖片錯誤"]
        cell = filler.doc.tables[0].cell(3, 0)
        assert [r.text for r in cell.paragraphs[0].runs] == ["", ""] and cell.paragraphs[0].alignment is None
        assert ends_with_page_break(filler.doc)

    def test_picture_python_docx_cannot_place(self, filler: Any, tmp_path: Path, capsys: Any) -> None:
        from PIL import Image

        webp = tmp_path / "figure.webp"
        Image.new("RGB", (300, 200)).save(webp)
        filler._add_table(image_path=str(webp))
        assert capsys.readouterr().out == "插入圖片錯誤\n"
        cell = filler.doc.tables[0].cell(3, 0)
        assert picture_extents(cell) == [] and cell.paragraphs[0].alignment is None
        assert ends_with_page_break(filler.doc)
