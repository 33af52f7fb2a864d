"""Starts the Trailmere viewer: ``trailmere [--tiles SOURCE] [FILE.gpx ...]`` or ``python -m trailmere``.

The viewer window runs until it is closed; GPX files named on the command line
are drawn on the map once the window is up, the view fitted to the last one.
Each file that draws nothing is named on standard error with the reason, and a
viewer that cannot start says why in one line. ``--tiles`` takes the map's
tiles from another server (an address with {z}, {x} and {y}) or from an
MBTiles file, which needs no network.
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
    parser.add_argument("--tiles", metavar="SOURCE",
                        help="where the map's tiles come from: a tile server's address with {z}, {x} and {y} "
                             "(https://.../{z}/{x}/{y}.png) or an MBTiles file (shown with no network)")
    args = parser.parse_args(argv)
    missing = [f for f in args.files if not os.path.isfile(f)]
    if missing:
        parser.error("no such file: " + ", ".join(missing))
    for f in args.files:
        if not f.endswith(".gpx"):
            print(f"trailmere: {f}: not a .gpx file, it will not be drawn", file=sys.stderr)
    return args


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split())


def why_nothing_is_drawn(path: str) -> str | None:
    """Why the map draws nothing for the file, read as the map reads it
    (UTF-8 text through gpxpy, the first segment drawn); None when it draws."""
    import gpxpy

    try:
        with open(path, encoding="utf-8") as f:
            gpx = gpxpy.parse(f)
    except OSError as error:
        return f"cannot be read: {error.strerror or one_line(error)}"
    except Exception as error:  # gpxpy's own errors, text that is not UTF-8
        return f"not a GPX file: {one_line(error)}"
    if not gpx.tracks:
        if gpx.routes or gpx.waypoints:
            return "no track to draw (the file holds only routes or waypoints)"
        return "no track to draw (the file holds no tracks, routes or waypoints)"
    segments = [segment for track in gpx.tracks for segment in track.segments]
    if not segments:
        return "no track to draw (its tracks have no segments)"
    if not segments[0].points:
        return "the first track segment has no points"
    return None


def explaining_failures(draw_map: Any, names: dict[str, str]) -> None:
    """A file the map cannot draw ends its worker with a bare traceback. On
    this map such a file is named instead, with the reason, in one line on
    standard error (`names` maps a drawn path to the name the user gave).
    Failures with another cause keep their traceback."""
    draw = draw_map._draw_gpx  # the workers' target, looked up on the object

    def _draw_gpx(data_path: Any, adapt_sizes: Any, **kwargs: Any) -> None:
        try:
            draw(data_path, adapt_sizes, **kwargs)
        except Exception:
            # On the worker thread: the file is read again only when it failed.
            reason = why_nothing_is_drawn(data_path) if isinstance(data_path, str) else None
            if reason is None:
                raise
            # One write: print() writes the line end apart, and workers report at once.
            sys.stderr.write(f"trailmere: {names.get(data_path, data_path)}: {reason}\n")
            sys.stderr.flush()

    draw_map._draw_gpx = _draw_gpx


def why_it_cannot_start(error: BaseException) -> str:
    """The cause behind an import failure of the viewer, with the remedy where
    one is known. Extension modules report a failed initialisation as a bare
    ImportError whose cause is the real error."""
    chain = [error]
    while chain[-1].__cause__ is not None and len(chain) < 20:
        chain.append(chain[-1].__cause__)
    for cause in chain:
        if type(cause).__name__ == "XauthError":
            # Xlib, below pyautogui, reads the authority file itself and refuses
            # to go on without one, even where the display needs none.
            missing = cause.__context__
            path = getattr(missing, "filename", None) or os.environ.get("XAUTHORITY") or "~/.Xauthority"
            problem = getattr(missing, "strerror", None) or one_line(cause)
            return (f"the screen-size library (pyautogui, through Xlib) could not open the display's authority "
                    f"file {path} ({problem}); set XAUTHORITY to the display's authority file, or, if the display "
                    f"needs none, create an empty one: touch {path}")
    if sys.platform.startswith("linux") and not os.environ.get("DISPLAY"):
        return "no display (DISPLAY is not set): run it on a desktop, or on a virtual screen with xvfb-run"
    cause = chain[-1]
    return f"{type(cause).__name__}: {one_line(cause)}"


def draw_files(gui: Any, draw_map: Any, files: Sequence[str]) -> None:
    """Draws the files as the add button would: all of them, the last one fitted."""
    for i, path in enumerate(files):
        draw_map.draw_gpx(path, adapt_sizes=i + 1 == len(files))


@contextlib.contextmanager
def drawing_at_start(gui: Any, names: Sequence[str], tiles: str | None = None) -> Iterator[None]:
    """While the block runs, the map the window creates gets the files `names`
    drawn on it, and names each file it cannot draw; with `tiles`, its tiles
    come from that source.

    GUI builds its map itself and keeps it to itself, so the map class the
    module looks up is wrapped for the duration of the call: the wrapper
    builds the real map and schedules the drawing on the window's event loop,
    which runs only once the window is up. Other callers of GUI are not
    affected; the module attribute is restored afterwards.
    """
    paths = [os.path.abspath(name) for name in names]
    Draw_Map = gui.Draw_Map

    def draw_map_with_files(frame: Any) -> Any:
        draw_map = Draw_Map(frame)
        if tiles is not None:
            draw_map.set_tile_source(tiles)
        explaining_failures(draw_map, dict(zip(paths, names)))
        if paths:
            frame.after(100, gui.try_except_log(lambda: draw_files(gui, draw_map, paths)))
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
        print(f"trailmere: cannot start the viewer: {why_it_cannot_start(error)}", file=sys.stderr)
        return 1

    if args.tiles is not None:
        try:
            gui.loomkit.Draw_Map.check_tile_source(args.tiles)
        except ValueError as error:
            print(f"trailmere: --tiles: {one_line(error)}", file=sys.stderr)
            return 2

    Queue_All_variable: dict[str, queue.Queue[None]] = {"end": queue.Queue(), "起始數據": queue.Queue()}
    Event_All_variable = {"end": threading.Event()}
    with drawing_at_start(gui, args.files, args.tiles):
        gui.GUI(Queue_All_variable, Event_All_variable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
