"""The map's tiles against a real tile server on 127.0.0.1: asked for as tile
servers require, kept on disk, shown offline and from MBTiles files, credited
on the map, each in its place."""

from __future__ import annotations

import importlib.metadata
import os
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest

from conftest import no_collection, pump
from tileserver import Hangup, TileServer, tile_colour, unreachable_url, write_mbtiles

VERSION = importlib.metadata.version("varnholt-trailmere")
OWN_AGENT = f"Trailmere/{VERSION} (+https://trailmere.example.com:34008/Trailmere)"
REFUSED = "map tiles: {host} answered {status}; the map now asks it less often"


def view_keys(widget: Any) -> set[tuple[int, int, int]]:
    """The tiles of the view that exist in the world."""
    zoom = round(widget.zoom)
    return {(zoom, *t.tile_name_position) for column in widget.canvas_tile_array for t in column
            if all(0 <= c < 2 ** zoom for c in t.tile_name_position)}


def undrawn(widget: Any) -> set[tuple[int, int, int]]:
    zoom = round(widget.zoom)
    keys = view_keys(widget)
    return {(zoom, *t.tile_name_position) for column in widget.canvas_tile_array for t in column
            if (zoom, *t.tile_name_position) in keys and t.canvas_object is None}


def wait_drawn(tk_root: Any, widget: Any) -> None:
    if not pump(tk_root, lambda: not undrawn(widget)):
        held = {key: widget.tile_image_cache.get(key) for key in undrawn(widget)}
        pytest.fail(f"not drawn: {held} (the widget's empty tile: {widget.empty_tile_image})")


def work_for(tk_root: Any, seconds: float) -> None:
    """Lets the map work for a while (no limit on its speed: a slower machine
    only does less in that time)."""
    end = time.monotonic() + seconds
    pump(tk_root, lambda: time.monotonic() > end)


def cache_database() -> Path:
    return Path(os.environ["XDG_CACHE_HOME"]) / "varnholt" / "map-tiles.sqlite3"


