"""Month calendar: the displayed month, its day grid, picking a day."""

from __future__ import annotations

import datetime as _dt
from typing import Any

import customtkinter
import pytest

from conftest import loomkit_module

BUTTONS = "日曆按鈕"
PICKED = "設定日期"


@pytest.fixture
def today(monkeypatch: pytest.MonkeyPatch) -> Any:
    """Fixes the calendar's idea of now; call with (year, month, day)."""

    def fix(year: int, month: int, day: int) -> None:
        class FixedNow(_dt.datetime):
            @classmethod
            def now(cls, tz: Any = None) -> Any:
                return _dt.datetime(year, month, day, 9, 30, 15, 123456)

        monkeypatch.setattr(loomkit_module(), "datetime", FixedNow)

    fix(2025, 1, 4)
    return fix


def grid_frame(cal: Any) -> Any:
    """The day grid on top: the most recently made frame in the content frame."""
    frames = [w for w in cal.content_frame.winfo_children() if w.place_info().get("anchor") == "s"]
    return frames[-1]


def cells(cal: Any) -> dict[tuple[int, int], Any]:
    out = {}
    for w in grid_frame(cal).grid_slaves():
        info = w.grid_info()
        out[(int(info["row"]), int(info["column"]))] = w
    return out


def header_button(cal: Any, text: str) -> Any:
    header = [w for w in cal.content_frame.winfo_children() if w.place_info().get("anchor") == "n"][0]
    return [w for w in header.winfo_children() if isinstance(w, customtkinter.CTkButton) and w.cget("text") == text][0]


def show(cal: Any, year: int, month: int) -> None:
    cal.year = year
    cal.month = month
    cal.change_month(0)


def test_class_shape_and_constructor(Loomkit: Any, frame: Any, today: Any) -> None:
    cls = Loomkit.CTkCalendar
    assert issubclass(cls, customtkinter.CTkFrame)
    assert cls.__qualname__ == "Loomkit.CTkCalendar"
    assert "Calendar widget to display certain month, each day is rendered as Label." in cls.__doc__
    assert "If you do not define today_fg_color and today_text_color it will be rendered as other days" in cls.__doc__

    cal = cls(frame, None, None, 300, 280, "#101010", 30, 3, "#202020", "transparent", None, "#303030",
              1, "#404040", 4, "t1", "#505050", "#606060", "t2", 2, "#707070", "#808080", 5, "#909090", 6,
              "#a0a0a0", "#b0b0b0", 2, False)
    assert cal.title_bar_text_color == "t1" and cal.title_bar_button_text_color == "t2"
    assert cal.calendar_text_fg_color == "#b0b0b0" and cal.calendar_label_pad == 2
    assert cal.calendar_button is False
    # Frame-only options reach the frame and are not kept as attributes.
    assert cal.cget("corner_radius") == 30 and cal.cget("border_width") == 3
    assert cal.cget("fg_color") == "#101010" and cal.cget("width") == 300
    for name in ("width", "height", "fg_color", "corner_radius", "border_width", "border_color", "bg_color"):
        assert name not in vars(cal)
    assert cal.content_frame.cget("width") == 300 and cal.content_frame.cget("height") == 280
    assert cal.content_frame.pack_info()["padx"] == 10  # corner_radius / 3

    with pytest.raises(TypeError):
        cls(frame, *([None] * 29))  # 31 positional arguments counting self
    with pytest.raises(TypeError):
        cls()


def test_starts_on_today_with_its_names(Loomkit: Any, frame: Any, today: Any) -> None:
    cal = Loomkit.CTkCalendar(frame)
    assert cal.today == (4, 1, 2025)
    assert (cal.day, cal.month, cal.year) == (4, 1, 2025)
    assert cal.data == {BUTTONS: {}}
    assert cal.month_label.get() == "January" and cal.year_label.get() == 2025
    assert cal.current_date() == (4, 1, 2025)
    assert cal.date_is_today((4, 1, 2025)) is True
    assert cal.date_is_today((4, 1, 2024)) is False and cal.date_is_today((5, 1, 2025)) is False


def test_title_bar_arrows_wrap_the_year(Loomkit: Any, frame: Any, today: Any) -> None:
    cal = Loomkit.CTkCalendar(frame)
    cal.day = 17
    header_button(cal, "<").invoke()
    assert (cal.month, cal.year, cal.day) == (12, 2024, 1)
    assert cal.month_label.get() == "December" and cal.year_label.get() == 2024
    cal.day = 9
    header_button(cal, ">").invoke()
    assert (cal.month, cal.year, cal.day) == (1, 2025, 1)
    cal.day = 9
    header_button(cal, ">").invoke()
    assert (cal.month, cal.year, cal.day) == (2, 2025, 9)  # no wrap, day untouched

    show(cal, 2025, 10)
    cal.change_month(5)  # clamps to January, not March
    assert (cal.month, cal.year) == (1, 2026)
    font = header_button(cal, "<").cget("font")
    assert (font.cget("family"), font.cget("size"), font.cget("weight")) == ("Arial", 11, "bold")


