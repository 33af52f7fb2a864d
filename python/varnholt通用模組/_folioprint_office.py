"""Office side of Folioprint: keeps one headless LibreOffice and turns documents
into PDF through the UNO bridge.

Runs under an interpreter that has LibreOffice's Python-UNO bridge (on Debian
/usr/bin/python3 with python3-uno), which is usually not the interpreter of the
program that converts; Folioprint starts it and talks to it over stdin/stdout.

    python3 _folioprint_office.py SOFFICE_BIN PROFILE_URL PIPE_NAME START_TIMEOUT

Protocol, one JSON object per line. First line out: {"ready": true,
"office_pid": N} or {"ready": false, "error": TEXT}. Then per request in
{"input": PATH, "output": PATH} one line out: {"ok": true} or {"ok": false,
"error": TEXT, "gone": BOOL}; "gone" means the office is dead and this helper
exits. End of input ends the office and the helper.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import time
from typing import IO, Any

import uno
from com.sun.star.beans import PropertyValue
from com.sun.star.connection import NoConnectException
from com.sun.star.lang import DisposedException

# soffice.bin leaves with this code after it has created a new profile and
# wants to be started again (the soffice launcher does the same).
RESTART_AFTER_PROFILE = 81

DOCX_IMPORT_FILTER = "MS Word 2007 XML"
PDF_EXPORT_FILTER = "writer_pdf_Export"


def properties(**values: Any) -> tuple[Any, ...]:
    result = []
    for name, value in values.items():
        prop = PropertyValue()
        prop.Name = name
        prop.Value = value
        result.append(prop)
    return tuple(result)


def send(out: IO[str], message: dict[str, Any]) -> None:
    out.write(json.dumps(message) + "\n")
    out.flush()


class Office:
    def __init__(self, binary: str, profile_url: str, pipe: str, timeout: float) -> None:
        self.args = [
            binary,
            "-env:UserInstallation=" + profile_url,
            "--headless",
            "--invisible",
            "--nologo",
            "--nodefault",
            "--norestore",
            "--nolockcheck",
            f"--accept=pipe,name={pipe};urp;StarOffice.ComponentContext",
        ]
        self.url = f"uno:pipe,name={pipe};urp;StarOffice.ComponentContext"
        self.process = self._start(timeout)

    def _start(self, timeout: float) -> subprocess.Popen[bytes]:
        deadline = time.monotonic() + timeout
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local
        )
        while True:
            # The office's own chatter goes to our stderr: stdout is the protocol.
            process = subprocess.Popen(
                self.args, stdin=subprocess.DEVNULL, stdout=sys.stderr, stderr=sys.stderr
            )
            while True:
                try:
                    context = resolver.resolve(self.url)
                except NoConnectException:
                    pass
                else:
                    self.desktop = context.ServiceManager.createInstanceWithContext(
                        "com.sun.star.frame.Desktop", context
                    )
                    return process
                code = process.poll()
                if code == RESTART_AFTER_PROFILE:
                    break
                if code is not None:
                    raise RuntimeError(f"LibreOffice exited with code {code} while starting")
                if time.monotonic() > deadline:
                    process.kill()
                    process.wait()
                    raise RuntimeError(f"LibreOffice did not accept connections within {timeout:g} s")
                time.sleep(0.05)

    def alive(self) -> bool:
        return self.process.poll() is None

    def convert(self, source: str, target: str) -> None:
        document = self.desktop.loadComponentFromURL(
            uno.systemPathToFileUrl(source),
            "_blank",
            0,
            properties(Hidden=True, ReadOnly=True, FilterName=DOCX_IMPORT_FILTER),
        )
        if document is None:
            raise RuntimeError("LibreOffice could not open the document")
        try:
            document.storeToURL(
                uno.systemPathToFileUrl(target), properties(FilterName=PDF_EXPORT_FILTER)
            )
        finally:
            document.close(True)

    def stop(self) -> None:
        if self.alive():
            try:
                self.desktop.terminate()
            except Exception:
                pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self.alive():
            self.process.kill()
        self.process.wait()


def watch(office: Office) -> None:
    # A dead office makes this helper leave, so the converter sees at once,
    # before its next request, that it needs a new one.
    office.process.wait()
    os._exit(3)


def main() -> int:
    binary, profile_url, pipe, timeout = sys.argv[1:5]
    out = sys.stdout
    try:
        office = Office(binary, profile_url, pipe, float(timeout))
    except Exception as error:
        send(out, {"ready": False, "error": str(error)})
        return 1
    threading.Thread(target=watch, args=(office,), daemon=True).start()
    # Whatever ends this loop (end of input, a converter that died, a dead
    # office) ends the office too, so none is left behind.
    try:
        send(out, {"ready": True, "office_pid": office.process.pid})
        for line in sys.stdin:
            request = json.loads(line)
            try:
                office.convert(request["input"], request["output"])
            except Exception as error:
                gone = isinstance(error, DisposedException) or not office.alive()
                send(out, {"ok": False, "error": f"{type(error).__name__}: {error}", "gone": gone})
                if gone:
                    return 2
            else:
                send(out, {"ok": True})
        return 0
    finally:
        office.stop()


if __name__ == "__main__":
    sys.exit(main())
