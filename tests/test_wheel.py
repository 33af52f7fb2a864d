"""The binary wheel: built by tools/wheel (reusing the build), installed into a
fresh virtual environment with neither a compiler nor the network, its three
modules imported and the sample track drawn."""

from __future__ import annotations

import os
import re
import site
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import REPO

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="manylinux wheels are built on Linux")

DRAW_THE_SAMPLE = """
import sys, customtkinter
import varnholt通用模組.Scrivet, trailmere.GUI
from varnholt通用模組 import Loomkit
modules = [sys.modules[name] for name in ("varnholt通用模組.Loomkit", "varnholt通用模組.Scrivet", "trailmere.GUI")]
print("FILES", *[m.__file__ for m in modules])
root = customtkinter.CTk()
frame = customtkinter.CTkFrame(root)
frame.pack()
draw_map = Loomkit.Draw_Map(frame)
draw_map.draw_gpx(sys.argv[1], adapt_sizes=True)
def check():
    if draw_map.map_widget.canvas_path_list:
        print("PATHS", len(draw_map.map_widget.canvas_path_list), len(draw_map.map_widget.canvas_path_list[0].position_list))
        root.destroy()
    else:
        root.after(20, check)
root.after(20, check)
root.mainloop()
"""


def test_the_wheel_installs_without_a_compiler_and_draws(tmp_path: Path) -> None:
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    built = subprocess.run([str(REPO / "tools" / "wheel"), str(tmp_path / "dist")], capture_output=True, text=True,
                           env=env, timeout=3600)
    assert built.returncode == 0, built.stderr
    wheel = Path(built.stdout.split()[-1])
    assert re.fullmatch(r"varnholt_trailmere-[\d.]+-cp311-cp311-manylinux_2_\d+_x86_64\.whl", wheel.name)
    with zipfile.ZipFile(wheel) as archive:
        loomkit = next(n for n in archive.namelist() if re.fullmatch(r"varnholt通用模組/Loomkit\..*\.so", n))
        archive.extract(loomkit, tmp_path / "unpacked")
    # expat is inside: the kit asks the system for no libexpat.
    needed = subprocess.run(["readelf", "-d", str(tmp_path / "unpacked" / loomkit)], capture_output=True,
                            text=True, check=True).stdout
    assert "libexpat" not in needed and "libstdc++" in needed

    venv = tmp_path / "venv"
    # The dependencies (customtkinter, ...) come from this interpreter's site-packages: no network.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=600)
    python = str(venv / "bin" / "python")
    # --ignore-installed: the checkout's own install, seen through the system's site-packages, is no reason
    # to leave the wheel out.
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--ignore-installed",
                    str(wheel)], check=True, timeout=600)
    # Run from a virtual environment, this one's packages are not the system's: a .pth file lends them,
    # after the new environment's own, so the wheel's modules still come first
    # (written after the install, which would otherwise find the package there already).
    if sys.prefix != sys.base_prefix:
        new_site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                                  capture_output=True, text=True, check=True).stdout.strip()
        Path(new_site, "lent.pth").write_text("\n".join(site.getsitepackages()) + "\n")
    sample = REPO / "python" / "trailmere" / "samples" / "sample.gpx"
    # Outside the checkout, so that nothing is imported from it.
    done = subprocess.run([python, "-c", DRAW_THE_SAMPLE, str(sample)], capture_output=True, text=True,
                          cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr
    lines = {line.split()[0]: line.split()[1:] for line in done.stdout.splitlines() if line[:5] in ("FILES", "PATHS")}
    assert all(path.startswith(str(venv)) for path in lines["FILES"]), lines["FILES"]
    assert lines["PATHS"] == ["1", "421"]
    assert "已匯入 --> " + str(sample) in done.stdout
