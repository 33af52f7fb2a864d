"""python -m varnholt通用模組.Scrivet TEMPLATE RECORDS --out FOLDER [--pdf] [--jobs N] [--name FIELD]

Fills TEMPLATE once per record of RECORDS (a JSON list of objects or a CSV
file; each record's keys are the placeholders) and writes one document per
record into FOLDER, named by the field --name or numbered. Shows a progress
bar on a terminal, prints a summary naming every record that failed and why,
and exits with 1 when any did (2 when the command itself cannot run).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import Any

from .. import Folioprint as folioprint_module
from .batch import RecordError, check_name, fill_record, read_records


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m varnholt通用模組.Scrivet",
        description="Fill a Word template once per record: one .docx (and .pdf) per record.",
    )
    parser.add_argument("template", help="the .docx template")
    parser.add_argument("records", help="a JSON list of objects, or a CSV file with a header row of placeholders")
    parser.add_argument("--out", required=True, metavar="FOLDER", help="where the documents go (made if missing)")
    parser.add_argument("--pdf", action="store_true", help="also write a PDF of each document")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="N",
                        help="records filled at once, and offices converting at once (default: one per CPU)")
    parser.add_argument("--name", metavar="FIELD",
                        help="the field whose value names each record's files (default: TEMPLATE-1, TEMPLATE-2, ...)")
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    return args


def names_of(records: list[dict[str, Any]], field: str | None, template: str) -> list[str | RecordError]:
    """Each record's file name, or why it has none (a missing or bad field, a
    name an earlier record has)."""
    width = len(str(len(records)))
    stem = Path(template).stem
    names: list[str | RecordError] = []
    seen: dict[str, int] = {}
    for number, record in enumerate(records, start=1):
        if field is None:
            names.append(f"{stem}-{number:0{width}d}")
            continue
        if field not in record:
            names.append(RecordError(f"it has no field {field!r} to name it"))
            continue
        name = str(record[field])
        try:
            check_name(name)
        except RecordError as error:
            names.append(error)
            continue
        key = name.casefold() if sys.platform == "win32" else name
        if key in seen:
            names.append(RecordError(f"its name {name!r} is taken by record {seen[key]}"))
            continue
        seen[key] = number
        names.append(name)
    return names


def progress_bar(total: int) -> Any:
    from tqdm import tqdm

    # Shown only on a terminal; a log gets the summary alone.
    return tqdm(total=total, unit="record", disable=None, file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    try:
        records = read_records(args.records)
    except (OSError, ValueError) as error:
        print(f"cannot read the records: {error}", file=sys.stderr)
        return 2
    if not os.path.isfile(args.template):
        print(f"cannot read the template: no such file: {args.template}", file=sys.stderr)
        return 2
    os.makedirs(args.out, exist_ok=True)
    # At most one conversion per job, so no more offices than that.
    folioprint_module.MAX_OFFICES = args.jobs
    names = names_of(records, args.name, args.template)
    failed: dict[int, str] = {}
    written = 0
    # Scrivet's own lines (a picture it could not place...) are in each
    # failure's reason; on the terminal they would tear the progress bar.
    with progress_bar(len(records)) as bar, open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), \
            ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures: dict[Future[list[str]], int] = {}
        for number, name in enumerate(names, start=1):
            if isinstance(name, RecordError):
                failed[number] = str(name)
                bar.update()
                continue
            futures[pool.submit(fill_record, args.template, records[number - 1], args.out, name, args.pdf)] = number
        try:
            for future in as_completed(futures):
                number = futures[future]
                try:
                    future.result()
                    written += 1
                except RecordError as error:
                    failed[number] = str(error)
                except Exception as error:
                    failed[number] = f"{type(error).__name__}: {error}"
                bar.update()
        except KeyboardInterrupt:
            pool.shutdown(wait=True, cancel_futures=True)
            print(f"interrupted: {written} of {len(records)} records written to {args.out}", file=sys.stderr)
            return 130
    what = "documents and PDFs" if args.pdf else "documents"
    print(f"{written} of {len(records)} records written to {args.out} ({what})")
    for number in sorted(failed):
        label = names[number - 1] if isinstance(names[number - 1], str) else None
        print(f"failed: record {number}" + (f" ({label})" if label else "") + f": {failed[number]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
