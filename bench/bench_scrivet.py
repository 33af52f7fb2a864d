"""Times filling and checking a generated template, and shows where the time
goes: the filler's own code or python-docx / lxml underneath.

    python bench/bench_scrivet.py [--rounds N]

Writes only into a temporary folder.
"""

from __future__ import annotations

import argparse
import contextlib
import cProfile
import io
import pstats
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import docx
from docx.enum.text import WD_BREAK
from docx.shared import Pt
from PIL import Image

import varnholt通用模組.Scrivet  # noqa: F401

S = sys.modules["varnholt通用模組.Scrivet"]

PARAGRAPHS = 200
PLACEHOLDERS = 30
CELLS = 10


def build_template(folder: Path) -> tuple[str, str]:
    document = docx.Document()
    for i in range(PARAGRAPHS):
        p = document.add_paragraph(f"Paragraph {i}: some ordinary body text that stays as it is. ")
        if i % 7 == 0:  # every seventh holds a placeholder, some twice over
            p.add_run(f"<<KEY{i % PLACEHOLDERS:02d}>>").bold = True
            p.add_run(" and more text")
        if i % 25 == 0:
            p.add_run().add_break(WD_BREAK.PAGE)
            p.add_run("after the break")
    document.add_paragraph("【符號說明】")
    table = document.add_table(rows=2, cols=CELLS // 2)
    for n, cell in enumerate(c for row in table.rows for c in row.cells):
        cell.text = f"cell <<CELL{n}>>"
    path = folder / "bench_template.docx"
    document.save(str(path))
    picture = folder / "bench_picture.png"
    Image.new("RGB", (400, 200), (10, 120, 200)).save(picture)
    return str(path), str(picture)


def register(filler: Any, picture: str) -> None:
    for k in range(PLACEHOLDERS):
        filler.set(f"<<KEY{k:02d}>>", f"value {k}" + ("$$$page$$$next" if k % 10 == 0 else ""), font_color=(0, 0, 128))
    for n in range(CELLS):
        options: dict[str, Any] = {"remark_new_font_size": Pt(6)}
        if n == 0:
            options.update(image_path=picture, image_width=2, image_height=1)
        filler.set(f"<<CELL{n}>>", f"cell value {n}__remark__note {n}", **options)


def cycle(template: str, picture: str, out: Path) -> dict[str, float]:
    marks = [time.perf_counter()]
    with contextlib.redirect_stdout(io.StringIO()):  # the "[完成！]" line of each save
        filler = S.Scrivet.Document()
        filler.set_word_version_path("bench", template)
        filler.run_version("bench", save_path=str(out) + "/")
        register(filler, picture)
        marks.append(time.perf_counter())
        filler.execute_set()
        marks.append(time.perf_counter())
        filler.show_execute_set(specify_range=True)
        marks.append(time.perf_counter())
        filler.output("bench_filled")
        marks.append(time.perf_counter())
    assert filler.check_dict == {}, filler.check_dict
    steps = ("open", "fill", "check", "save")
    return {step: marks[i + 1] - marks[i] for i, step in enumerate(steps)}


def profile(template: str, picture: str, out: Path) -> None:
    profiler = cProfile.Profile()
    profiler.enable()
    cycle(template, picture, out)
    profiler.disable()
    stats = pstats.Stats(profiler)
    shares: dict[str, float] = {}
    for key, (_, _, tottime, _, _) in stats.stats.items():  # type: ignore[attr-defined]
        filename, _, name = key
        if filename == "~" and ".Scrivet." in name:
            group = "Scrivet (C++ incl. C calls it makes)"
        elif "/docx/" in filename:
            group = "python-docx"
        elif "lxml" in name or "/xml/etree/" in filename or "xml.etree" in name or "pyexpat" in name:
            group = "lxml / ElementTree"
        else:
            group = "other (interpreter, zipfile, PIL, ...)"
        shares[group] = shares.get(group, 0.0) + tottime
    total = sum(shares.values())
    print(f"\ncProfile of one cycle (own time per group, total {total * 1000:.0f} ms):")
    for group, seconds in sorted(shares.items(), key=lambda kv: -kv[1]):
        print(f"  {group:<42} {seconds * 1000:8.1f} ms  {100 * seconds / total:5.1f} %")
    text = io.StringIO()
    pstats.Stats(profiler, stream=text).sort_stats("tottime").print_stats(12)
    print("\nTop functions by own time:")
    print("\n".join(line for line in text.getvalue().splitlines() if line.strip())[:4000])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-scrivet-") as folder:
        out = Path(folder)
        template, picture = build_template(out)
        runs = [cycle(template, picture, out) for _ in range(args.rounds)]
        print(f"{PARAGRAPHS} paragraphs, {PLACEHOLDERS} body placeholders, {CELLS} table cells; "
              f"median of {args.rounds} rounds:")
        for step in ("open", "fill", "check", "save"):
            print(f"  {step:<6} {statistics.median(r[step] for r in runs) * 1000:8.1f} ms")
        profile(template, picture, out)


if __name__ == "__main__":
    main()
