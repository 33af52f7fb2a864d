"""Takes docs/trailmere.png: the viewer window with the sample track drawn.

    xvfb-run -a -s "-screen 0 1920x1080x24" python3 tools/screenshot_viewer.py [output.png] [--tiles SOURCE]

Runs the installed viewer the way the trailmere command does, waits until the
sample track is drawn and fitted, grabs the window from the screen and closes
it. Map tiles appear only if the machine can reach the tile server (or with
--tiles, passed on to the viewer).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

from PIL import ImageGrab

import trailmere
from trailmere import GUI as gui
from trailmere import __main__ as launcher

OUT = Path(__file__).resolve().parent.parent / "docs" / "trailmere.png"
SAMPLE = Path(trailmere.__file__).parent / "samples" / "sample.gpx"
# Time for tiles that can be fetched to arrive before the picture is taken.
SETTLE_MS = 3000


def main(argv: list[str]) -> int:
    args = argv[1:]
    tiles: list[str] = []
    if "--tiles" in args:
        at = args.index("--tiles")
        tiles = args[at:at + 2]
        del args[at:at + 2]
    out = Path(args[0]) if args else OUT
    Draw_Map = gui.Draw_Map
    deadline = time.monotonic() + 60

    def take(app: Any) -> None:
        app.update_idletasks()
        x, y = app.winfo_rootx(), app.winfo_rooty()
        picture = ImageGrab.grab(bbox=(x, y, x + app.winfo_width(), y + app.winfo_height()))
        out.parent.mkdir(parents=True, exist_ok=True)
        picture.save(out, optimize=True)
        print(out, picture.size)
        app.destroy()

    def wait_for_track(draw_map: Any) -> None:
        widget = draw_map.map_widget
        app = widget.winfo_toplevel()
        if widget.canvas_path_list and widget.zoom != 7:
            app.after(SETTLE_MS, lambda: take(app))
        elif time.monotonic() > deadline:
            print("the sample track was not drawn", file=sys.stderr)
            app.destroy()
        else:
            app.after(100, lambda: wait_for_track(draw_map))

    def watched_Draw_Map(frame: Any) -> Any:
        draw_map = Draw_Map(frame)
        frame.after(200, lambda: wait_for_track(draw_map))
        return draw_map

    gui.Draw_Map = watched_Draw_Map  # type: ignore[assignment]
    try:
        launcher.main([*tiles, str(SAMPLE)])
    finally:
        gui.Draw_Map = Draw_Map
    return 0 if out.exists() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
