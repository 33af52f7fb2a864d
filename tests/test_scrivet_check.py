"""Listing placeholders still present after filling."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import docx
import pytest

from test_scrivet_support import PAGE_BREAK, open_filler, r, raw_paragraph, save_template


def checker(tmp_path: Path, texts: list[str], entries: list[tuple[str, str]]) -> Any:
    template = docx.Document()
    for text in texts:
        template.add_paragraph(text)
    filler = open_filler(save_template(template, tmp_path), tmp_path)
    for key, value in entries:
        filler.set(key, value)
    return filler


class TestCheck:
    def test_complete_fill_leaves_nothing(self, tmp_path: Path) -> None:
        filler = checker(tmp_path, ["A here", "B and A"], [("A", "甲"), ("B", "乙")])
        filler.execute_set()
        filler.show_execute_set()
        assert filler.check_dict == {}

    def test_records_paragraphs_once_and_ignores_cells(self, tmp_path: Path) -> None:
        filler = checker(tmp_path, ["KEY KEY", "none", "KEY 【符號說明】", "OTHER"], [("KEY", "v"), ("OTHER", "w"), ("MISSING", "x")])
        filler.doc.add_table(rows=1, cols=1).cell(0, 0).text = "KEY"
        filler.show_execute_set()
        assert filler.check_dict == {"KEY": {"text": ["KEY KEY", "KEY 【符號說明】"]}, "OTHER": {"text": ["OTHER"]}}
        filler.delete()
        filler.show_execute_set()  # each call starts afresh
        assert filler.check_dict == {}

    def test_specified_range(self, tmp_path: Path) -> None:
        texts = ["K1 before", "值一 K1", "K1 K2 again", "【符號說明】 K1", "K1 after 值二 K2"]
        filler = checker(tmp_path, texts, [("K1", "值一"), ("K2", "值二")])
        filler.show_execute_set(specify_range=True)
        assert filler.check_dict == {"K1": {"text": ["值一 K1", "K1 K2 again"]}}
        filler.show_execute_set()
        assert filler.check_dict["K1"]["text"] == texts
        assert filler.check_dict["K2"]["text"] == [texts[2], texts[4]]

    @pytest.mark.parametrize(
        "text, recorded",
        [
            ("see [Ref] here", False),
            ("Ref and [Ref]", True),  # an earlier stray key is not undone by a later inserted one
            ("[Ref] and Ref", True),
            ("Ref (Ref) two", False),  # the last one lies inside the longer placeholder's value
            ("(Ref) two Ref", True),
            ("Ref", True),  # no room for the value before the key
        ],
    )
    def test_key_inside_its_replacement(self, tmp_path: Path, text: str, recorded: bool) -> None:
        filler = checker(tmp_path, [text], [("Ref", "[Ref]"), ("Ref2", "(Ref) two")])
        filler.show_execute_set()
        assert ("Ref" in filler.check_dict) is recorded

    def test_filling_a_key_into_its_own_value_is_not_reported(self, tmp_path: Path) -> None:
        filler = checker(tmp_path, ["Ref", "x Ref y"], [("Ref", "[Ref]")])
        filler.execute_set()
        filler.show_execute_set()
        assert [p.text for p in filler.doc.paragraphs] == ["[Ref]", "x [Ref] y"] and filler.check_dict == {}

    def test_empty_key_is_recorded_once_per_paragraph(self, tmp_path: Path) -> None:
        filler = checker(tmp_path, ["one", "", "two two"], [("", "empty"), ("two", "2")])
        filler.show_execute_set()
        assert filler.check_dict == {"": {"text": ["one", "", "two two"]}, "two": {"text": ["two two"]}}

    def test_paragraphs_stay_flattened(self, tmp_path: Path) -> None:
        filler = checker(tmp_path, [], [("K", "v")])
        raw_paragraph(filler.doc, r("A") + PAGE_BREAK + r("B"))
        raw_paragraph(filler.doc, r("C") + PAGE_BREAK + r("K"))
        filler.show_execute_set()
        assert filler.check_dict == {"K": {"text": ["C$$$page$$$K"]}}
        filler.execute_set()
        first, second = filler.doc.paragraphs
        # the marker turns back into a break only where a key was replaced
        assert first.text == "A$$$page$$$B" and "w:br" not in first._p.xml
        assert [run.text for run in second.runs] == ["C", "v"] and 'w:type="page"' in second._p.xml
