"""Entry grid: column layout, cell kinds, defaults and renaming."""

from __future__ import annotations

import string
import types
from typing import Any

import customtkinter
import pytest
import tkinter

from conftest import loomkit_module


@pytest.fixture
def screen(monkeypatch: pytest.MonkeyPatch) -> Any:
    """A 2560-pixel-wide primary screen, whatever Xvfb says."""
    fake = types.SimpleNamespace(size=lambda: (2560, 1440))
    monkeypatch.setattr(loomkit_module(), "pyautogui", fake)
    return fake


def key(table: Any, name: str) -> str:
    return table.name_to_random_string[name]


def xy(widget: Any) -> tuple[float, float]:
    info = widget.place_info()
    return float(info["x"]), float(info["y"])


def type_into(widget: Any, text: str) -> None:
    inner = widget._entry
    inner.focus_force()
    inner.update()
    for ch in text:
        inner.event_generate("<KeyPress>", keysym=ch)
    inner.update()


def row_numbers(frame: Any) -> list[tuple[str, tuple[float, float]]]:
    return [
        (w.cget("text"), xy(w))
        for w in reversed(frame.place_slaves())
        if isinstance(w, customtkinter.CTkLabel) and w.place_info().get("anchor") == "nw"
    ]


def test_columns_are_laid_out_edge_to_edge(Loomkit: Any, frame: Any) -> None:
    table = Loomkit.Entry_Table(frame)
    assert (table.entry_x_init, table.entry_x, table.N) == (50, 50, 0)
    own: list[Any] = ["kept"]
    table.add_entry_name("A", 100)
    table.add_entry_name(7, "80", "disabled", own)
    frame.update()

    a, b = table.entry_name[key(table, "A")], table.entry_name[key(table, "7")]
    assert a[:4] == [0, 100.0, 50, "normal"] and b[:4] == [1, 80.0, 148.0, "disabled"]
    assert b[4] is own
    assert table.entry_x == 226.0 and table.N == 2
    assert xy(a[5]) == (99.0, 18.0) and xy(b[5]) == (187.0, 18.0)
    assert a[5].place_info()["anchor"] == "center" and b[5].cget("text") == "7"
    font = a[5].cget("font")
    assert (font.cget("family"), font.cget("size"), font.cget("weight")) == ("Microsoft JhengHei", 15, "bold")
    assert table.entry == {} and table.get() == []  # declared, not built

    with pytest.raises(ValueError):
        table.add_entry_name("C", "wide")


def test_omitted_multiplication_list_is_one_shared_list(Loomkit: Any, frame: Any) -> None:
    first, second = Loomkit.Entry_Table(frame), Loomkit.Entry_Table(frame)
    first.add_entry_name("A", 50)
    second.add_entry_name("B", 50, "disabled")
    shared = first.entry_name[key(first, "A")][4]
    assert shared == [] and shared is second.entry_name[key(second, "B")][4]


