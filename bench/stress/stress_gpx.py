"""GPX hardening figures, by hand: a large corpus of broken, hostile and odd
files drawn at once (each round in its own process, so a crash counts), then
fifty big files drawn while the paths are cleared every 50 ms and the window
is closed mid-read.

    xvfb-run -a -s "-screen 0 1920x1080x24" python3 bench/stress/stress_gpx.py [rounds]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parents[2] / "tests"
sys.path.insert(0, str(TESTS))

ROUND = """
import json, os, sys
sys.path.insert(0, {tests!r})
import conftest  # display set-up
import customtkinter
from pathlib import Path
from hostile_gpx import SECRET_POINT, SECRET_TEXT, corpus
from hostile_run import draw_all
from test_hardening_gpx import first_segment
from varnholt通用模組 import Loomkit
folder = Path(sys.argv[1])
secret = folder / "secret.xml"
secret.write_text(SECRET_TEXT, encoding="utf-8")
st = secret.stat()
os.utime(secret, (st.st_mtime - 1000, st.st_mtime))
bad, good = corpus(folder / "drop", secret)
root = customtkinter.CTk()
frame = customtkinter.CTkFrame(root)
frame.pack()
draw_map = Loomkit.Draw_Map(frame)
out = draw_all(root, draw_map, bad + good)
drawn = [tuple(p) for p in out.paths]
print("FIGURES " + json.dumps(dict(
    inputs=out.workers, hung=out.hung, failed=out.failed, lock_free=out.lock_free, max_gap_ms=out.max_gap_ms,
    seconds=out.seconds, other_files_read=sorted(out.opened - set(bad + good)),
    secret_read=os.stat(secret).st_atime != st.st_mtime - 1000 or any(SECRET_POINT in p for p in drawn),
    good_drawn=sum(tuple(first_segment(g)) in drawn for g in good), good=len(good))))
"""


def corpus_round(n: int) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as folder:
        script = Path(folder) / "round.py"
        script.write_text(ROUND.format(tests=str(TESTS)), encoding="utf-8")
        start = time.monotonic()
        done = subprocess.run([sys.executable, str(script), folder], capture_output=True, text=True, timeout=600,
                              env=dict(os.environ, HOME=folder))
        figures = [line for line in done.stdout.splitlines() if line.startswith("FIGURES ")]
        result: dict[str, object] = json.loads(figures[-1][8:]) if figures else {}
        result.update(round=n, exit=done.returncode, wall_s=time.monotonic() - start)
        return result


def closing_round(points: int) -> dict[str, object]:
    start = time.monotonic()
    done = subprocess.run([sys.executable, str(TESTS / "gui_driver.py"), "clear_while_drawing", "50", str(points)],
                          capture_output=True, text=True, timeout=600)
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    r = json.loads(lines[-1][7:]) if lines else {}
    return dict(points=points, exit=done.returncode, wall_s=time.monotonic() - start,
                returned_after_close_s=r.get("returned_at", 0) - r.get("closed_at", 0),
                signals=r.get("signals"), lock_free=r.get("lock_free"), max_gap_ms=r.get("max_gap_ms"),
                script=r.get("script"))


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    print("Hostile corpus (each round a fresh process)")
    print(f"{'round':>5} {'exit':>4} {'inputs':>6} {'hung':>4} {'failed':>6} {'lock free':>9} {'max gap ms':>10} "
          f"{'other files read':>16} {'secret read':>11} {'good drawn':>10} {'seconds':>7}")
    for n in range(rounds):
        r = corpus_round(n)
        print(f"{n:>5} {r['exit']:>4} {r.get('inputs', '-'):>6} {r.get('hung', '-'):>4} {r.get('failed', '-'):>6} "
              f"{str(r.get('lock_free', '-')):>9} {r.get('max_gap_ms', float('nan')):>10.1f} "
              f"{len(r.get('other_files_read', [])):>16} {str(r.get('secret_read', '-')):>11} "  # type: ignore[arg-type]
              f"{r.get('good_drawn', '-')}/{r.get('good', '-'):<8} {r['wall_s']:>7.1f}", flush=True)
    print()
    print("Fifty files, waste bin every 50 ms, window closed mid-read")
    print(f"{'points':>7} {'exit':>4} {'script':>6} {'lock free':>9} {'max gap ms':>10} {'return after close s':>20} "
          f"{'signals once, in order':>22} {'wall s':>6}")
    expected = ["end.put(None)", "end.set()", "起始數據.put(None)"]
    for points in (2_000, 20_000, 60_000):
        r = closing_round(points)
        print(f"{points:>7} {r['exit']:>4} {str(r['script']):>6} {str(r['lock_free']):>9} "
              f"{r['max_gap_ms'] or float('nan'):>10.1f} {r['returned_after_close_s']:>20.3f} "
              f"{str(r['signals'] == expected):>22} {r['wall_s']:>6.1f}", flush=True)


if __name__ == "__main__":
    main()
