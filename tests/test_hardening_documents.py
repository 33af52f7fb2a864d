"""Uploads handled as hostile: templates that attack the parser or the
unzipping, awkward pictures, many conversions at once, a converter that dies
and output folders that cannot be written. Memory is measured in a fresh
interpreter per case."""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Iterator

import docx
import pytest

import hostile_documents as H
from conftest import DATA, needs_office, no_collection, pdf_text, processes_with, run_in_threads
from test_scrivet_support import scrivet_module

PEAK_LIMIT_MIB = 256

OPEN_HOSTILE = """
import os
from varnholt通用模組.Scrivet import Scrivet
good, bad, out = sys.argv[1:4]
filler = Scrivet.Document()
filler.set_word_version_path("good", good)
filler.set_word_version_path("bad", bad)
filler.run_version("good", save_path=out + "/")
doc = filler.doc
try:
    filler.run_version("bad", save_path=out + "/")
    result["error"] = None
except Exception as error:
    result["error"] = [type(error).__module__, type(error).__name__, str(error)]
result["version"] = filler.version
result["same_doc"] = filler.doc is doc
result["text"] = [p.text for p in filler.doc.paragraphs]
result["written"] = os.listdir(out)
"""

# case -> (error module, error name, text the message holds)
REFUSALS = {
    "billion laughs": ("builtins", "ValueError", "declares a document type"),
    "billion laughs, stored": ("builtins", "ValueError", "its part word/document.xml declares a document type"),
    "entity in stored footnotes": ("builtins", "ValueError", "its part word/footnotes.xml declares a document type"),
    "UTF-16 XML under another name, stored": ("builtins", "ValueError", "its part word/notes.bin declares a document type"),
    "external entity": ("builtins", "ValueError", "declares a document type"),
    "external entity, UTF-16": ("builtins", "ValueError", "its part word/document.xml declares a document type"),
    "linked local picture": ("builtins", "ValueError", "links to an outside image ('file://"),
    "decompression bomb": ("builtins", "ValueError", "more than a Word document may hold (512 MiB)"),
    "bomb, size understated": ("builtins", "ValueError", "unpacks to more than the 1000 bytes it declares"),
    "many small bombs": ("builtins", "ValueError", "packed more than 100:1"),
    "markup bomb": ("builtins", "ValueError", "more than 800000 elements and attributes"),
    "truncated archive": ("builtins", "ValueError", "damaged or incomplete archive"),
    "not a zip": ("builtins", "ValueError", "is a text file"),
}


