#include "loomkit/path_drawing.hpp"

#include "loomkit/map_handover.hpp"
#include "track/projection.hpp"
#include "track/screen_line.hpp"

#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <optional>
#include <vector>

namespace loomkit::map {

namespace {

// The canvas tag every line of ours carries besides the widget's "path": a
// drag moves all of them with one canvas call.
const char* const kOurLines = "native_path";

// Pairs read from a list between two chances for other threads to take the
// GIL (well under a millisecond of work).
const Py_ssize_t kPairsPerGilHold = 65536;

// A path of ours: its points projected once, with levels of detail.
struct DrawnPath {
    py::object list;  // the position_list projected, to notice a new one
    Py_ssize_t length = -1;
    track::ProjectedPath projected;
    std::uint64_t pass = 0;  // the map's redraw pass it was last drawn in
};

// The paths of ours on one map. A redraw of the widget calls each path's
// draw; the first call of a redraw draws them all, the others find theirs
// done.
struct Layer {
    std::uint64_t pass = 0;  // counts redraw passes
    track::View view;  // the view of the latest pass
    // Every line of ours on the canvas is its path's screen_points at
    // `built_for`, moved by (moved_x, moved_y) since: a view moved by less
    // than the extra half canvas the lines were built with moves them all.
    bool built = false;
    track::View built_for;
    double moved_x = 0, moved_y = 0;
    bool order_pending = false;  // the canvas order is to be restored at the end of this turn
};

void delete_drawn(void* p) { delete static_cast<DrawnPath*>(p); }

// Attribute names, made once: a redraw looks them up on every path.
struct Names {
    py::handle args, canvas, canvas_line, canvas_path_list, deleted, dict, draw, func, last_position_list_length,
        last_upper_left_tile_pos, lower_right_tile_pos, map_widget, position_list, upper_left_tile_pos, width, height,
        zoom;
};

const Names& names() {
    static const Names* known = [] {
        auto name = [](const char* text) { return py::handle(PyUnicode_InternFromString(text)); };  // kept
        return new Names{name("args"),
                         name("canvas"),
                         name("canvas_line"),
                         name("canvas_path_list"),
                         name("deleted"),
                         name("__dict__"),
                         name("draw"),
                         name("func"),
                         name("last_position_list_length"),
                         name("last_upper_left_tile_pos"),
                         name("lower_right_tile_pos"),
                         name("map_widget"),
                         name("position_list"),
                         name("upper_left_tile_pos"),
                         name("width"),
                         name("height"),
                         name("zoom")};
    }();
    return *known;
}

bool read_pair(PyObject* item, track::LatLon& point) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2 && PyFloat_CheckExact(PyTuple_GET_ITEM(item, 0)) &&
        PyFloat_CheckExact(PyTuple_GET_ITEM(item, 1))) {
        point.lat = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item, 0));
        point.lon = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item, 1));
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
        point.lat = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 0));
        point.lon = PyFloat_AsDouble(PyTuple_GET_ITEM(pair, 1));
        if (PyErr_Occurred()) {
            PyErr_Clear();
            ok = false;
        }
    }
    Py_DECREF(pair);
    return ok;
}

// Whether project_list lets the GIL go while it projects (on a worker), and
// whether the caller is the interpreter's main thread.
struct Pause {
    bool enabled;
    bool main_thread;
};