@pytest.fixture
def own_cache(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return cache_database()


@pytest.fixture
def served_map(frame: Any, Loomkit: Any, monkeypatch: pytest.MonkeyPatch) -> Any:
    """make(url): a new map whose tiles come from `url`, as a program sets the kit's default."""
    def make(url: str) -> Any:
        monkeypatch.setattr(Loomkit.Draw_Map, "default_tile_server", url)
        return Loomkit.Draw_Map(frame)
    return make


def test_tiles_are_asked_for_as_servers_require(frame: Any, Loomkit: Any, tk_root: Any) -> None:
    with TileServer(delay=0.05) as server:
        draw_map = Loomkit.Draw_Map(frame)
        widget = draw_map.map_widget
        widget.set_tile_server(server.url)  # the widget's own way still works
        wait_drawn(tk_root, widget)
        first = server.keys()
        # The view's tiles, each once, at its zoom only: not the widget's
        # Berlin start view (zoom 17), no other zoom ahead of time.
        assert sorted(first) == sorted(view_keys(widget)) and len(first) >= 8
        # Nearest the centre first.
        centre_x = (widget.upper_left_tile_pos[0] + widget.lower_right_tile_pos[0]) / 2
        centre_y = (widget.upper_left_tile_pos[1] + widget.lower_right_tile_pos[1]) / 2
        distance = [(x + 0.5 - centre_x) ** 2 + (y + 0.5 - centre_y) ** 2 for _, x, y in first]
        assert max(distance[:2]) <= sorted(distance)[3]
        assert {a.headers["User-Agent"] for a in server.asked} == {OWN_AGENT}
        assert server.max_in_flight <= 2
        assert len({a.client_port for a in server.asked}) <= 2  # connections kept and reused

        draw_map.application_name = "Stagecoach/3.1 (+https://stagecoach.example)"
        widget.set_zoom(widget.zoom + 1)
        wait_drawn(tk_root, widget)
        later = server.asked[len(first):]
        assert later and {a.key[0] for a in later if a.key} == {8}
        assert {a.headers["User-Agent"] for a in later} == {
            f"Stagecoach/3.1 (+https://stagecoach.example) Loomkit/{VERSION}"}
        assert server.max_in_flight <= 2

    # The widget joined zoom, x and y without separators: zoom 1, x 12, y 3
    # and zoom 11, x 2, y 3 were one key, and one showed the other's picture.
    widget.tile_image_cache[(11, 2, 3)] = widget.empty_tile_image
    assert widget.get_tile_image_from_cache(1, 12, 3) is False
    with pytest.raises(ValueError, match="not a tile source"):
        widget.set_tile_server("https://tiles.example/{z}/{x}.png")


def test_disk_cache_freshness_revalidation_and_bound(served_map: Any, tk_root: Any, own_cache: Path,
                                                     Loomkit: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    with TileServer(max_age=3600) as fresh, TileServer(max_age=0) as stale:
        wait_drawn(tk_root, served_map(fresh.url).map_widget)
        asked = len(fresh.asked)
        wait_drawn(tk_root, served_map(fresh.url).map_widget)
        assert len(fresh.asked) == asked  # fresh on disk: not asked again

        wait_drawn(tk_root, served_map(stale.url).map_widget)
        asked, sent = len(stale.asked), stale.bytes_sent
        wait_drawn(tk_root, served_map(stale.url).map_widget)  # from disk at once
        assert pump(tk_root, lambda: len(stale.asked) == 2 * asked)  # then each asked about once
        again = stale.asked[asked:]
        assert all(a.headers.get("If-None-Match") for a in again) and {a.status for a in again} == {304}
        assert stale.bytes_sent == sent

        stale.version += 1  # changed tiles replace the stored ones
        widget = served_map(stale.url).map_widget
        assert pump(tk_root, lambda: len(stale.asked) == 3 * asked and not undrawn(widget))
        assert {a.status for a in stale.asked[2 * asked:]} == {200}

    # Bounded: least recently used tiles out. Three views of a dozen tiles
    # each through a cache for five: the last view's tiles stay.
    with TileServer() as server:
        tile = len(server.picture(7, 106, 55))
        monkeypatch.setattr(Loomkit.Draw_Map, "tile_cache_size", 5 * tile)
        widget = served_map(server.url).map_widget
        for step in range(3):
            if step:
                widget.set_zoom(widget.zoom + 1)
            wait_drawn(tk_root, widget)  # each tile is stored before it is shown
        last = {(z, x, y) for z, x, y in server.keys() if z == round(widget.zoom)}
    with sqlite3.connect(own_cache) as db:
        rows = db.execute("SELECT z, x, y, size FROM tiles WHERE server = ?", (server.url,)).fetchall()
    assert sum(r[3] for r in rows) <= 7 * tile
    assert {r[:3] for r in rows} <= last


def http_date(seconds_from_now: float) -> str:
    from email.utils import formatdate

    return formatdate(time.time() + seconds_from_now, usegmt=True)


@pytest.mark.parametrize("headers, again", [
    ({"Expires": http_date(3600)}, "none"),
    ({"Expires": http_date(-3600)}, "asked about"),
    ({"Expires": "0"}, "asked about"),  # an invalid date: already expired
    ({"Cache-Control": "public, max-age=3600", "Age": "3600"}, "asked about"),
    ({"Cache-Control": "no-cache"}, "asked about"),
    ({"Cache-Control": "no-store"}, "fetched"),
])
def test_the_servers_cache_headers_decide(served_map: Any, tk_root: Any, own_cache: Path,
                                          headers: dict[str, str], again: str) -> None:
    with TileServer(max_age=None, cache_headers=headers) as server:
        wait_drawn(tk_root, served_map(server.url).map_widget)
        first = len(server.asked)
        wait_drawn(tk_root, served_map(server.url).map_widget)
        if again == "none":
            work_for(tk_root, 0.3)
            assert len(server.asked) == first
            return
        assert pump(tk_root, lambda: len(server.asked) == 2 * first)
        conditional = {bool(a.headers.get("If-None-Match")) for a in server.asked[first:]}
        assert conditional == {again == "asked about"}


def test_refusals_slow_the_map_down_and_are_told_once(served_map: Any, tk_root: Any,
                                                      capsys: pytest.CaptureFixture[str]) -> None:
    with TileServer() as blocked, TileServer() as failing, TileServer() as busy:
        blocked.status, failing.status = 403, 503
        busy.status, busy.retry_after = 429, "5"
        maps = [served_map(s.url).map_widget for s in (blocked, failing, busy)]
        work_for(tk_root, 2.5)
        # Two at first, then one probe after each wait of 1 s, 2 s, ...: never
        # the whole view; and nothing before a Retry-After has passed.
        assert 1 <= len(blocked.asked) <= 3 and 1 <= len(failing.asked) <= 3 and 1 <= len(busy.asked) <= 2
        assert sorted(capsys.readouterr().out.splitlines()) == sorted([
            REFUSED.format(host=f"127.0.0.1:{blocked.port}", status="403 Forbidden"),
            REFUSED.format(host=f"127.0.0.1:{failing.port}", status="503 Service Unavailable"),
            REFUSED.format(host=f"127.0.0.1:{busy.port}", status="429 Too Many Requests"),
        ])

        busy.status = None  # the server recovers: the map comes back by itself
        wait_drawn(tk_root, maps[2])
        assert undrawn(maps[0]) == view_keys(maps[0])  # still refused: still grey


def test_offline_stored_tiles_show_and_nothing_floods(served_map: Any, tk_root: Any, own_cache: Path) -> None:
    with TileServer(max_age=0) as server:
        url, port = server.url, server.port
        wait_drawn(tk_root, served_map(url).map_widget)
    # The same address, now a network that answers nothing.
    with Hangup(port) as hangup:
        widget = served_map(url).map_widget
        wait_drawn(tk_root, widget)  # stale, but shown: better than grey
        widget.set_zoom(widget.zoom + 2)  # nothing stored here
        work_for(tk_root, 2.5)
        assert undrawn(widget) == view_keys(widget)
        assert 1 <= hangup.attempts <= 4, hangup.attempts


TWIN = """
import sys, time, customtkinter
from varnholt通用模組 import Loomkit
Loomkit.Draw_Map.default_tile_server = sys.argv[1]
root = customtkinter.CTk()
draw_map = Loomkit.Draw_Map(root)
widget = draw_map.map_widget
def drawn():
    return all(t.canvas_object is not None for column in widget.canvas_tile_array for t in column
               if all(0 <= c < 2 ** round(widget.zoom) for c in t.tile_name_position))
end = time.monotonic() + 120
while not drawn() and time.monotonic() < end:
    root.update()
    time.sleep(0.005)
print("drawn" if drawn() else "not drawn", flush=True)
root.destroy()
"""


def test_two_viewers_share_the_cache_and_damage_is_mended(served_map: Any, tk_root: Any, own_cache: Path,
                                                          tmp_path: Path) -> None:
    with TileServer(delay=0.02) as server:
        # Two processes on one cache at once.
        twin = subprocess.Popen([sys.executable, "-c", TWIN, server.url], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        widget = served_map(server.url).map_widget
        wait_drawn(tk_root, widget)
        out, err = twin.communicate(timeout=120)
        assert twin.returncode == 0 and out.strip() == "drawn", err[-2000:]
        keys = view_keys(widget)
        assert len(server.asked) <= 2 * len(keys)
        asked = len(server.asked)
        wait_drawn(tk_root, served_map(server.url).map_widget)
        assert len(server.asked) == asked  # every tile on disk, whoever stored it

        # A damaged stored tile is dropped and fetched again, never shown.
        damaged = sorted(keys)[0]
        with sqlite3.connect(own_cache) as db:
            db.execute("UPDATE tiles SET data = ? WHERE z = ? AND x = ? AND y = ?", (b"\x89PNG broken", *damaged))
        wait_drawn(tk_root, served_map(server.url).map_widget)
        assert server.keys()[asked:] == [damaged]
        with sqlite3.connect(own_cache) as db:
            (data,) = db.execute("SELECT data FROM tiles WHERE z = ? AND x = ? AND y = ?", damaged).fetchone()
        assert data == server.picture(*damaged)

        # So is a cache file that is no database at all (once the workers
        # that had it open have ended).
        assert pump(tk_root, lambda: not any(t.name == "map tiles" for t in threading.enumerate()))
        own_cache.write_bytes(b"not a database" * 100)
        for suffix in ("-wal", "-shm"):
            Path(str(own_cache) + suffix).unlink(missing_ok=True)
        asked = len(server.asked)
        wait_drawn(tk_root, served_map(server.url).map_widget)
        assert len(server.asked) == asked + len(keys)
        with sqlite3.connect(own_cache) as db:
            assert db.execute("SELECT COUNT(*) FROM tiles").fetchone()[0] == len(keys)


def test_mbtiles_file_shows_with_no_network(frame: Any, Loomkit: Any, tk_root: Any, tmp_path: Path) -> None:
    from PIL import ImageGrab

    draw_map = Loomkit.Draw_Map(frame)
    widget = draw_map.map_widget
    keys = sorted(view_keys(widget))
    missing = keys[0]
    path = write_mbtiles(tmp_path / "taiwan.mbtiles", [k for k in keys if k != missing],
                         attribution='<a href="https://maps.example/">&copy; Example Maps</a>')
    draw_map.set_tile_source(path)
    assert widget.max_zoom == 12  # the file's own
    assert pump(tk_root, lambda: undrawn(widget) == {missing})
    work_for(tk_root, 0.3)
    assert undrawn(widget) == {missing}  # a tile the file lacks stays grey
    credit = widget.canvas.find_withtag("attribution_text")
    assert [widget.canvas.itemcget(i, "text") for i in credit] == ["© Example Maps"]

    # Each tile in its place: the file counts rows from the south.
    widget.canvas.itemconfigure("attribution", state="hidden")
    widget.update()
    left, top = widget.canvas.winfo_rootx(), widget.canvas.winfo_rooty()
    screen = ImageGrab.grab(bbox=(left, top, left + widget.canvas.winfo_width(),
                                  top + widget.canvas.winfo_height())).convert("RGB")
    checked = 0
    for column in widget.canvas_tile_array:
        for tile in column:
            key = (round(widget.zoom), *tile.tile_name_position)
            x, y = (round(c + 128) for c in tile.get_canvas_pos())
            under_buttons = x < 60 and y < 100
            on_screen = 0 <= x < screen.width and 0 <= y < screen.height and not under_buttons
            if key in keys and key != missing and on_screen:
                assert screen.getpixel((x, y)) == tile_colour(*key), key
                checked += 1
    assert checked >= 2

    (tmp_path / "notes.mbtiles").write_text("just some notes")
    vector = write_mbtiles(tmp_path / "vector.mbtiles", [])
    with sqlite3.connect(vector) as db:
        db.execute("UPDATE metadata SET value = 'pbf' WHERE name = 'format'")
    for source, problem in [
        (tmp_path / "nowhere.mbtiles", "no such MBTiles file: "),
        (tmp_path / "notes.mbtiles", "not an MBTiles file: .*notes.mbtiles \\(file is not a database\\)"),
        (vector, "vector tiles"),
        ("https://tiles.example/{z}/{x}.png", "not a tile source"),
        ("https://{s}.tiles.example/{z}/{x}/{y}.png", "not a tile source"),  # never filled in
    ]:
        with pytest.raises(ValueError, match=problem):
            Loomkit.Draw_Map.check_tile_source(source)
        with pytest.raises(ValueError, match=problem):
            draw_map.set_tile_source(source)
    assert undrawn(widget) == {missing}  # a refused source changes nothing


def test_a_source_set_from_a_worker_changes_the_map_on_the_tk_thread(frame: Any, Loomkit: Any, tk_root: Any) -> None:
    draw_map = Loomkit.Draw_Map(frame)
    widget = draw_map.map_widget
    changed_on: list[threading.Thread] = []
    real = widget.set_tile_server

    def set_tile_server(*args: Any, **kwargs: Any) -> Any:
        changed_on.append(threading.current_thread())
        return real(*args, **kwargs)

    widget.set_tile_server = set_tile_server
    outcome: list[Any] = []

    def worker() -> None:
        try:
            draw_map.set_tile_source("https://tiles.example/{z}/{x}.png")
        except ValueError:
            outcome.append("refused")  # in this thread, nothing handed over
        draw_map.set_tile_source(unreachable_url())
        outcome.append("set")

    thread = threading.Thread(target=worker)
    with no_collection():
        thread.start()
    assert pump(tk_root, lambda: not thread.is_alive())
    assert outcome == ["refused", "set"] and changed_on == [threading.main_thread()]


def test_attribution_on_the_map(frame: Any, Loomkit: Any, tk_root: Any, tmp_path: Path,
                                monkeypatch: pytest.MonkeyPatch) -> None:
    import numpy
    from PIL import ImageGrab

    from gpxfiles import write_gpx

    # OpenStreetMap's credit by default; the map is closed before it can ask
    # the real server anything.
    monkeypatch.setattr(Loomkit.Draw_Map, "default_tile_server", "https://tile.openstreetmap.org/{z}/{x}/{y}.png")
    osm = Loomkit.Draw_Map(frame).map_widget
    texts = [osm.canvas.itemcget(i, "text") for i in osm.canvas.find_withtag("attribution_text")]
    osm.destroy()
    assert texts == ["© OpenStreetMap contributors"]
    monkeypatch.undo()

    with TileServer() as server:
        monkeypatch.setattr(Loomkit.Draw_Map, "default_tile_server", server.url)
        draw_map = Loomkit.Draw_Map(frame)
        widget, canvas = draw_map.map_widget, draw_map.map_widget.canvas
        assert canvas.find_withtag("attribution") == ()  # another server: no credit of its own
        draw_map.attribution = "Tiles © Example"
        track = write_gpx(tmp_path / "walk.gpx", [[[(23.5, 120.5), (24.0, 121.4), (23.9, 121.0)]]])
        draw_map._draw_gpx(track, False)
        wait_drawn(tk_root, widget)
        assert [canvas.itemcget(i, "text") for i in canvas.find_withtag("attribution_text")] == ["Tiles © Example"]

        # Bottom right, inside the map, clear of the zoom buttons, above tiles and the track.
        x0, y0, x1, y1 = canvas.bbox("attribution")
        assert (x1, y1) == pytest.approx((widget.width, widget.height), abs=2) and x1 - x0 < widget.width / 2
        bx0, by0, bx1, by1 = canvas.bbox("button")
        assert x0 > bx1 or y0 > by1
        stack = canvas.find_all()
        top_items = set(canvas.find_withtag("attribution"))
        assert set(stack[-len(top_items):]) == top_items
        assert canvas.find_withtag("tile") and canvas.find_withtag("path")

        # Readable on whatever tiles lie beneath: dark text on a light box.
        widget.update()
        left, top = canvas.winfo_rootx(), canvas.winfo_rooty()
        box = ImageGrab.grab(bbox=(left + x0 + 1, top + y0 + 1, left + x1 - 1, top + y1 - 1)).convert("L")
        shades = numpy.asarray(box).ravel()
        assert shades.min() < 110 and numpy.median(shades) > 230

        # It follows the map's size.
        widget.update_dimensions(type("Event", (), {"width": 500, "height": 300})())
        assert canvas.bbox("attribution")[2:] == pytest.approx((500, 300), abs=2)