@pytest.mark.parametrize("case", list(H.HOSTILE_TEMPLATES))
def test_hostile_template_is_refused_in_bounded_memory(case: str, tmp_path: Path) -> None:
    good = H.plain_template(tmp_path / "good.docx", "good text")
    bad = H.HOSTILE_TEMPLATES[case](tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    result = H.measured(OPEN_HOSTILE, str(good), str(bad), str(out))
    assert result["returncode"] == 0, result["stderr"]
    module, name, text = REFUSALS[case]
    assert result["error"][:2] == [module, name]
    message = result["error"][2]
    assert text in message
    if name == "ValueError":
        assert repr(str(bad)) in message
    assert H.SECRET not in message + result["stdout"] + result["stderr"]
    # As for any template that fails: the new version is set, the open
    # document is kept, and nothing is written.
    assert result["version"] == "bad" and result["same_doc"] and result["text"][0] == "good text"
    assert result["written"] == []
    assert result["peak_mib"] < PEAK_LIMIT_MIB


@pytest.fixture(scope="module")
def large_template(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return H.large_template(tmp_path_factory.mktemp("large"))


@pytest.mark.parametrize(
    "source",
    ["large", "blk-paras-and-tables.docx", "par-hyperlinks.docx", "sct-inner-content.docx", "stream"],
)
def test_real_templates_still_open_and_fill(source: str, large_template: Path, tmp_path: Path) -> None:
    if source == "large":
        template: Any = str(large_template)
    elif source == "stream":  # python-docx also takes an open file
        template = io.BytesIO(large_template.read_bytes())
    else:
        template = str(DATA / "docx" / source)
    filler = scrivet_module().Scrivet.Document()
    filler.set_word_version_path("real", template)
    filler.run_version("real", save_path=str(tmp_path) + "/")
    paragraphs = len(filler.doc.paragraphs)
    filler.doc.add_paragraph("<<KEY>>")
    filler.set("<<KEY>>", "filled")
    filler.execute_set()
    filler.output("out")
    out = docx.Document(str(tmp_path / "out.docx"))
    assert len(out.paragraphs) == paragraphs + 1 and out.paragraphs[-1].text == "filled"
    if source in ("large", "stream"):
        assert paragraphs > 2000 and len(out.inline_shapes) == 50


FILL_PICTURE = """
from varnholt通用模組.Scrivet import Scrivet
template, picture, out = sys.argv[1:4]
filler = Scrivet.Document()
filler.set_word_version_path("t", template)
filler.run_version("t", save_path=out + "/")
filler.set("KEY", "v", image_path=picture, image_width=2, image_height=1.5)
filler.set("TEMPLATE", "after")
filler.execute_set()
filler._add_table("abstract", "P1", "title", image_path=picture)
filler.output("o")
result["problems"] = list(filler.problems)
filler.run_version("t", save_path=out + "/")
result["problems after reopening"] = filler.problems
import docx
document = docx.Document(out + "/o.docx")
result["pictures"] = len(document.inline_shapes)
result["cell"] = document.tables[0].cell(0, 0).text
result["text"] = document.paragraphs[0].text
"""

PICTURES = dict(H.PICTURES, **{"over the pixel limit": lambda folder: H.png_header_only(folder / "200mp.png", 20_000, 10_000)})
UNREADABLE = {"missing", "zero height", "corrupt", "over the pixel limit"}


@pytest.mark.parametrize("case", list(PICTURES))
def test_awkward_picture_is_reported_and_filling_goes_on(case: str, tmp_path: Path) -> None:
    template = H.plain_template(tmp_path / "template.docx", picture=False)
    picture = PICTURES[case](tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    result = H.measured(FILL_PICTURE, str(template), str(picture), str(out))
    assert result["returncode"] == 0, result["stderr"]
    lines = result["stdout"].splitlines()
    assert lines[-1] == f"[完成！] {out}/o.pdf"
    # A calling program sees every line the fill printed for its failures.
    assert result["problems"] == lines[:-1] and result["problems after reopening"] == []
    if case in UNREADABLE:
        assert lines[0].startswith("execute_set設定照片錯誤 --> ") and lines[0].endswith(lines[1])
        assert lines[1:3] == [lines[1], "插入圖片錯誤"] and len(lines) == 4
        assert result["pictures"] == 0
    else:
        assert len(lines) == 1 and result["pictures"] == 2
    assert result["cell"] == "cell v" and result["text"] == "Hello after"
    # The size is read from the header: a decoded 100-megapixel picture alone is 300 MB.
    assert result["peak_mib"] < PEAK_LIMIT_MIB


# Conversion -------------------------------------------------------------

def filler_for(folder: Path, text: str) -> Any:
    template = H.plain_template(folder / f"{text}.docx", text, picture=False)
    filler = scrivet_module().Scrivet.Document()
    filler.set_word_version_path("t", str(template))
    filler.run_version("t", save_path=str(folder / "out") + "/")
    return filler


@needs_office
def test_ten_documents_convert_at_once(tmp_path: Path, capsys: Any) -> None:
    (tmp_path / "out").mkdir()
    fillers = [filler_for(tmp_path, f"document{i} 專利") for i in range(10)]

    def work(i: int) -> None:
        fillers[i].output(f"pdf{i}", pdf=True, docx=False)

    try:
        errors = run_in_threads(work, 10)
        offices = {filler.folioprint.office_pid for filler in fillers}
    finally:
        for filler in fillers:
            filler.folioprint.close()
    assert errors == []
    # The process's pool of offices, grown for the waiting ones, within its limit.
    pool = sys.modules[type(fillers[0].folioprint).__module__]._POOL
    assert 1 <= len(offices) <= pool.limit() and None not in offices
    assert sorted(os.listdir(tmp_path / "out")) == sorted(f"pdf{i}.pdf" for i in range(10))
    for i in range(10):
        text = pdf_text(tmp_path / "out" / f"pdf{i}.pdf")
        assert f"document{i} 專利" in text and sum(f"document{j} " in text for j in range(10)) == 1
    assert len(capsys.readouterr().out.splitlines()) == 10


@needs_office
def test_commented_template_fills_and_converts(tmp_path: Path) -> None:
    """Comments on text, on tracked changes and on table cells, as patent drafts carry them."""
    from test_scrivet_support import commented

    (tmp_path / "out").mkdir()
    filler = scrivet_module().Scrivet.Document()
    filler.set_word_version_path("draft", str(commented(tmp_path / "draft.docx")))
    filler.run_version("draft", save_path=str(tmp_path / "out") + "/")
    filler.set("KEY", "已填入")
    filler.set("a device", "一種裝置")
    filler.execute_set()
    try:
        filler.output("filled", pdf=True)
    finally:
        filler.folioprint.close()
    text = pdf_text(tmp_path / "out" / "filled.pdf")
    assert "Claim 1: 一種裝置 with a lever" in text and "cell 3 已填入" in text and "an inserted clause" in text


@contextlib.contextmanager
def killing_offices(folder: str) -> Iterator[list[int]]:
    """Kills every process of the converter's private folder until the block ends."""
    killed: list[int] = []
    stop = threading.Event()

    def killer() -> None:
        while not stop.is_set():
            for pid in processes_with(folder):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
                    killed.append(pid)
            time.sleep(0.005)

    thread = threading.Thread(target=killer)
    with no_collection():
        thread.start()
    try:
        yield killed
    finally:
        stop.set()
        with no_collection():
            thread.join()


@needs_office
def test_killed_converter_is_reported_and_keeps_the_docx(tmp_path: Path, capsys: Any) -> None:
    from varnholt通用模組.Folioprint import ConversionError

    (tmp_path / "out").mkdir()
    filler = filler_for(tmp_path, "kept text")
    try:
        filler.output("warm", pdf=True)  # an office is running from here on
        folder = sys.modules[type(filler.folioprint).__module__]._POOL.folder  # all its offices
        capsys.readouterr()
        with killing_offices(folder) as killed:
            with pytest.raises(ConversionError, match="killed.docx"):
                filler.output("killed", pdf=True, docx=False)
        assert killed
        assert capsys.readouterr().out == ""
        assert docx.Document(str(tmp_path / "out" / "killed.docx")).paragraphs[0].text == "kept text"
        assert not (tmp_path / "out" / "killed.pdf").exists()
        filler.output("after", pdf=True, docx=False)
        assert "kept text" in pdf_text(tmp_path / "out" / "after.pdf")
        assert sorted(os.listdir(tmp_path / "out")) == ["after.pdf", "killed.docx", "warm.docx", "warm.pdf"]
    finally:
        filler.folioprint.close()


@contextlib.contextmanager
def small_file_system(folder: Path, options: str) -> Iterator[Path]:
    folder.mkdir()
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("SKIPPED LOUDLY: needs root and mount for a read-only or full file system")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(folder)], capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"SKIPPED LOUDLY: cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("folder", ["missing", "read-only"])
def test_unwritable_output_folder_raises_and_writes_nothing(folder: str, tmp_path: Path, capsys: Any) -> None:
    filler = filler_for(tmp_path, "text")
    with contextlib.ExitStack() as stack:
        if folder == "missing":
            target = tmp_path / "no such folder"
        else:
            target = stack.enter_context(small_file_system(tmp_path / "ro", "ro,size=64k"))
        filler.run_version("t", save_path=str(target) + "/")
        capsys.readouterr()
        with pytest.raises(OSError) as caught:
            filler.output("report", pdf=True)
        assert caught.value.filename == str(target) + "/report.docx"
        assert capsys.readouterr().out == ""
        assert not target.exists() if folder == "missing" else os.listdir(target) == []


def test_failed_save_keeps_the_earlier_file(large_template: Path, tmp_path: Path) -> None:
    with small_file_system(tmp_path / "full", "size=256k") as full:
        filler = filler_for(tmp_path, "first version")
        filler.run_version("t", save_path=str(full) + "/")
        filler.output("report")
        before = (full / "report.docx").read_bytes()
        filler.set_word_version_path("large", str(large_template))
        filler.run_version("large", save_path=str(full) + "/")
        with pytest.raises(OSError):
            filler.output("report")  # far larger than the space left
        assert os.listdir(full) == ["report.docx"] and (full / "report.docx").read_bytes() == before


def test_template_given_as_a_number_leaves_that_descriptor_open(tmp_path: Path) -> None:
    read, write = os.pipe()
    try:
        filler = scrivet_module().Scrivet.Document()
        filler.set_word_version_path("fd", read)
        with pytest.raises(AttributeError):  # python-docx's own refusal
            filler.run_version("fd", save_path=str(tmp_path) + "/")
        os.fstat(read)
    finally:
        os.close(read)
        os.close(write)
