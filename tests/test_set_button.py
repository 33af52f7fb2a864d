"""Set_Button: buttons kept by name in a caller's frame."""

from __future__ import annotations

import types
from pathlib import Path
from typing import Any

import pytest
from PIL import Image, UnidentifiedImageError

from conftest import loomkit_module

NO_HANDLER = "按鈕沒有定義觸發環境"


@pytest.fixture
def Set_Button(Loomkit: Any) -> Any:
    return Loomkit.Set_Button


@pytest.fixture
def picture(tmp_path: Path) -> str:
    path = tmp_path / "dot.png"
    Image.new("RGBA", (40, 40), (200, 60, 60, 255)).save(path)
    return str(path)


@pytest.fixture
def recorded(monkeypatch: pytest.MonkeyPatch) -> list[tuple[str, dict[str, Any]]]:
    """Replaces the kit's customtkinter by one whose buttons record their
    constructor and grid options, as (what, options) in call order."""
    import customtkinter

    calls: list[tuple[str, dict[str, Any]]] = []

    class RecordingButton(customtkinter.CTkButton):  # type: ignore[misc]
        def __init__(self, master: Any, **kwargs: Any) -> None:
            calls.append(("CTkButton", dict(kwargs)))
            super().__init__(master, **kwargs)

        def grid(self, **kwargs: Any) -> None:
            calls.append(("grid", dict(kwargs)))
            super().grid(**kwargs)

    fake = types.SimpleNamespace(**vars(customtkinter))
    fake.CTkButton = RecordingButton
    monkeypatch.setattr(loomkit_module(), "customtkinter", fake)
    return calls


def button(owner: Any, name: Any) -> Any:
    return owner.button_data[str(name)]["CTkButton"]


