"""Shared test set-up and the helpers the tests share: a display, one Tk root for
the session, a fresh frame per test, Tk callback exceptions turned into test
failures; threads, PDF text and processes."""

from __future__ import annotations

import contextlib
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest


def use_authority_file() -> None:
    """Xlib (through pyautogui) looks for ~/.Xauthority when XAUTHORITY is unset,
    and refuses to connect without such a file, even to an Xvfb that needs none.
    Names the real file, or an empty one, before HOME moves."""
    xauth = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
    if not os.path.exists(xauth):
        xauth = os.path.join(tempfile.gettempdir(), "varnholt-tests.Xauthority")
        Path(xauth).touch()
    os.environ["XAUTHORITY"] = os.path.abspath(xauth)


_home = ""


def pytest_configure(config: Any) -> None:
    # Data folders go under HOME on Linux, the map's tile cache under
    # XDG_CACHE_HOME; keep the tests away from the real ones. Done here, not
    # at import, so that scripts the tests run in their own processes can
    # import these helpers under the HOME they are given.
    global _home
    use_authority_file()
    _home = tempfile.mkdtemp(prefix="varnholt-home-")
    os.environ["HOME"] = _home
    os.environ["XDG_CACHE_HOME"] = os.path.join(_home, ".cache")
    _guard_network()


REPO = Path(__file__).resolve().parent.parent
DATA = REPO / "tests" / "data"  # see its README for sources and licences

PACKAGE = "varnholt通用模組"


def loomkit_module() -> Any:
    """The Loomkit extension module itself (the package attribute is the class)."""
    import importlib

    importlib.import_module(PACKAGE + ".Loomkit")
    return sys.modules[PACKAGE + ".Loomkit"]


# Nothing in the suite may reach another machine: connections and name
# look-ups other than this one's are refused and remembered.
_LOOPBACK = {"127.0.0.1", "localhost", "::1"}
_elsewhere: list[str] = []


def _guard_network() -> None:
    import socket

    getaddrinfo, connect, connect_ex = socket.getaddrinfo, socket.socket.connect, socket.socket.connect_ex

    def refuse(host: Any) -> None:
        _elsewhere.append(str(host))
        raise OSError(f"the tests reach no other machine ({host})")

    def guarded_getaddrinfo(host: Any, *args: Any, **kwargs: Any) -> Any:
        if host is not None and str(host) not in _LOOPBACK:
            refuse(host)
        return getaddrinfo(host, *args, **kwargs)

    def guarded(real: Any) -> Any:
        def call(self: socket.socket, address: Any) -> Any:
            if self.family in (socket.AF_INET, socket.AF_INET6) and address[0] not in _LOOPBACK:
                refuse(address[0])
            return real(self, address)
        return call

    socket.getaddrinfo = guarded_getaddrinfo  # type: ignore[assignment]
    socket.socket.connect = guarded(connect)  # type: ignore[method-assign]
    socket.socket.connect_ex = guarded(connect_ex)  # type: ignore[method-assign]


@pytest.fixture(scope="session", autouse=True)
def offline_maps() -> Iterator[None]:
    """Every map of the suite asks 127.0.0.1 for its tiles (where nothing
    listens, unless a test serves them), and nothing else was reached."""
    if os.environ.get("DISPLAY"):
        from tileserver import unreachable_url

        loomkit_module().Loomkit.Draw_Map.default_tile_server = unreachable_url()
    yield
    assert not _elsewhere, f"the tests tried to reach other machines: {sorted(set(_elsewhere))}"


@pytest.fixture(scope="session")
def home() -> Path:
    return Path(_home)


@pytest.fixture(scope="session")
def Loomkit() -> Any:
    return loomkit_module().Loomkit


class CallbackErrors(list):  # type: ignore[type-arg]
    def __call__(self, exc: type, value: BaseException, tb: Any) -> None:
        self.append(value)


@pytest.fixture(scope="session")
def tk_root() -> Iterator[Any]:
    if not os.environ.get("DISPLAY"):
        pytest.skip("no display: run the tests under Xvfb (see README)")
    import customtkinter

    root = customtkinter.CTk()
    root.geometry("1200x900+0+0")
    errors = CallbackErrors()
    root.report_callback_exception = errors
    root._test_errors = errors  # type: ignore[attr-defined]
    root.update()
    yield root
    root.destroy()


@pytest.fixture
def frame(tk_root: Any) -> Iterator[Any]:
    """A fresh frame in the session root; callback exceptions fail the test."""
    import customtkinter

    errors = tk_root._test_errors
    del errors[:]
    f = customtkinter.CTkFrame(tk_root, width=900, height=700)
    f.pack(fill="both", expand=True)
    tk_root.update()
    yield f
    try:
        f.destroy()
        tk_root.update()
        # The test's Tk objects caught in cycles are freed here, on the Tk
        # thread; a later test's worker that happened to collect them would
        # call Tk from its own thread.
        gc.collect()
    finally:
        caught = list(errors)
        del errors[:]
        if caught:
            raise AssertionError(f"Tk callback raised: {caught!r}")


def pump(root: Any, until: Callable[[], bool], timeout: float = 120.0) -> bool:
    """Runs the event loop until `until()` holds; the time limit only ends a
    test that hangs, so it is far above any normal wait."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        root.update()
        if until():
            return True
        time.sleep(0.005)
    root.update()
    return until()


@contextlib.contextmanager
def no_collection() -> Iterator[None]:
    """No automatic garbage collection while the main thread waits for threads
    (Thread.start(), join(), a map widget starting its tile threads): a Tk
    object's finalizer run by the collector on the awaited thread would wait
    for the main thread. The caller's setting comes back after."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def run_in_threads(work: Callable[[int], None], count: int) -> list[BaseException]:
    """Runs work(0) ... work(count - 1) on threads of their own at once and
    returns what they raised."""
    errors: list[BaseException] = []

    def guarded(i: int) -> None:
        try:
            work(i)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    with no_collection():
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    return errors


# Documents converted to PDF -------------------------------------------------

needs_office = pytest.mark.skipif(
    sys.platform == "win32" or shutil.which("soffice") is None or shutil.which("pdftotext") is None,
    reason="needs LibreOffice (soffice) and pdftotext",
)


def pdf_text(path: Path) -> str:
    return subprocess.run(
        ["pdftotext", "-enc", "UTF-8", str(path), "-"], capture_output=True, check=True, text=True
    ).stdout


# Processes, from /proc --------------------------------------------------------

def process_running(pid: int) -> bool:
    """Alive and not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def processes_with(needle: str, program: bytes = b"") -> list[int]:
    """Running processes other than this one whose command line holds
    `needle`, and whose program name ends with `program` when given."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            command = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if command[0].endswith(program) and any(needle.encode() in part for part in command) \
                and process_running(int(entry)):
            found.append(int(entry))
    return found



def unix_sockets(pid: int) -> set[str]:
    """Paths of the Unix sockets the process holds open (those it listens on
    included), from /proc."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    paths = set()
    with open("/proc/net/unix") as table:
        for row in table.read().splitlines()[1:]:
            fields = row.split()
            if len(fields) >= 8 and fields[6] in inodes:
                paths.add(fields[7])
    return paths
