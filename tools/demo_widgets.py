"""Demo window of the widget kit: a month calendar, an entry grid, an option
table and two stacked charts.

    python tools/demo_widgets.py               # until the window is closed
    python tools/demo_widgets.py --quit-after 8000   # closes itself (milliseconds)
"""

from __future__ import annotations

import argparse
import math
import os
import tempfile
from pathlib import Path

# Xlib (through pyautogui) refuses to connect without an Xauthority file, even
# to an Xvfb that needs none.
if not os.path.exists(os.environ.get("XAUTHORITY", os.path.expanduser("~/.Xauthority"))):
    os.environ["XAUTHORITY"] = os.path.join(tempfile.gettempdir(), "varnholt-demo.Xauthority")
    Path(os.environ["XAUTHORITY"]).touch()

import customtkinter as ctk  # noqa: E402

from varnholt通用模組.Loomkit import Loomkit  # noqa: E402


def build(root: ctk.CTk) -> None:
    kit = Loomkit()

    left = ctk.CTkFrame(root, fg_color="transparent")
    left.grid(row=0, column=0, sticky="nw", padx=20, pady=20)

    ctk.CTkLabel(left, text="Calendar (buttons, today highlighted)").pack(anchor="w")
    calendar = kit.CTkCalendar(left, today_fg_color="#1f6aa5", today_text_color="white", width=320, height=300,
                               calendar_button=True)
    calendar.pack(anchor="w", pady=(4, 16))

    ctk.CTkLabel(left, text="Option table").pack(anchor="w")
    options_frame = ctk.CTkFrame(left, width=340, height=130)
    options_frame.pack(anchor="w", pady=(4, 0))
    options = kit.Set_Table(options_frame)
    options.add_entry_name("Rider", text="name")
    options.add_entry_name("Bike")
    options.add_entry_name("Read-only", "disabled")
    options.add_entry_name("Wheel (mm)", text="622")
    options.set("Bike", "Gravel 2x11")

    middle = ctk.CTkFrame(root, fg_color="transparent")
    middle.grid(row=0, column=1, sticky="nw", padx=20, pady=20)
    ctk.CTkLabel(middle, text="Entry grid (editable and read-only columns)").pack(anchor="w")
    grid_frame = ctk.CTkFrame(middle, width=560, height=200)
    grid_frame.pack(anchor="w", pady=(4, 0))
    table = kit.Entry_Table(grid_frame)
    table.add_entry_name("Stage", 140)
    table.add_entry_name("Distance", 120)
    table.add_entry_name("Climb", 120, "disabled")
    table.add_entry_name("Time", 120, "disabled")
    table.add_table(5)
    for i, (stage, km, climb, hours) in enumerate(
        [("Coast", 42.5, 310, "1:52"), ("Ridge", 61.0, 1240, "3:40"), ("Valley", 38.2, 420, "1:38")]
    ):
        table.set_text("Stage", i, stage, default_value=True)
        table.entry[table.name_to_random_string["Distance"]][i].insert(0, str(km))
        table.set_text("Climb", i, climb, default_value=True)
        table.set_text("Time", i, hours, default_value=True)

    right = ctk.CTkFrame(root, fg_color="transparent")
    right.grid(row=0, column=2, sticky="nw", padx=20, pady=20)
    ctk.CTkLabel(right, text="Charts").pack(anchor="w")
    charts_frame = ctk.CTkFrame(right, width=520, height=520)
    charts_frame.pack(anchor="w", pady=(4, 0))
    charts = kit.Chart_Matplotlib(charts_frame)
    x = [i / 10 for i in range(101)]
    elevation = [300 + 120 * math.sin(v) + 15 * v for v in x]
    speed = [math.nan] * 8 + [22 + 4 * math.cos(2 * v) for v in x[8:]]
    charts.add(x, elevation, name="elevation", Lx=500, Ly=240, line_color="#3B8ED0")
    charts.add(x, speed, name="speed", Lx=500, Ly=240, line_color="#E0A030", invert_xaxis=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quit-after", type=int, default=0, help="close after this many milliseconds")
    args = parser.parse_args()

    ctk.set_appearance_mode("dark")
    root = ctk.CTk()
    root.title("Widget kit demo")
    root.geometry("1700x760+0+0")
    build(root)
    if args.quit_after:
        root.after(args.quit_after, root.destroy)
    root.mainloop()


if __name__ == "__main__":
    main()
