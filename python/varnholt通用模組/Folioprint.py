"""Converts Word documents (.docx) into PDF files.

On Windows Word does the work (through docx2pdf). Elsewhere a headless
LibreOffice does, with Debian's Noto CJK fonts providing the Chinese glyphs.

soffice reports success even when it could not load a document, so a
conversion counts only when a fresh, non-empty PDF exists. The PDF is written
in a private folder and then moved into place, so the output path never holds
a half-written file and converters never collide.

Keeping the office warm: a second ``soffice --convert-to`` with the profile of
a running office is handed over to that office, which converts once and then
quits, so the next call pays the start again (measured with LibreOffice 7.4).
Instead, a small helper under the interpreter that has LibreOffice's UNO bridge
(``_folioprint_office.py``; Debian's python3-uno loads only into
/usr/bin/python3) starts one office listening on a private pipe and converts
over UNO. A warm conversion then takes about 0.1 s, a plain soffice run 1.2 s.

One warm office serves every converter of the process (about 140 MB each
otherwise), one conversion at a time; it runs while some converter wants it
kept warm and ends with the program. A document the warm office cannot load
(it dies on it, or refuses it) is converted once more by a plain soffice run
with the converter's own profile; the next call goes warm again.
"""

from __future__ import annotations

import atexit
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

PDF_EXPORT_FILTER = "writer_pdf_Export"


class ConversionError(RuntimeError):
    """The office did not produce the PDF (failed, crashed or took too long)."""


class _TookTooLong(ConversionError):
    """The office was stopped after the time allowed."""


class _NotStarted(Exception):
    """The warm office could not be started."""


class _OfficeGone(Exception):
    """The office or its helper died; a new one may succeed. `before` tells
    that it was gone before it was handed the document."""

    def __init__(self, message: str, before: bool = False) -> None:
        super().__init__(message)
        self.before = before


class _Refused(Exception):
    """The warm office is alive but could not load or export the document."""


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


def _check_pdf(pdf: str) -> None:
    try:
        with open(pdf, "rb") as f:
            head = f.read(5)
    except FileNotFoundError:
        raise ConversionError("no PDF was written") from None
    if head != b"%PDF-":
        raise ConversionError("the PDF written is empty or damaged")


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


