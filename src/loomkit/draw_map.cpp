#include "loomkit/loomkit.hpp"
#include "loomkit/messages.hpp"

#include "loomkit/line_reader.hpp"
#include "loomkit/map_handover.hpp"
#include "loomkit/path_drawing.hpp"
#include "loomkit/tile_map_view.hpp"

#include <cmath>
#include <string>

namespace loomkit {

namespace {

using map::call_on_tk_thread;

const double kDefaultLatitude = 23.749959894724828;
const double kDefaultLongitude = 120.94158253422043;
const int kDefaultZoom = 7;

// OpenStreetMap's own address, as its tile usage policy asks (the widget's
// default names the a. server, which the policy advises against).
const char* const kDefaultTileServer = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
// A few hundred megabytes of tiles on disk, shared by every map of the user.
const long long kDefaultTileCacheSize = 300LL * 1024 * 1024;

py::object item(py::handle sequence, long index) {
    return sequence.attr("__getitem__")(py::int_(index));
}

// Runs on the Tk thread: `call()` with lock_draw_line held, the lock always
// released. Taken there, so the Tk thread never waits for a worker that holds it.
py::object holding_draw_lock(py::object self, py::object call) {
    py::object lock = self.attr("lock_draw_line");
    lock.attr("acquire")();
    auto release = glue::on_exit([&] { lock.attr("release")(); });
    return call();
}

// A path call from any thread: made on the Tk thread under lock_draw_line.
py::object path_call(py::handle self, py::object call) {
    return call_on_tk_thread(self, glue::partial(py::cpp_function(&holding_draw_lock), self, call));
}

// Adds the track as the widget's set_path would, looked up here (on the
// worker) as the call on the widget always was; `prepared`: the drawing's
// work done ahead on the worker, or None.
void draw_path(py::handle self, py::object points, py::object prepared) {
    py::object widget = self.attr("map_widget");
    py::object set_path = widget.attr("set_path");
    path_call(self, glue::partial(py::cpp_function(&map::add_path), self, set_path, widget, points, prepared));
}

void init(py::object self, py::object frame) {
    py::object tkintermapview = glue::import_module("tkintermapview");
    py::object gpxpy = glue::import_module("gpxpy");
    py::object threading = glue::import_module("threading");
    py::object math = glue::import_module("math");
    self.attr("math") = math;
    self.attr("threading") = threading;
    self.attr("gpxpy") = gpxpy;

    self.attr("lock_draw_line") = threading.attr("Lock")();
    self.attr("frame") = frame;

    // The kit module's own pyautogui, as every class of the kit reads the screen.
    py::object size = G("pyautogui").attr("size")();
    py::object width = item(size, 0);
    py::object height = item(size, 1);
    py::object map_widget;
    {
        // The widget starts its tile threads, each start() a wait of this
        // thread (see start_worker).
        glue::GcPaused paused;
        py::kwargs options;
        options["width"] = py::int_(750) * width / py::int_(1920);
        options["height"] = py::int_(400) * height / py::int_(1080);
        options["corner_radius"] = 0;
        map_widget = tiles::make_map_widget(tkintermapview.attr("TkinterMapView"), frame, options);
    }
    self.attr("map_widget") = map_widget;
    map_widget.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);
    map_widget.attr("set_position")(kDefaultLatitude, kDefaultLongitude);
    map_widget.attr("set_zoom")(kDefaultZoom);
    // Only now: the widget's own start view (Berlin) is never loaded.
    tiles::start_loading(self, map_widget);
    map::attach_handover(self, map_widget);
}

void draw_gpx(py::object self, py::object data_path, py::kwargs kwargs) {
    py::object adapt_sizes = glue::kwarg(kwargs, "adapt_sizes", py::bool_(false));
    py::object thread = self.attr("threading").attr("Thread")(
        "target"_a = self.attr("_draw_gpx"), "args"_a = py::make_tuple(data_path, adapt_sizes), "daemon"_a = true);
    map::start_worker(self, thread);
}

// int(math.log2(span_of_world / span)), truncated as Python's int() does.
py::object zoom_for(py::handle math, double span_of_world, double span) {
    return glue::builtin("int")(math.attr("log2")(span_of_world / span));
}

// Centre and zoom the view on one segment, as the fit line reports it.
void fit_view(py::object self, py::object points) {
    if (py::len(points) == 0) throw py::value_error("max() arg is an empty sequence");
    double max_y = -INFINITY, min_y = INFINITY, max_x = -INFINITY, min_x = INFINITY;
    bool first = true;
    for (py::handle pair : points) {
        // The pairs the readers build are tuples of floats: read them
        // directly, so that a long track does not hold the GIL for long.
        bool plain = PyTuple_CheckExact(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) >= 2 &&
                     PyFloat_CheckExact(PyTuple_GET_ITEM(pair.ptr(), 0)) &&
                     PyFloat_CheckExact(PyTuple_GET_ITEM(pair.ptr(), 1));
        double y = plain ? PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(pair.ptr(), 0)) : glue::as_double(item(pair, 0));
        double x = plain ? PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(pair.ptr(), 1)) : glue::as_double(item(pair, 1));
        if (first || y > max_y) max_y = y;
        if (first || y < min_y) min_y = y;
        if (first || x > max_x) max_x = x;
        if (first || x < min_x) min_x = x;
        first = false;
    }
    double ave_x = (min_x + max_x) / 2;
    double ave_y = (min_y + max_y) / 2;
    double dx = std::fabs(max_x - min_x);
    double dy = std::fabs(max_y - min_y);

    py::object math = self.attr("math");
    py::object zoom;
    // An axis without extent (one point, a due north-south line) cannot
    // limit the zoom; with no extent at all the closest zoom is used.
    if (dx == 0 && dy == 0) {
        zoom = self.attr("map_widget").attr("max_zoom");
    } else if (dx == 0) {
        zoom = zoom_for(math, 180.0, dy);
    } else if (dy == 0) {
        zoom = zoom_for(math, 360.0, dx);
    } else {
        py::object zoom_x = zoom_for(math, 360.0, dx);
        py::object zoom_y = zoom_for(math, 180.0, dy);
        zoom = zoom_y < zoom_x ? zoom_y : zoom_x;
    }

    py::object widget = self.attr("map_widget");
    call_on_tk_thread(self, glue::partial(widget.attr("set_position"), ave_y, ave_x));
    call_on_tk_thread(self, glue::partial(widget.attr("set_zoom"), zoom));

    py::str text(std::string(messages::kFitted) + py::cast<std::string>(py::str(py::float_(ave_x))) + ", " +
                 py::cast<std::string>(py::str(py::float_(ave_y))) + messages::kFittedLevel +
                 py::cast<std::string>(py::str(zoom)) + ")");
    glue::print(text);
}

