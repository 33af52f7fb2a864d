"""Times Folioprint and measures its offices, by hand:

    python bench/bench_folioprint.py [--runs N] [--before REF]

- Warm calls: the first call in the process (office start included) and the
  median of the next N calls (default 5), with keep_active on and off, and a
  plain `soffice --convert-to pdf` for comparison.
- Offices: five live Scrivet documents after one PDF each; how many offices
  run for the process and their resident memory (RSS, and PSS, which counts
  pages shared between offices once).
- Ten converters converting at once, a first round and a warm one.
- Fallback: a document the warm office cannot load, converted by a one-off
  soffice run. Where the installed office loads every test document, the warm
  office is made to die on the document by a stand-in helper, which costs what
  a real crash costs before the one-off run.

With --before REF (a git ref, e.g. main) the warm and office rows are also
measured with that commit's Folioprint, in the same run. Uses the working
tree's Folioprint and the installed Scrivet.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Iterator

REPO = Path(__file__).resolve().parent.parent
PACKAGE = "varnholt通用模組"
sys.path.insert(0, str(REPO / "tests"))

import docx  # noqa: E402

import varnholt通用模組.Scrivet  # noqa: E402,F401
from test_scrivet_support import commented  # noqa: E402

S: Any = sys.modules[PACKAGE + ".Scrivet"]


def load_folioprint(folder: Path, name: str) -> ModuleType:
    found = importlib.util.spec_from_file_location(name, folder / "Folioprint.py")
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def folioprint_at(ref: str, folder: Path) -> ModuleType:
    folder.mkdir()
    for name in ("Folioprint.py", "_folioprint_office.py"):
        text = subprocess.run(["git", "-C", str(REPO), "show", f"{ref}:python/{PACKAGE}/{name}"],
                              check=True, capture_output=True).stdout
        (folder / name).write_bytes(text)
    return load_folioprint(folder, "folioprint_" + ref.replace("/", "_"))


def make_docx(path: Path) -> Path:
    document = docx.Document()
    document.add_heading("專利名稱 測試", level=1)
    for i in range(40):
        document.add_paragraph(f"第 {i} 段：發明內容說明。Paragraph {i}: Latin text for the benchmark.")
    document.save(str(path))
    return path


def timed(call: Callable[[int], None], runs: int) -> tuple[float, float]:
    times = []
    for i in range(runs + 1):
        started = time.perf_counter()
        call(i)
        times.append(time.perf_counter() - started)
    return times[0], statistics.median(times[1:])


def descendants() -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [os.getpid()]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def memory_kib(pid: int, field: str, source: str) -> int:
    for line in Path(f"/proc/{pid}/{source}").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def office_memory() -> tuple[int, int, float, float]:
    """(offices, helpers, RSS MiB, PSS MiB) of this process's office processes."""
    offices = helpers = rss = pss = 0
    for pid in descendants():
        try:
            command = Path(f"/proc/{pid}/cmdline").read_bytes()
            is_office = command.split(b"\0")[0].endswith(b"soffice.bin")
            is_helper = b"_folioprint_office.py" in command
            if not (is_office or is_helper):
                continue
            offices += is_office
            helpers += is_helper
            rss += memory_kib(pid, "VmRSS", "status")
            pss += memory_kib(pid, "Pss", "smaps_rollup")
        except OSError:
            continue
    return offices, helpers, rss / 1024, pss / 1024


@contextlib.contextmanager
def converter_class(module: Any) -> Iterator[None]:
    saved = S.Folioprint
    S.Folioprint = module.Folioprint  # read by each new Scrivet.Document
    try:
        yield
    finally:
        S.Folioprint = saved


def five_documents(module: Any, work: Path, template: Path) -> tuple[int, int, float, float]:
    with converter_class(module), contextlib.redirect_stdout(open(os.devnull, "w")):
        fillers = []
        for i in range(5):
            filler = S.Scrivet.Document()
            filler.set_word_version_path("t", str(template))
            filler.run_version("t", save_path=str(work) + "/")
            filler.output(f"five{i}", pdf=True, docx=False)
            fillers.append(filler)
        time.sleep(1)  # let the offices settle
        measured = office_memory()
        for filler in fillers:
            filler.folioprint.close()
    return measured


