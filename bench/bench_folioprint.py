"""Times Folioprint against a plain `soffice --convert-to pdf`, by hand:

    python bench/bench_folioprint.py [runs]

For each way: the first call in the process (office start included) and the
median of the next `runs` calls (default 5). Uses the working tree's module.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

from varnholt通用模組.Folioprint import SOFFICE, Folioprint  # noqa: E402


def make_docx(path: Path) -> None:
    import docx

    document = docx.Document()
    document.add_heading("專利名稱 測試", level=1)
    for i in range(40):
        document.add_paragraph(f"第 {i} 段：發明內容說明。Paragraph {i}: Latin text for the benchmark.")
    document.save(str(path))


def timed(call: Callable[[int], None], runs: int) -> tuple[float, float]:
    times = []
    for i in range(runs + 1):
        started = time.perf_counter()
        call(i)
        times.append(time.perf_counter() - started)
    return times[0], statistics.median(times[1:])


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory(prefix="bench-folioprint-") as folder:
        work = Path(folder)
        source = work / "bench.docx"
        make_docx(source)
        rows = []

        converter = Folioprint()
        rows.append(
            ("Folioprint.convert, keep_active=True",
             *timed(lambda i: converter.convert(source, work / f"warm{i}.pdf"), runs))
        )
        converter.close()

        converter = Folioprint()
        rows.append(
            ("Folioprint.convert, keep_active=False",
             *timed(lambda i: converter.convert(source, work / f"cold{i}.pdf", keep_active=False), runs))
        )
        converter.close()

        profile = (work / "soffice-profile").as_uri()

        def plain(i: int) -> None:
            out = work / f"plain{i}"
            subprocess.run(
                [SOFFICE, "-env:UserInstallation=" + profile, "--headless",
                 "--convert-to", "pdf", "--outdir", str(out), str(source)],
                check=True, capture_output=True,
            )
            assert (out / "bench.pdf").stat().st_size > 0

        rows.append(("soffice --headless --convert-to pdf", *timed(plain, runs)))

    print(f"LibreOffice via {os.path.realpath(SOFFICE)}; {runs} runs after the first\n")
    print(f"| way | first call (s) | median of next {runs} (s) |")
    print("|---|---:|---:|")
    for name, first, median in rows:
        print(f"| {name} | {first:.2f} | {median:.2f} |")


if __name__ == "__main__":
    main()
