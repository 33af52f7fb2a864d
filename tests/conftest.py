"""Shared test set-up: a display, one Tk root for the session, a fresh frame per
test, and Tk callback exceptions turned into test failures."""

from __future__ import annotations

import contextlib
import gc
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

# Xlib (through pyautogui) looks for ~/.Xauthority when XAUTHORITY is unset, and
# refuses to connect without such a file, even to an Xvfb that needs none. HOME
# moves below, so the file is named here, before it does.
_xauth = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
if not os.path.exists(_xauth):
    _xauth = os.path.join(tempfile.gettempdir(), "varnholt-tests.Xauthority")
    Path(_xauth).touch()
os.environ["XAUTHORITY"] = os.path.abspath(_xauth)

# Data folders go under HOME on Linux; keep the tests away from the real one.
_home = tempfile.mkdtemp(prefix="varnholt-home-")
os.environ["HOME"] = _home

REPO = Path(__file__).resolve().parent.parent
DATA = REPO / "tests" / "data"  # see its README for sources and licences

PACKAGE = "varnholt通用模組"


def loomkit_module() -> Any:
    """The Loomkit extension module itself (the package attribute is the class)."""
    import importlib

    importlib.import_module(PACKAGE + ".Loomkit")
    return sys.modules[PACKAGE + ".Loomkit"]


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
