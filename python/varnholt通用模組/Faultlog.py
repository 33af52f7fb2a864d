"""Wraps event handlers so that an exception is reported, not fatal."""

from __future__ import annotations

import sys
import traceback
from typing import Any, Callable


class Faultlog:
    """Reports the failures of wrapped callables on standard error."""

    def try_except_log(self, f: Callable[[], Any]) -> Callable[[], None]:
        """Return a no-argument callable that runs `f`; an exception inside it
        is reported (one line naming the function and the error, then the
        traceback) and swallowed, so an event loop goes on."""
        name = getattr(f, "__qualname__", None) or getattr(f, "__name__", None) or repr(f)

        def run() -> None:
            try:
                f()
            except Exception as error:
                print(f"{name} failed: {type(error).__name__}: {error}", file=sys.stderr)
                traceback.print_exc(file=sys.stderr)

        run.__name__ = getattr(f, "__name__", "run")
        run.__qualname__ = name
        run.__doc__ = getattr(f, "__doc__", None)
        return run
