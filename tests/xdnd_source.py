"""Drops files on whatever window is at a point of the screen, as a file
manager does: the drag source side of the XDND protocol (version 5), spoken
over its own X connection.

    python xdnd_source.py X Y FILE...

Finds the window under (X, Y) that takes drops, sends it XdndEnter and
XdndPosition offering text/uri-list, drops when the window accepts, hands the
file list over through the XdndSelection when asked, and waits for
XdndFinished. Prints one word on standard output: "finished", "refused" or
"no target". Ends on its own only if the target goes quiet for a long time.
"""

from __future__ import annotations

import select
import sys
import urllib.parse
from pathlib import Path
from typing import Any

from Xlib import X, display
from Xlib.protocol import event

QUIET_SECONDS = 120.0  # only a hung target takes this long


def atoms(d: Any, *names: str) -> dict[str, int]:
    return {name: d.intern_atom(name) for name in names}


def target_at(d: Any, aware: int, x: int, y: int) -> Any:
    """The innermost window under (x, y) marked as taking drops, or None."""
    root = d.screen().root
    window = root
    found = None
    while True:
        child = window.translate_coords(root, x, y).child
        if not child or child.id == X.NONE:
            return found
        if child.get_full_property(aware, X.AnyPropertyType) is not None:
            found = child
        window = child


def next_event(d: Any) -> Any:
    while not d.pending_events():
        ready, _, _ = select.select([d.fileno()], [], [], QUIET_SECONDS)
        if not ready:
            raise TimeoutError("the drop target stopped answering")
    return d.next_event()


def main(x: int, y: int, files: list[str]) -> str:
    d = display.Display()
    a = atoms(d, "XdndAware", "XdndEnter", "XdndPosition", "XdndStatus", "XdndDrop", "XdndFinished",
              "XdndLeave", "XdndSelection", "XdndActionCopy", "text/uri-list")
    target = target_at(d, a["XdndAware"], x, y)
    if target is None:
        return "no target"
    source = d.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent, X.InputOnly, X.CopyFromParent)
    source.set_selection_owner(a["XdndSelection"], X.CurrentTime)
    uris = "".join("file://" + urllib.parse.quote(str(Path(f).resolve())) + "\r\n" for f in files).encode()

    def send(kind: str, *data: int) -> None:
        words = [source.id, *data] + [0] * (4 - len(data))
        target.send_event(event.ClientMessage(window=target, client_type=a[kind], data=(32, words)))
        d.flush()

    send("XdndEnter", 5 << 24, a["text/uri-list"])
    send("XdndPosition", 0, (x << 16) | y, X.CurrentTime, a["XdndActionCopy"])
    while True:
        e = next_event(d)
        if e.type == X.ClientMessage and e.client_type == a["XdndStatus"]:
            if not e.data[1][1] & 1:
                send("XdndLeave")
                return "refused"
            send("XdndDrop", 0, X.CurrentTime)
        elif e.type == X.SelectionRequest:
            if e.target == a["text/uri-list"]:
                e.requestor.change_property(e.property, e.target, 8, uris)
                prop = e.property
            else:
                prop = X.NONE
            e.requestor.send_event(event.SelectionNotify(time=e.time, requestor=e.requestor, selection=e.selection,
                                                         target=e.target, property=prop))
            d.flush()
        elif e.type == X.ClientMessage and e.client_type == a["XdndFinished"]:
            return "finished"


if __name__ == "__main__":
    print(main(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]), flush=True)