def test_column_keys_are_random_20_character_texts(Loomkit: Any, frame: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    table = Loomkit.Entry_Table(frame)
    alphabet = set(string.ascii_letters + string.digits)
    keys = {table.random_string() for _ in range(20)}
    assert len(keys) == 20 and all(len(k) == 20 and set(k) <= alphabet for k in keys)
    assert len(table.random_string(5)) == 5

    calls = []

    def choices(population: str, k: int) -> list[str]:
        calls.append((population, k))
        return ["x"] * k

    monkeypatch.setattr(loomkit_module(), "random", types.SimpleNamespace(choices=choices))
    assert table.random_string(3) == "xxx"
    assert calls == [(string.ascii_letters + string.digits, 3)]


def test_rows_cells_and_row_numbers(Loomkit: Any, frame: Any, screen: Any) -> None:
    table = Loomkit.Entry_Table(frame)
    table.add_entry_name("A", 100)
    table.add_entry_name("B", 80, "disabled")
    table.add_entry_name("C", 60, "hidden")
    table.add_table(3)
    frame.update()

    assert frame.cget("height") == 134.0
    entries = table.entry[key(table, "A")]
    assert [xy(e) for e in entries] == [(50.0, 30.0), (50.0, 58.0), (50.0, 86.0)]
    assert all(isinstance(e, customtkinter.CTkEntry) and e.cget("height") == 30 for e in entries)
    assert entries[0].cget("width") == 100.0 and entries[0].cget("corner_radius") == 0

    cells = table.entry[key(table, "B")]
    assert all(len(c) == 2 and isinstance(c[0], tkinter.StringVar) and isinstance(c[1], tkinter.Label) for c in cells)
    holder = cells[1][1].master
    assert xy(holder) == (147.0, 58.0)
    assert (holder.cget("border_width"), holder.cget("fg_color"), holder.cget("border_color")) == (2, "#353638", "#53575a")
    label = cells[1][1].place_info()
    assert (label["x"], label["y"], label["anchor"]) == ("100", "18", "e")
    assert cells[1][1].cget("bg") == "#353638" and cells[1][1].cget("fg") == "white"

    assert table.entry[key(table, "C")] == [] and table.default_value_get[key(table, "C")] == []
    assert row_numbers(frame) == [("1", (30.0, 30.0)), ("2", (30.0, 58.0)), ("3", (30.0, 86.0))]
    assert table.get() == [["", "", ""], ["", "", ""], []]


def test_cell_labels_follow_the_screen_width(Loomkit: Any, frame: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(loomkit_module(), "pyautogui", types.SimpleNamespace(size=lambda: (1280, 720)))
    table = Loomkit.Entry_Table(frame)
    table.add_entry_name("B", 120, "disabled")
    table.add_table(1, serial_number=False)
    assert table.entry[key(table, "B")][0][1].place_info()["y"] == "9"
    assert row_numbers(frame) == []


def test_empty_and_rebuilt_tables(Loomkit: Any, frame: Any, screen: Any) -> None:
    table = Loomkit.Entry_Table(frame)
    table.add_entry_name("A", 100)
    table.add_table(2)
    old = table.entry[key(table, "A")]
    before = len(frame.place_slaves())

    table.add_table(0)
    assert frame.cget("height") == 50.0
    assert table.entry[key(table, "A")] == [] and table.get() == [[]]
    assert len(frame.place_slaves()) == before and old[0].winfo_exists()

    table.add_entry_name("Late", 50)
    table.add_table(1)
    assert len(table.get()) == 2


def test_fractional_row_count_fails_after_the_cells(Loomkit: Any, frame: Any, screen: Any) -> None:
    table = Loomkit.Entry_Table(frame)
    table.add_entry_name("A", 100)
    with pytest.raises(TypeError):
        table.add_table(2.5)
    assert len(table.entry[key(table, "A")]) == 2 and frame.cget("height") == 120.0
    assert row_numbers(frame) == []


def test_get_defaults_set_text_and_delete_all(Loomkit: Any, frame: Any, screen: Any) -> None:
    table = Loomkit.Entry_Table(frame)
    table.add_entry_name("A", 100)
    table.add_entry_name("B", 100, "disabled")
    table.add_table(2)
    a, b = table.entry[key(table, "A")], table.entry[key(table, "B")]

    type_into(a[0], "42")
    assert a[0].get() == "42"
    table.set_text("A", -1, 3.5, default_value=True)  # negative rows count from the end
    assert a[1].get() == "" and a[1]._entry.get() == "3.5"  # shown as a hint only
    table.set_text("B", 0, "shown")
    assert b[0][0].get() == "shown"
    assert table.get() == [["42", "3.5"], ["", ""]]  # a read-only cell reports its default
    table.set_text("B", 1, 8, True)
    assert table.get() == [["42", "3.5"], ["", "8"]]

    table.delete_all()
    assert a[0].get() == "" and b[0][0].get() == "" and b[1][0].get() == ""
    assert table.get() == [["", ""], ["", ""]]

    with pytest.raises(KeyError):
        table.set_text("nope", 0, "x")
    with pytest.raises(IndexError):
        table.set_text("A", 2, "x")


def test_names_point_at_the_latest_column(Loomkit: Any, frame: Any, screen: Any) -> None:
    table = Loomkit.Entry_Table(frame)
    table.add_entry_name("A", 100)
    first = key(table, "A")
    table.add_entry_name("A", 100)
    table.add_table(1)
    table.set_text("A", 0, "v", True)
    assert first != key(table, "A") and table.get() == [[""], ["v"]]

    table.set_title_text("A", "B")
    assert key(table, "A") == key(table, "B")
    assert table.entry_name[key(table, "B")][5].cget("text") == "B"
    assert table.entry_name[first][5].cget("text") == "A"
    with pytest.raises(KeyError):
        table.set_title_text("missing", "X")
    assert table.update() is None
