"""Reading paragraphs with tracked changes accepted and page breaks marked."""

from __future__ import annotations

from pathlib import Path
from typing import Any
from xml.etree.ElementTree import ParseError

import docx
import pytest
from docx.oxml.ns import nsdecls

from test_scrivet_support import LINE_BREAK, PAGE_BREAK, W, dele, ins, open_filler, r, raw_paragraph, save_template, scrivet_module

DELETED_PAGE_BREAK = (
    '<w:del w:id="3" w:author="t" w:date="2025-01-01T00:00:00Z"><w:r><w:br w:type="page"/><w:tab/></w:r></w:del>'
)
HYPERLINK = f'<w:hyperlink r:id="rId99">{r("link")}</w:hyperlink>'


@pytest.fixture
def reader() -> Any:
    return scrivet_module().Scrivet.Document()


@pytest.fixture
def document() -> Any:
    return docx.Document()


class TestReaders:
    @pytest.mark.parametrize(
        "inner, accepted, plain",
        [
            # no tracked changes, no break: python-docx's own text, tabs included
            (r("a") + "<w:r><w:tab/></w:r>" + r("b"), "a\tb", "a\tb"),
            (r("A") + PAGE_BREAK + r("B"), "A$$$page$$$B", None),
            (r("A") + PAGE_BREAK + r("B") + ins(""), "A$$$page$$$B", "AB"),
            (r("a") + ins("b") + dele("c"), "ab", "ab"),
            # tabs and line breaks read as python-docx reads them; deleted runs give nothing
            (r("x") + LINE_BREAK + r("y"), "x\ny", None),
            (r("a") + "<w:r><w:tab/><w:cr/></w:r>" + ins("b"), "a\t\nb", "ab"),
            (r("c") + '<w:r><w:br w:type="column"/></w:r>' + r("d") + PAGE_BREAK, "cd$$$page$$$", None),
            (r("A") + DELETED_PAGE_BREAK + r("B"), "AB", "AB"),
            # runs at any depth count once the XML is parsed
            (HYPERLINK + ins("+") + r("!"), "link+!", "link+!"),
            (r("x") + LINE_BREAK + HYPERLINK, "x\nlink", None),
        ],
    )
    def test_accepted_text(self, reader: Any, document: Any, inner: str, accepted: str, plain: str | None) -> None:
        p = raw_paragraph(document, inner)
        assert reader.get_accepted_text(p) == accepted
        assert reader._get_accepted_text(p) == (p.text if plain is None else plain)

    def test_readers_use_the_module_parser(self, reader: Any, document: Any, monkeypatch: Any) -> None:
        seen: list[str] = []
        S = scrivet_module()
        real = S.XML

        def spy(text: str) -> Any:
            seen.append(text)
            return real(text)

        monkeypatch.setattr(S, "XML", spy)
        p = raw_paragraph(document, r("a") + ins("b"))
        reader.get_accepted_text(p)
        reader._get_accepted_text(p)
        reader.get_accepted_text(document.add_paragraph("plain"))
        assert len(seen) == 2 and all("w:ins" in text for text in seen)


class TestShowAllText:
    def test_flattens_every_body_paragraph(self, tmp_path: Path) -> None:
        template = docx.Document()
        template.add_paragraph("first")
        raw_paragraph(template, r("A") + PAGE_BREAK + r("B") + dele("gone") + ins("C"))
        table = template.add_table(rows=1, cols=1)
        raw_paragraph(template, r("last"))
        table.cell(0, 0).text = "cell"
        filler = open_filler(save_template(template, tmp_path), tmp_path)
        assert filler.show_all_text() == ["first", "A$$$page$$$BC", "last"]
        p = filler.doc.paragraphs[1]
        assert [run.text for run in p.runs] == ["A$$$page$$$BC"]
        xml = p._p.xml
        assert "w:br" not in xml and "w:ins" not in xml and "w:del" not in xml
        assert filler.doc.tables[0].cell(0, 0).text == "cell"


class TestTtff:
    def para(self, inner: str) -> str:
        return f"<w:p {nsdecls('w', 'r')}>{inner}</w:p>"

    @pytest.mark.parametrize(
        "inner, expected",
        [
            ('<w:r><w:t>T</w:t><w:br w:type="page"/></w:r>', "$$$AAAA$$$T"),
            (r("a") + PAGE_BREAK + r("b"), "a$$$AAAA$$$b"),
            # only direct runs, only the first text of each run
            (r("a") + ins("b") + HYPERLINK, "a"),
            ("<w:r><w:t>1</w:t><w:t>2</w:t></w:r>", "1"),
            ('<w:r><w:br/><w:br w:type="page"/><w:t>x</w:t></w:r>', "x"),
        ],
    )
    def test_reads_direct_runs(self, reader: Any, inner: str, expected: str) -> None:
        assert reader.ttff(self.para(inner)) == expected

    def test_bad_xml_raises(self, reader: Any) -> None:
        with pytest.raises(ParseError):
            reader.ttff("<w:p")
        with pytest.raises(ParseError):
            reader.ttff(f'<w:p xmlns:w="{W}"><w:r></w:p>')