def warm_rows(label: str, module: Any, work: Path, source: Path, runs: int) -> list[tuple[str, float, float]]:
    rows = []
    converter = module.Folioprint()
    rows.append((f"{label}: convert, keep_active=True",
                 *timed(lambda i: converter.convert(source, work / f"warm{i}.pdf"), runs)))
    converter.close()
    converter = module.Folioprint()
    rows.append((f"{label}: convert, keep_active=False",
                 *timed(lambda i: converter.convert(source, work / f"cold{i}.pdf", keep_active=False), runs)))
    converter.close()
    return rows


def ten_at_once(label: str, module: Any, work: Path, source: Path) -> tuple[str, float, float]:
    """Ten converters converting at once from ten threads: the first round
    (offices start) and a second one (warm)."""
    import threading

    converters = [module.Folioprint() for _ in range(10)]
    times = []
    for round_ in range(2):
        threads = [threading.Thread(target=converters[i].convert, args=(source, work / f"ten{round_}_{i}.pdf"))
                   for i in range(10)]
        started = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        times.append(time.perf_counter() - started)
        assert all((work / f"ten{round_}_{i}.pdf").exists() for i in range(10))
    for converter in converters:
        converter.close()
    return (f"{label}: ten converters at once (whole round)", times[0], times[1])


CRASHING_HELPER = """
import json, sys
print(json.dumps({"ready": True, "office_pid": 0}), flush=True)
sys.stdin.readline()
sys.exit(3)  # as the helper does when its office died on a document
"""


def fallback_rows(module: Any, work: Path, runs: int) -> list[tuple[str, float, float]]:
    document = commented(work / "commented.docx")
    converter = module.Folioprint()
    converter.convert(make_docx(work / "warmup.docx"), work / "warmup.pdf")
    started = time.perf_counter()
    converter.convert(document, work / "commented.pdf")
    seconds = time.perf_counter() - started
    rows = []
    if converter.office_pid is None:  # the office died on it: a real fallback
        rows.append(("commented document, office dies, one-off run (first in this converter)", seconds, float("nan")))
    else:
        rows.append(("commented document, warm office (no fallback needed)", seconds, float("nan")))
        helper = work / "crashing_helper.py"
        helper.write_text(CRASHING_HELPER)
        saved = module.HELPER
        module.HELPER = str(helper)
        converter.close()
        converter = module.Folioprint()
        try:
            rows.append(("commented document, helper dies, one-off run (first; then later)",
                         *timed(lambda i: converter.convert(document, work / f"fallback{i}.pdf"), runs)))
        finally:
            module.HELPER = saved
    converter.close()
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--before", metavar="REF", help="also measure this commit's Folioprint")
    args = parser.parse_args()
    runs = args.runs
    with tempfile.TemporaryDirectory(prefix="bench-folioprint-") as folder:
        work = Path(folder)
        source = make_docx(work / "bench.docx")
        modules = []
        if args.before:
            modules.append((args.before, folioprint_at(args.before, work / "before")))
        now = load_folioprint(REPO / "python" / PACKAGE, "folioprint_working_tree")
        modules.append(("working tree", now))

        rows: list[tuple[str, float, float]] = []
        offices = []
        for label, module in modules:
            rows += warm_rows(label, module, work, source, runs)
            rows.append(ten_at_once(label, module, work, source))
            offices.append((label, *five_documents(module, work, source)))
        rows += fallback_rows(now, work, runs)

        profile = (work / "soffice-profile").as_uri()

        def plain(i: int) -> None:
            out = work / f"plain{i}"
            subprocess.run(
                ["soffice", "-env:UserInstallation=" + profile, "--headless",
                 "--convert-to", "pdf", "--outdir", str(out), str(source)],
                check=True, capture_output=True,
            )
            assert (out / "bench.pdf").stat().st_size > 0

        rows.append(("soffice --headless --convert-to pdf", *timed(plain, runs)))

    print(f"{runs} runs after the first\n")
    print(f"| way | first call (s) | median of next {runs} (s) |")
    print("|---|---:|---:|")
    for name, first, median in rows:
        print(f"| {name} | {first:.2f} | {median:.2f} |")
    print("\nFive live Scrivet documents after one PDF each:\n")
    print("| Folioprint | offices | helpers | RSS (MiB) | PSS (MiB) |")
    print("|---|---:|---:|---:|---:|")
    for label, count, helpers, rss, pss in offices:
        print(f"| {label} | {count} | {helpers} | {rss:.0f} | {pss:.0f} |")


if __name__ == "__main__":
    main()
