"""Scrivet's batch command on many records, by hand:

    python bench/bench_scrivet_batch.py [--records N] [--jobs J] [--before-python PYTHON]

Fills examples/letter.docx once per record (default 200) with the command
`python -m varnholt通用模組.Scrivet`, without and with --pdf. With
--before-python (the interpreter of an install of an earlier tree, which has
no batch command) the same records are filled in the same run by the loop a
program would write: one Scrivet.Document, run_version, set, execute_set and
output per record.
"""

from __future__ import annotations

import argparse
import csv
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
TEMPLATE = REPO / "examples" / "letter.docx"

LOOP = """
import csv, sys
from varnholt通用模組.Scrivet import Scrivet
template, records, out, pdf = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"
document = Scrivet.Document()
document.set_word_version_path("letter", template)
with open(records, newline="", encoding="utf-8") as f:
    for record in csv.DictReader(f):
        document.run_version("letter", save_path=out + "/")
        document.delete()
        for key, value in record.items():
            document.set(key, value)
        document.execute_set()
        document.output(record["{{CASE}}"], pdf=pdf)
"""


def records(path: Path, count: int) -> Path:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["{{CASE}}", "{{NAME}}", "{{DATE}}", "{{TITLE}}"])
        for i in range(count):
            writer.writerow([f"TW-2025-{i:04d}", f"申請人 {i} 號", f"2025-01-{i % 28 + 1:02d}", f"發明名稱 {i}"])
    return path


def timed(command: list[str], out: Path) -> tuple[float, int, int]:
    out.mkdir()
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        sys.exit(f"failed: {command}\n{done.stdout[-2000:]}\n{done.stderr[-2000:]}")
    files = os.listdir(out)
    return seconds, sum(f.endswith(".docx") for f in files), sum(f.endswith(".pdf") for f in files)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=200)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--before-python", metavar="PYTHON")
    args = parser.parse_args()
    print(f"cores: {os.cpu_count()}, load average before: {os.getloadavg()}", flush=True)
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench-batch-") as folder:
        work = Path(folder)
        data = records(work / "records.csv", args.records)
        for pdf in (False, True):
            flag = ["--pdf"] if pdf else []
            kind = "with --pdf" if pdf else "without --pdf"
            if args.before_python:
                loop = work / "loop.py"
                loop.write_text(LOOP)
                rows.append((f"loop over Scrivet.Document, earlier install, {kind}",
                             *timed([args.before_python, str(loop), str(TEMPLATE), str(data),
                                     str(work / f"loop{int(pdf)}"), str(int(pdf))], work / f"loop{int(pdf)}")))
            rows.append((f"python -m varnholt通用模組.Scrivet --jobs {args.jobs}, {kind}",
                         *timed([sys.executable, "-m", "varnholt通用模組.Scrivet", str(TEMPLATE), str(data),
                                 "--out", str(work / f"batch{int(pdf)}"), "--name", "{{CASE}}",
                                 "--jobs", str(args.jobs), *flag], work / f"batch{int(pdf)}")))
    print(f"load average after: {os.getloadavg()}\n")
    print(f"| {args.records} records | seconds | per record | .docx | .pdf |")
    print("|---|---:|---:|---:|---:|")
    for name, seconds, docx_count, pdf_count in rows:
        print(f"| {name} | {seconds:.1f} | {seconds / args.records:.3f} | {docx_count} | {pdf_count} |")


if __name__ == "__main__":
    main()
