#include "loomkit/path_drawing.hpp"

#include "track/projection.hpp"
#include "track/screen_line.hpp"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <vector>

namespace loomkit::map {

namespace {

// A path of ours: its points projected once, and its canvas line.
struct DrawnPath {
    py::object list;  // the position_list projected, to notice a new one
    Py_ssize_t length = -1;
    track::ProjectedPath projected;

    // The canvas line as last built: for a view moved by less than the extra
    // margin it was built with, the line is moved, not rebuilt.
    bool built = false;
    track::View built_for;
    double moved_x = 0, moved_y = 0;  // canvas shift applied since
};

bool read_pair(PyObject* item, double& lat, double& lon) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2 && PyFloat_CheckExact(PyTuple_GET_ITEM(item, 0)) &&
        PyFloat_CheckExact(PyTuple_GET_ITEM(item, 1))) {
        lat = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item, 0));
        lon = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    // Anything else the widget would unpack into two numbers.
    PyObject* pair = PySequence_Tuple(item);
    if (pair == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool ok = PyTuple_GET_SIZE(pair) == 2;
    if (ok) {
        lat = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 0));
        lon = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 1));
        if (PyErr_Occurred()) {
            PyErr_Clear();
            ok = false;
        }
    }
    Py_DECREF(pair);
    return ok;
}

// False for a list the widget could not draw either: it then draws (or
// fails) itself.
bool project_list(py::handle list, DrawnPath& drawn) {
    if (!PyList_Check(list.ptr())) return false;
    Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    drawn.projected.clear();
    drawn.projected.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // PyList_GET_ITEM borrows: a conversion running Python code could
        // change the list under it, so hold the item.
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
        double lat = 0, lon = 0;
        if (!read_pair(item.ptr(), lat, lon)) return false;
        if (!drawn.projected.add({lat, lon})) return false;
        if (PyList_GET_SIZE(list.ptr()) != n) return false;
    }
    drawn.list = py::reinterpret_borrow<py::object>(list);
    drawn.length = n;
    return true;
}

py::list as_list(const std::vector<double>& values) {
    py::list list(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(values[i]));
    return list;
}

double number(py::handle x) { return glue::as_double(x); }

// round(widget.zoom): the zoom level the widget's tile positions are in.
int zoom_of(py::handle widget) { return py::cast<int>(glue::builtin("round")(widget.attr("zoom"))); }

// The widget's own drawing from here on, for a path whose points this
// drawing cannot take. Its move step shifts positions it never kept, so
// the next draw is a full one.
void hand_back(py::object path, py::object move) {
    py::delattr(path, "draw");
    path.attr("last_upper_left_tile_pos") = py::none();
    path.attr("draw")("move"_a = move);
}

// CanvasPath.draw for a path of ours: the same canvas item with the same
// options, the same attributes kept, the same z-order, the points the
// screen needs.
void draw(py::capsule capsule, py::object path, py::object move) {
    DrawnPath& drawn = *capsule.get_pointer<DrawnPath>();
    py::object widget = path.attr("map_widget");
    py::object list = path.attr("position_list");
    Py_ssize_t length = py::len(list);
    if (!list.is(drawn.list) || length != drawn.length) {
        drawn.built = false;
        if (!project_list(list, drawn)) {
            hand_back(path, move);
            return;
        }
    }
    path.attr("last_position_list_length") = py::int_(length);

    py::object upper_left = widget.attr("upper_left_tile_pos");
    py::tuple corner(upper_left), far_corner(widget.attr("lower_right_tile_pos"));
    track::View view;
    view.left = number(corner[0]);
    view.top = number(corner[1]);
    view.right = number(far_corner[0]);
    view.bottom = number(far_corner[1]);
    view.width = number(widget.attr("width"));
    view.height = number(widget.attr("height"));
    view.zoom = zoom_of(widget);
    if (!view.drawable()) {
        hand_back(path, move);  // no view to draw into: the widget's own drawing decides
        return;
    }
    view.margin = number(path.attr("width")) + 2;

    py::object canvas = widget.attr("canvas");
    if (!glue::truthy(path.attr("deleted"))) {
        py::object line = path.attr("canvas_line");
        // A drag only shifts the view: while it stays within the part of the
        // line that was built, Tk moves the line's points itself.
        std::optional<track::Shift> shift;
        if (!line.is_none() && drawn.built) shift = track::line_shift(drawn.built_for, view);
        if (shift) {
            canvas.attr("move")(line, shift->x - drawn.moved_x, shift->y - drawn.moved_y);
            drawn.moved_x = shift->x;
            drawn.moved_y = shift->y;
            widget.attr("manage_z_order")();
            path.attr("last_upper_left_tile_pos") = upper_left;
            return;
        }
        py::list coords = as_list(track::screen_points(drawn.projected, view));
        drawn.built = true;
        drawn.built_for = view;
        drawn.moved_x = drawn.moved_y = 0;
        if (line.is_none()) {
            line = canvas.attr("create_line")(coords, "width"_a = path.attr("width"), "fill"_a = path.attr("path_color"),
                                              "capstyle"_a = "round", "joinstyle"_a = "round", "tag"_a = "path");
            path.attr("canvas_line") = line;
            if (!path.attr("command").is_none()) {
                canvas.attr("tag_bind")(line, "<Enter>", path.attr("mouse_enter"));
                canvas.attr("tag_bind")(line, "<Leave>", path.attr("mouse_leave"));
                canvas.attr("tag_bind")(line, "<Button-1>", path.attr("click"));
            }
        } else {
            canvas.attr("coords")(line, coords);
        }
    } else {
        canvas.attr("delete")(path.attr("canvas_line"));
        path.attr("canvas_line") = py::none();
        drawn.built = false;
    }
    widget.attr("manage_z_order")();
    path.attr("last_upper_left_tile_pos") = upper_left;
}