@pytest.mark.parametrize(
    "year, month, weeks, first_cell",
    [(2026, 8, 6, (0, 5)), (2021, 2, 4, (0, 0)), (2025, 1, 5, (0, 2))],
)
def test_grid_has_one_row_per_week_and_no_blank_cells(
    Loomkit: Any, frame: Any, today: Any, year: int, month: int, weeks: int, first_cell: tuple[int, int]
) -> None:
    cal = Loomkit.CTkCalendar(frame)
    show(cal, year, month)
    frame.update()
    grid = cells(cal)
    days = sorted(int(w.cget("text")) for w in grid.values())
    assert days == list(range(1, len(days) + 1)) and len(days) in (28, 31)
    assert max(r for r, _ in grid) == weeks - 1
    assert grid_frame(cal).grid_size() == (7, weeks)
    assert grid[first_cell].cget("text") == "1"
    assert all(pos >= first_cell for pos in grid)  # days before the 1st stay empty
    assert all(isinstance(w, customtkinter.CTkLabel) for w in grid.values())


def test_today_is_highlighted_only_in_its_own_month(Loomkit: Any, frame: Any, today: Any) -> None:
    cal = Loomkit.CTkCalendar(frame, today_fg_color="#aa0000", today_text_color="#00ff00", calendar_button=True)
    fourth = cells(cal)[(0, 5)]
    assert isinstance(fourth, customtkinter.CTkLabel) and fourth.cget("fg_color") == "#aa0000"
    assert fourth.cget("text_color") == "#00ff00"
    assert "2025-1-4" not in cal.data[BUTTONS] and "2025-1-5" in cal.data[BUTTONS]

    cal.change_month(12)
    assert (cal.month, cal.year) == (1, 2026)
    assert "2026-1-4" in cal.data[BUTTONS]  # same day, other year: an ordinary button

    plain = Loomkit.CTkCalendar(frame, calendar_button=True)
    assert "2025-1-4" in plain.data[BUTTONS]


def test_picking_a_day_marks_it_and_prints_the_date(
    Loomkit: Any, frame: Any, today: Any, capsys: pytest.CaptureFixture[str]
) -> None:
    cal = Loomkit.CTkCalendar(frame, calendar_button=True)
    buttons = cal.data[BUTTONS]
    assert sorted(buttons, key=lambda k: int(k.split("-")[2])) == [f"2025-1-{d}" for d in range(1, 32)]
    with pytest.raises(KeyError):
        cal.get_day()

    buttons["2025-1-4"].invoke()
    assert capsys.readouterr().out == "{'年': 2025, '月': 1, '日': 4}\n"
    assert buttons["2025-1-4"].cget("fg_color") == "#9D9D9D"
    picked = cal.get_day()
    assert picked == {"年": 2025, "月": 1, "日": 4} and list(picked) == ["年", "月", "日"]
    assert picked is cal.data[PICKED] and cal.get_day() is picked

    buttons["2025-1-20"].invoke()
    assert buttons["2025-1-4"].cget("fg_color") == "#2b2b2b"
    assert buttons["2025-1-20"].cget("fg_color") == "#9D9D9D"
    assert cal.get_day() is not picked and picked["日"] == 4

    cal.change_month(1)
    assert all(b.cget("fg_color") == "#2b2b2b" for b in cal.data[BUTTONS].values())
    assert set(cal.data[BUTTONS]) == {f"2025-2-{d}" for d in range(1, 29)}
    assert cal.get_day()["日"] == 20  # the pick outlives the month change
    cal.data[BUTTONS]["2025-2-10"].invoke()
    assert cal.get_day() == {"年": 2025, "月": 2, "日": 10}


def test_day_button_reads_the_month_when_clicked(Loomkit: Any, frame: Any, today: Any) -> None:
    cal = Loomkit.CTkCalendar(frame, calendar_button=True)
    command = cal.data[BUTTONS]["2025-1-7"].cget("command")
    cal.month = 3  # shown month changed without a rebuild: the old button's key no longer matches
    with pytest.raises(KeyError):
        command()
    assert cal.get_day() == {"年": 2025, "月": 3, "日": 7}


def test_failures_after_printing(Loomkit: Any, frame: Any, today: Any, capsys: pytest.CaptureFixture[str]) -> None:
    cal = Loomkit.CTkCalendar(frame, calendar_button=True)
    cal.data[BUTTONS]["2025-1-8"].invoke()
    capsys.readouterr()
    with pytest.raises(KeyError, match="2025-01-04"):
        cal.set_day("2025", "01", "04")  # keys carry no leading zeros
    assert capsys.readouterr().out == "{'年': '2025', '月': '01', '日': '04'}\n"
    assert cal.get_day() == {"年": "2025", "月": "01", "日": "04"}
    assert cal.data[BUTTONS]["2025-1-8"].cget("fg_color") == "#2b2b2b"

    labels = Loomkit.CTkCalendar(frame)
    with pytest.raises(KeyError):
        labels.set_day(2025, 1, 4)
    assert labels.get_day() == {"年": 2025, "月": 1, "日": 4}

    class Triple(tuple):  # type: ignore[type-arg]
        pass

    for wrong in ([4, 1, 2025], None, Triple((4, 1, 2025))):
        with pytest.raises(TypeError, match="date.*tuple"):
            cal.date_is_today(wrong)
    with pytest.raises(IndexError):
        cal.date_is_today((4, 1))
