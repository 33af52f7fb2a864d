"""Starts the Trailmere viewer: ``trailmere [--tiles SOURCE] [FILE.gpx | FOLDER ...]`` or ``python -m trailmere``.

The viewer window runs until it is closed; GPX files named on the command line,
and those under folders named there, are drawn on the map once the window is
up, the view fitted to the last one. Names that are not there are named on
standard error, and the window opens with the rest; the window names each file
that draws nothing, with the reason, on standard output. A viewer that cannot
start says why in one line. ``--tiles`` takes the map's tiles from another
server (an address with {z}, {x} and {y}) or from an MBTiles file, which needs
no network.
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
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="GPX files to draw when the window opens; a folder stands for the GPX files under it")
    parser.add_argument("--tiles", metavar="SOURCE",
                        help="where the map's tiles come from: a tile server's address with {z}, {x} and {y} "
                             "(https://.../{z}/{x}/{y}.png) or an MBTiles file (shown with no network)")
    return parser.parse_args(argv)


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split())


def is_gpx_name(name: str) -> bool:
    # As the map compares it: "TRACK.GPX" is a GPX file too.
    return name[-4:].lower() == ".gpx"


def files_to_draw(names: Sequence[str]) -> list[str]:
    """The files named, each folder replaced by the GPX files under it (in name
    order, subfolders included), as absolute paths. A name that is neither a
    file nor a folder, or a folder without GPX files, is named on standard
    error and left out; the window opens with the rest."""
    files: list[str] = []
    for name in names:
        if os.path.isdir(name):
            found = sorted(
                (os.path.relpath(os.path.join(folder, file), name).split(os.sep), os.path.join(folder, file))
                for folder, _, folder_files in os.walk(name)
                for file in folder_files if is_gpx_name(file)
            )
            if not found:
                print(f"trailmere: {name}: no GPX files in this folder", file=sys.stderr)
            files += [os.path.abspath(path) for _, path in found]
        elif os.path.exists(name):
            files.append(os.path.abspath(name))
        else:
            print(f"trailmere: {name}: no such file or folder", file=sys.stderr)
    return files


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
def drawing_at_start(gui: Any, paths: Sequence[str], tiles: str | None = None) -> Iterator[None]:
    """While the block runs, the map the window creates gets the files `paths`
    drawn on it (the window names each one it cannot draw); with `tiles`, its
    tiles come from that source.

    GUI builds its map itself and keeps it to itself, so the map class the
    module looks up is wrapped for the duration of the call: the wrapper
    builds the real map and schedules the drawing on the window's event loop,
    which runs only once the window is up. Other callers of GUI are not
    affected; the module attribute is restored afterwards.
    """
    Draw_Map = gui.Draw_Map

    def draw_map_with_files(frame: Any) -> Any:
        draw_map = Draw_Map(frame)
        if tiles is not None:
            draw_map.set_tile_source(tiles)
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
    files = files_to_draw(args.files)
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
    with drawing_at_start(gui, files, args.tiles):
        gui.GUI(Queue_All_variable, Event_All_variable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
