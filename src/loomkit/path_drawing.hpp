// The map's path drawing: a track added to the map as the widget's set_path
// adds it, but projected in C++ and given to the canvas as the screen needs
// it (points that fall on the pixel of the point before merged, stretches
// outside the view shortened, levels of detail for views far out). All
// paths of one map are redrawn in one native pass when the view changes,
// and moved together, as one canvas tag, by a drag.
#pragma once

#include "glue/glue.hpp"

namespace loomkit::map {

// The drawing's work on `points` done ahead, on the worker that read them
// (projection, levels of detail), with the GIL released while it runs; for
// add_path. None where the points are not plain pairs of numbers: the Tk
// thread then sees to them.
py::object prepare_path(py::handle self, py::object points);

// What `set_path(points)` does, for the bound method `set_path` of `widget`
// (looked up by the caller) of the map `self`. When that is the library's
// own set_path and its path class is the one this drawing knows, the path
// is made and kept as set_path makes it (same class, same `position_list`,
// appended to `canvas_path_list`) and drawn natively, from `prepared` when
// that was made for these points; otherwise `set_path(points)` is called.
// Returns the path. Call on the Tk thread.
py::object add_path(py::object self, py::object set_path, py::object widget, py::object points,
                    py::object prepared);

}  // namespace loomkit::map
