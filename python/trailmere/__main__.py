"""Starts the Trailmere viewer: ``trailmere [FILE.gpx ...]`` or ``python -m trailmere``.

The viewer window runs until it is closed; GPX files named on the command line
are drawn on the map once the window is up, the view fitted to the last one.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import queue
import sys
import threading
from typing import Any, Iterator, Sequence


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="trailmere", description="Trailmere, a viewer for GPS tracks (GPX files) on a map."
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help="GPX files to draw when the window opens")
    args = parser.parse_args(argv)
    missing = [f for f in args.files if not os.path.isfile(f)]
    if missing:
        parser.error("no such file: " + ", ".join(missing))
    for f in args.files:
        if not f.endswith(".gpx"):
            print(f"trailmere: {f}: not a .gpx file, it will not be drawn", file=sys.stderr)
    return args


def draw_files(gui: Any, draw_map: Any, files: Sequence[str]) -> None:
    """Draws the files as the add button would: all of them, the last one fitted."""
    for i, path in enumerate(files):
        draw_map.draw_gpx(path, adapt_sizes=i + 1 == len(files))


@contextlib.contextmanager
def drawing_at_start(gui: Any, files: Sequence[str]) -> Iterator[None]:
    """While the block runs, the map the window creates gets `files` drawn on it.

    GUI builds its map itself and keeps it to itself, so the map class the
    module looks up is wrapped for the duration of the call: the wrapper
    builds the real map and schedules the drawing on the window's event loop,
    which runs only once the window is up. Other callers of GUI are not
    affected; the module attribute is restored afterwards.
    """
    if not files:
        yield
        return
    Draw_Map = gui.Draw_Map

    def draw_map_with_files(frame: Any) -> Any:
        draw_map = Draw_Map(frame)
        frame.after(100, gui.try_except_log(lambda: draw_files(gui, draw_map, files)))
        return draw_map

    gui.Draw_Map = draw_map_with_files
    try:
        yield
    finally:
        gui.Draw_Map = Draw_Map


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        from trailmere import GUI as gui
    except Exception as error:  # no display, a library missing
        print(f"trailmere: cannot start the viewer: {type(error).__name__}: {error}", file=sys.stderr)
        return 1

    Queue_All_variable: dict[str, queue.Queue[None]] = {"end": queue.Queue(), "起始數據": queue.Queue()}
    Event_All_variable = {"end": threading.Event()}
    with drawing_at_start(gui, [os.path.abspath(f) for f in args.files]):
        gui.GUI(Queue_All_variable, Event_All_variable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
