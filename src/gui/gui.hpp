// Internal interface of the GUI extension: the module object, the settings
// class, the main function and the handlers behind the button bar.
#pragma once

#include "glue/glue.hpp"

#include <string>
#include <utility>

namespace gui {

// The GUI module; its globals (customtkinter, Draw_Map, ...) are read through
// it on every call, so callers and tests can replace them.
const glue::Module& module();

inline py::object G(const char* name) { return module()(name); }

py::object make_parameters();

void GUI(py::object Queue_All_variable, py::object Event_All_variable);

// A handler of one GUI run: functools.partial of a C++ function over the
// run's objects, named like the nested function it stands for so that the
// fault logger reports it by that name.
template <typename Func, typename... Args>
py::object local_function(const char* name, Func&& f, Args&&... args) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name));
    py::object handler = glue::partial(fn, std::forward<Args>(args)...);
    handler.attr("__name__") = name;
    handler.attr("__qualname__") = std::string("GUI.<locals>.") + name;
    return handler;
}

// The three button actions of one run, unwrapped.
py::object button_event_008();
py::object button_event_010(py::object draw_map);
py::object button_event_011(py::object draw_map);

// Takes the files dropped on a window (tkdnd's list of them, split by the
// window's `tk`) and draws them like button_event_010 does.
py::object drop_handler(py::object tk, py::object draw_map);

// Why the map draws nothing for the file at `data_path`, found by reading it
// as the map does (UTF-8 text through gpxpy, the first segment drawn); None
// when it draws.
py::object why_nothing_is_drawn(py::object data_path);

// Makes the window's map name each file it skips or cannot draw, with the
// reason, in one line on standard output. The file is read again only then.
void say_why_files_draw_nothing(py::object draw_map);

}  // namespace gui