// Projects `list` into `drawn`, with its levels of detail. False for a list
// the widget could not draw either: it then draws (or fails) itself. With
// `pause`, the points are read in chunks and each is projected without the
// GIL.
bool project_list(py::handle list, DrawnPath& drawn, Pause pause) {
    if (!PyList_Check(list.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    drawn.projected.clear();
    drawn.projected.reserve(static_cast<std::size_t>(n));
    std::vector<track::LatLon> chunk;
    chunk.reserve(static_cast<std::size_t>(std::min(n, kPairsPerGilHold)));
    bool ok = true;
    for (Py_ssize_t begin = 0; ok && begin < n; begin += kPairsPerGilHold) {
        Py_ssize_t end = std::min(n, begin + kPairsPerGilHold);
        chunk.clear();
        for (Py_ssize_t i = begin; i < end; ++i) {
            // PyList_GET_ITEM borrows: a conversion running Python code could
            // change the list under it, so hold the item.
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
            track::LatLon point{};
            if (!read_pair(item.ptr(), point) || PyList_GET_SIZE(list.ptr()) != n) return false;
            chunk.push_back(point);
        }
        auto project = [&] {
            for (const track::LatLon& point : chunk)
                if (!(ok = drawn.projected.add(point))) break;
            if (ok && end == n) drawn.projected.build_levels();
        };
        if (!pause.enabled) {
            project();
            continue;
        }
        std::exception_ptr failure;
        PyThreadState* state = PyEval_SaveThread();
        try {
            project();
        } catch (...) {
            failure = std::current_exception();
        }
        take_gil_back(state, pause.main_thread);
        if (failure) std::rethrow_exception(failure);
        if (PyList_GET_SIZE(list.ptr()) != n) return false;
    }
    if (!ok) return false;
    drawn.list = py::reinterpret_borrow<py::object>(list);
    drawn.length = n;
    return true;
}

double number(py::handle x) { return glue::as_double(x); }

// round(widget.zoom): the zoom level the widget's tile positions are in
// (round half to even, as Python's round).
int zoom_of(py::handle widget) {
    py::object zoom = widget.attr(names().zoom);
    if (PyLong_CheckExact(zoom.ptr())) return py::cast<int>(zoom);
    if (PyFloat_CheckExact(zoom.ptr())) return static_cast<int>(std::nearbyint(PyFloat_AS_DOUBLE(zoom.ptr())));
    return py::cast<int>(glue::builtin("round")(zoom));
}

// The widget's view, and its upper_left_tile_pos as the path keeps it;
// false when there is no view a line can be drawn into.
bool read_view(py::handle widget, track::View& view, py::object& upper_left) {
    const Names& name = names();
    upper_left = widget.attr(name.upper_left_tile_pos);
    py::tuple corner(upper_left), far_corner(widget.attr(name.lower_right_tile_pos));
    view.left = number(corner[0]);
    view.top = number(corner[1]);
    view.right = number(far_corner[0]);
    view.bottom = number(far_corner[1]);
    view.width = number(widget.attr(name.width));
    view.height = number(widget.attr(name.height));
    view.zoom = zoom_of(widget);
    return view.drawable();
}

bool same_view(const track::View& a, const track::View& b) {
    return a.zoom == b.zoom && a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom &&
           a.width == b.width && a.height == b.height;
}

// The widget's own drawing from here on, for a path whose points this
// drawing cannot take. Its move step shifts positions it never kept, so
// the next draw is a full one.
void hand_back(py::handle path, py::handle move) {
    py::object line = path.attr("canvas_line");
    if (!line.is_none()) path.attr("map_widget").attr("canvas").attr("dtag")(line, kOurLines);
    py::delattr(path, "draw");
    path.attr("last_upper_left_tile_pos") = py::none();
    path.attr("draw")("move"_a = move);
}

// The path's position_list projected (again, when it is a new list or its
// length changed); false when this drawing cannot take its points.
bool take_list(py::handle path, DrawnPath& drawn) {
    py::object list = path.attr(names().position_list);
    Py_ssize_t length = py::len(list);
    if (!list.is(drawn.list) || length != drawn.length) {
        drawn.pass = 0;
        if (!project_list(list, drawn, Pause{false, false})) return false;
    }
    path.attr(names().last_position_list_length) = py::int_(length);
    return true;
}

// The canvas calls a redraw makes on every path, looked up once for it.
struct Canvas {
    py::object canvas;
    py::object call;  // the canvas's Tcl interpreter's call
    py::object name;  // the canvas's Tcl command

    explicit Canvas(py::handle widget)
        : canvas(widget.attr(names().canvas)), call(canvas.attr("tk").attr("call")), name(canvas.attr("_w")) {}
};

// CanvasPath.draw's canvas work for one path of ours: the same canvas item
// with the same options, the points the screen needs at the lines' view.
void draw_line(const Layer& layer, const DrawnPath& drawn, py::handle path, const Canvas& on) {
    const Names& name = names();
    py::handle canvas = on.canvas;
    if (glue::truthy(path.attr(name.deleted))) {
        canvas.attr("delete")(path.attr(name.canvas_line));
        path.attr(name.canvas_line) = py::none();
        return;
    }
    track::View at = layer.built_for;
    at.margin = number(path.attr(name.width)) + 2;
    std::vector<double> points = track::screen_points(drawn.projected, at);
    py::tuple coords(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        double shifted = points[i] + (i % 2 == 0 ? layer.moved_x : layer.moved_y);
        PyTuple_SET_ITEM(coords.ptr(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(shifted));
    }
    py::object line = path.attr(name.canvas_line);
    if (line.is_none()) {
        line = canvas.attr("create_line")(coords, "width"_a = path.attr(name.width), "fill"_a = path.attr("path_color"),
                                          "capstyle"_a = "round", "joinstyle"_a = "round",
                                          "tags"_a = py::make_tuple("path", kOurLines));
        path.attr(name.canvas_line) = line;
        if (!path.attr("command").is_none()) {
            canvas.attr("tag_bind")(line, "<Enter>", path.attr("mouse_enter"));
            canvas.attr("tag_bind")(line, "<Leave>", path.attr("mouse_leave"));
            canvas.attr("tag_bind")(line, "<Button-1>", path.attr("click"));
        }
    } else {
        // Straight to Tcl: the canvas's Python method would flatten and
        // parse what this call neither needs nor returns.
        on.call(on.name, "coords", line, coords);
    }
}

void draw(py::capsule layer_capsule, py::capsule drawn_capsule, py::object path_ref, py::object move);

// The draw function every path of ours is given (with its layer, its
// drawing and a weak reference to itself), made once.
py::handle draw_function() {
    static py::object* function = new py::object(py::cpp_function(
        &draw, py::arg("layer"), py::arg("drawn"), py::arg("path_ref"), py::arg("move") = false));  // lives as long as the process
    return *function;
}

// The drawing of `path` when it is one of ours on `layer_capsule`'s map;
// null otherwise (a caller's own path, or one handed back to the widget).
DrawnPath* ours(py::handle path, py::handle layer_capsule) {
    static py::handle partial_type = glue::import_from("functools", "partial").release();  // a type: kept
    const Names& name = names();
    py::object attributes = py::getattr(path, name.dict, py::none());
    if (!PyDict_Check(attributes.ptr())) return nullptr;
    PyObject* drawing = PyDict_GetItemWithError(attributes.ptr(), name.draw.ptr());
    if (drawing == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (Py_TYPE(drawing) != reinterpret_cast<PyTypeObject*>(partial_type.ptr())) return nullptr;
    py::handle partial(drawing);
    if (partial.attr(name.func).ptr() != draw_function().ptr()) return nullptr;
    py::tuple args = partial.attr(name.args);
    if (args.size() < 2 || args[0].ptr() != layer_capsule.ptr()) return nullptr;
    return py::reinterpret_borrow<py::capsule>(args[1]).get_pointer<DrawnPath>();
}

// Draws every path of ours in the widget's path list for `view`: all moved
// together when the view only moved, else each built anew.
void redraw_all(Layer& layer, py::handle layer_capsule, py::handle widget, const track::View& view,
                py::handle upper_left, py::handle move) {
    const Names& name = names();
    Canvas canvas(widget);
    std::optional<track::Shift> shift;
    if (layer.built) shift = track::line_shift(layer.built_for, view);
    if (shift) {
        double dx = shift->x - layer.moved_x, dy = shift->y - layer.moved_y;
        if (dx != 0 || dy != 0) canvas.call(canvas.name, "move", kOurLines, dx, dy);
        layer.moved_x = shift->x;
        layer.moved_y = shift->y;
    } else {
        layer.built = true;
        layer.built_for = view;
        layer.moved_x = layer.moved_y = 0;
    }
    layer.view = view;
    ++layer.pass;

    bool any = false;
    // A copy: drawing runs Python code, which could change the list.
    py::list paths = py::reinterpret_steal<py::list>(PySequence_List(widget.attr(name.canvas_path_list).ptr()));
    if (!paths) throw py::error_already_set();
    for (py::handle path : paths) {
        DrawnPath* drawn = ours(path, layer_capsule);
        if (drawn == nullptr) continue;
        if (!take_list(path, *drawn)) {
            hand_back(path, move);
            continue;
        }
        bool new_points = drawn->pass == 0;  // new to the map, or projected again
        if (!shift || new_points || path.attr(name.canvas_line).is_none() || glue::truthy(path.attr(name.deleted)))
            draw_line(layer, *drawn, path, canvas);
        drawn->pass = layer.pass;
        path.attr(name.last_upper_left_tile_pos) = upper_left;
        any = true;
    }
    if (any) widget.attr("manage_z_order")();
}

// CanvasPath.draw for a path of ours. The widget calls it for each path on
// every redraw: the first call of a redraw (a new view) draws all paths of
// ours at once, and the calls after it find their path done. A path new to
// the view is drawn on its own, and the canvas order restored after it
// (by `order`, or at once).
void draw_path(py::handle layer_capsule, py::handle drawn_capsule, py::handle path, py::handle move,
               const std::function<void(py::handle widget)>& order) {
    Layer& layer = *py::reinterpret_borrow<py::capsule>(layer_capsule).get_pointer<Layer>();
    DrawnPath& drawn = *py::reinterpret_borrow<py::capsule>(drawn_capsule).get_pointer<DrawnPath>();
    py::object widget = path.attr(names().map_widget);
    if (!take_list(path, drawn)) {
        hand_back(path, move);
        return;
    }
    track::View view;
    py::object upper_left;
    if (!read_view(widget, view, upper_left)) {
        hand_back(path, move);  // no view to draw into: the widget's own drawing decides
        return;
    }
    if (!layer.built || !same_view(view, layer.view)) {
        redraw_all(layer, layer_capsule, widget, view, upper_left, move);
        if (drawn.pass == layer.pass) return;
    } else if (drawn.pass == layer.pass) {
        return;
    }
    draw_line(layer, drawn, path, Canvas(widget));
    drawn.pass = layer.pass;
    if (order)
        order(widget);
    else
        widget.attr("manage_z_order")();
    path.attr(names().last_upper_left_tile_pos) = upper_left;
}

// `path_ref`: a weak reference, so that the path's own draw does not keep
// it (and its points) alive until a full collection.
void draw(py::capsule layer_capsule, py::capsule drawn_capsule, py::object path_ref, py::object move) {
    py::object path = path_ref();
    if (path.is_none()) return;
    draw_path(layer_capsule, drawn_capsule, path, move, nullptr);
}

// Puts the canvas in the widget's order once for the paths added in one
// turn of the event loop: each lift reorders every path on the canvas, and a
// thousand paths added one by one would reorder them a thousand times.
void restore_order(py::capsule layer_capsule, py::object widget) {
    layer_capsule.get_pointer<Layer>()->order_pending = false;
    widget.attr("manage_z_order")();
}

// The layer of the map `self`, made with its first path.
py::object layer_of(py::handle self) {
    py::object layer = py::getattr(self, "_paths", py::none());
    if (layer.is_none()) {
        layer = py::capsule(new Layer(), [](void* p) { delete static_cast<Layer*>(p); });
        self.attr("_paths") = layer;
    }
    return layer;
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

py::object prepare_path(py::handle self, py::object points) {
    auto* drawn = new DrawnPath();
    py::capsule capsule(drawn, &delete_drawn);
    if (!project_list(points, *drawn, Pause{true, on_main_thread(self)})) return py::none();
    return std::move(capsule);
}

py::object add_path(py::object self, py::object set_path, py::object widget, py::object points,
                    py::object prepared) {
    py::object cls = known_path_class(set_path, widget);
    if (cls.is_none()) return set_path(points);
    py::capsule drawn_capsule;
    DrawnPath* drawn = nullptr;
    if (!prepared.is_none()) {
        drawn_capsule = py::reinterpret_borrow<py::capsule>(prepared);
        drawn = drawn_capsule.get_pointer<DrawnPath>();
    }
    if (drawn == nullptr || !drawn->list.is(points) || drawn->length != static_cast<Py_ssize_t>(py::len(points))) {
        drawn = new DrawnPath();
        drawn_capsule = py::capsule(drawn, &delete_drawn);
        if (!project_list(points, *drawn, Pause{false, false})) return set_path(points);
    }
    bool ours = false;
    try {
        ours = same_projection(cls, points, *drawn, widget);
    } catch (py::error_already_set&) {
    }
    if (!ours) return set_path(points);

    py::object path = cls(widget, points);
    py::object layer = layer_of(self);
    // An attribute of this path only: the class, other paths and other maps
    // keep the widget's own drawing.
    path.attr("draw") = glue::partial(draw_function(), layer, drawn_capsule, glue::import_from("weakref", "ref")(path));
    draw_path(layer, drawn_capsule, path, py::bool_(false), [&](py::handle) {
        Layer& drawing = *py::reinterpret_borrow<py::capsule>(layer).get_pointer<Layer>();
        if (drawing.order_pending) return;
        drawing.order_pending = true;
        at_end_of_turn(self, glue::partial(py::cpp_function(&restore_order), layer, widget));
    });
    widget.attr("canvas_path_list").attr("append")(path);
    return path;
}

}  // namespace loomkit::map
