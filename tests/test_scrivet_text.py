"""Reading paragraphs with tracked changes accepted and page breaks marked."""

from __future__ import annotations

from pathlib import Path
from typing import Any
from xml.etree.ElementTree import ParseError

import docx
import pytest
from docx.oxml.ns import nsdecls

from test_scrivet_support import LINE_BREAK, PAGE_BREAK, TAB, dele, ins, open_filler, r, raw_paragraph, save_template, scrivet_module

LINK = f'<w:hyperlink r:id="rId9">{r("link")}</w:hyperlink>'


@pytest.mark.parametrize(
    "inner, accepted, plain",
    [
        (r("a") + TAB + r("b"), "a\tb", "a\tb"),  # no changes, no break: python-docx's own text
        (r("A") + PAGE_BREAK + r("B"), "A$$$page$$$B", None),
        (r("A") + PAGE_BREAK + r("B") + ins(""), "A$$$page$$$B", "AB"),
        (r("a") + ins("b") + dele("<w:delText>c</w:delText>"), "ab", "ab"),
        (LINK + ins("+") + r("!"), "link+!", "link+!"),  # runs at any depth
        # on the parsed path line breaks and tabs give nothing; runs inside deletions are visited
        (r("x") + LINE_BREAK + LINK, "xlink", None),
        (r("a") + "<w:r><w:tab/><w:cr/></w:r>" + ins("b"), "ab", "ab"),
        (r("c") + '<w:r><w:br w:type="column"/></w:r>' + r("d") + PAGE_BREAK, "cd$$$page$$$", None),
        (r("A") + dele('<w:br w:type="page"/><w:tab/>') + r("B"), "A$$$page$$$B", "AB"),
    ],
)
def test_readers(inner: str, accepted: str, plain: str | None) -> None:
    reader = scrivet_module().Scrivet.Document()
    p = raw_paragraph(docx.Document(), inner)
    assert reader.get_accepted_text(p) == accepted
    assert reader._get_accepted_text(p) == (p.text if plain is None else plain)


def test_readers_parse_with_the_module_parser(monkeypatch: Any) -> None:
    S, document, seen = scrivet_module(), docx.Document(), []
    monkeypatch.setattr(S, "XML", lambda text, real=S.XML: seen.append(text) or real(text))  # type: ignore[func-returns-value]
    p = raw_paragraph(document, r("a") + ins("b"))
    reader = S.Scrivet.Document()
    assert reader.get_accepted_text(p) == reader._get_accepted_text(p) == "ab"
    reader.get_accepted_text(document.add_paragraph("plain"))
    assert len(seen) == 2


def test_show_all_text_flattens_body_paragraphs(tmp_path: Path) -> None:
    template = docx.Document()
    template.add_paragraph("first")
    raw_paragraph(template, r("A") + PAGE_BREAK + r("B") + dele("<w:delText>gone</w:delText>") + ins("C"))
    template.add_table(rows=1, cols=1).cell(0, 0).text = "cell"
    filler = open_filler(save_template(template, tmp_path), tmp_path)
    assert filler.show_all_text() == ["first", "A$$$page$$$BC"]
    p = filler.doc.paragraphs[1]
    assert [run.text for run in p.runs] == ["A$$$page$$$BC"]
    assert not any(tag in p._p.xml for tag in ("w:br", "w:ins", "w:del"))
    assert filler.doc.tables[0].cell(0, 0).text == "cell"


@pytest.mark.parametrize(
    "inner, expected",
    [
        ('<w:r><w:t>T</w:t><w:br w:type="page"/></w:r>', "$$$AAAA$$$T"),
        (r("a") + PAGE_BREAK + r("b"), "a$$$AAAA$$$b"),
        (r("a") + ins("b") + LINK, "a"),  # only runs directly under the paragraph
        ("<w:r><w:t>1</w:t><w:t>2</w:t></w:r>", "1"),  # only the first text
        ('<w:r><w:br/><w:br w:type="page"/><w:t>x</w:t></w:r>', "x"),  # only the first break
    ],
)
def test_ttff(inner: str, expected: str) -> None:
    assert scrivet_module().Scrivet.Document().ttff(f"<w:p {nsdecls('w', 'r')}>{inner}</w:p>") == expected


def test_bad_xml_raises() -> None:
    with pytest.raises(ParseError):
        scrivet_module().Scrivet.Document().ttff("<w:p")
