"""Converts Word documents (.docx) into PDF files.

On Windows Word does the work (through docx2pdf). Elsewhere a headless
LibreOffice does, with Debian's Noto CJK fonts providing the Chinese glyphs.

soffice reports success even when it could not load a document, so a
conversion counts only when a fresh, non-empty PDF exists. The PDF is written
in a private folder and then moved into place, so the output path never holds
a half-written file and converters never collide.

Keeping offices warm: a second ``soffice --convert-to`` with the profile of
a running office is handed over to that office, which converts once and then
quits, so the next call pays the start again (measured with LibreOffice 7.4).
Instead, a small helper under the interpreter that has LibreOffice's UNO bridge
(``_folioprint_office.py``; Debian's python3-uno loads only into
/usr/bin/python3) starts an office listening on a private pipe and converts
over UNO. A warm conversion then takes about 0.1 s, a plain soffice run 1.2 s.

The offices are a pool that every converter of the process shares (an office
costs about 140 MB). Each converts one document at a time. While conversions
come one at a time one office does them all; when conversions have been
waiting for a free office for GROW_AFTER seconds without a break (one waiter
after another counts: eight threads behind one office are demand even when
each waits less), another office is started, up to
MAX_OFFICES (one per CPU unless set); an office beyond the first that has been
idle for IDLE_STOP seconds is stopped. Each office has a private profile and
temporary folder, is replaced when it dies, and is killed alone when a
conversion on it runs past the converter's timeout. Offices run while some
converter wants them kept warm and end with the program. A document a warm
office cannot load (it dies on it, or refuses it) is converted once more by a
plain soffice run with the converter's own profile; the next call goes warm
again.

What a killed office leaves behind, its ``lu*.tmp`` folder and the
``OSL_PIPE_*`` sockets LibreOffice names after the pipe and the profile (both
ours alone), is removed as soon as it is dead, and everything else at exit.
"""

from __future__ import annotations

import atexit
import collections
import errno
import gc
import hashlib
import json
import os
import select
import shutil
import signal
import stat
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

# The pool: how many offices may run at once (None: os.cpu_count()), how long
# a conversion waits for a free office before another is started, and how
# long an office beyond the first may stay idle. Read each time they apply.
MAX_OFFICES: int | None = None
GROW_AFTER = 1.0
IDLE_STOP = 60.0

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
    # Another file system: copy next to the target first, then rename there
    # (under a short name: the target's own may be as long as names can be).
    fd, part = tempfile.mkstemp(prefix=".folioprint-", suffix=".part", dir=os.path.dirname(target))
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


def _office_sockets(*pipe_names: str) -> list[str]:
    """Where LibreOffice puts the sockets of these pipe names (sal's pipes:
    /tmp, else /var/tmp, whatever TMPDIR says)."""
    uid = os.getuid() if hasattr(os, "getuid") else 0
    return [f"{folder}/OSL_PIPE_{uid}_{name}" for folder in ("/tmp", "/var/tmp") for name in pipe_names]


def _instance_pipe(profile_url: str) -> str:
    """The pipe an office opens so that a second start with the same profile
    hands its work over: named after the MD5 of the profile's URL in UTF-16,
    each byte in hex without padding (LibreOffice 7.4). The name is ours alone,
    as the profile is."""
    digest = hashlib.md5(profile_url.encode("utf-16-le")).digest()
    return "SingleOfficeIPC_" + "".join(f"{byte:x}" for byte in digest)


def _clean_after(profile_url: str, pipe_names: list[str], tmp: str) -> None:
    """Removes what a dead office of this profile left: its sockets, which a
    killed office (and even a cleanly stopped one, for its listening pipe)
    leaves in /tmp, and its temporary folder's contents (lu*.tmp)."""
    if sys.platform == "win32":
        return
    for path in _office_sockets(_instance_pipe(profile_url), *pipe_names):
        try:
            if stat.S_ISSOCK(os.lstat(path).st_mode):
                os.unlink(path)
        except OSError:
            pass
    shutil.rmtree(tmp, ignore_errors=True)


