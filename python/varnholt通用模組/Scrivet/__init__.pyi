"""The document filler: fills Word (.docx) templates with formatted text, page
breaks, remark runs and pictures, lists placeholders still present, appends a
patent summary table, and saves as .docx and .pdf."""

import os as os
import xml.etree.ElementTree as ET
from typing import Any, Callable

from docx import Document as Docu
from docx.enum.table import WD_ALIGN_VERTICAL as WD_ALIGN_VERTICAL
from docx.enum.text import WD_BREAK as WD_BREAK
from docx.enum.text import WD_PARAGRAPH_ALIGNMENT as WD_PARAGRAPH_ALIGNMENT
from docx.oxml.ns import qn as qn
from docx.shared import Cm as Cm
from docx.shared import Inches as Inches
from docx.shared import Pt as Pt
from docx.shared import RGBColor as RGBColor
from PIL import Image as Image

from ..Folioprint import Folioprint as Folioprint

XML: Callable[..., ET.Element]

class Scrivet:
    __version__: str
    def __init__(self) -> None: ...

    class Document:
        version_path: dict[str, Any]
        replace_value: dict[str, dict[str, Any]]
        folioprint: Folioprint
        save_path: str
        version: Any
        doc: Any
        name: Any
        check_dict: dict[str, dict[str, list[str]]]
        # The lines execute_set and _add_table printed for what they could not
        # do and went on (a picture, a table, the grid style); emptied when
        # run_version opens a template.
        problems: list[str]
        def __init__(self) -> None: ...
        def set_word_version_path(self, name: Any, path: Any) -> None: ...
        def run_version(self, version: Any, save_path: str = ...) -> None: ...
        def delete(self) -> None: ...
        def output(self, name: str, pdf: Any = False, docx: Any = True) -> None: ...
        def set(self, old_text: Any, new_text: Any, **kwargs: Any) -> None: ...
        def execute_set(self) -> None: ...
        def get_accepted_text(self, p: Any) -> str: ...
        def _get_accepted_text(self, p: Any) -> str: ...
        def show_all_text(self) -> list[str]: ...
        def ttff(self, xml: str | bytes) -> str: ...
        def _add_table(
            self,
            abstract: Any = "",
            PAPN: Any = "",
            title: Any = "",
            rows: int = 4,
            cols: int = 3,
            image_path: Any = None,
        ) -> None: ...
        def show_execute_set(self, specify_range: bool = False) -> None: ...