// The segments of one file as _draw_gpx reads them, without drawing; or,
// for tests and benchmarks, as one native reader alone reads them.
py::object read_lines(py::object self, py::object data_path, py::object reader) {
    py::ssize_t tracks = 0;
    if (reader.is_none()) return map::read_segments(self, data_path, py::none(), false, tracks);
    return map::read_segments_with(self, data_path, py::cast<std::string>(reader));
}

// A file drawn in part says so: "drew the first of 3 segments in 2 tracks".
// Said here, where the file is read, so that nobody has to read it again.
void say_what_was_left_out(py::handle data_path, py::ssize_t segments, py::ssize_t tracks) {
    if (segments < 2) return;
    std::string text = py::cast<std::string>(py::str(data_path)) + messages::kDrewFirst + std::to_string(segments) +
                       messages::kSegmentsIn + std::to_string(tracks) +
                       (tracks == 1 ? messages::kTrack : messages::kTracks);
    glue::print(py::str(text));
}

void draw_gpx_now(py::object self, py::object data_path, py::object adapt_sizes, py::kwargs kwargs) {
    py::object progress = glue::kwarg(kwargs, "progress", py::str(messages::kProgress));
    bool progress_check = glue::truthy(glue::kwarg(kwargs, "progress_check", py::bool_(false)));

    // "TRACK.GPX" is as much a GPX file as "track.gpx" (devices and Windows
    // write either); other names are skipped.
    if (PyUnicode_Check(data_path.ptr())) {
        if (!glue::ends_with_ignoring_case(data_path, ".gpx")) return;
    } else {
        py::object suffix = data_path[py::slice(py::int_(-4), py::none(), py::none())];
        if (suffix.not_equal(py::str(".gpx"))) return;
    }
    map::enlist_current_worker(self);

    py::ssize_t segments = 0, tracks = 0;
    try {
        // Released before the closing message: printing may end a daemon
        // worker at interpreter shutdown, and the segments must not be freed
        // by that unwinding without the GIL.
        py::object first, prepared;
        {
            // Reading and the drawing's work ahead take a turn on a CPU; the
            // turn is given back before the wait for the Tk thread.
            map::ReadTurn turn(self);
            py::list line = map::read_segments(self, data_path, progress, progress_check, tracks);
            segments = py::len(line);
            first = item(line, 0);
            // The widget cannot draw a line through one point; a one-point
            // track is shown as a dot instead of failing.
            if (py::len(first) == 1) first = py::list(first) + py::list(first);
            prepared = map::prepare_path(self, first);
        }
        if (glue::truthy(adapt_sizes)) fit_view(self, first);
        draw_path(self, first, prepared);
    } catch (const map::MapClosed&) {
        // The window was closed while the file waited: nothing went wrong
        // with the file, and a worker of draw_gpx has no caller to tell, so
        // it ends quietly. A direct caller learns that its track was not drawn.
        if (map::started_by_draw_gpx(self)) return;
        throw;
    }
    glue::print(py::str(messages::kImported) + py::str(data_path));
    say_what_was_left_out(data_path, segments, tracks);
}

