"""Draws a corpus of GPX files through one map under a running event loop and
measures what a user would notice. Shared by the hardening test and the
stress run."""

from __future__ import annotations

import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Iterable


@dataclass
class Outcome:
    workers: int = 0
    finished: int = 0
    hung: int = 0
    failed: int = 0
    max_gap_ms: float = 0.0
    seconds: float = 0.0
    paths: list[list[tuple[float, float]]] = field(default_factory=list)
    opened: set[str] = field(default_factory=set)
    lock_free: bool = True


_opened: set[str] = set()
_watching: list[set[threading.Thread]] = []


# Libraries import their modules lazily; those opens are not the user's files.
_LIBRARY_ROOTS = tuple({sys.prefix, sys.base_prefix, sys.exec_prefix})


def _audit(event: str, args: tuple[Any, ...]) -> None:
    if event == "open" and _watching and threading.current_thread() in _watching[0]:
        path = str(args[0])
        if not path.startswith(_LIBRARY_ROOTS):
            _opened.add(path)


sys.addaudithook(_audit)


def draw_all(root: Any, draw_map: Any, files: Iterable[str], batch: int = 5, timeout: float = 120,
             tick_ms: int = 10) -> Outcome:
    """Feeds `files` to draw_gpx in batches from the event loop, clearing the
    paths never, and waits for every worker."""
    files = list(files)
    out = Outcome()
    failures: list[BaseException | None] = []
    hook = threading.excepthook
    threading.excepthook = lambda args: failures.append(args.exc_value)
    watched: set[threading.Thread] = set()
    _watching.append(watched)
    _opened.clear()
    ticks: list[float] = []
    start = time.monotonic()
    pending = list(files)

    real = draw_map._draw_gpx
    finished: list[int] = []

    def counted(*args: Any, **kwargs: Any) -> None:
        watched.add(threading.current_thread())
        try:
            real(*args, **kwargs)
        finally:
            finished.append(1)

    draw_map._draw_gpx = counted  # draw_gpx looks its target up on the object

    def submit() -> None:
        for path in pending[:batch]:
            draw_map.draw_gpx(path, adapt_sizes=True)
        del pending[:batch]
        if pending:
            root.after(1, submit)

    def tick() -> None:
        ticks.append(time.monotonic())
        busy = pending or len(finished) < len(files)
        if busy and time.monotonic() - start < timeout:
            root.after(tick_ms, tick)
        else:
            root.quit()

    root.after(1, submit)
    root.after(tick_ms, tick)
    root.mainloop()
    del draw_map._draw_gpx
    _watching.clear()
    threading.excepthook = hook

    out.seconds = time.monotonic() - start
    out.workers = len(files)
    out.finished = len(finished)
    out.hung = out.workers - out.finished
    out.failed = len(failures)
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    out.max_gap_ms = max(gaps, default=0.0) * 1000
    out.paths = [list(p.position_list) for p in draw_map.map_widget.canvas_path_list]
    out.opened = set(_opened)
    out.lock_free = not draw_map.lock_draw_line.locked()
    return out