def test_a_bare_button_is_a_default_text_button_under_the_clock_time(
    Set_Button: Any, frame: Any, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    monkeypatch.setattr(loomkit_module(), "time", types.SimpleNamespace(time=lambda: 1736000000.25))
    owner = Set_Button()
    assert owner.button_data == {}

    assert owner.add_button(frame) is None

    assert list(owner.button_data) == ["1736000000.25"]
    record = owner.button_data["1736000000.25"]
    assert list(record) == ["CTkButton"]
    b = record["CTkButton"]
    assert (b.cget("text"), b.cget("width"), b.cget("corner_radius")) == ("", 20, 6)
    font = b.cget("font")
    assert (font.cget("family"), font.cget("size"), font.cget("weight")) == ("Microsoft JhengHei", 15, "bold")
    info = b.grid_info()
    assert (info["row"], info["column"], info["sticky"], info["padx"], info["pady"]) == (0, 0, "ne", 0, 0)

    b.invoke()
    assert capsys.readouterr().out == NO_HANDLER + "\n"


def test_names_are_keyed_by_their_text_and_a_new_record_replaces_the_old(
    Set_Button: Any, frame: Any
) -> None:
    owner = Set_Button()
    pressed: list[str] = []
    owner.add_button(frame, 7, text="first", button_event=lambda: pressed.append("first"))
    first = button(owner, 7)
    owner.add_button(frame, "7", text="second", button_event=lambda: pressed.append("second"))

    assert list(owner.button_data) == ["7"]
    assert owner.cget(7, "text") == "second"
    # The replaced button stays on screen and keeps working; it just has no name.
    assert first.winfo_exists() and first is not button(owner, "7")
    first.invoke()
    button(owner, 7).invoke()
    assert pressed == ["first", "second"]


def test_all_fifteen_parameters_in_order(Set_Button: Any, frame: Any, picture: str) -> None:
    import customtkinter

    owner = Set_Button()
    pressed: list[int] = []
    font = customtkinter.CTkFont(family="Arial", size=11)
    owner.add_button(frame, "p", None, (30, 30), "go", 2, 3, 4, (5, 6), "sw", 9, lambda: pressed.append(1),
                     "red", 44, font)
    b = button(owner, "p")
    assert (b.cget("text"), b.cget("corner_radius"), b.cget("width"), b.cget("font")) == ("go", 9, 44, font)
    info = b.grid_info()
    assert (info["row"], info["column"], info["padx"], info["pady"], info["sticky"]) == (2, 3, 4, (5, 6), "sw")
    b.invoke()
    assert pressed == [1]

    owner.add_button(frame, "i", picture, (30, 30), "go", 0, 0, None, None, "ne", 6, None, "red", 44)
    record = owner.button_data["i"]
    assert list(record) == ["CTkImage", "CTkButton"]
    assert record["CTkImage"].cget("size") == (30, 30)
    assert record["CTkButton"].cget("image") is record["CTkImage"]
    assert record["CTkButton"].cget("fg_color") == "red"


def test_image_and_text_buttons_pass_only_their_own_options(
    Set_Button: Any, frame: Any, picture: str, recorded: list[tuple[str, dict[str, Any]]]
) -> None:
    import customtkinter

    owner = Set_Button()
    font = customtkinter.CTkFont(size=30)
    owner.add_button(frame, "image", image_path=picture, size=(25, 25), text="t", fg_color="transparent", font=font)
    owner.add_button(frame, "text", size=(99, 99), text="t", fg_color="red", font=font)

    made = [options for what, options in recorded if what == "CTkButton"]
    assert sorted(made[0]) == sorted(["image", "text", "command", "width", "fg_color", "corner_radius"])
    assert made[0]["fg_color"] == "transparent"
    assert sorted(made[1]) == sorted(["text", "command", "width", "corner_radius", "font"])
    assert made[1]["font"] is font
    # Both modes show the picture, each from its own opened file.
    image = owner.button_data["image"]["CTkImage"]
    assert image.cget("size") == (25, 25)
    assert image.cget("light_image") is not image.cget("dark_image")
    assert "CTkImage" not in owner.button_data["text"]


@pytest.mark.parametrize(
    "padx, pady, passed",
    [
        (None, None, {"row": 1, "column": 2, "sticky": "ne"}),
        ((207.6, 55), None, {"row": 1, "column": 2, "padx": (207.6, 55), "sticky": "ne"}),
        (None, 4, {"row": 1, "column": 2, "pady": 4, "sticky": "ne"}),
        (0, (1, 2), {"row": 1, "column": 2, "padx": 0, "pady": (1, 2), "sticky": "ne"}),
    ],
)
def test_grid_gets_padding_only_when_given(
    Set_Button: Any, frame: Any, recorded: list[tuple[str, dict[str, Any]]], padx: Any, pady: Any,
    passed: dict[str, Any]
) -> None:
    owner = Set_Button()
    owner.add_button(frame, "b", row=1, column=2, padx=padx, pady=pady)
    grids = [options for what, options in recorded if what == "grid"]
    assert grids == [passed]
    assert list(grids[0]) == list(passed)


def test_configure_changes_text_before_state(Set_Button: Any, frame: Any) -> None:
    owner = Set_Button()
    owner.add_button(frame, "a", text="old")

    owner.configure("a", text="x", state="disabled")
    assert (owner.cget("a", "text"), owner.cget("a", "state")) == ("x", "normal")

    owner.configure("a", text=5)
    assert owner.cget("a", "text") == "5"

    owner.configure("a", state="disabled")
    assert (owner.cget("a", "text"), owner.cget("a", "state")) == ("5", "disabled")

    owner.configure("a")
    assert (owner.cget("a", "text"), owner.cget("a", "state")) == ("5", "disabled")


def test_an_unreadable_image_leaves_an_empty_record_and_no_button(
    Set_Button: Any, frame: Any, tmp_path: Path
) -> None:
    not_a_picture = tmp_path / "notes.png"
    not_a_picture.write_text("not a picture")
    owner = Set_Button()
    before = frame.winfo_children()

    with pytest.raises(UnidentifiedImageError):
        owner.add_button(frame, "bad", image_path=str(not_a_picture))
    with pytest.raises(FileNotFoundError):
        owner.add_button(frame, "gone", image_path=str(tmp_path / "gone.png"))

    assert owner.button_data == {"bad": {}, "gone": {}}
    assert frame.winfo_children() == before
    with pytest.raises(KeyError, match="CTkButton"):
        owner.cget("bad", "text")
    with pytest.raises(KeyError, match="CTkButton"):
        owner.configure("bad", text="x")


def test_unknown_names_and_options(Set_Button: Any, frame: Any) -> None:
    owner = Set_Button()
    owner.add_button(frame, "a")
    with pytest.raises(KeyError):
        owner.cget("b", "text")
    with pytest.raises(KeyError):
        owner.configure("b", state="disabled")
    with pytest.raises(ValueError):  # the toolkit's own error for an unknown option
        owner.cget("a", "no_such_option")
    with pytest.raises(TypeError):
        owner.cget("a")
