"""Scrivet's batch command and the function behind it, on the example
template, and the README's Scrivet example as a new user pastes it."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

import docx
import pytest

from conftest import REPO, needs_office, pdf_text
from varnholt通用模組.Scrivet.batch import RecordError, fill_record, read_records

TEMPLATE = REPO / "examples" / "letter.docx"
COMMAND = [sys.executable, "-m", "varnholt通用模組.Scrivet"]

GOOD: list[dict[str, Any]] = [
    {"{{CASE}}": "TW-1", "{{NAME}}": "王小明", "{{DATE}}": "2025-01-04", "{{TITLE}}": "自行車架"},
    {"{{CASE}}": "TW-2", "{{NAME}}": "林\U00020000華", "{{DATE}}": 20250106, "{{TITLE}}": None},
    {"{{CASE}}": "TW-3", "{{NAME}}": "Chen, Mei-Ling", "{{DATE}}": "2025-01-09", "{{TITLE}}": "Sensor"},
]


def body(path: Path) -> str:
    document = docx.Document(str(path))
    cells = [cell.text for table in document.tables for row in table.rows for cell in row.cells]
    return "\n".join([p.text for p in document.paragraphs] + cells)


def write_csv(path: Path, records: list[dict[str, Any]]) -> Path:
    import csv

    with open(path, "w", newline="", encoding="utf-8-sig") as f:  # as Excel saves it
        writer = csv.DictWriter(f, fieldnames=list(records[0]))
        writer.writeheader()
        writer.writerows(records)
    return path


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=600, cwd=cwd)


@needs_office
def test_csv_with_pdfs_and_bad_records_among_good_ones(tmp_path: Path) -> None:
    bad_value = dict(GOOD[0], **{"{{CASE}}": "TW-9", "{{NAME}}": "control \x01 character"})
    same_name = dict(GOOD[1], **{"{{NAME}}": "someone else"})
    records = write_csv(tmp_path / "records.csv", [GOOD[0], bad_value, GOOD[1], same_name, GOOD[2]])
    out = tmp_path / "out"
    done = run(str(TEMPLATE), str(records), "--out", str(out), "--pdf", "--name", "{{CASE}}", "--jobs", "2")
    assert done.returncode == 1, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"3 of 5 records written to {out} (documents and PDFs)"
    assert lines[1].startswith("failed: record 2 (TW-9): ValueError: set('{{NAME}}')") and "U+0001" in lines[1]
    assert lines[2] == "failed: record 4: its name 'TW-2' is taken by record 3"
    assert len(lines) == 3
    # Nothing of the failed records, nothing half-made.
    assert sorted(os.listdir(out)) == sorted(f"TW-{i}.{kind}" for i in (1, 2, 3) for kind in ("docx", "pdf"))
    assert "王小明 先生/女士" in body(out / "TW-1.docx") and "Chen, Mei-Ling" in pdf_text(out / "TW-3.pdf")
    second = pdf_text(out / "TW-2.pdf")
    assert "林\U00020000華" in second and "20250106" in second and "「」" in second  # None is empty


def test_json_records_are_numbered_without_pdf(tmp_path: Path) -> None:
    (tmp_path / "records.json").write_text(json.dumps(GOOD, ensure_ascii=False), encoding="utf-8")
    done = run(str(TEMPLATE), "records.json", "--out", "letters", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "3 of 3 records written to letters (documents)\n" and done.stderr == ""
    assert sorted(os.listdir(tmp_path / "letters")) == ["letter-1.docx", "letter-2.docx", "letter-3.docx"]
    text = body(tmp_path / "letters" / "letter-3.docx")
    assert "Chen, Mei-Ling 先生/女士" in text and "{{" not in text
    # The filled paragraph keeps the template's look, not set()'s 8-point centred default.
    template = docx.Document(str(TEMPLATE))
    filled = docx.Document(str(tmp_path / "letters" / "letter-3.docx"))
    assert filled.paragraphs[1].alignment == template.paragraphs[1].alignment
    assert {run.font.size for run in filled.paragraphs[1].runs} == {None}


@pytest.mark.parametrize(
    "content, message",
    [('{"{{NAME}}": "x"}', "a JSON list of objects"), ("[1, 2]", "a JSON list of objects"), ("[{", "not valid JSON")],
)
def test_records_that_cannot_be_read_stop_the_command(tmp_path: Path, content: str, message: str) -> None:
    (tmp_path / "records.json").write_text(content)
    done = run(str(TEMPLATE), str(tmp_path / "records.json"), "--out", str(tmp_path / "out"))
    assert done.returncode == 2 and message in done.stderr and not (tmp_path / "out").exists()


def test_csv_cells_keep_their_line_breaks(tmp_path: Path) -> None:
    records = [{"{{TITLE}}": "第一行\n第二行", "{{NAME}}": "a\vb"}, {"{{TITLE}}": "x", "{{NAME}}": "y"}]
    assert read_records(str(write_csv(tmp_path / "records.csv", records))) == records


def test_records_run_in_a_process_pool(tmp_path: Path) -> None:
    records: list[dict[str, Any]] = GOOD + [{"{{NAME}}": ["a", "list"]}]
    names = ["first", "second", "third", "fourth"]
    with ProcessPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(fill_record, str(TEMPLATE), record, str(tmp_path), name)
                   for record, name in zip(records, names)]
        results = [future.exception() or future.result() for future in futures]
    assert results[:3] == [[str(tmp_path / f"{name}.docx")] for name in names[:3]]
    assert isinstance(results[3], RecordError) and "the value of '{{NAME}}' is list" in str(results[3])
    assert "林\U00020000華" in body(tmp_path / "second.docx")
    assert sorted(os.listdir(tmp_path)) == ["first.docx", "second.docx", "third.docx"]


@pytest.mark.parametrize("name", ["../x", "", "a/b"])
def test_a_name_must_be_a_plain_file_name(tmp_path: Path, name: str) -> None:
    with pytest.raises(RecordError, match="file name"):
        fill_record(str(TEMPLATE), GOOD[0], str(tmp_path), name)
    assert os.listdir(tmp_path) == []


@needs_office
def test_the_readme_example_runs_as_pasted_from_a_clone(tmp_path: Path) -> None:
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Filling a document"):]
    code = re.search(r"```python\n(.*?)```", section, re.S)
    assert code is not None
    shutil.copytree(REPO / "examples", tmp_path / "examples")
    done = subprocess.run([sys.executable, "-c", code.group(1)], capture_output=True, text=True, timeout=300,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["[]", "[完成！] out/letter_filled.pdf", "{}"]
    assert "王小明 先生/女士" in pdf_text(tmp_path / "out" / "letter_filled.pdf")
