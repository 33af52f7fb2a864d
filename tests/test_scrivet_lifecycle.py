"""Scrivet import rules, the container, template selection and saving."""

from __future__ import annotations

import io
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path
from typing import Any

import docx
import pytest

from conftest import DATA
from test_scrivet_support import PACKAGE, FakeConverter, open_filler, save_template, scrivet_module

OLE = bytes.fromhex("D0CF11E0A1B11AE1")  # an OLE compound file, as .doc and encrypted Office files are
ODT = "application/vnd.oasis.opendocument.text"


def zipped(members: dict[str, str]) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, text in members.items():
            archive.writestr(name, text)
    return buffer.getvalue()


NAMES = "os Docu Pt RGBColor Cm Inches WD_PARAGRAPH_ALIGNMENT WD_ALIGN_VERTICAL WD_BREAK qn Image ET XML Folioprint Scrivet"


def module_names_in(code: str) -> str:
    """Runs `code` then imports Scrivet in a fresh interpreter without a display."""
    script = textwrap.dedent(code) + f"import {PACKAGE}.Scrivet as S\nprint(*[k for k in vars(S) if k[:2] != '__'])\n"
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    return done.stdout.strip() or done.stderr.strip().splitlines()[-1]


class TestImport:
    def test_names_without_display(self) -> None:
        assert module_names_in("") == NAMES

    def test_failure_inside_library_block_is_silent_and_skips_the_rest(self) -> None:
        assert module_names_in("import sys; sys.modules['PIL.Image'] = None\n") == NAMES.replace(" Image ET", "")

    def test_missing_converter_fails_the_import(self) -> None:
        assert module_names_in(f"import sys; sys.modules['{PACKAGE}.Folioprint'] = None\n").startswith("ImportError")

    def test_bound_objects(self) -> None:
        import xml.etree.ElementTree as ET

        from varnholt通用模組.Folioprint import Folioprint

        S = scrivet_module()
        assert S.XML is ET.XML and S.ET is ET and S.Folioprint is Folioprint and S.Docu is docx.Document


class TestObjects:
    def test_container_and_document_state(self) -> None:
        S = scrivet_module()
        assert S.Scrivet().__version__ == "v2025_01_04_001"
        assert S.Scrivet().Document is S.Scrivet.Document
        assert (S.Scrivet.Document.__qualname__, S.Scrivet.Document.__module__) == ("Scrivet.Document", PACKAGE + ".Scrivet")
        a, b = S.Scrivet.Document(), S.Scrivet.Document()
        assert a.version_path == {} and a.replace_value == {} and a.problems == []
        assert isinstance(a.folioprint, S.Folioprint) and a.folioprint is not b.folioprint
        assert not any(hasattr(a, n) for n in ("doc", "version", "save_path", "name", "check_dict"))
        with pytest.raises(AttributeError):
            a.execute_set()