bool names_include(py::handle function, std::initializer_list<const char*> names) {
    py::object code = py::getattr(function, "__code__", py::none());
    if (code.is_none()) return false;
    py::object have = py::getattr(code, "co_names", py::none());
    if (!py::isinstance<py::tuple>(have)) return false;
    for (const char* name : names)
        if (!have.contains(py::str(name))) return false;
    return true;
}

// The path class set_path makes, when set_path and that class are the ones
// this drawing stands in for; None otherwise.
py::object known_path_class(py::handle set_path, py::handle widget) {
    if (!PyMethod_Check(set_path.ptr()) || PyMethod_GET_SELF(set_path.ptr()) != widget.ptr()) return py::none();
    py::handle function = PyMethod_GET_FUNCTION(set_path.ptr());
    if (!PyFunction_Check(function.ptr())) return py::none();
    // set_path: path = CanvasPath(self, position_list, **kwargs); path.draw();
    // self.canvas_path_list.append(path); return path
    py::object code = function.attr("__code__");
    py::tuple expected = py::make_tuple("CanvasPath", "draw", "canvas_path_list", "append");
    if (!glue::equals(code.attr("co_names"), expected)) return py::none();
    py::object cls = function.attr("__globals__").attr("get")("CanvasPath");
    if (!PyType_Check(cls.ptr())) return py::none();
    py::object draw_function = py::getattr(cls, "draw", py::none());
    py::object position = py::getattr(cls, "get_canvas_pos", py::none());
    py::object delete_function = py::getattr(cls, "delete", py::none());
    if (!names_include(draw_function,
                       {"map_widget", "position_list", "last_position_list_length", "lower_right_tile_pos",
                        "upper_left_tile_pos", "get_canvas_pos", "deleted", "canvas_line", "canvas", "create_line",
                        "coords", "width", "path_color", "command", "manage_z_order", "last_upper_left_tile_pos"}) ||
        !names_include(position, {"decimal_to_osm", "map_widget", "zoom", "upper_left_tile_pos", "width", "height"}) ||
        !names_include(delete_function, {"canvas_path_list", "canvas", "delete", "canvas_line", "deleted"}))
        return py::none();
    return cls;
}

// The widget's own projection gives exactly ours for the first point.
bool same_projection(py::handle cls, py::handle points, const DrawnPath& drawn, py::handle widget) {
    if (drawn.projected.empty()) return true;
    py::object decimal_to_osm = cls.attr("get_canvas_pos").attr("__globals__").attr("get")("decimal_to_osm");
    if (decimal_to_osm.is_none()) return false;
    int zoom = zoom_of(widget);
    py::object first = py::tuple(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(points.ptr(), 0)));
    py::object theirs = decimal_to_osm(first[py::int_(0)], first[py::int_(1)], zoom);
    double scale = std::ldexp(1.0, zoom);
    return number(py::tuple(theirs)[0]) == drawn.projected.x(0) * scale &&
           number(py::tuple(theirs)[1]) == drawn.projected.y(0) * scale;
}

}  // namespace

py::object add_path(py::object set_path, py::object widget, py::object points) {
    py::object cls = known_path_class(set_path, widget);
    auto* drawn = new DrawnPath();
    py::capsule capsule(drawn, [](void* p) { delete static_cast<DrawnPath*>(p); });
    bool ours = !cls.is_none() && project_list(points, *drawn);
    try {
        ours = ours && same_projection(cls, points, *drawn, widget);
    } catch (py::error_already_set&) {
        ours = false;
    }
    if (!ours) return set_path(points);

    py::object path = cls(widget, points);
    // An attribute of this path only: the class, other paths and other maps
    // keep the widget's own drawing.
    path.attr("draw") = glue::partial(py::cpp_function(&draw, py::arg("capsule"), py::arg("path"),
                                                       py::arg("move") = false),
                                      capsule, path);
    path.attr("draw")();
    widget.attr("canvas_path_list").attr("append")(path);
    return path;
}

}  // namespace loomkit::map