def _kill_group(process: subprocess.Popen[bytes]) -> None:
    """Kill a process started in a session of its own, with all it started."""
    if sys.platform != "win32":  # never started there; keeps type checks for Windows clean
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    process.wait()


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
            raise _OfficeGone("the LibreOffice helper has exited", before=True) from None
        reply = self._reply(time.monotonic() + timeout, "converting")
        if not reply.get("ok"):
            if reply.get("gone"):
                raise _OfficeGone(str(reply.get("error")))
            raise _Refused(str(reply.get("error")))

    def _reply(self, deadline: float, doing: str) -> dict[str, Any]:
        assert self.process.stdout is not None
        fd = self.process.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                self.kill()
                raise _TookTooLong(f"LibreOffice took too long {doing}; it was stopped")
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
        _kill_group(self.process)
        for stream in (self.process.stdin, self.process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass


class _Shared:
    """The process's warm office and the folder that holds its profile, its
    log and the converters' private folders."""

    def __init__(self) -> None:
        # Held for one warm conversion (or a start or stop of the office).
        self.lock = threading.Lock()
        self.office: _Office | None = None
        self.folder: str | None = None
        # Tokens of the converters that want the office kept warm. Changed
        # without a lock: a converter's finaliser may run on a thread that
        # already holds `lock`.
        self.holders: set[object] = set()

    def root(self) -> str:
        folder = self.folder
        if folder is None or not os.path.isdir(folder):
            folder = self.folder = tempfile.mkdtemp(prefix="folioprint-")
        return folder

    def running(self) -> _Office | None:
        office = self.office
        return office if office is not None and office.alive() else None

    def stop_office(self) -> None:
        """With `lock` held."""
        office, self.office = self.office, None
        if office is not None:
            office.stop()

    def stop_if_unheld(self) -> None:
        # Never waits: whoever holds the lock checks again when done.
        if not self.holders and self.office is not None and self.lock.acquire(blocking=False):
            try:
                if not self.holders:
                    self.stop_office()
            finally:
                self.lock.release()

    def release(self, token: object) -> None:
        self.holders.discard(token)
        self.stop_if_unheld()

    def shutdown(self) -> None:
        """At the end of the program."""
        self.holders.clear()
        # A daemon thread may be converting still; the office goes anyway.
        locked = self.lock.acquire(timeout=5)
        try:
            self.stop_office()
        finally:
            if locked:
                self.lock.release()
        folder, self.folder = self.folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


_SHARED = _Shared()
atexit.register(_SHARED.shutdown)


class _State:
    """What must be cleaned up when a converter goes away (kept apart from the
    converter so that its finaliser does not keep it alive)."""

    def __init__(self) -> None:
        self.token = object()
        # Private folder: conversion jobs, and the profile of one-off runs.
        self.folder: str | None = None

    def shutdown(self) -> None:
        _SHARED.release(self.token)
        folder, self.folder = self.folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


class Folioprint:
    """A .docx to PDF converter. One object's calls run one at a time; all
    objects of the process share one warm office, which converts one document
    at a time."""

    def __init__(self, timeout: float = 120.0) -> None:
        self.timeout = timeout
        self._lock = threading.Lock()
        self._state = _State()
        # Runs on close, when the object is collected, and at interpreter exit.
        self._finalizer = weakref.finalize(self, self._state.shutdown)

    @property
    def office_pid(self) -> int | None:
        """Process id of the process's warm office, None when none is running."""
        office = _SHARED.running()
        return office.office_pid if office is not None else None

    def convert(self, input: StrPath, output: StrPath, keep_active: bool = True) -> None:
        """Write the PDF of the .docx `input` to `output` (any name, in an existing
        folder), returning once the PDF is complete and `input` is closed again.

        With `keep_active` the office stays running for this object's next call;
        otherwise this object no longer keeps it, and it stops unless another
        converter does. Raises OSError (no such input, no such output folder),
        ValueError (not a .docx) or ConversionError; `output` is then untouched.
        """
        source = os.path.abspath(os.fspath(input))
        target = os.path.abspath(os.fspath(output))
        with self._lock:
            _check_paths(source, target)
            if sys.platform == "win32":
                self._convert_in_folder(
                    source, target, lambda docx, pdf: self._convert_with_word(docx, pdf, keep_active)
                )
                return
            token = self._state.token
            if keep_active:
                _SHARED.holders.add(token)
            try:
                self._convert_in_folder(source, target, self._convert_with_libreoffice)
            finally:
                if not keep_active:
                    _SHARED.holders.discard(token)
                _SHARED.stop_if_unheld()

    def close(self) -> None:
        """Let go of the warm office (it stops unless another converter keeps
        it) and remove the private folder; a later call starts afresh."""
        with self._lock:
            self._state.shutdown()

    def __enter__(self) -> Folioprint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _convert_in_folder(
        self, source: str, target: str, convert: Callable[[str, str], None]
    ) -> None:
        state = self._state
        if state.folder is None or not os.path.isdir(state.folder):
            state.folder = tempfile.mkdtemp(prefix="converter-", dir=_SHARED.root())
        job = tempfile.mkdtemp(prefix="job-", dir=state.folder)
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
                _check_pdf(pdf)
            except ConversionError as error:
                raise ConversionError(f"could not convert {source!r} to PDF: {error}") from None
            _place(pdf, target)
        finally:
            shutil.rmtree(job, ignore_errors=True)

    def _convert_with_libreoffice(self, staged: str, pdf: str) -> None:
        try:
            self._convert_warm(staged, pdf)
            _check_pdf(pdf)
            return
        except _TookTooLong:
            raise
        except (_OfficeGone, _Refused, _NotStarted, ConversionError) as error:
            warm_error = error
        # What the warm office cannot load may still convert on its own.
        try:
            os.unlink(pdf)
        except OSError:
            pass
        try:
            self._convert_once(staged, pdf)
            _check_pdf(pdf)
        except ConversionError as error:
            raise ConversionError(f"{warm_error}; a one-off LibreOffice run failed too: {error}") from None

    def _convert_warm(self, staged: str, pdf: str) -> None:
        shared = _SHARED
        with shared.lock:
            for attempt in range(2):
                office = shared.running()
                if office is None:
                    shared.stop_office()
                    root = shared.root()
                    try:
                        office = shared.office = _Office(
                            os.path.join(root, "profile"),
                            os.path.join(root, "office.log"),
                            START_TIMEOUT,
                        )
                    except _TookTooLong:
                        raise
                    except ConversionError as error:
                        raise _NotStarted(str(error)) from None
                try:
                    office.convert(staged, pdf, self.timeout)
                    return
                except _OfficeGone as gone:
                    shared.stop_office()
                    # Gone before it saw the document (it died since the last
                    # call): a new office gets it. Dying on it is the
                    # document's doing.
                    if not gone.before or attempt:
                        raise _OfficeGone(f"LibreOffice died: {gone}") from None
                except _Refused as refused:
                    raise _Refused(f"LibreOffice failed: {refused}") from None

    def _convert_once(self, staged: str, pdf: str) -> None:
        """A plain ``soffice --convert-to`` with this converter's own profile."""
        folder = self._state.folder
        assert folder is not None
        profile = Path(folder, "profile").as_uri()
        with open(os.path.join(folder, "once.log"), "ab") as log:
            try:
                process = subprocess.Popen(
                    [SOFFICE, "-env:UserInstallation=" + profile, "--headless", "--invisible", "--nologo",
                     "--norestore", "--nolockcheck", "--convert-to", "pdf:" + PDF_EXPORT_FILTER,
                     "--outdir", os.path.dirname(pdf), staged],
                    stdin=subprocess.DEVNULL,
                    stdout=log,
                    stderr=log,
                    start_new_session=True,
                )
            except OSError as error:
                raise ConversionError(f"LibreOffice could not be run ({SOFFICE}): {error}") from None
        try:
            process.wait(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            raise _TookTooLong("a one-off LibreOffice run took too long; it was stopped") from None
        finally:
            # The launcher may leave the office behind when it is killed.
            _kill_group(process)

    def _convert_with_word(self, staged: str, pdf: str, keep_active: bool) -> None:
        from docx2pdf import convert as word_convert  # Word through COM; it can keep Word open itself

        word_convert(staged, pdf, keep_active=keep_active)