class TestRunVersion:
    def test_versions_match_by_string_form(self, tmp_path: Path, capsys: Any) -> None:
        template = save_template(docx.Document(), tmp_path)
        filler = scrivet_module().Scrivet.Document()
        filler.set_word_version_path(3, "elsewhere.docx")
        filler.set_word_version_path(3, template)  # replaces
        filler.set_word_version_path("4", template)
        assert filler.version_path == {"3": template, "4": template}
        filler.run_version("3", save_path="x/")
        assert filler.version == "3" and filler.save_path == "x/"
        filler.run_version(4)
        assert filler.version == 4  # kept as passed
        doc = filler.doc
        filler.run_version("nope", save_path="other/")
        assert capsys.readouterr().out == "word的檔案格式名稱並沒有定義\n"
        assert filler.doc is doc and filler.version == 4 and filler.save_path == "other/"

    def test_missing_template_raises_after_setting_version(self, tmp_path: Path) -> None:
        filler = open_filler(save_template(docx.Document(), tmp_path), tmp_path)
        doc = filler.doc
        filler.set_word_version_path("bad", str(tmp_path / "missing.docx"))
        with pytest.raises(Exception) as caught:
            filler.run_version("bad")
        assert type(caught.value).__module__.startswith("docx")
        assert filler.version == "bad" and filler.doc is doc
        assert {p.name for p in tmp_path.iterdir()} == {"template.docx"}

    @pytest.mark.parametrize(
        "make, kind",
        [
            (lambda good: b"", "is empty (0 bytes)"),
            (lambda good: "Name: {{NAME}}\n".encode() * 50, "is a text file"),
            (lambda good: OLE + b"\0" * 600 + "WordDocument".encode("utf-16-le"), "old binary Word document (.doc"),
            (lambda good: OLE + b"\0" * 600 + "EncryptionInfo\0EncryptedPackage".encode("utf-16-le"), "protected with a password"),
            (lambda good: good[: len(good) // 2], "damaged or incomplete archive"),
            (lambda good: zipped({"mimetype": ODT, "content.xml": "<office:document-content/>"}), "OpenDocument file (" + ODT),
            (lambda good: zipped({"[Content_Types].xml": "<Types/>", "xl/workbook.xml": "<workbook/>"}), "Excel workbook"),
            (lambda good: b"{\\rtf1\\ansi hello}", "is an RTF document"),
        ],
        ids=["empty", "text", "doc", "encrypted", "truncated", "odt", "xlsx", "rtf"],
    )
    def test_a_file_that_is_not_a_docx_is_named_before_anything_changes(
        self, tmp_path: Path, make: Any, kind: str
    ) -> None:
        good = save_template(docx.Document(), tmp_path)
        filler = open_filler(good, tmp_path)
        doc, registered = filler.doc, dict(filler.version_path)
        bad = tmp_path / "upload.docx"
        bad.write_bytes(make(Path(good).read_bytes()))
        filler.set_word_version_path("bad", str(bad))
        with pytest.raises(ValueError) as caught:
            filler.run_version("bad")
        message = str(caught.value)
        assert repr(str(bad)) in message and kind in message and "a Word .docx document is needed" in message
        assert filler.doc is doc and filler.version_path == dict(registered, bad=str(bad))
        assert {p.name for p in tmp_path.iterdir()} == {"template.docx", "upload.docx"}

    def test_default_folder_follows_home_at_call_time(self, tmp_path: Path, monkeypatch: Any) -> None:
        filler = scrivet_module().Scrivet.Document()
        for home in (tmp_path / "one", tmp_path / "two"):
            monkeypatch.setenv("HOME", str(home))
            filler.run_version("unregistered")
            assert filler.save_path == str(home) + "/varnholt/"

    def test_replacements_survive_reopening_and_delete_keeps_document(self, tmp_path: Path) -> None:
        template = docx.Document()
        template.add_paragraph("NAME")
        filler = open_filler(save_template(template, tmp_path), tmp_path)
        filler.set("NAME", "first")
        filler.execute_set()
        filler.run_version("v1", save_path=str(tmp_path) + "/")
        assert filler.doc.paragraphs[0].text == "NAME"  # a fresh copy
        filler.execute_set()
        doc = filler.doc
        filler.delete()
        assert filler.replace_value == {} and filler.doc is doc and doc.paragraphs[0].text == "first"


class TestOutput:
    @pytest.fixture
    def filler(self, tmp_path: Path, monkeypatch: Any) -> Any:
        # The module's converter name is read when a document object is made.
        monkeypatch.setattr(scrivet_module(), "Folioprint", FakeConverter)
        FakeConverter.calls = []
        return open_filler(save_template(docx.Document(), tmp_path), tmp_path)

    @pytest.mark.parametrize(
        "flags, kept",
        [
            ({}, {"out.docx"}),
            ({"pdf": True, "docx": False}, {"out.pdf"}),
            ({"pdf": True}, {"out.docx", "out.pdf"}),
            ({"pdf": False, "docx": False}, set()),
            ({"docx": 1}, {"out.docx"}),
            ({"docx": "yes"}, set()),
        ],
    )
    def test_flags(self, filler: Any, tmp_path: Path, capsys: Any, flags: dict[str, Any], kept: set[str]) -> None:
        filler.output("out", **flags)
        base = str(tmp_path) + "/out"
        assert {p.name for p in tmp_path.iterdir()} - {"template.docx"} == kept
        assert capsys.readouterr().out == f"[完成！] {base}.pdf\n" and filler.name == "out"
        # converted from the saved file, which was still there
        assert FakeConverter.calls == ([(base + ".docx", base + ".pdf", True, True)] if flags.get("pdf") else [])

    def test_folder_is_joined_without_separator(self, filler: Any, tmp_path: Path) -> None:
        filler.run_version("v1", save_path=str(tmp_path / "out"))
        filler.output("report")
        assert (tmp_path / "outreport.docx").is_file()

    @pytest.mark.parametrize(
        "save_path, name, why",
        [
            ("out/", "../../x", "leads out of the output folder"),
            ("out/", "sub/../../x", "leads out of the output folder"),
            ("out", "x/../../y", "leads out of the output folder"),  # outx/../../y: above the folder of out
            ("", "../x", "leads out of the output folder"),
            ("out/", "link/x", "leads out of the output folder"),  # a link to a folder elsewhere
            ("", "/tmp/x", "is an absolute path outside the output folder"),
            ("out/", "", "is empty"),
        ],
    )
    def test_names_that_leave_the_folder_are_refused(
        self, filler: Any, tmp_path: Path, capsys: Any, monkeypatch: Any, save_path: str, name: str, why: str
    ) -> None:
        work = tmp_path / "a" / "b"
        (work / "out" / "sub").mkdir(parents=True)
        (work / "out" / "link").symlink_to(tmp_path)
        monkeypatch.chdir(work)
        filler.run_version("v1", save_path=save_path)
        before = sorted(p for p in tmp_path.rglob("*"))
        with pytest.raises(ValueError, match=f"output name {name!r} {why}"):
            filler.output(name, pdf=True)
        assert sorted(p for p in tmp_path.rglob("*")) == before and not hasattr(filler, "name")
        assert FakeConverter.calls == [] and capsys.readouterr().out == ""

    # The longest: 80 Chinese characters and ".docx" make a name of 245 bytes.
    @pytest.mark.parametrize(
        "name", ["報告 最終版", "sub/../report", "sub/report", ".hidden", "專" * 80, "ABS"],
        ids=["chinese", "up-and-back", "subfolder", "hidden", "longest", "absolute"],
    )
    def test_names_inside_the_folder_are_written(
        self, filler: Any, tmp_path: Path, monkeypatch: Any, name: str
    ) -> None:
        (tmp_path / "sub").mkdir()
        if name == "ABS":  # an absolute name inside the folder, joined to an empty prefix
            monkeypatch.chdir(tmp_path)
            filler.run_version("v1", save_path="")
            name = str(tmp_path / "sub" / "absolute")
        filler.output(name, pdf=True)
        assert (tmp_path / (name + ".docx")).resolve().parent in (tmp_path, tmp_path / "sub")
        assert (tmp_path / (name + ".docx")).is_file() and (tmp_path / (name + ".pdf")).is_file()

    def test_failed_conversion_propagates_and_keeps_docx(self, filler: Any, tmp_path: Path, capsys: Any) -> None:
        filler.folioprint = scrivet_module().Scrivet  # has no convert
        with pytest.raises(AttributeError):
            filler.output("out", pdf=True, docx=False)
        assert (tmp_path / "out.docx").is_file() and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "name, key, where",
    [
        ("blk-paras-and-tables.docx", "Text after", "cell"),
        ("par-hyperlinks.docx", "awesome", "paragraph"),
        ("sct-inner-content.docx", "T4", "cell"),
        ("sct-inner-content.docx", "P5", "paragraph"),
    ],
)
def test_real_templates_roundtrip(tmp_path: Path, name: str, key: str, where: str) -> None:
    source = DATA / "docx" / name
    before = source.read_bytes()
    filler = open_filler(str(source), tmp_path, version=name)
    filler.set(key, "替換後", new_font_size=docx.shared.Pt(11))
    filler.execute_set()
    filler.show_execute_set()
    assert filler.check_dict == {}
    filler.output("filled")
    assert source.read_bytes() == before and os.listdir(tmp_path) == ["filled.docx"]
    out = docx.Document(str(tmp_path / "filled.docx"))
    if where == "paragraph":
        texts = [p.text for p in out.paragraphs]
    else:
        texts = [c.text for t in out.tables for row in t.rows for c in row.cells]
    assert any("替換後" in t for t in texts) and not any(key in t for t in texts)