def _office_environment(tmp: str) -> dict[str, str]:
    """The office's temporary files (lu*.tmp) go to a private folder."""
    os.makedirs(tmp, exist_ok=True)
    return dict(os.environ, TMPDIR=tmp)


def _start_daemon(target: Callable[[], None], name: str) -> None:
    # No automatic collection while start() waits for the new thread: the
    # collector running there could call a Tk object's finalizer, which waits
    # for the main thread, which may be this one.
    thread = threading.Thread(target=target, name=name, daemon=True)
    enabled = gc.isenabled()
    gc.disable()
    try:
        thread.start()
    finally:
        if enabled:
            gc.enable()


class _Office:
    """One helper process and the LibreOffice it started, in their own process
    group, with the profile and temporary folder of `folder`."""

    def __init__(self, folder: str, timeout: float) -> None:
        binary = os.path.join(os.path.dirname(os.path.realpath(SOFFICE)), "soffice.bin")
        if not os.path.exists(binary):
            raise ConversionError(f"LibreOffice was not found (looked for {binary})")
        if not os.path.exists(UNO_PYTHON):
            raise ConversionError(f"no interpreter with the UNO bridge at {UNO_PYTHON}")
        self.pipe = "folioprint-" + uuid.uuid4().hex
        self.profile_url = Path(folder, "profile").as_uri()
        self.tmp = os.path.join(folder, "tmp")
        self.log = os.path.join(folder, "office.log")
        os.makedirs(folder, exist_ok=True)
        with open(self.log, "ab") as log_file:
            self.process = subprocess.Popen(
                [UNO_PYTHON, HELPER, binary, self.profile_url, self.pipe, str(timeout)],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=log_file,
                env=_office_environment(self.tmp),
                start_new_session=True,
            )
        self._buffer = b""
        self._killed = False
        _OFFICES.add(self)
        try:
            reply = self._reply(time.monotonic() + timeout + 5, "starting")
        except _OfficeGone:
            self.kill()
            raise ConversionError("the LibreOffice helper failed to start" + self._log_tail()) from None
        except BaseException:
            # Interrupted while starting: no slot holds it yet, so nothing else would end it.
            self.kill()
            raise
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
        """Kills the office (if it still runs) and removes what it left.
        Only once: a later cleanup could remove what a new office of the same
        folder has made."""
        if self._killed:
            return
        self._killed = True
        _kill_group(self.process)
        for stream in (self.process.stdin, self.process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass
        _clean_after(self.profile_url, [self.pipe], self.tmp)

    def forsake(self) -> None:
        """In a forked child: lets go of the parent's office. Its pipes are
        pointed at /dev/null before they are closed, so that nothing buffered
        reaches the helper, and the helper sees the end of its input when the
        parent closes its own end."""
        self._killed = True  # the child never kills or cleans after it
        for stream in (self.process.stdin, self.process.stdout):
            if stream is None:
                continue
            try:
                null = os.open(os.devnull, os.O_RDWR)
                try:
                    os.dup2(null, stream.fileno())
                finally:
                    os.close(null)
                stream.close()
            except (OSError, ValueError):
                pass
        self.process.stdin = self.process.stdout = None


# Every office this process started, for the child of a fork to let go of.
_OFFICES: weakref.WeakSet[_Office] = weakref.WeakSet()


class _Slot:
    """A place in the pool: an office (None until started, or after it died)
    and the folder of its profile, which a later office of the same number
    reuses (a fresh profile makes the first start slower)."""

    def __init__(self, number: int, folder: str) -> None:
        self.number = number
        self.folder = folder
        self.office: _Office | None = None
        self.busy = True
        self.idle_since = 0.0

    def running(self) -> _Office | None:
        office = self.office
        return office if office is not None and office.alive() else None

    def drop_office(self) -> None:
        """Forgets a dead office, after cleaning up after it."""
        office, self.office = self.office, None
        if office is not None:
            office.kill()

    def stop_office(self) -> None:
        office, self.office = self.office, None
        if office is not None:
            office.stop()


class _Pool:
    """The process's offices, the folder that holds their profiles and the
    converters' private folders, and the converters that want them warm.

    `lock` is held only to look at or change this state, never while an
    office starts, converts or stops."""

    def __init__(self) -> None:
        self._forget()

    def _forget(self) -> None:
        # Also after a fork, in the child: the parent's offices are not its
        # own (their pipes would mix both processes' requests), nor is its folder.
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.slots: list[_Slot] = []
        self.waiting: collections.deque[object] = collections.deque()
        # Since when some conversion has been waiting without a break.
        self.backlog_since: float | None = None
        self.stopping: set[int] = set()  # numbers of slots whose office is being stopped
        self.folder: str | None = None
        self.reaping = False
        # Tokens of the converters that want the offices kept warm. Changed
        # without the lock: a converter's finaliser may run on a thread that
        # holds it.
        self.holders: set[object] = set()

    def root(self) -> str:
        folder = self.folder
        if folder is None or not os.path.isdir(folder):
            folder = self.folder = tempfile.mkdtemp(prefix="folioprint-")
            # A worker process of a multiprocessing pool ends without running
            # atexit hooks, only multiprocessing's own finalizers.
            processes = sys.modules.get("multiprocessing.util")
            if processes is not None:
                processes.Finalize(None, self.shutdown, exitpriority=0)
        return folder

    def limit(self) -> int:
        return max(1, MAX_OFFICES if MAX_OFFICES is not None else os.cpu_count() or 1)

    def running_pids(self) -> list[int]:
        with self.lock:
            offices = [slot.running() for slot in self.slots]
        return [office.office_pid for office in offices if office is not None]

    def acquire(self) -> _Slot:
        """A slot for one conversion, its office idle or yet to be started.
        Waits in turn for a free office; once conversions have waited
        GROW_AFTER seconds without a break, a new one is started while the
        pool is below its limit."""
        ticket = object()
        asked = time.monotonic()
        with self.changed:
            self.waiting.append(ticket)
            try:
                while True:
                    first = self.waiting[0] is ticket
                    if first:
                        for slot in self.slots:
                            if not slot.busy:
                                slot.busy = True
                                return slot
                    if self.backlog_since is None:
                        self.backlog_since = asked
                    waited = time.monotonic() - self.backlog_since
                    below_limit = len(self.slots) < self.limit()
                    if not self.slots or (below_limit and waited >= GROW_AFTER):
                        return self._new_slot()
                    self.changed.wait(GROW_AFTER - waited if below_limit and waited < GROW_AFTER else None)
            finally:
                self.waiting.remove(ticket)
                if not self.waiting:
                    self.backlog_since = None
                # The next in line may take what this one did not.
                self.changed.notify_all()

    def _new_slot(self) -> _Slot:
        taken = {slot.number for slot in self.slots} | self.stopping
        number = next(n for n in range(len(taken) + 1) if n not in taken)
        slot = _Slot(number, os.path.join(self.root(), f"office-{number}"))
        self.slots.append(slot)
        return slot

    def release(self, slot: _Slot) -> None:
        """After a conversion: the office waits for the next one, or stops
        when no converter wants it warm; a dead one's place is given up."""
        reap = False
        with self.changed:
            known = slot in self.slots  # not after shutdown()
            drop = slot.running() is None
            stop = not drop and (not self.holders or not known)
            if drop or stop:
                if known:
                    self.slots.remove(slot)
                # The number stays taken until the office is cleaned after:
                # a new office of that number would share its folder.
                self.stopping.add(slot.number)
            else:
                slot.busy = False
                slot.idle_since = time.monotonic()
                reap = len(self.slots) > 1 and not self.reaping
                self.reaping = self.reaping or reap
            self.changed.notify_all()
        if drop or stop:
            self._stop(slot, kill=drop)
        elif reap:
            _start_daemon(self._reap, "folioprint-idle-offices")

    def _stop(self, slot: _Slot, kill: bool = False) -> None:
        try:
            if kill:
                slot.drop_office()
            else:
                slot.stop_office()
        finally:
            with self.changed:
                self.stopping.discard(slot.number)
                self.changed.notify_all()

    def _reap(self) -> None:
        """Stops offices beyond the first once they have been idle IDLE_STOP
        seconds; ends when one office is left."""
        while True:
            with self.changed:
                if len(self.slots) <= 1:
                    self.reaping = False
                    return
                now = time.monotonic()
                idle = sorted((slot for slot in self.slots if not slot.busy), key=lambda slot: slot.idle_since)
                due = [slot for slot in idle if now - slot.idle_since >= IDLE_STOP][: len(self.slots) - 1]
                for slot in due:
                    self.slots.remove(slot)
                    self.stopping.add(slot.number)
                if not due:
                    next_due = min((slot.idle_since + IDLE_STOP for slot in idle), default=now + IDLE_STOP)
                    self.changed.wait(max(0.01, next_due - now))
                    continue
            for slot in due:
                self._stop(slot)

    def stop_if_unheld(self) -> None:
        # Never waits: whoever holds the lock calls this again when done.
        if self.holders or not self.slots or not self.lock.acquire(blocking=False):
            return
        try:
            if self.holders:
                return
            idle = [slot for slot in self.slots if not slot.busy]
            for slot in idle:
                self.slots.remove(slot)
                self.stopping.add(slot.number)
        finally:
            self.lock.release()
        for slot in idle:
            self._stop(slot)

    def release_holder(self, token: object) -> None:
        self.holders.discard(token)
        self.stop_if_unheld()

    def shutdown(self) -> None:
        """At the end of the program."""
        self.holders.clear()
        with self.changed:
            # Daemon threads may be converting still; their offices go too,
            # after a short wait.
            self.changed.wait_for(lambda: all(not slot.busy for slot in self.slots) and not self.stopping, timeout=5)
            slots, self.slots = self.slots, []
            self.changed.notify_all()
        for slot in slots:
            slot.stop_office()
        folder, self.folder = self.folder, None
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


_POOL = _Pool()
atexit.register(_POOL.shutdown)

# The converters of this process, for the child of a fork to reset.
_CONVERTERS: weakref.WeakSet[Folioprint] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    # The parent's offices are not the child's: holding their pipes open
    # would keep the parent's helpers from seeing the end of their input (its
    # stop would wait the full time), and a lock a parent's thread held at
    # the fork would never be released here.
    _POOL._forget()
    for office in list(_OFFICES):
        office.forsake()
    _OFFICES.clear()
    for converter in list(_CONVERTERS):
        converter._lock = threading.Lock()
        converter._once_lock = threading.Lock()
        converter._state.office = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


class _State:
    """What must be cleaned up when a converter goes away (kept apart from the
    converter so that its finaliser does not keep it alive)."""

    def __init__(self) -> None:
        self.token = object()
        # Private folder: conversion jobs, and the profile of one-off runs;
        # made by the process `pid` (a forked child makes its own).
        self.folder: str | None = None
        self.pid = 0
        # The office of this converter's last warm conversion.
        self.office: _Office | None = None

    def shutdown(self) -> None:
        _POOL.release_holder(self.token)
        self.office = None
        folder, self.folder = self.folder, None
        if folder is not None and self.pid == os.getpid():
            shutil.rmtree(folder, ignore_errors=True)


class Folioprint:
    """A .docx to PDF converter. Its calls may come from several threads at
    once; all converters of the process share a pool of warm offices, each
    converting one document at a time (see the module's description)."""

    def __init__(self, timeout: float = 120.0) -> None:
        self.timeout = timeout
        self._lock = threading.Lock()  # the private folder
        self._once_lock = threading.Lock()  # one-off runs share the converter's profile
        self._state = _State()
        # Runs on close, when the object is collected, and at interpreter exit.
        self._finalizer = weakref.finalize(self, self._state.shutdown)
        _CONVERTERS.add(self)

    @property
    def office_pid(self) -> int | None:
        """Process id of the office that did this converter's last warm
        conversion, None when that office no longer runs."""
        office = self._state.office
        return office.office_pid if office is not None and office.alive() else None

    def convert(self, input: StrPath, output: StrPath, keep_active: bool = True) -> None:
        """Write the PDF of the .docx `input` to `output` (any name, in an existing
        folder), returning once the PDF is complete and `input` is closed again.

        With `keep_active` the offices stay running for this object's next call;
        otherwise this object no longer keeps them, and they stop unless another
        converter does. Raises OSError (no such input, no such output folder),
        ValueError (not a .docx) or ConversionError; `output` is then untouched.
        """
        source = os.path.abspath(os.fspath(input))
        target = os.path.abspath(os.fspath(output))
        _check_paths(source, target)
        if sys.platform == "win32":
            with self._lock:  # Word converts one document at a time
                self._convert_in_folder(
                    source, target, lambda docx, pdf: self._convert_with_word(docx, pdf, keep_active)
                )
            return
        token = self._state.token
        if keep_active:
            _POOL.holders.add(token)
        try:
            self._convert_in_folder(source, target, self._convert_with_libreoffice)
        finally:
            if not keep_active:
                _POOL.holders.discard(token)
            _POOL.stop_if_unheld()

    def close(self) -> None:
        """Let go of the warm offices (they stop unless another converter keeps
        them) and remove the private folder; a later call starts afresh."""
        with self._lock:
            self._state.shutdown()

    def __enter__(self) -> Folioprint:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _private_folder(self) -> str:
        state = self._state
        with self._lock:
            if state.folder is None or state.pid != os.getpid() or not os.path.isdir(state.folder):
                state.folder = tempfile.mkdtemp(prefix="converter-", dir=_POOL.root())
                state.pid = os.getpid()
            return state.folder

    def _convert_in_folder(
        self, source: str, target: str, convert: Callable[[str, str], None]
    ) -> None:
        job = tempfile.mkdtemp(prefix="job-", dir=self._private_folder())
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
        slot = _POOL.acquire()
        try:
            for attempt in range(2):
                office = slot.running()
                if office is None:
                    slot.drop_office()
                    try:
                        office = slot.office = _Office(slot.folder, START_TIMEOUT)
                    except _TookTooLong:
                        raise
                    except ConversionError as error:
                        raise _NotStarted(str(error)) from None
                self._state.office = office
                try:
                    office.convert(staged, pdf, self.timeout)
                    return
                except _OfficeGone as gone:
                    slot.drop_office()
                    # Gone before it saw the document (it died since the last
                    # call): a new office gets it. Dying on it is the
                    # document's doing.
                    if not gone.before or attempt:
                        raise _OfficeGone(f"LibreOffice died: {gone}") from None
                except _Refused as refused:
                    raise _Refused(f"LibreOffice failed: {refused}") from None
                except BaseException:
                    # Timed out, or interrupted while the office works on the
                    # document: its late reply would answer the next request.
                    # Dropped while the slot is held, so no new office shares
                    # its folder during the cleanup.
                    slot.drop_office()
                    raise
        finally:
            _POOL.release(slot)

    def _convert_once(self, staged: str, pdf: str) -> None:
        """A plain ``soffice --convert-to`` with this converter's own profile."""
        folder = self._private_folder()
        profile = Path(folder, "profile").as_uri()
        tmp = os.path.join(folder, "tmp")
        with self._once_lock, open(os.path.join(folder, "once.log"), "ab") as log:
            try:
                process = subprocess.Popen(
                    [SOFFICE, "-env:UserInstallation=" + profile, "--headless", "--invisible", "--nologo",
                     "--norestore", "--nolockcheck", "--convert-to", "pdf:" + PDF_EXPORT_FILTER,
                     "--outdir", os.path.dirname(pdf), staged],
                    stdin=subprocess.DEVNULL,
                    stdout=log,
                    stderr=log,
                    env=_office_environment(tmp),
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
                _clean_after(profile, [], tmp)

    def _convert_with_word(self, staged: str, pdf: str, keep_active: bool) -> None:
        from docx2pdf import convert as word_convert  # Word through COM; it can keep Word open itself

        word_convert(staged, pdf, keep_active=keep_active)
