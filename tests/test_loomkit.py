"""The kit module as callers see it: the container class, its nested classes,
the package bindings and the month-length routine."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from typing import Any

import pytest

from conftest import PACKAGE, loomkit_module

NESTED = ["CTkCalendar", "Chart_Matplotlib", "Entry_Table", "Set_Table", "Set_Button", "Draw_Map"]


def test_package_binds_the_classes_not_the_submodules() -> None:
    import importlib

    package = importlib.import_module(PACKAGE)
    module = loomkit_module()
    assert package.Loomkit is module.Loomkit
    # A fresh import of the submodule must not rebind the package attribute.
    importlib.import_module(PACKAGE + ".Loomkit")
    assert package.Loomkit is module.Loomkit
    from varnholt通用模組.Faultlog import Faultlog

    assert package.Faultlog is Faultlog


def test_module_names_in_order() -> None:
    module = loomkit_module()
    import calendar
    import datetime
    import random
    import string
    import time
    import tkinter

    import customtkinter
    import pyautogui
    from PIL import Image

    names = [n for n in vars(module) if not n.startswith("__") and n != "Loomkit"]
    assert names == ["tkinter", "customtkinter", "pyautogui", "Image", "time", "ctk", "calendar",
                     "datetime", "random", "string"]
    assert module.tkinter is tkinter and module.customtkinter is customtkinter
    assert module.ctk is customtkinter and module.pyautogui is pyautogui and module.Image is Image
    assert module.time is time and module.calendar is calendar and module.random is random
    assert module.string is string and module.datetime is datetime.datetime


def test_container_members_and_nested_classes(Loomkit: Any) -> None:
    members = [n for n in vars(Loomkit) if not n.startswith("__") or n == "__init__"]
    assert members == ["__init__", "CTkCalendar", "Chart_Matplotlib", "Entry_Table", "Set_Table",
                       "Set_Button", "many_days", "Draw_Map"]
    a, b = Loomkit(), Loomkit()
    for name in NESTED:
        cls = getattr(Loomkit, name)
        assert isinstance(cls, type)
        assert getattr(a, name) is cls and getattr(b, name) is cls
        assert cls.__qualname__ == "Loomkit." + name
        assert cls.__module__ == PACKAGE + ".Loomkit"
    assert a.__version__ == "v2025_01_04_001"
    assert "__version__" not in vars(Loomkit)
    import customtkinter

    assert issubclass(Loomkit.CTkCalendar, customtkinter.CTkFrame)
    assert Loomkit.Draw_Map.__bases__ == (object,)


@pytest.mark.parametrize("args", [(1,), ((),)])
def test_constructor_takes_no_arguments(Loomkit: Any, args: tuple[Any, ...]) -> None:
    with pytest.raises(TypeError):
        Loomkit(*args)
    with pytest.raises(TypeError):
        Loomkit(version="x")


@pytest.mark.parametrize(
    "year, month, days",
    [(2024, 2, 29), (1900, 2, 28), (2000, 2, 29), (2023, 2, 28), ("2024", "2", 29), ("2024", "02", 29),
     (2024, 4.7, 30), (2024, 1, 31), (2024, 12, 31), (2024, 11, 30), (2024, 9, 30), (2024.9, 2.2, 29),
     (10**30, 2, 29), (-4, 2, 29)],
)
def test_many_days(Loomkit: Any, year: Any, month: Any, days: int) -> None:
    result = Loomkit().many_days(year, month)
    assert result == days and type(result) is int
    assert Loomkit().many_days(year=year, month=month) == days


@pytest.mark.parametrize("month, shown", [(0, "0"), (13, "13"), ("-1", "-1"), (13.9, "13"), (10**20, str(10**20))])
def test_many_days_rejects_months(Loomkit: Any, month: Any, shown: str) -> None:
    with pytest.raises(ValueError) as caught:
        Loomkit().many_days(2024, month)
    assert str(caught.value) == "輸入的月份錯誤 month = " + shown


def test_many_days_conversion_errors_are_the_int_constructors(Loomkit: Any) -> None:
    with pytest.raises(ValueError, match="invalid literal"):
        Loomkit().many_days("abc", 2)
    with pytest.raises(TypeError):
        Loomkit().many_days(2024, None)
    with pytest.raises(TypeError):
        Loomkit().many_days(2024)


def test_package_import_needs_no_display() -> None:
    code = textwrap.dedent(
        f"""
        import os, sys
        os.environ.pop("DISPLAY", None)
        import {PACKAGE} as package
        assert package.Faultlog is not None
        assert "{PACKAGE}.Loomkit" not in sys.modules
        assert "customtkinter" not in sys.modules and "pyautogui" not in sys.modules
        print("ok")
        """
    )
    env = {k: v for k, v in __import__("os").environ.items() if k != "DISPLAY"}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_faultlog_reports_and_swallows(capsys: pytest.CaptureFixture[str]) -> None:
    from varnholt通用模組 import Faultlog

    calls: list[str] = []

    def handler() -> None:
        calls.append("ran")
        raise KeyError("missing")

    wrapped = Faultlog().try_except_log(handler)
    assert wrapped() is None
    assert calls == ["ran"]
    err = capsys.readouterr().err.splitlines()
    assert "handler" in err[0] and "KeyError" in err[0] and "missing" in err[0]
    assert err[1].startswith("Traceback")
    with pytest.raises(TypeError):
        wrapped(1)  # type: ignore[call-arg]


def test_installed_distribution_ships_python_files_beside_the_extensions() -> None:
    from importlib import metadata

    files = {str(f).replace("\\", "/") for f in metadata.files("varnholt-trailmere") or []}
    for name in ["__init__.py", "Faultlog.py", "Folioprint.py", "Loomkit.pyi", "py.typed",
                 "Scrivet/__init__.pyi", "Scrivet/__main__.py", "Scrivet/batch.py"]:
        assert f"{PACKAGE}/{name}" in files, name
    # Scrivet is the __init__ of its package, so that it runs with python -m.
    for stem in ["Loomkit", "Scrivet/__init__"]:
        assert any(f.startswith(f"{PACKAGE}/{stem}.") and f.endswith((".so", ".pyd")) for f in files), stem
    assert any(f.startswith("trailmere/GUI.") and f.endswith((".so", ".pyd")) for f in files)
    assert "trailmere/__init__.py" in files
