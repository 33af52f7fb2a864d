"""Varnholt's shared modules: the Loomkit widget kit, the Scrivet document filler,
the Faultlog handler wrapper and the Folioprint converter.

`Loomkit` and `Faultlog` at package level are the classes, not the submodules.
Loomkit is loaded on first use only: it needs a display (pyautogui reads the
screen size), and a program that only fills documents may have none.
"""

import sys
import types
from typing import TYPE_CHECKING

from .Faultlog import Faultlog

if TYPE_CHECKING:
    from .Loomkit import Loomkit as Loomkit

__all__ = ["Loomkit", "Faultlog"]

# Names whose package attribute is the class of the same name in the submodule.
_CLASS_OF_SUBMODULE = ("Loomkit", "Faultlog")


class _Package(types.ModuleType):
    def __getattr__(self, name: str) -> object:
        if name == "Loomkit":
            from .Loomkit import Loomkit

            return Loomkit
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r}")

    def __setattr__(self, name: str, value: object) -> None:
        # The import system binds a freshly loaded submodule on its package;
        # keep the class there instead.
        if name in _CLASS_OF_SUBMODULE and isinstance(value, types.ModuleType):
            value = getattr(value, name)
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