void delete_all_path(py::object self) { path_call(self, self.attr("map_widget").attr("delete_all_path")); }

// Checked on the caller's thread, so that a bad source raises there; the
// widget is changed on the Tk thread (at once when called there).
void set_tile_source(py::object self, py::object source) {
    tiles::CheckedSource checked = tiles::check_tile_source(source);
    py::object change = py::cpp_function([checked](py::object widget) { tiles::set_tile_source(widget, checked); });
    call_on_tk_thread(self, glue::partial(change, self.attr("map_widget")));
}

void check_tile_source(py::object source) { tiles::check_tile_source(source); }

}  // namespace

py::object make_draw_map() {
    py::object cls = glue::make_class(module(), "Draw_Map", qualname("Draw_Map"));
    glue::def_init(cls, &init, py::arg("frame"));
    glue::def(cls, "draw_gpx", &draw_gpx, py::arg("data_path"));
    glue::def(cls, "_draw_gpx", &draw_gpx_now, py::arg("data_path"), py::arg("adapt_sizes"));
    glue::def(cls, "delete_all_path", &delete_all_path);
    glue::def(cls, "_read_lines", &read_lines, py::arg("data_path"), py::arg("reader") = py::none());

    // Tiles: read by every new map; a program may change them on the class or on one map.
    cls.attr("default_tile_server") = kDefaultTileServer;
    cls.attr("application_name") = py::none();
    cls.attr("attribution") = py::none();
    cls.attr("tile_cache_size") = kDefaultTileCacheSize;
    glue::def(cls, "set_tile_source", &set_tile_source, py::arg("source"));
    cls.attr("check_tile_source") = glue::builtin("staticmethod")(
        py::cpp_function(&check_tile_source, py::name("check_tile_source"), py::arg("source")));
    return cls;
}

}  // namespace loomkit
