"""Trailmere, the GPS track viewer: its main window and settings."""

import os as os
import tkinter as tkinter
import webbrowser as webbrowser
from typing import Any, Callable, Mapping

import customtkinter as customtkinter
import pyautogui as pyautogui
from PIL import Image as Image

from varnholt通用模組.Faultlog import Faultlog
from varnholt通用模組.Loomkit import Loomkit

varnholt: Any
loomkit: Loomkit
Set_Button: type[Loomkit.Set_Button]
Draw_Map: type[Loomkit.Draw_Map]
try_except: Faultlog
try_except_log: Callable[[Callable[[], Any]], Callable[[], None]]

class Parameters:
    """The viewer's settings, one object per run."""

    parameters: dict[str, bool | int | str]
    def __init__(self) -> None: ...

def GUI(Queue_All_variable: Mapping[str, Any], Event_All_variable: Mapping[str, Any]) -> None:
    """Opens the Trailmere window and runs it until it is closed, then signals the end of the run
    through Queue_All_variable["end"], Event_All_variable["end"] and the start-data queue."""
