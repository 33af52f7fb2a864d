#include "gui/gui.hpp"
#include "gui/messages.hpp"

namespace gui {

namespace {

// " ".join(str(error).split()): a message on one line.
py::str one_line(const py::error_already_set& error) {
    return py::str(" ").attr("join")(py::str(error.value()).attr("split")());
}

void say(py::handle data_path, py::handle reason) {
    // One write, so that lines from workers finishing together stay whole.
    glue::print(py::str("{}: {}\n").format(data_path, reason), "end"_a = "", "flush"_a = true);
}

// The map's own _draw_gpx on its worker, then a word on a file it drew nothing for.
void draw_or_say_why(py::object draw_gpx, py::object data_path, py::object adapt_sizes, py::kwargs kwargs) {
    try {
        draw_gpx(data_path, adapt_sizes, **kwargs);
    } catch (py::error_already_set& e) {
        // A RuntimeError is the map's (closed before the track was drawn), not the file's.
        if (!e.matches(PyExc_Exception) || (e.matches(PyExc_RuntimeError) && !e.matches(PyExc_RecursionError)))
            throw;
        py::object reason = why_nothing_is_drawn(data_path);
        if (reason.is_none()) throw;
        say(data_path, reason);
        return;
    }
    // Skipped by name: nothing was read.
    if (PyUnicode_Check(data_path.ptr()) && !glue::ends_with_ignoring_case(data_path, ".gpx"))
        say(data_path, why_nothing_is_drawn(data_path));
}

}  // namespace

py::object why_nothing_is_drawn(py::object data_path) {
    if (glue::truthy(G("os").attr("path").attr("isdir")(data_path))) return py::str(messages::kFolder);
    if (!glue::ends_with_ignoring_case(data_path, ".gpx")) return py::str(messages::kNotGpxName);
    py::object gpx;
    try {
        py::object file = glue::builtin("open")(data_path, "encoding"_a = "utf-8");
        auto close = glue::on_exit([&] { file.attr("close")(); });
        gpx = glue::import_module("gpxpy").attr("parse")(file);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (e.matches(PyExc_OSError)) {
            py::object text = e.value().attr("strerror");
            return py::str(messages::kCannotRead) + (text.is_none() ? one_line(e) : py::str(text));
        }
        return py::str(messages::kNotGpx) + one_line(e);  // gpxpy's own errors, text that is not UTF-8
    }
    py::object tracks = gpx.attr("tracks");
    if (!glue::truthy(tracks)) {
        if (glue::truthy(gpx.attr("routes")) || glue::truthy(gpx.attr("waypoints")))
            return py::str(messages::kOnlyRoutes);
        return py::str(messages::kNothingAtAll);
    }
    for (py::handle track : tracks) {
        for (py::handle segment : track.attr("segments")) {
            if (!glue::truthy(segment.attr("points"))) return py::str(messages::kEmptySegment);
            return py::none();
        }
    }
    return py::str(messages::kNoSegments);
}

void say_why_files_draw_nothing(py::object draw_map) {
    // The map's worker runs `_draw_gpx` as looked up on the map when the
    // worker starts; this map's is the class's own wrapped.
    draw_map.attr("_draw_gpx") = glue::partial(py::cpp_function(&draw_or_say_why), draw_map.attr("_draw_gpx"));
}

}  // namespace gui
