"""Long hostile-upload runs for the document filler, by hand:

    python bench/stress/stress_documents.py [--rounds N] [--no-before] [--no-office]

Each case runs in a fresh interpreter whose peak resident memory is read at
the end. "before" rows open the template the way run_version did before it
was guarded (python-docx alone); "after" rows go through run_version. Prints
one table: case, outcome, peak MiB, time, files written. Writes only into a
temporary folder (and mounts small tmpfs there, as root, for the read-only
and full-disk cases).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Iterator

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))

import hostile_documents as H  # noqa: E402

ROWS: list[tuple[str, str, str, str, str]] = []
FOLDER = Path(tempfile.mkdtemp(prefix="stress-documents-"))


def row(case: str, outcome: str, peak: Any, seconds: float, written: Any) -> None:
    peak_text = "-" if peak is None else f"{peak:.0f}"
    outcome = outcome.replace(str(FOLDER), "…")
    ROWS.append((case, outcome, peak_text, f"{seconds:.2f}", str(written)))
    print(f"  {case}: {outcome}", file=sys.stderr, flush=True)


def outcome_of(result: dict[str, Any]) -> str:
    if result.get("error"):
        name, message = result["error"]
        return f"{name}: {message.replace(str(FOLDER), '…')[:110]}"
    return result.get("outcome") or f"exit {result['returncode']} {result['stderr'][-80:]!r}"


BEFORE = """
import docx, os, time
started = time.monotonic()
try:
    docx.Document(sys.argv[1])
    result["outcome"] = "opened"
except Exception as error:
    result["error"] = [type(error).__name__, str(error)]
result["seconds"] = time.monotonic() - started
"""

AFTER = """
import os, time
from varnholt通用模組.Scrivet import Scrivet
template, out = sys.argv[1:3]
filler = Scrivet.Document()
filler.set_word_version_path("t", template)
started = time.monotonic()
try:
    filler.run_version("t", save_path=out + "/")
    filler.set("KEY", "value")
    filler.execute_set()
    filler.output("o")
    result["outcome"] = "opened, filled, saved"
except Exception as error:
    result["error"] = [type(error).__name__, str(error)]
result["seconds"] = time.monotonic() - started
result["written"] = len(os.listdir(out))
"""

REPEAT = """
import gc, os
from varnholt通用模組.Scrivet import Scrivet
paths, rounds = sys.argv[1:-1], int(sys.argv[-1])
filler = Scrivet.Document()
for i, path in enumerate(paths):
    filler.set_word_version_path(str(i), path)
def rss():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
def one_round():
    for i in range(len(paths)):
        try:
            filler.run_version(str(i), save_path="/nonexistent/")
        except Exception:
            pass
for _ in range(10):
    one_round()
gc.collect()
fds, memory = len(os.listdir("/proc/self/fd")), rss()
for _ in range(rounds):
    one_round()
gc.collect()
result["outcome"] = f"{rounds} rounds: fds {len(os.listdir('/proc/self/fd')) - fds:+d}, RSS {rss() - memory:+.1f} MiB"
"""

PICTURE = """
import os, time
from varnholt通用模組.Scrivet import Scrivet
template, picture, out = sys.argv[1:4]
filler = Scrivet.Document()
filler.set_word_version_path("t", template)
filler.run_version("t", save_path=out + "/")
started = time.monotonic()
import contextlib, io
printed = io.StringIO()
with contextlib.redirect_stdout(printed):
    for _ in range(int(sys.argv[4])):
        filler.set("KEY", "v", image_path=picture, image_width=2, image_height=1.5)
        filler.execute_set()
        filler._add_table("abstract", "P1", "title", image_path=picture)
    filler.output("o")
