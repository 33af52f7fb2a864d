"""Fills one template once per record: the work behind

    python -m varnholt通用模組.Scrivet TEMPLATE RECORDS --out FOLDER [--pdf] [--jobs N]

`fill_record` fills and writes one record. Its arguments are plain values
(paths, a dict of texts), so any concurrent.futures executor can run it, a
process pool or a cluster's (every worker must see the template and the
output folder at the same paths). `read_records` reads RECORDS: a JSON list
of objects or a CSV file with a header row.
"""

from __future__ import annotations

import csv
import io
import json
import os
import shutil
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, Mapping

from ..Folioprint import Folioprint

__all__ = ["RecordError", "fill_record", "read_records"]


class RecordError(ValueError):
    """A record that could not be filled or written; nothing of it was written."""


_converter: Folioprint | None = None
_converter_lock = threading.Lock()


def _new_lock_in_child() -> None:
    # A lock a parent's thread held at a fork would stay taken in the child.
    global _converter_lock
    _converter_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_new_lock_in_child)


def _shared_converter() -> Folioprint:
    # One converter kept for the life of the process holds its offices warm
    # from one record to the next (a document's own converter would let
    # them stop when the document goes).
    global _converter
    with _converter_lock:
        if _converter is None:
            _converter = Folioprint()
        return _converter


# Keywords of Document.set that leave the Latin font, the size and the
# alignment to the template's paragraph styles, instead of set's own 8-point
# centred Calibri; East Asian text keeps set's 標楷體.
KEEP_TEMPLATE_LOOK: dict[str, Any] = {"new_font_name": None, "new_font_size": None, "new_alignment": None}


def _text(key: str, value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (str, int, float, bool)):
        return str(value)
    raise RecordError(f"the value of {key!r} is {type(value).__name__}, not text or a number")


def check_name(name: str) -> None:
    """Refuses a name that is not a plain file name (the files go straight
    into the output folder)."""
    if not isinstance(name, str) or not name.strip():
        raise RecordError(f"the file name {name!r} is empty")
    if name in (".", "..") or any(c in name for c in "/\\\0") or (sys.platform == "win32" and ":" in name):
        raise RecordError(f"the file name {name!r} is not a plain file name")


def fill_record(
    template: str, record: Mapping[str, Any], folder: str, name: str, pdf: bool = False
) -> list[str]:
    """Fills the .docx `template` with one record (placeholder -> value; None
    is empty, numbers are written as text; the text takes the font, size and
    alignment of the template's paragraph, with 標楷體 for East Asian text) and writes FOLDER/NAME.docx, with `pdf` also
    FOLDER/NAME.pdf. Returns the paths written.

    Raises RecordError (a value that is not text, a bad name, a picture or
    table the fill could not handle: `problems`), ValueError (a template that
    is not a .docx, a value a Word document cannot hold), OSError or
    Folioprint's ConversionError. A failed record writes nothing; both files
    are made aside and moved into place once complete.
    """
    from . import Scrivet  # the extension module this package is

    check_name(name)
    folder = os.path.abspath(folder)
    texts = {str(key): _text(str(key), value) for key, value in record.items()}
    stage = tempfile.mkdtemp(prefix=".scrivet-", dir=folder)
    try:
        document = Scrivet.Document()
        document.set_word_version_path("template", template)
        document.run_version("template", save_path=stage + os.sep)
        for key, text in texts.items():
            document.set(key, text, **KEEP_TEMPLATE_LOOK)
        document.execute_set()
        if document.problems:
            raise RecordError("; ".join(document.problems))
        docx_path = os.path.join(stage, name + ".docx")
        document.doc.save(docx_path)
        made = [docx_path]
        if pdf:
            made.append(os.path.join(stage, name + ".pdf"))
            _shared_converter().convert(docx_path, made[1])
        written = []
        for path in made:
            target = os.path.join(folder, os.path.basename(path))
            os.replace(path, target)
            written.append(target)
        return written
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def read_records(path: str) -> list[dict[str, Any]]:
    """The records of a JSON file (a list of objects) or a CSV file (a header
    row of placeholders, then one row per record; UTF-8, with or without the
    byte order mark Excel writes). Raises ValueError saying what is wrong."""
    text = Path(path).read_text(encoding="utf-8-sig")
    if path.lower().endswith(".json") or (not path.lower().endswith(".csv") and text.lstrip().startswith("[")):
        try:
            records = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"{path}: not valid JSON: {error}") from None
        if not isinstance(records, list) or not all(isinstance(record, dict) for record in records):
            raise ValueError(f"{path}: a JSON list of objects (one per record) is needed")
        return records
    # Read as one stream: a quoted cell may hold line breaks, which are kept.
    rows = csv.DictReader(io.StringIO(text, newline=""))
    records = []
    for number, row in enumerate(rows, start=1):
        if None in row:
            raise ValueError(f"{path}: record {number} (line {rows.line_num}) has more fields than the header")
        records.append(dict(row))
    return records
