"""A real tile server for the map's tests: threaded http.server on 127.0.0.1,
recording what it is asked (paths, headers, connections, how many requests at
once) and answering as told (200 with ETag and Cache-Control, 304 to a
matching If-None-Match, any status with Retry-After, slow replies). Also the
tiles' pictures, whose colour says which tile they are, and MBTiles files."""

from __future__ import annotations

import io
import re
import sqlite3
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Iterable

TILE = re.compile(r"^/(\d+)/(\d+)/(\d+)\.png$")


def tile_colour(z: int, x: int, y: int) -> tuple[int, int, int]:
    """A colour of its own for each tile (of the few a test shows)."""
    return ((z * 37 + x * 71) % 200 + 30, (x * 13 + y * 97) % 200 + 30, (y * 53 + z * 11) % 200 + 30)


def tile_png(z: int, x: int, y: int, size: int = 256) -> bytes:
    from PIL import Image, ImageDraw

    image = Image.new("RGB", (size, size), tile_colour(z, x, y))
    draw = ImageDraw.Draw(image)
    draw.rectangle((0, 0, size - 1, size - 1), outline=(90, 90, 90))
    draw.text((8, 8), f"{z}/{x}/{y}", fill=(0, 0, 0))
    out = io.BytesIO()
    image.save(out, "PNG")
    return out.getvalue()


@dataclass
class Asked:
    path: str
    key: tuple[int, int, int] | None
    headers: dict[str, str]
    client_port: int
    status: int


class TileServer:
    """`with TileServer() as server:` serves tiles at `server.url`."""

    def __init__(self, max_age: int | None = 3600, delay: float = 0.0,
                 cache_headers: dict[str, str] | None = None) -> None:
        self.max_age = max_age  # None: no Cache-Control
        self.cache_headers = cache_headers or {}  # more headers of 200 and 304 answers
        self.delay = delay
        self.status: int | None = None  # answer every request with this status
        self.retry_after: str | None = None
        self.version = 1  # part of the ETag: a new version is a changed tile
        self.asked: list[Asked] = []
        self.bytes_sent = 0
        self.max_in_flight = 0
        self._in_flight = 0
        self._lock = threading.Lock()
        self._pictures: dict[tuple[int, int, int], bytes] = {}
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    @property
    def port(self) -> int:
        return int(self._server.server_address[1])

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/{{z}}/{{x}}/{{y}}.png"

    def keys(self) -> list[tuple[int, int, int]]:
        with self._lock:
            return [a.key for a in self.asked if a.key]

    def picture(self, z: int, x: int, y: int) -> bytes:
        with self._lock:
            if (z, x, y) not in self._pictures:
                self._pictures[(z, x, y)] = tile_png(z, x, y)
            return self._pictures[(z, x, y)]

    def __enter__(self) -> "TileServer":
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self._server.shutdown()
        self._server.server_close()

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # keep-alive, as tile servers do
            # Headers and body go out in separate writes: without this, the
            # client's delayed acknowledgement holds each reply for 40 ms.
            disable_nagle_algorithm = True

            def log_message(self, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                with server._lock:
                    server._in_flight += 1
                    server.max_in_flight = max(server.max_in_flight, server._in_flight)
                try:
                    self._answer()
                finally:
                    with server._lock:
                        server._in_flight -= 1

            def _answer(self) -> None:
                if server.delay:
                    time.sleep(server.delay)
                match = TILE.match(self.path)
                key = (int(match[1]), int(match[2]), int(match[3])) if match else None
                etag = f'"{key}-v{server.version}"'
                headers: dict[str, str] = {}
                body = b""
                if server.status is not None:
                    status = server.status
                    if server.retry_after is not None:
                        headers["Retry-After"] = server.retry_after
                elif key is None:
                    status = 404
                elif self.headers.get("If-None-Match") == etag:
                    status = 304
                else:
                    status, body = 200, server.picture(*key)
                    headers["Content-Type"] = "image/png"
                if status in (200, 304):
                    headers["ETag"] = etag
                    if server.max_age is not None:
                        headers["Cache-Control"] = f"max-age={server.max_age}"
                    headers.update(server.cache_headers)
                with server._lock:
                    server.asked.append(Asked(self.path, key, dict(self.headers), self.client_address[1], status))
                    server.bytes_sent += len(body)
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        return Handler


class Hangup:
    """A server that takes connections and closes them without a word (a
    network that is there but answers nothing); counts the attempts."""

    def __init__(self, port: int = 0) -> None:
        import socket

        self.attempts = 0
        self._socket = socket.socket()
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._socket.bind(("127.0.0.1", port))
        self._socket.listen(16)
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self) -> None:
        while True:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            self.attempts += 1
            connection.close()

    def __enter__(self) -> "Hangup":
        self._thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        import socket

        try:
            self._socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._socket.close()


def unreachable_url() -> str:
    """A tile address on 127.0.0.1 where nothing listens: refused at once."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/{{z}}/{{x}}/{{y}}.png"


def write_mbtiles(path: Path, keys: Iterable[tuple[int, int, int]], attribution: str | None = None) -> Path:
    """An MBTiles file holding the test pictures of `keys` (z, x, y in the
    map's numbering; stored in TMS rows, counted from the south)."""
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE metadata (name TEXT, value TEXT)")
    db.execute("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, tile_data BLOB)")
    metadata = {"name": "test", "format": "png", "maxzoom": "12"}
    if attribution is not None:
        metadata["attribution"] = attribution
    db.executemany("INSERT INTO metadata VALUES (?, ?)", metadata.items())
    db.executemany("INSERT INTO tiles VALUES (?, ?, ?, ?)",
                   [(z, x, (1 << z) - 1 - y, tile_png(z, x, y)) for z, x, y in keys])
    db.commit()
    db.close()
    return path
