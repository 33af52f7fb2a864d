"""The type stubs users' editors read must match the installed modules."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest


def test_stubs_match_the_extension_modules(tmp_path: Path) -> None:
    if not os.environ.get("DISPLAY"):
        pytest.skip("importing the kit needs a display")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\n", encoding="utf-8")
    modules = ["varnholt通用模組.Loomkit", "varnholt通用模組.Scrivet", "varnholt通用模組.Faultlog", "trailmere.GUI"]
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), *modules],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-2000:]