import docx
lines = printed.getvalue().splitlines()
result["outcome"] = f"{len(docx.Document(out + '/o.docx').inline_shapes)} pictures, {len(lines) - 1} messages"
result["seconds"] = time.monotonic() - started
result["written"] = len(os.listdir(out))
"""


def templates(folder: Path, before: bool, rounds: int) -> None:
    for case, make in H.HOSTILE_TEMPLATES.items():
        work = folder / case.replace(" ", "_").replace(",", "")
        work.mkdir()
        path = make(work)
        if before:
            r = H.measured(BEFORE, str(path))
            row(f"template {case} (before)", outcome_of(r), r["peak_mib"], r.get("seconds", 0), "-")
        out = work / "out"
        out.mkdir()
        r = H.measured(AFTER, str(path), str(out))
        row(f"template {case}", outcome_of(r), r["peak_mib"], r.get("seconds", 0), r.get("written"))
    work = folder / "large"
    work.mkdir()
    large = H.large_template(work)
    (work / "out").mkdir()
    r = H.measured(AFTER, str(large), str(work / "out"))
    row("template 200 pages, 50 pictures", outcome_of(r), r["peak_mib"], r.get("seconds", 0), r.get("written"))
    for name in ("blk-paras-and-tables.docx", "par-hyperlinks.docx", "sct-inner-content.docx"):
        out = work / ("out-" + name)
        out.mkdir()
        source = Path(__file__).resolve().parents[2] / "tests" / "data" / "docx" / name
        r = H.measured(AFTER, str(source), str(out))
        row(f"template {name}", outcome_of(r), r["peak_mib"], r.get("seconds", 0), r.get("written"))
    hostile = [str(p) for p in folder.glob("*/*.docx") if p.parent.name != "large"]
    started = time.monotonic()
    r = H.measured(REPEAT, *hostile, str(rounds * 20))
    row("all hostile templates, repeated", outcome_of(r), r["peak_mib"], time.monotonic() - started, 0)


def pictures(folder: Path, rounds: int) -> None:
    cases = dict(H.PICTURES, **{"over the pixel limit": lambda f: H.png_header_only(f / "big.png", 20_000, 10_000)})
    for case, make in cases.items():
        work = folder / ("pic_" + case.replace(" ", "_"))
        work.mkdir()
        template = H.plain_template(work / "t.docx", picture=False)
        (work / "out").mkdir()
        r = H.measured(PICTURE, str(template), str(make(work)), str(work / "out"), str(rounds))
        row(f"picture {case} x{rounds}", outcome_of(r), r["peak_mib"], r.get("seconds", 0), r.get("written"))


@contextlib.contextmanager
def tmpfs(folder: Path, options: str) -> Iterator[Path | None]:
    folder.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(folder)], capture_output=True)
    try:
        yield folder if done.returncode == 0 else None
    finally:
        if done.returncode == 0:
            subprocess.run(["umount", str(folder)], check=True)


def conversions(folder: Path, rounds: int) -> None:
    from varnholt通用模組.Folioprint import ConversionError
    from varnholt通用模組.Folioprint import Folioprint as Folioprint_
    from varnholt通用模組.Scrivet import Scrivet

    def filler(text: str, out: Path) -> Any:
        f = Scrivet.Document()
        f.set_word_version_path("t", str(H.plain_template(folder / f"{text}.docx", text, picture=False)))
        f.run_version("t", save_path=str(out) + "/")
        return f

    def pdf_text(path: Path) -> str:
        return subprocess.run(["pdftotext", str(path), "-"], capture_output=True, text=True).stdout

    out = folder / "conv"
    out.mkdir()
    fillers = [filler(f"document{i}", out) for i in range(10)]
    with contextlib.redirect_stdout(open(os.devnull, "w")):
        for n in range(rounds):
            errors: list[BaseException] = []

            def work(i: int) -> None:
                try:
                    fillers[i].output(f"r{n}_{i}", pdf=True, docx=False)
                except BaseException as error:
                    errors.append(error)

            started = time.monotonic()
            threads = [threading.Thread(target=work, args=(i,)) for i in range(10)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            right = sum(f"document{i}" in pdf_text(out / f"r{n}_{i}.pdf") for i in range(10) if (out / f"r{n}_{i}.pdf").exists())
            row(f"10 documents at once, round {n + 1}", f"{right}/10 PDFs right, {len(errors)} errors",
                None, time.monotonic() - started, len(list(out.glob(f"r{n}_*"))))
        for filler_ in fillers:
            filler_.folioprint.close()

        killed_out = folder / "killed"
        killed_out.mkdir()
        f = filler("kept", killed_out)
        f.output("warm", pdf=True)
        private = sys.modules[type(f.folioprint).__module__]._POOL.folder
        errors_seen, kept, recovered = 0, 0, 0
        started = time.monotonic()
        for n in range(rounds):
            stop = threading.Event()

            def killer() -> None:
                while not stop.is_set():
                    for entry in os.listdir("/proc"):
                        if entry.isdigit():
                            try:
                                if private.encode() in Path(f"/proc/{entry}/cmdline").read_bytes():
                                    os.kill(int(entry), 9)
                            except OSError:
                                pass
                    time.sleep(0.005)

            thread = threading.Thread(target=killer)
            thread.start()
            try:
                f.output(f"k{n}", pdf=True, docx=False)
            except ConversionError:
                errors_seen += 1
            finally:
                stop.set()
                thread.join()
            kept += (killed_out / f"k{n}.docx").exists() and not (killed_out / f"k{n}.pdf").exists()
            f.output(f"next{n}", pdf=True, docx=False)
            recovered += "kept" in pdf_text(killed_out / f"next{n}.pdf")
        f.folioprint.close()
        row(f"converter killed mid-run x{rounds}",
            f"{errors_seen} ConversionError, {kept} .docx kept, {recovered} next ok",
            None, time.monotonic() - started, len(os.listdir(killed_out)))

    # A picture linked to a local file: what reached the PDF before the guard.
    linked_dir = folder / "linked"
    linked_dir.mkdir()
    linked, _ = H.linked_picture(linked_dir)
    import docx

    started = time.monotonic()
    docx.Document(str(linked)).save(str(linked_dir / "unguarded.docx"))
    with contextlib.closing(Folioprint_()) as converter:
        converter.convert(str(linked_dir / "unguarded.docx"), str(linked_dir / "unguarded.pdf"))
    subprocess.run(["pdfimages", "-png", str(linked_dir / "unguarded.pdf"), str(linked_dir / "img")], check=True)
    leaked = 0
    from PIL import Image

    for image in linked_dir.glob("img-*.png"):
        with Image.open(image) as picture:
            leaked += picture.convert("RGB").getpixel((picture.width // 2, picture.height // 2)) == (10, 200, 10)
    row("linked local picture, converted (before)", f"{leaked} picture(s) of the local file in the PDF",
        None, time.monotonic() - started, 1)
    f = Scrivet.Document()
    f.set_word_version_path("l", str(linked))
    started = time.monotonic()
    try:
        f.run_version("l", save_path=str(linked_dir) + "/")
        outcome = "opened!"
    except ValueError as error:
        outcome = f"ValueError: {str(error)[:90]}"
    row("linked local picture, converted", outcome, None, time.monotonic() - started, 0)

    def unwritable(case: str, target: Path | None) -> None:
        if target is None:
            row(case, "SKIPPED: cannot mount a tmpfs here", None, 0, "-")
            return
        f = filler("text", target)
        started = time.monotonic()
        try:
            f.output("report", pdf=True)
            outcome = "no error!"
        except OSError as error:
            outcome = f"{type(error).__name__}: {error}"
        row(case, outcome, None, time.monotonic() - started, len(os.listdir(target)) if target.exists() else 0)
        f.folioprint.close()

    unwritable("output folder missing", folder / "missing")
    with tmpfs(folder / "ro", "ro,size=64k") as ro:
        unwritable("output folder read-only", ro)
    with tmpfs(folder / "full", "size=256k") as full:
        if full is None:
            row("output folder full", "SKIPPED: cannot mount a tmpfs here", None, 0, "-")
            return
        f = filler("first version", full)
        with contextlib.redirect_stdout(open(os.devnull, "w")):
            f.output("report")
        before = (full / "report.docx").read_bytes()
        f.set_word_version_path("large", str(H.large_template(folder, pages=20, pictures=10)))
        f.run_version("large", save_path=str(full) + "/")
        started = time.monotonic()
        try:
            f.output("report")
            outcome = "no error!"
        except OSError as error:
            outcome = f"{type(error).__name__}: {error}"
        same = (full / "report.docx").read_bytes() == before
        row("output folder full", outcome + (", earlier .docx kept" if same else ", earlier .docx LOST"),
            None, time.monotonic() - started, len(os.listdir(full)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-before", action="store_true", help="skip the unguarded runs (they take 2 GB)")
    parser.add_argument("--no-office", action="store_true", help="skip the conversions")
    args = parser.parse_args()
    folder = FOLDER
    try:
        templates(folder, not args.no_before, args.rounds)
        pictures(folder, args.rounds)
        if not args.no_office and shutil.which("soffice"):
            conversions(folder, args.rounds)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    widths = [max(len(r[i]) for r in ROWS + [("case", "outcome", "peak MiB", "time s", "files written")]) for i in range(5)]
    header = ("case", "outcome", "peak MiB", "time s", "files written")
    for line in [header, tuple("-" * w for w in widths), *ROWS]:
        print(" | ".join(cell.ljust(w) for cell, w in zip(line, widths)))


if __name__ == "__main__":
    main()
