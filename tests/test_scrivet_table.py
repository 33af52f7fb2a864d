"""The patent summary table appended to the document."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import docx
import pytest
from docx.enum.table import WD_ALIGN_VERTICAL
from docx.enum.text import WD_PARAGRAPH_ALIGNMENT
from docx.shared import Cm

from test_scrivet_support import open_filler, picture, picture_extents, save_and_reopen, save_template


@pytest.fixture
def filler(tmp_path: Path) -> Any:
    return open_filler(save_template(docx.Document(), tmp_path), tmp_path)


def ends_with_page_break(document: Any) -> bool:
    last = document.element.body[-2]  # before the section properties
    return last.tag.endswith("}p") and 'w:type="page"' in last.xml


def cm(length: Any) -> Any:
    """Centimetres as Word keeps them (heights and widths are stored in twips)."""
    return None if length is None else round(length.cm, 2)


def test_defaults(filler: Any, tmp_path: Path) -> None:
    filler._add_table()
    out = save_and_reopen(filler, tmp_path)
    table = out.tables[0]
    assert table.style.name == "Table Grid" and (len(table.rows), len(table.columns)) == (4, 3)
    assert [[c.text for c in row.cells] for row in table.rows] == [
        ["專利編號", "專利名稱", "關聯性"], ["", "", ""], ["摘要：\n"] * 3, [""] * 3,
    ]
    assert len({c._tc for c in table.rows[2].cells}) == len({c._tc for c in table.rows[3].cells}) == 1
    assert [cm(row.height) for row in table.rows] == [0.8, 0.8, 8, 10]
    # a merged cell takes every width in turn; the last one stays
    assert [cm(c.width) for c in table.rows[1].cells] == [2, 12.2, 2] and cm(table.cell(2, 0).width) == 2
    assert all(c.vertical_alignment == WD_ALIGN_VERTICAL.CENTER for row in table.rows for c in row.cells)
    assert ends_with_page_break(out)


def test_values_as_text_and_extra_rows(filler: Any, tmp_path: Path) -> None:
    filler._add_table("摘要內容", 12345, 3.5, rows=6, cols=4)
    filler._add_table(abstract="second")
    out = save_and_reopen(filler, tmp_path)
    table = out.tables[0]
    assert [c.text for c in table.rows[1].cells] == ["12345", "3.5", "", ""]
    assert (table.cell(2, 0).text, table.cell(2, 3).text) == ("摘要：\n摘要內容", "")
    assert [row.height for row in table.rows[4:]] == [None, None]
    assert all(c.text == "" and c.vertical_alignment == WD_ALIGN_VERTICAL.CENTER for row in table.rows[4:] for c in row.cells)
    # every row gets the three widths; the fourth column keeps the one the table was made with
    assert [cm(c.width) for c in table.rows[5].cells[:3]] == [2, 12.2, 2]
    assert len({cm(row.cells[3].width) for row in table.rows} - {2, 12.2}) == 1
    assert out.tables[1].cell(2, 0).text == "摘要：\nsecond"
    assert len([p for p in out.paragraphs if 'w:type="page"' in p._p.xml]) == 2


def test_too_few_rows_raises_and_leaves_the_partial_table(filler: Any) -> None:
    with pytest.raises(IndexError):
        filler._add_table(rows=3)
    assert len(filler.doc.tables) == 1 and not ends_with_page_break(filler.doc)


def test_missing_grid_style_is_reported(tmp_path: Path, capsys: Any) -> None:
    template = docx.Document()
    template.styles.element.remove(template.styles["Table Grid"].element)
    filler = open_filler(save_template(template, tmp_path), tmp_path)
    filler._add_table(PAPN="1")
    assert capsys.readouterr().out == "無法設定格線\n" and filler.problems == ["無法設定格線"]
    assert filler.doc.tables[0].cell(1, 0).text == "1" and ends_with_page_break(filler.doc)


@pytest.mark.parametrize(
    "pixels, wide",
    [((1200, 1000), False), ((1300, 1000), True), ((1640, 1300), True)],  # 1200 < 1.2615 x 1000: tall
)
def test_figure_orientation(filler: Any, tmp_path: Path, pixels: tuple[int, int], wide: bool) -> None:
    filler._add_table(image_path=picture(tmp_path, *pixels))
    cell = save_and_reopen(filler, tmp_path).tables[0].cell(3, 0)
    [(cx, cy)] = picture_extents(cell)
    if wide:
        assert cx == Cm(16.4) and abs(cy - Cm(16.4) * pixels[1] / pixels[0]) <= 1
    else:
        assert cy == Cm(13) and abs(cx - Cm(13) * pixels[0] / pixels[1]) <= 1
    assert cell.paragraphs[0].alignment == WD_PARAGRAPH_ALIGNMENT.CENTER


@pytest.mark.parametrize("suffix, first_line", [("missing", "No such file or directory"), ("webp", "插入圖片錯誤")])
def test_figure_errors(filler: Any, tmp_path: Path, capsys: Any, suffix: str, first_line: str) -> None:
    path = picture(tmp_path, 300, 200, "webp") if suffix == "webp" else str(tmp_path / "missing.png")
    filler._add_table(image_path=path)
    lines = capsys.readouterr().out.splitlines()
    assert first_line in lines[0] and lines[-1] == "插入圖片錯誤" and len(lines) == (2 if suffix == "missing" else 1)
    assert filler.problems == lines
    cell = filler.doc.tables[0].cell(3, 0)
    assert [r.text for r in cell.paragraphs[0].runs] == ["", ""] and picture_extents(cell) == []
    assert cell.paragraphs[0].alignment is None and ends_with_page_break(filler.doc)
