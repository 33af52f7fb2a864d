"""Option table: one titled row per setting, read and written by name."""

from __future__ import annotations

from typing import Any

import customtkinter
import pytest


def xy(widget: Any) -> tuple[float, float]:
    info = widget.place_info()
    return float(info["x"]), float(info["y"])


def test_rows_stack_on_a_31_pixel_pitch(Loomkit: Any, frame: Any) -> None:
    table = Loomkit.Set_Table(frame)
    assert (table.entry_x_init, table.entry_x, table.entry_y_init, table.entry_y, table.width_unit) == (10, 10, 1, 1, 200)
    table.add_entry_name("speed", text="km/h")
    table.add_entry_name("note", "disabled")
    table.add_entry_name(3)
    frame.update()

    assert table.N == 3 and table.entry_y == 94
    titles = [table.entry_name[n][4] for n in ("speed", "note", "3")]
    assert [xy(t) for t in titles] == [(10.0, 1.0), (10.0, 32.0), (10.0, 63.0)]
    assert [t.cget("text") for t in titles] == ["speed", "note", "3"]
    assert table.entry_name["note"][:3] == [1, 10, "disabled"]
    assert set(table.entry) == {"speed", "3"}
    field = table.entry["3"]
    assert isinstance(field, customtkinter.CTkEntry) and xy(field) == (130.0, 63.0)
    assert field.cget("width") == 200 and field.cget("height") == 30
    assert table.entry["speed"].cget("placeholder_text") == "km/h"


def test_omitted_multiplication_list_is_one_shared_list(Loomkit: Any, frame: Any) -> None:
    first, second = Loomkit.Set_Table(frame), Loomkit.Set_Table(frame)
    mine: list[Any] = []
    first.add_entry_name("a")
    second.add_entry_name("b", math_calculate_multiplication=mine)
    second.add_entry_name("c", "disabled")
    assert first.entry_name["a"][3] is second.entry_name["c"][3]
    assert second.entry_name["b"][3] is mine
    entry_grid = Loomkit.Entry_Table(frame)
    entry_grid.add_entry_name("x", 10)
    assert entry_grid.entry_name[entry_grid.name_to_random_string["x"]][4] is not first.entry_name["a"][3]


def test_get_set_and_delete_all(Loomkit: Any, frame: Any) -> None:
    table = Loomkit.Set_Table(frame)
    table.add_entry_name("a", text="hint")
    table.add_entry_name(2)
    table.add_entry_name("off", "disabled")

    assert table.get("a") == ""  # the hint is not a value
    table.set("a", 5)
    table.set(2, "old")
    table.set(2, "new")
    assert table.get("a") == "5" and table.get("2") == "new"

    table.delete_all()
    assert table.get("a") == "" and table.get(2) == ""
    for call in (lambda: table.get("off"), lambda: table.set("off", 1), lambda: table.get("never")):
        with pytest.raises(KeyError):
            call()


def test_adding_a_name_again_takes_a_new_row(Loomkit: Any, frame: Any) -> None:
    table = Loomkit.Set_Table(frame)
    table.add_entry_name("a")
    old = table.entry["a"]
    table.set("a", "kept")
    table.add_entry_name("a")
    assert table.entry["a"] is not old and xy(table.entry["a"]) == (130.0, 32.0)
    assert old.winfo_exists() and old.get() == "kept" and table.get("a") == ""
    assert table.N == 2
