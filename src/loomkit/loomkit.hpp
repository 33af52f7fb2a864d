// Internal interface of the Loomkit extension: each nested class of the
// container is built by its own source file.
#pragma once

#include "glue/glue.hpp"

#include <string>

namespace loomkit {

// The Loomkit module; its globals (customtkinter, pyautogui, ...) are read
// through it on every call.
const glue::Module& module();

inline py::object G(const char* name) { return module()(name); }

// "Loomkit.<name>"
std::string qualname(const char* name);

// The kit's bold title font: a new customtkinter font object per widget.
py::object title_font();

py::object make_ctk_calendar();
py::object make_chart_matplotlib();
py::object make_entry_table();
py::object make_set_table();
py::object make_set_button();
py::object make_draw_map();

}  // namespace loomkit
