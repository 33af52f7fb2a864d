"""The widget kit: a container class holding the kit's widget classes."""

import calendar as calendar
import os
import random as random
import string as string
import threading
import time as time
import tkinter as tkinter
from datetime import datetime as datetime
from typing import Any, Callable, Literal, Sequence, overload

import customtkinter as customtkinter
import customtkinter as ctk
import pyautogui as pyautogui
from PIL import Image as Image

class Loomkit:
    __version__: str
    def __init__(self) -> None: ...

    class CTkCalendar(ctk.CTkFrame):
        """Calendar widget to display certain month, each day is rendered as Label.
        If you do not define today_fg_color and today_text_color it will be rendered as other days"""

        data: dict[str, Any]
        calendar_button: bool
        today: tuple[int, int, int]
        day: int
        month: int
        year: int
        month_label: ctk.StringVar
        year_label: ctk.IntVar
        content_frame: ctk.CTkFrame
        today_fg_color: Any
        today_text_color: Any
        title_bar_fg_color: Any
        title_bar_border_width: Any
        title_bar_border_color: Any
        title_bar_corner_radius: Any
        title_bar_text_color: Any
        title_bar_button_fg_color: Any
        title_bar_button_hover_color: Any
        title_bar_button_text_color: Any
        title_bar_button_border_width: Any
        title_bar_button_border_color: Any
        calendar_fg_color: Any
        calendar_border_width: Any
        calendar_border_color: Any
        calendar_corner_radius: Any
        calendar_text_color: Any
        calendar_text_fg_color: Any
        calendar_label_pad: Any
        def __init__(
            self,
            master: Any,
            today_fg_color: Any = None,
            today_text_color: Any = None,
            width: int = 250,
            height: int = 250,
            fg_color: Any = None,
            corner_radius: int = 8,
            border_width: Any = None,
            border_color: Any = None,
            bg_color: Any = "transparent",
            background_corner_colors: Any = None,
            title_bar_fg_color: Any = None,
            title_bar_border_width: Any = None,
            title_bar_border_color: Any = None,
            title_bar_corner_radius: Any = None,
            title_bar_text_color: Any = None,
            title_bar_button_fg_color: Any = None,
            title_bar_button_hover_color: Any = None,
            title_bar_button_text_color: Any = None,
            title_bar_button_border_width: Any = None,
            title_bar_button_border_color: Any = None,
            calendar_fg_color: Any = None,
            calendar_border_width: Any = None,
            calendar_border_color: Any = None,
            calendar_corner_radius: Any = None,
            calendar_text_color: Any = None,
            calendar_text_fg_color: Any = None,
            calendar_label_pad: Any = 1,
            calendar_button: bool = False,
        ) -> None: ...
        def setup_header_frame(self) -> None: ...
        def create_calendar_frame(self) -> None: ...
        def change_month(self, amount: int) -> None: ...
        def current_date(self) -> tuple[int, int, int]: ...
        def date_is_today(self, date: tuple[int, int, int]) -> bool: ...
        def set_day(self, yy: Any, mm: Any, dd: Any) -> None: ...
        def get_day(self) -> dict[str, Any]: ...
        def setup_label_normal(self, frame: Any, day: int, row: int, column: int) -> None: ...

    class Chart_Matplotlib:
        Figure: Any
        np: Any
        FigureCanvasTkAgg: Any
        frame: Any
        canvas: dict[str, Any]
        fig: dict[str, Any]
        ax: dict[str, Any]
        row: int
        row_name: dict[str, int]
        invert_xaxis: dict[str, bool]
        ylim: dict[str, Any]
        def __init__(self, frame: Any) -> None: ...
        def add(
            self,
            x: Sequence[float] | Any,
            y: Sequence[float] | Any,
            *,
            name: str = ...,
            Lx: float | None = None,
            Ly: float | None = None,
            dpi: float = 100,
            facecolor: str = "#2b2b2b",
            line_color: str = "#2b2b2b",
            bottom: float = 0.3,
            invert_xaxis: bool = False,
            ylim: tuple[float, float] | None = None,
            **kwargs: Any,
        ) -> None: ...
        def update(self, x: Sequence[float] | Any, y: Sequence[float] | Any, name: Any = None) -> None: ...
        def test(
            self,
            Lx: float | None = None,
            Ly: float | None = None,
            dpi: float = 100,
            facecolor: str = "#2b2b2b",
            line_color: str = "#3B8ED0",
            bottom: float = 0.3,
        ) -> None: ...

    class Entry_Table:
        entry_name: dict[str, list[Any]]
        entry_x_init: int
        entry_x: float
        frame: Any
        entry: dict[str, list[Any]]
        N: int
        default_value_get: dict[str, list[str]]
        name_to_random_string: dict[str, str]
        def __init__(self, frame: Any) -> None: ...
        def random_string(self, length: int = 20) -> str: ...
        def add_entry_name(
            self, name: Any, width: Any, state: str = "normal", math_calculate_multiplication: list[Any] = ...
        ) -> None: ...
        def add_table(self, n: int, serial_number: bool = True) -> None: ...
        def delete_all(self) -> None: ...
        def get(self) -> list[list[str]]: ...
        def update(self) -> None: ...
        def set_text(self, name: Any, y: int, text: Any, default_value: bool = False) -> None: ...
        def set_title_text(self, name: Any, new_name: Any) -> None: ...

    class Set_Table:
        entry_name: dict[str, list[Any]]
        entry_x_init: int
        entry_x: int
        entry_y_init: int
        entry_y: int
        frame: Any
        entry: dict[str, Any]
        N: int
        width_unit: int
        def __init__(self, frame: Any) -> None: ...
        def add_entry_name(
            self, name: Any, state: str = "normal", math_calculate_multiplication: list[Any] = ..., text: str = ""
        ) -> None: ...
        def get(self, name: Any) -> str: ...
        def delete_all(self) -> None: ...
        def set(self, name: Any, text: Any) -> None: ...

    class Set_Button:
        button_data: dict[str, dict[str, Any]]
        def __init__(self) -> None: ...
        def add_button(
            self,
            frame: Any,
            button_name: Any = None,
            image_path: str | None = None,
            size: tuple[int, int] = (20, 20),
            text: str = "",
            row: int = 0,
            column: int = 0,
            padx: Any = None,
            pady: Any = None,
            sticky: str = "ne",
            corner_radius: int = 6,
            button_event: Callable[[], Any] | None = None,
            fg_color: Any = "#2b2b2b",
            width: int = 20,
            font: Any = None,
        ) -> None: ...
        def cget(self, button_name: Any, data: Any) -> Any: ...
        def configure(self, button_name: Any, text: Any = None, state: Any = None) -> None: ...

    def many_days(self, year: Any, month: Any) -> int: ...

    class Draw_Map:
        """The map of GPX tracks. Its tiles come from `default_tile_server`
        (OpenStreetMap's), or from `set_tile_source`, or whatever server
        `map_widget.set_tile_server(...)` names; they are kept on disk in the
        user's cache folder, at most two requests at a time are sent, and
        the source's attribution shows at the bottom right."""

        frame: Any
        map_widget: Any
        lock_draw_line: threading.Lock
        gpxpy: Any
        threading: Any
        math: Any
        # Read by every new map.
        default_tile_server: str
        # Set on the class or on one map; read as the map loads tiles.
        application_name: str | None
        """Your program's name for the tile servers ("MyTool/1.2 (+https://...)");
        None sends "Trailmere/<version> (+<project page>)"."""
        attribution: str | None
        """The credit shown on the map; None shows the source's own."""
        tile_cache_size: int
        """Bytes of tiles kept on disk (shared by all maps of the user); 0 keeps none."""
        def __init__(self, frame: Any) -> None: ...
        def set_tile_source(self, source: str | os.PathLike[str]) -> None:
            """A tile address with {z}, {x} and {y}, or an MBTiles file; ValueError says what is wrong."""
        @staticmethod
        def check_tile_source(source: str | os.PathLike[str]) -> None:
            """Raises ValueError saying what is wrong with a tile source."""
        def draw_gpx(self, data_path: str, **kwargs: Any) -> None: ...
        def _draw_gpx(self, data_path: str, adapt_sizes: Any, **kwargs: Any) -> None: ...
        def delete_all_path(self) -> None: ...
        @overload
        def _read_lines(self, data_path: str, reader: None = None) -> list[list[tuple[float, float]]]: ...
        @overload
        def _read_lines(self, data_path: str, reader: Literal["exact"]) -> list[list[tuple[float, float]]]: ...
        @overload
        def _read_lines(self, data_path: str, reader: Literal["scanner"]) -> list[list[tuple[float, float]]] | None: ...
