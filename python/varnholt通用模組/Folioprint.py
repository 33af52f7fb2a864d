"""Converts Word documents (.docx) into PDF files.

On Windows Word does the work (through docx2pdf). Elsewhere a headless
LibreOffice does, with Debian's Noto CJK fonts providing the Chinese glyphs.

Each converter owns a private LibreOffice profile: two offices sharing one
profile lose conversions. soffice reports success even when it could not load
a document, so a conversion counts only when a fresh, non-empty PDF exists.
The PDF is written in a private folder and then moved into place, so the
output path never holds a half-written file and converters never collide.

Keeping the office warm: a second ``soffice --convert-to`` with the profile of
a running office is handed over to that office, which converts once and then
quits, so the next call pays the start again (measured with LibreOffice 7.4).
Instead, a small helper under the interpreter that has LibreOffice's UNO bridge
(``_folioprint_office.py``; Debian's python3-uno loads only into
/usr/bin/python3) starts one office listening on a private pipe and converts
over UNO. A warm conversion then takes about 0.1 s, a plain soffice run 1.2 s.
"""

from __future__ import annotations

import errno
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid
import weakref
import zipfile
from pathlib import Path
from typing import Any, Callable, Union

__all__ = ["Folioprint", "ConversionError"]

StrPath = Union[str, "os.PathLike[str]"]

# Read when an office is started, so a caller (or a test) may point them elsewhere.
SOFFICE = shutil.which("soffice") or "/usr/bin/soffice"
UNO_PYTHON = "/usr/bin/python3"
HELPER = str(Path(__file__).with_name("_folioprint_office.py"))

# Ten offices starting at once on two cores need well over ten seconds.
START_TIMEOUT = 90.0


class ConversionError(RuntimeError):
    """The office did not produce the PDF (failed, crashed or took too long)."""


class _OfficeGone(Exception):
    """The office or its helper died; a new one may succeed."""


def _check_paths(source: str, target: str) -> None:
    if not os.path.isfile(source):
        if os.path.exists(source):
            raise IsADirectoryError(errno.EISDIR, "the document to convert is not a file", source)
        raise FileNotFoundError(errno.ENOENT, "the document to convert does not exist", source)
    try:
        with zipfile.ZipFile(source) as package:
            package.getinfo("word/document.xml")
    except (zipfile.BadZipFile, KeyError):
        raise ValueError(f"not a Word .docx document: {source!r}") from None
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "the folder for the PDF does not exist", folder)
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, "the PDF path is a folder", target)


def _check_pdf(pdf: str, source: str) -> None:
    try:
        with open(pdf, "rb") as f:
            head = f.read(5)
    except FileNotFoundError:
        raise ConversionError(f"no PDF was written for {source!r}") from None
    if head != b"%PDF-":
        raise ConversionError(f"the PDF written for {source!r} is empty or damaged")


def _place(pdf: str, target: str) -> None:
    """Move the finished PDF to `target` so that `target` is never half-written."""
    try:
        os.replace(pdf, target)
        return
    except OSError as error:
        if error.errno != errno.EXDEV:
            raise
    # Another file system: copy next to the target first, then rename there.
    fd, part = tempfile.mkstemp(
        prefix="." + os.path.basename(target) + ".", suffix=".part", dir=os.path.dirname(target)
    )
    try:
        with os.fdopen(fd, "wb") as out, open(pdf, "rb") as src:
            shutil.copyfileobj(src, out)
        shutil.copymode(pdf, part)
        os.replace(part, target)
    except BaseException:
        try:
            os.unlink(part)
        except OSError:
            pass
        raise


class _Office:
    """One helper process and the LibreOffice it started, in their own process group."""

    def __init__(self, profile: str, log: str, timeout: float) -> None:
        binary = os.path.join(os.path.dirname(os.path.realpath(SOFFICE)), "soffice.bin")
        if not os.path.exists(binary):
            raise ConversionError(f"LibreOffice was not found (looked for {binary})")
        if not os.path.exists(UNO_PYTHON):
            raise ConversionError(f"no interpreter with the UNO bridge at {UNO_PYTHON}")
        pipe = "folioprint-" + uuid.uuid4().hex
        with open(log, "ab") as log_file:
            self.process = subprocess.Popen(
                [UNO_PYTHON, HELPER, binary, Path(profile).as_uri(), pipe, str(timeout)],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=log_file,
                start_new_session=True,
            )
        self.log = log
        self._buffer = b""
        try:
            reply = self._reply(time.monotonic() + timeout + 5, "starting")
        except _OfficeGone:
            self.kill()
            raise ConversionError("the LibreOffice helper failed to start" + self._log_tail()) from None
        if not reply.get("ready"):
            self.kill()
            raise ConversionError(f"LibreOffice failed to start: {reply.get('error')}" + self._log_tail())
        self.office_pid: int = reply["office_pid"]

    def alive(self) -> bool:
        return self.process.poll() is None

    def convert(self, source: str, target: str, timeout: float) -> None:
        assert self.process.stdin is not None
        try:
            self.process.stdin.write((json.dumps({"input": source, "output": target}) + "\n").encode())
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError):
            raise _OfficeGone("the LibreOffice helper has exited") from None
        reply = self._reply(time.monotonic() + timeout, "converting")
        if not reply.get("ok"):
            if reply.get("gone"):
                raise _OfficeGone(reply.get("error"))
            raise ConversionError(f"LibreOffice failed: {reply.get('error')}")

    def _reply(self, deadline: float, doing: str) -> dict[str, Any]:
        assert self.process.stdout is not None
        fd = self.process.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                self.kill()
                raise ConversionError(f"LibreOffice took too long {doing}; it was stopped")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    self.kill()
                    raise _OfficeGone("the LibreOffice helper has exited")
                self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        result: dict[str, Any] = json.loads(line)
        return result

    def _log_tail(self) -> str:
        try:
            with open(self.log, "rb") as f:
                text = f.read()[-800:].decode(errors="replace").strip()
        except OSError:
            return ""
        return "\n" + text if text else ""

    def stop(self) -> None:
        """Let the helper end the office (end of its input), killing both if they linger."""
        try:
            if self.process.stdin is not None:
                self.process.stdin.close()
            self.process.wait(timeout=15)
        except (OSError, subprocess.TimeoutExpired):
            pass
        self.kill()

    def kill(self) -> None:
        if sys.platform != "win32":  # never started there; keeps type checks for Windows clean
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass


