#include "loomkit/path_drawing.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

namespace loomkit::map {

namespace {

const double kDegreesToRadians = 3.14159265358979323846 / 180.0;  // as math.radians
const double kPi = 3.14159265358979323846;
// Points per block whose bounds are kept, so that a block all merged into
// one point or all out of sight is passed over at once.
const std::size_t kBlock = 64;

// A track projected once: Web Mercator coordinates of the whole world as
// one tile (zoom 0). The widget's tile coordinates at zoom z are these times
// 2**z, exactly, since that product only changes the exponent.
struct Track {
    py::object list;  // the position_list projected, to notice a new one
    Py_ssize_t length = -1;
    std::vector<double> x, y;
    struct Bounds {
        double x0, x1, y0, y1;
    };
    std::vector<Bounds> blocks;  // of each full block

    // The canvas line as last built: for a view moved by less than the
    // extra margin it was built with, the line is moved, not rebuilt.
    bool built = false;
    int zoom = 0;
    double scale_x = 0, scale_y = 0, width = 0, height = 0;
    double left = 0, top = 0;    // view corner (tile units) it was built for
    double moved_x = 0, moved_y = 0;  // canvas shift applied since
};

// decimal_to_osm(lat, lon, 0) as the widget computes it; false where that
// raises (math domain errors) or gives no finite position.
bool project(double lat, double lon, double& x, double& y) {
    if (!std::isfinite(lat) || !std::isfinite(lon)) return false;
    double lat_rad = lat * kDegreesToRadians;
    double inner = std::tan(lat_rad) + (1 / std::cos(lat_rad));
    if (!(inner > 0)) return false;
    x = (lon + 180.0) / 360.0;
    y = (1.0 - std::log(inner) / kPi) / 2.0;
    return std::isfinite(x) && std::isfinite(y);
}

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
bool project_list(py::handle list, Track& track) {
    if (!PyList_Check(list.ptr())) return false;
    Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    track.x.resize(static_cast<std::size_t>(n));
    track.y.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // PyList_GET_ITEM borrows: a conversion running Python code could
        // change the list under it, so hold the item.
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
        double lat = 0, lon = 0;
        if (!read_pair(item.ptr(), lat, lon)) return false;
        if (!project(lat, lon, track.x[static_cast<std::size_t>(i)], track.y[static_cast<std::size_t>(i)]))
            return false;
        if (PyList_GET_SIZE(list.ptr()) != n) return false;
    }
    track.blocks.resize(static_cast<std::size_t>(n) / kBlock);
    for (std::size_t b = 0; b < track.blocks.size(); ++b) {
        std::size_t i = b * kBlock;
        Track::Bounds& bounds = track.blocks[b];
        bounds = {track.x[i], track.x[i], track.y[i], track.y[i]};
        for (std::size_t j = i + 1; j < i + kBlock; ++j) {
            bounds.x0 = std::min(bounds.x0, track.x[j]);
            bounds.x1 = std::max(bounds.x1, track.x[j]);
            bounds.y0 = std::min(bounds.y0, track.y[j]);
            bounds.y1 = std::max(bounds.y1, track.y[j]);
        }
    }
    track.list = py::reinterpret_borrow<py::object>(list);
    track.length = n;
    return true;
}

// Sides of the drawing window a point lies beyond.
int outside(double x, double y, double x0, double y0, double x1, double y1) {
    return (x < x0 ? 1 : 0) | (x > x1 ? 2 : 0) | (y < y0 ? 4 : 0) | (y > y1 ? 8 : 0);
}

// Canvas coordinates of the points the screen needs, flat (x, y, x, y...),
// for the view and `extra` more on each side that a drag may bring in.
// A point on the pixel of the last point kept, or less than half a pixel
// from it, is merged into it: a track that jitters across a pixel border
// does not keep every crossing. A stretch
// of points that all lie beyond one side of the window (the view plus more
// than the line's width) cannot show: only its first and last point are
// kept, and the straight line between them lies beyond that side too. The
// first and the last point are always kept.
std::vector<double> screen_points(const Track& t, double scale, double left, double top, double sx, double sy,
                                  double width, double height, double margin, double extra_x, double extra_y) {
    std::vector<double> out;
    std::size_t n = t.x.size();
    if (n == 0) return out;
    double x0 = -margin - extra_x, y0 = -margin - extra_y, x1 = width + margin + extra_x,
           y1 = height + margin + extra_y;
    auto cx = [&](std::size_t i) { return (t.x[i] * scale - left) * sx; };
    auto cy = [&](std::size_t i) { return (t.y[i] * scale - top) * sy; };

    double kept_x = cx(0), kept_y = cy(0);
    double kept_px = std::floor(kept_x), kept_py = std::floor(kept_y);
    int run_sides = outside(kept_x, kept_y, x0, y0, x1, y1);  // sides shared since the last point kept
    std::size_t kept = 0, pending = 0;                         // pending: last point of a hidden stretch
    bool has_pending = false;
    out.push_back(kept_x);
    out.push_back(kept_y);
    auto keep = [&](std::size_t i, double x, double y) {
        out.push_back(x);
        out.push_back(y);
        kept = i;
        kept_x = x;
        kept_y = y;
        kept_px = std::floor(x);
        kept_py = std::floor(y);
        run_sides = outside(x, y, x0, y0, x1, y1);
        has_pending = false;
    };
    for (std::size_t i = 1; i < n; ++i) {
        if (i % kBlock == 0 && i / kBlock < t.blocks.size()) {
            // The canvas position only grows with the projected one, so a
            // block's bounds bound its points on the canvas too.
            const Track::Bounds& block = t.blocks[i / kBlock];
            std::size_t last = i + kBlock - 1;
            double bx0 = (block.x0 * scale - left) * sx, bx1 = (block.x1 * scale - left) * sx;
            double by0 = (block.y0 * scale - top) * sy, by1 = (block.y1 * scale - top) * sy;
            if (run_sides == 0 && !has_pending && bx0 > kept_x - 0.5 && bx1 < kept_x + 0.5 && by0 > kept_y - 0.5 &&
                by1 < kept_y + 0.5) {
                i = last;  // every point merged into the one kept
                continue;
            }
            int common = (bx1 < x0 ? 1 : 0) | (bx0 > x1 ? 2 : 0) | (by1 < y0 ? 4 : 0) | (by0 > y1 ? 8 : 0);
            if ((run_sides & common) != 0) {
                run_sides &= common;  // a hidden stretch goes on through the block
                pending = last;
                has_pending = true;
                i = last;
                continue;
            }
        }
        double x = cx(i), y = cy(i);
        int sides = outside(x, y, x0, y0, x1, y1);
        // A point that leaves the hidden stretch ends it: its last point is
        // kept, and the point may begin a hidden stretch of its own.
        if ((run_sides & sides) == 0 && has_pending) keep(pending, cx(pending), cy(pending));
        if ((run_sides & sides) != 0) {
            run_sides &= sides;
            pending = i;
            has_pending = true;
            continue;
        }
        if ((std::floor(x) == kept_px && std::floor(y) == kept_py) ||
            (std::fabs(x - kept_x) < 0.5 && std::fabs(y - kept_y) < 0.5))
            continue;
        keep(i, x, y);
    }
    if (kept != n - 1) {
        out.push_back(cx(n - 1));
        out.push_back(cy(n - 1));
    }
    return out;
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
    Track& track = *capsule.get_pointer<Track>();
    py::object widget = path.attr("map_widget");
    py::object list = path.attr("position_list");
    Py_ssize_t length = py::len(list);
    if (!list.is(track.list) || length != track.length) {
        track.built = false;
        if (!project_list(list, track)) {
            hand_back(path, move);
            return;
        }
    }
    path.attr("last_position_list_length") = py::int_(length);

    py::object upper_left = widget.attr("upper_left_tile_pos");
    py::tuple corner(upper_left), far_corner(widget.attr("lower_right_tile_pos"));
    double left = number(corner[0]), top = number(corner[1]);
    double tile_width = number(far_corner[0]) - left;
    double tile_height = number(far_corner[1]) - top;
    double width = number(widget.attr("width")), height = number(widget.attr("height"));
    int zoom = zoom_of(widget);
    if (!(tile_width > 0) || !(tile_height > 0) || !(width > 0) || !(height > 0)) {
        hand_back(path, move);  // no view to draw into: the widget's own drawing decides
        return;
    }
    double margin = number(path.attr("width")) + 2;
    double scale_x = width / tile_width, scale_y = height / tile_height;

    py::object canvas = widget.attr("canvas");
    if (!glue::truthy(path.attr("deleted"))) {
        py::object line = path.attr("canvas_line");
        // A drag only shifts the view: while it stays within the part of the
        // line that was built, Tk moves the line's points itself.
        double shift_x = (track.left - left) * scale_x, shift_y = (track.top - top) * scale_y;
        if (!line.is_none() && track.built && track.zoom == zoom && track.scale_x == scale_x &&
            track.scale_y == scale_y && track.width == width && track.height == height &&
            std::fabs(shift_x) <= width / 2 && std::fabs(shift_y) <= height / 2) {
            canvas.attr("move")(line, shift_x - track.moved_x, shift_y - track.moved_y);
            track.moved_x = shift_x;
            track.moved_y = shift_y;
            widget.attr("manage_z_order")();
            path.attr("last_upper_left_tile_pos") = upper_left;
            return;
        }
        py::list coords = as_list(screen_points(track, std::ldexp(1.0, zoom), left, top, scale_x, scale_y,
                                                width, height, margin, width / 2, height / 2));
        track.built = true;
        track.zoom = zoom;
        track.scale_x = scale_x;
        track.scale_y = scale_y;
        track.width = width;
        track.height = height;
        track.left = left;
        track.top = top;
        track.moved_x = track.moved_y = 0;
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
        track.built = false;
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
bool same_projection(py::handle cls, py::handle points, const Track& track, py::handle widget) {
    if (track.x.empty()) return true;
    py::object decimal_to_osm = cls.attr("get_canvas_pos").attr("__globals__").attr("get")("decimal_to_osm");
    if (decimal_to_osm.is_none()) return false;
    int zoom = zoom_of(widget);
    py::object first = py::tuple(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(points.ptr(), 0)));
    py::object theirs = decimal_to_osm(first[py::int_(0)], first[py::int_(1)], zoom);
    double scale = std::ldexp(1.0, zoom);
    return number(py::tuple(theirs)[0]) == track.x[0] * scale && number(py::tuple(theirs)[1]) == track.y[0] * scale;
}

}  // namespace

py::object add_path(py::object set_path, py::object widget, py::object points) {
    py::object cls = known_path_class(set_path, widget);
    auto* track = new Track();
    py::capsule capsule(track, [](void* p) { delete static_cast<Track*>(p); });
    bool ours = !cls.is_none() && project_list(points, *track);
    try {
        ours = ours && same_projection(cls, points, *track, widget);
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
