// The map's path drawing: a track added to the map as the widget's set_path
// adds it, but projected in C++ and given to the canvas as the screen needs
// it (points that fall on the pixel of the point before merged, stretches
// outside the view shortened), on every redraw of the widget.
#pragma once

#include "glue/glue.hpp"

namespace loomkit::map {

// What `set_path(points)` does, for the bound method `set_path` of `widget`
// (looked up by the caller). When that is the library's own set_path and
// its path class is the one this drawing knows, the path is made and kept
// as set_path makes it (same class, same `position_list`, appended to
// `canvas_path_list`) and drawn natively; otherwise `set_path(points)` is
// called. Returns the path. Call on the Tk thread.
py::object add_path(py::object set_path, py::object widget, py::object points);

}  // namespace loomkit::map
