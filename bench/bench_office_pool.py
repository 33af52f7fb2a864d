"""The pool of offices behind Folioprint, by hand:

    python bench/bench_office_pool.py [--before REF] [--long-paragraphs N] [--idle S]

For the working tree's Folioprint, and with --before REF (e.g. main) that
commit's too, in the same run:

- 32 one-page conversions one after another, then the same 32 from eight
  threads (four each, each thread its own converter): a first round, in which
  the pool grows, and a second, warm one.
- A one-page conversion asked for 0.5 s after a long document (N paragraphs,
  default 2500) started converting in another thread: its time, against a
  cold start of one office with a conversion.
- Memory of the office processes (offices, helpers, RSS and PSS in MiB): with
  five live Scrivet documents after one PDF each; the most seen while eight
  threads convert; after S seconds idle (default 65).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import docx  # noqa: E402

from bench_folioprint import (  # noqa: E402
    PACKAGE,
    REPO,
    five_documents,
    folioprint_at,
    load_folioprint,
    office_memory,
)


def one_page(path: Path, i: int) -> Path:
    document = docx.Document()
    document.add_paragraph(f"專利名稱 測試 {i}: one page for the pool benchmark.")
    document.save(str(path))
    return path


def long_document(path: Path, paragraphs: int) -> Path:
    document = docx.Document()
    for i in range(paragraphs):
        document.add_paragraph(f"第 {i} 段：發明內容說明，重複的長文件。Paragraph {i} of a long document. " * 4)
    document.save(str(path))
    return path


def threads(work: Callable[[int], None], count: int) -> None:
    # No Tk in this process: nothing to guard while threads start and join.
    running = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for thread in running:
        thread.start()
    for thread in running:
        thread.join()


class Sampler:
    """The most office memory seen while it runs (every 0.25 s)."""

    def __init__(self) -> None:
        self.peak = (0, 0, 0.0, 0.0)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self) -> None:
        while not self._stop.wait(0.25):
            now = office_memory()
            if now[2] > self.peak[2]:
                self.peak = now

    def __enter__(self) -> Sampler:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def measure(label: str, module: Any, work: Path, paragraphs: int, idle: float) -> dict[str, Any]:
    row: dict[str, Any] = {"label": label}
    pages = [one_page(work / f"{label}-page{i}.docx", i) for i in range(32)]
    out = work / f"{label}-out"
    out.mkdir()

    # Warm: one office up before anything is timed.
    warm = module.Folioprint()
    warm.convert(pages[0], out / "warm.pdf")
    started = time.perf_counter()
    for i, page in enumerate(pages):
        warm.convert(page, out / f"seq{i}.pdf")
    row["32 one after another"] = time.perf_counter() - started

    converters = [module.Folioprint() for _ in range(8)]

    def four(t: int) -> None:
        for k in range(4):
            i = 4 * t + k
            converters[t].convert(pages[i], out / f"par{i}.pdf")

    with Sampler() as busy:
        for round_ in ("first", "second"):
            started = time.perf_counter()
            threads(four, 8)
            row[f"8 threads x 4, {round_} round"] = time.perf_counter() - started
    row["offices, eight busy threads (most seen)"] = busy.peak
    for converter in converters:
        converter.close()
    time.sleep(idle)
    row[f"offices after {idle:.0f} s idle"] = office_memory()
    warm.close()

    # One page behind a long document.
    long = long_document(work / f"{label}-long.docx", paragraphs)
    keeper = module.Folioprint(timeout=1800)
    keeper.convert(pages[0], out / "keeper.pdf")
    times: dict[str, float] = {}

    def long_then_short(i: int) -> None:
        if i == 0:
            started = time.perf_counter()
            keeper.convert(long, out / "long.pdf")
            times["long"] = time.perf_counter() - started
        else:
            time.sleep(0.5)
            converter = module.Folioprint()
            started = time.perf_counter()
            converter.convert(pages[1], out / "short.pdf")
            times["short"] = time.perf_counter() - started
            converter.close()

    threads(long_then_short, 2)
    keeper.close()
    row["long document alone"] = times["long"]
    row["one page behind it"] = times["short"]
    # A cold office: start and one conversion, the office's profile made before.
    cold = module.Folioprint()
    started = time.perf_counter()
    cold.convert(pages[2], out / "cold.pdf")
    row["office start + one page"] = time.perf_counter() - started
    cold.close()
    row["five live documents"] = five_documents(module, work, pages[0])
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", metavar="REF")
    parser.add_argument("--long-paragraphs", type=int, default=2500)
    parser.add_argument("--idle", type=float, default=65.0)
    args = parser.parse_args()
    print(f"cores: {os.cpu_count()}, load average before: {os.getloadavg()}", flush=True)
    with tempfile.TemporaryDirectory(prefix="bench-pool-") as folder:
        work = Path(folder)
        modules = []
        if args.before:
            modules.append((args.before, folioprint_at(args.before, work / "before")))
        modules.append(("working tree", load_folioprint(REPO / "python" / PACKAGE, "folioprint_working_tree")))
        rows = []
        for label, module in modules:
            with contextlib.redirect_stdout(sys.stderr):
                rows.append(measure(label.replace("/", "_"), module, work, args.long_paragraphs, args.idle))
    print(f"load average after: {os.getloadavg()}\n")
    keys = [key for key in rows[0] if key != "label"]
    print("| | " + " | ".join(row["label"] for row in rows) + " |")
    print("|---|" + "---:|" * len(rows))
    for key in keys:
        cells = []
        for row in rows:
            value = row[key]
            if isinstance(value, tuple):
                offices, helpers, rss, pss = value
                cells.append(f"{offices} offices + {helpers} helpers, RSS {rss:.0f} / PSS {pss:.0f} MiB")
            else:
                cells.append(f"{value:.2f} s")
        print(f"| {key} | " + " | ".join(cells) + " |")
    for row in rows:
        sequential = row["32 one after another"]
        print(f"\n{row['label']}: speed-up of 8 threads, first round {sequential / row['8 threads x 4, first round']:.2f}x,"
              f" second {sequential / row['8 threads x 4, second round']:.2f}x")


if __name__ == "__main__":
    main()