class _State:
    """What must be cleaned up when a converter goes away (kept apart from the
    converter so that its finaliser does not keep it alive)."""

    def __init__(self) -> None:
        self.office: _Office | None = None
        self.folder: str | None = None

    def stop_office(self) -> None:
        office, self.office = self.office, None
        if office is not None:
            office.stop()

    def shutdown(self) -> None:
        self.stop_office()
        folder, self.folder = self.folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


class Folioprint:
    """A .docx to PDF converter. One object's calls run one at a time; separate
    objects convert independently, each with its own office."""

    def __init__(self, timeout: float = 120.0) -> None:
        self.timeout = timeout
        self._lock = threading.Lock()
        self._state = _State()
        # Runs on close, when the object is collected, and at interpreter exit.
        self._finalizer = weakref.finalize(self, self._state.shutdown)

    @property
    def office_pid(self) -> int | None:
        """Process id of the warm office, None when none is running."""
        office = self._state.office
        return office.office_pid if office is not None and office.alive() else None

    def convert(self, input: StrPath, output: StrPath, keep_active: bool = True) -> None:
        """Write the PDF of the .docx `input` to `output` (any name, in an existing
        folder), returning once the PDF is complete and `input` is closed again.

        With `keep_active` the office stays running for this object's next call;
        otherwise it is stopped before returning. Raises OSError (no such input,
        no such output folder), ValueError (not a .docx) or ConversionError;
        `output` is then untouched.
        """
        source = os.path.abspath(os.fspath(input))
        target = os.path.abspath(os.fspath(output))
        with self._lock:
            _check_paths(source, target)
            if sys.platform == "win32":
                self._convert_in_folder(
                    source, target, lambda docx, pdf: self._convert_with_word(docx, pdf, keep_active)
                )
            else:
                try:
                    self._convert_in_folder(source, target, self._convert_with_libreoffice)
                finally:
                    if not keep_active:
                        self._state.stop_office()

    def close(self) -> None:
        """Stop the office and remove the private folder; a later call starts afresh."""
        with self._lock:
            self._state.shutdown()

    def __enter__(self) -> Folioprint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _convert_in_folder(
        self, source: str, target: str, convert: Callable[[str, str], None]
    ) -> None:
        if self._state.folder is None or not os.path.isdir(self._state.folder):
            self._state.folder = tempfile.mkdtemp(prefix="folioprint-")
        job = tempfile.mkdtemp(prefix="job-", dir=self._state.folder)
        try:
            # The office reads a private copy: the caller's .docx is never
            # opened or locked by it, and it may be deleted right after we return.
            stem = Path(source).stem
            try:
                stem.encode()
            except UnicodeEncodeError:
                stem = "document"
            staged = os.path.join(job, stem + ".docx")
            pdf = os.path.join(job, stem + ".pdf")
            shutil.copyfile(source, staged)
            try:
                convert(staged, pdf)
            except ConversionError as error:
                raise ConversionError(f"could not convert {source!r} to PDF: {error}") from None
            _check_pdf(pdf, source)
            _place(pdf, target)
        finally:
            shutil.rmtree(job, ignore_errors=True)

    def _convert_with_libreoffice(self, staged: str, pdf: str) -> None:
        state = self._state
        assert state.folder is not None
        office = state.office
        warm = office is not None and office.alive()
        for attempt in range(2):
            if office is None or not office.alive():
                state.stop_office()
                office = state.office = _Office(
                    os.path.join(state.folder, "profile"),
                    os.path.join(state.folder, "office.log"),
                    START_TIMEOUT,
                )
            try:
                office.convert(staged, pdf, self.timeout)
                return
            except _OfficeGone as gone:
                state.stop_office()
                office = None
                # A warm office may have died since the last call; a fresh one
                # dying on this document is the document's fault.
                if attempt or not warm:
                    raise ConversionError(f"LibreOffice died: {gone}") from None

    def _convert_with_word(self, staged: str, pdf: str, keep_active: bool) -> None:
        from docx2pdf import convert as word_convert  # Word through COM; it can keep Word open itself

        word_convert(staged, pdf, keep_active=keep_active)
