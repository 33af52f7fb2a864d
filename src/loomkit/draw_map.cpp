#include "loomkit/loomkit.hpp"

#include "loomkit/gpx_reader.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace loomkit {

namespace {

const double kDefaultLatitude = 23.749959894724828;
const double kDefaultLongitude = 120.94158253422043;
const int kDefaultZoom = 7;
// Poll intervals of the main-thread hand-over: short while workers wait on
// it, relaxed when idle (the map widget itself polls its tiles every 10 ms).
const int kBusyPollMs = 10;
const int kIdlePollMs = 100;
const int kPollSliceMs = 15;
// How often a waiting worker looks whether its map call has been made.
const int kWaitPollMs = 2;
// Track points turned into Python objects between two chances for other
// threads to take the GIL (about a millisecond of work).
const std::size_t kPointsPerGilHold = 8192;
const int kGilPauseMicroseconds = 200;

// Set at interpreter exit: waiting workers give up (see workers()).
bool exiting = false;

// tkinter and tkintermapview must only be touched by the thread that runs the
// Tk event loop. Workers queue map calls here; a poller scheduled with
// `after` runs them on that thread. Every field is read and written with the
// GIL held, so no lock of its own is needed, and the event-loop thread never
// waits on anything a worker holds.
struct Handover {
    struct Request {
        py::object call;   // no-argument callable run on the Tk thread
        py::list outcome;  // [True, result] or [False, exception], filled on the Tk thread
    };

    unsigned long tk_thread = 0;
    unsigned long main_thread = 0;  // the interpreter's main thread, which shuts it down
    bool closed = false;
    int waiting = 0;  // workers waiting for their request
    std::deque<Request> queue;
    py::object after_id;  // the pending poll, cancelled when the map goes away
    py::object gpxpy;     // the module the constructor imported
};

Handover& handover_of(py::handle self) {
    py::capsule capsule = self.attr("_handover");
    return *capsule.get_pointer<Handover>();
}

py::object item(py::handle sequence, long index) {
    return sequence.attr("__getitem__")(py::int_(index));
}

void run_request(Handover::Request& request) {
    try {
        py::object result = request.call();
        request.outcome.append(true);
        request.outcome.append(result);
    } catch (py::error_already_set& error) {
        request.outcome.append(false);
        request.outcome.append(error.value());
    }
}

// Runs every queued request on the Tk thread, then schedules itself again.
void poll(py::capsule capsule, py::object widget, py::list self_ref) {
    Handover& h = *capsule.get_pointer<Handover>();
    h.after_id = py::none();
    if (h.closed) return;
    // Many workers finishing together must not hold the event loop: run
    // requests for a slice of time, then let Tk handle its events.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPollSliceMs);
    while (!h.queue.empty() && std::chrono::steady_clock::now() < until) {
        Handover::Request request = std::move(h.queue.front());
        h.queue.pop_front();
        run_request(request);
    }
    int delay = !h.queue.empty() ? 1 : h.waiting > 0 ? kBusyPollMs : kIdlePollMs;
    h.after_id = widget.attr("after")(delay, self_ref[0]);
}

// The map widget is going away: release every waiting worker.
void close_handover(py::capsule capsule, py::object widget, py::object event) {
    // Children's Destroy events reach this binding too; only the map's own counts.
    if (!py::str(event.attr("widget")).equal(py::str(widget))) return;
    Handover& h = *capsule.get_pointer<Handover>();
    if (h.closed) return;
    h.closed = true;
    if (!h.after_id.is_none()) {
        try {
            widget.attr("after_cancel")(h.after_id);
        } catch (py::error_already_set&) {
            // The Tcl side may already be gone; nothing is left to cancel then.
        }
        h.after_id = py::none();
    }
    py::object closed_error = glue::builtin("RuntimeError")("the map was closed before the track could be drawn");
    while (!h.queue.empty()) {
        Handover::Request request = std::move(h.queue.front());
        h.queue.pop_front();
        request.outcome.append(false);
        request.outcome.append(closed_error);
    }
}

void raise_outcome(const py::list& outcome) {
    py::object error = outcome[1];
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Takes the GIL back, outside any destructor: a daemon thread that asks for
// it while the interpreter shuts down is ended inside the call by unwinding
// its stack, which aborts the process from a noexcept destructor and
// otherwise releases Python references without the GIL. Such a thread
// waits for the process to end instead.
void take_gil_back(PyThreadState* state, bool main_thread) {
    while (!main_thread && interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::seconds(3600));
    PyEval_RestoreThread(state);
}

// Known without running Python code: a worker running bytecode can be
// ended by the interpreter's shutdown at any instruction.
bool on_main_thread(const Handover& h) { return PyThread_get_thread_ident() == h.main_thread; }

// Calls `call()` on the Tk thread and returns its result; on the Tk thread
// itself that is a plain call. A worker waits with the GIL released and
// outside any Python call: the interpreter ends a daemon thread that takes
// the GIL back during its shutdown by unwinding the thread's stack, and the
// Python references held by these C++ frames would then be released
// without the GIL.
py::object call_on_tk_thread(py::handle self, py::object call) {
    Handover& h = handover_of(self);
    if (PyThread_get_thread_ident() == h.tk_thread) return call();
    if (h.closed) throw std::runtime_error("the map was closed before the track could be drawn");

    Handover::Request request{call, py::list()};
    py::list outcome = request.outcome;
    h.queue.push_back(std::move(request));
    ++h.waiting;
    struct Waiting {
        Handover& h;
        ~Waiting() { --h.waiting; }
    } waiting{h};
    bool main_thread = on_main_thread(h);
    while (py::len(outcome) == 0) {
        if (h.closed) throw std::runtime_error("the map was closed before the track could be drawn");
        if (exiting) {
            PyErr_SetNone(PyExc_SystemExit);
            throw py::error_already_set();
        }
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
        take_gil_back(state, main_thread);
    }
    if (!glue::truthy(outcome[0])) raise_outcome(outcome);
    return outcome[1];
}

// A map call made with lock_draw_line held; the lock is always released.
py::object call_locked(py::object self, py::object call) {
    py::object lock = self.attr("lock_draw_line");
    lock.attr("acquire")();
    try {
        py::object result = call();
        lock.attr("release")();
        return result;
    } catch (...) {
        lock.attr("release")();
        throw;
    }
}

py::object locked_map_call(py::handle self, const char* method, py::object argument) {
    py::object widget_method = self.attr("map_widget").attr(method);
    py::object call = argument.is_none() ? widget_method : glue::partial(widget_method, argument);
    py::object locked = py::cpp_function(&call_locked);
    return call_on_tk_thread(self, glue::partial(locked, self, call));
}

// Worker threads still reading when the interpreter exits would be stopped
// by finalization wherever they are, inside this module's C++ frames too,
// which cannot be unwound safely without the GIL. So at exit (atexit runs
// before finalization) every live worker is asked to stop: SystemExit for
// one running Python code (the threading module ends it silently), the
// `exiting` flag for one waiting on the Tk thread. Then they are waited for,
// a bounded time in all.
const double kExitJoinSeconds = 3.0;

py::object& workers() {
    static py::object* set = nullptr;
    if (set == nullptr) {
        set = new py::object(py::module_::import("weakref").attr("WeakSet")());  // lives as long as the process
        py::module_::import("atexit").attr("register")(py::cpp_function([]() {
            exiting = true;
            py::list alive;
            for (py::handle thread : *set)
                if (glue::truthy(thread.attr("is_alive")())) alive.append(thread);
            for (py::handle thread : alive) {
                unsigned long ident = py::cast<unsigned long>(thread.attr("ident"));
                PyThreadState_SetAsyncExc(ident, PyExc_SystemExit);
            }
            py::object monotonic = py::module_::import("time").attr("monotonic");
            double deadline = py::cast<double>(monotonic()) + kExitJoinSeconds;
            for (py::handle thread : alive)
                thread.attr("join")(std::max(0.0, deadline - py::cast<double>(monotonic())));
        }));
    }
    return *set;
}

void init(py::object self, py::object frame) {
    workers();
    py::object tkintermapview = py::module_::import("tkintermapview");
    py::object pyautogui = py::module_::import("pyautogui");
    py::object gpxpy = py::module_::import("gpxpy");
    py::object threading = py::module_::import("threading");
    py::object math = py::module_::import("math");
    self.attr("math") = math;
    self.attr("threading") = threading;
    self.attr("gpxpy") = gpxpy;

    self.attr("lock_draw_line") = threading.attr("Lock")();
    self.attr("frame") = frame;

    py::object size = pyautogui.attr("size")();
    py::object width = item(size, 0);
    py::object height = item(size, 1);
    py::object map_widget = tkintermapview.attr("TkinterMapView")(
        frame, "width"_a = py::int_(750) * width / py::int_(1920),
        "height"_a = py::int_(400) * height / py::int_(1080), "corner_radius"_a = 0);
    self.attr("map_widget") = map_widget;
    map_widget.attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);
    map_widget.attr("set_position")(kDefaultLatitude, kDefaultLongitude);
    map_widget.attr("set_zoom")(kDefaultZoom);

    auto* h = new Handover();
    h->tk_thread = PyThread_get_thread_ident();
    h->after_id = py::none();
    h->gpxpy = gpxpy;
    h->main_thread = py::cast<unsigned long>(threading.attr("main_thread")().attr("ident"));
    py::capsule capsule(h, [](void* p) { delete static_cast<Handover*>(p); });
    self.attr("_handover") = capsule;

    // The poll callable refers to itself so it can reschedule; the cycle goes
    // through a list the garbage collector can see.
    py::list self_ref;
    self_ref.append(py::none());
    self_ref[0] = glue::partial(py::cpp_function(&poll), capsule, map_widget, self_ref);
    h->after_id = map_widget.attr("after")(kIdlePollMs, self_ref[0]);
    map_widget.attr("bind")("<Destroy>", glue::partial(py::cpp_function(&close_handover), capsule, map_widget),
                            "+");
}

void draw_gpx(py::object self, py::object data_path, py::kwargs kwargs) {
    py::object adapt_sizes = glue::kwarg(kwargs, "adapt_sizes", py::bool_(false));
    py::object thread = self.attr("threading").attr("Thread")(
        "target"_a = self.attr("_draw_gpx"), "args"_a = py::make_tuple(data_path, adapt_sizes), "daemon"_a = true);
    // start() waits until the new thread runs. Were the collector to run on
    // that thread first, a Tk image finalizer in the garbage would send its
    // Tk call to this (the Tk) thread and wait for it: a deadlock. No
    // automatic collection happens until the thread has started.
    py::object gc = py::module_::import("gc");
    bool collecting = glue::truthy(gc.attr("isenabled")());
    if (collecting) gc.attr("disable")();
    try {
        thread.attr("start")();
    } catch (...) {
        if (collecting) gc.attr("enable")();
        throw;
    }
    if (collecting) gc.attr("enable")();
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

    py::str text(std::string(u8"\u9069\u61c9\u5927\u5c0f \u5ea7\u6a19(") + py::cast<std::string>(py::str(py::float_(ave_x))) +
                 ", " + py::cast<std::string>(py::str(py::float_(ave_y))) + u8") \u5c64\u7d1a(" +
                 py::cast<std::string>(py::str(zoom)) + ")");
    glue::builtin("print")(text);
}

void print_progress(py::handle progress, py::ssize_t n, py::ssize_t count) {
    glue::builtin("print")(py::str("\r{} {}/{}").format(progress, n, count), "end"_a = "", "flush"_a = true);
}

// The file name as the operating system takes it; false where the native
// reader cannot open exactly the file Python's open() would.
bool native_path(py::handle data_path, std::filesystem::path& path) {
    if (!PyUnicode_CheckExact(data_path.ptr())) return false;
#ifdef _WIN32
    Py_ssize_t size = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(data_path.ptr(), &size);
    if (!wide) {
        PyErr_Clear();
        return false;
    }
    std::wstring text(wide, static_cast<std::size_t>(size));
    PyMem_Free(wide);
    if (text.find(L'\0') != std::wstring::npos) return false;
    path = std::filesystem::path(text);
#else
    PyObject* encoded = PyUnicode_EncodeFSDefault(data_path.ptr());
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    std::string text(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    if (text.find('\0') != std::string::npos) return false;
    path = std::filesystem::path(text);
#endif
    return true;
}

// Reads the file natively with the GIL released. Builds the same `line`
// as the gpxpy path and the number of segments per track; false when the
// reader declined the document and gpxpy has to read it.
bool read_natively(const Handover& h, py::object data_path, py::list& line,
                   std::vector<std::size_t>& track_segments) {
    std::filesystem::path path;
    if (!native_path(data_path, path)) return false;
    bool main_thread = on_main_thread(h);

    gpx::Tracks tracks;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        tracks = gpx::read_tracks(path);
    } catch (...) {
        failure = std::current_exception();
    }
    take_gil_back(state, main_thread);
    if (failure) std::rethrow_exception(failure);
    if (!tracks.accepted) return false;

    // Tuples of two floats cannot be part of a cycle: keeping them out of
    // the garbage collector spares the process long collections.
    std::size_t since_release = 0;
    for (std::size_t s = 0; s < tracks.segment_starts.size(); ++s) {
        std::size_t begin = tracks.segment_starts[s], end = tracks.segment_end(s);
        py::list points(end - begin);
        for (std::size_t i = begin; i < end; ++i) {
            py::tuple pair(2);
            PyTuple_SET_ITEM(pair.ptr(), 0, py::float_(tracks.points[i].first).release().ptr());
            PyTuple_SET_ITEM(pair.ptr(), 1, py::float_(tracks.points[i].second).release().ptr());
            PyObject_GC_UnTrack(pair.ptr());
            PyList_SET_ITEM(points.ptr(), static_cast<Py_ssize_t>(i - begin), pair.release().ptr());
            if (++since_release == kPointsPerGilHold) {
                since_release = 0;
                PyThreadState* state = PyEval_SaveThread();
                // A waiting thread needs a moment to take the GIL; taking it
                // straight back would starve the event loop.
                std::this_thread::sleep_for(std::chrono::microseconds(kGilPauseMicroseconds));
                take_gil_back(state, main_thread);
            }
        }
        line.append(points);
    }
    track_segments = std::move(tracks.track_segments);
    return true;
}

py::list read_segments(py::object self, py::object data_path, py::object progress, bool progress_check) {
    py::list line;
    std::vector<std::size_t> track_segments;
    py::object parser = self.attr("gpxpy");
    const Handover& h = handover_of(self);
    if (parser.is(h.gpxpy) && read_natively(h, data_path, line, track_segments)) {
        py::ssize_t count = static_cast<py::ssize_t>(track_segments.size());
        if (progress_check) {
            for (py::ssize_t n = 1; n <= count; ++n) print_progress(progress, n, count);
            glue::builtin("print")();
        }
        return line;
    }

    py::object file = glue::builtin("open")(data_path, "encoding"_a = "utf-8");
    py::object gpx;
    try {
        gpx = parser.attr("parse")(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();

    py::object tracks = gpx.attr("tracks");
    py::ssize_t count = py::len(tracks);
    py::ssize_t n = 0;
    for (py::handle track : tracks) {
        for (py::handle segment : track.attr("segments")) {
            py::list points;
            for (py::handle point : segment.attr("points"))
                points.append(py::make_tuple(point.attr("latitude"), point.attr("longitude")));
            line.append(points);
        }
        ++n;
        if (progress_check) print_progress(progress, n, count);
    }
    if (progress_check) glue::builtin("print")();
    return line;
}

// The segments of one file as _draw_gpx reads them, without drawing.
py::list read_lines(py::object self, py::object data_path) {
    return read_segments(self, data_path, py::none(), false);
}

void draw_gpx_now(py::object self, py::object data_path, py::object adapt_sizes, py::kwargs kwargs) {
    py::object progress = glue::kwarg(kwargs, "progress", py::str(u8"gpx\u7e6a\u88fd\u9032\u5ea6"));
    bool progress_check = glue::truthy(glue::kwarg(kwargs, "progress_check", py::bool_(false)));

    py::object suffix = data_path[py::slice(py::int_(-4), py::none(), py::none())];
    if (suffix.not_equal(py::str(".gpx"))) return;
    if (PyThread_get_thread_ident() != handover_of(self).tk_thread)
        workers().attr("add")(py::module_::import("threading").attr("current_thread")());

    {
        // Released before the closing message: printing may end a daemon
        // worker at interpreter shutdown, and the segments must not be freed
        // by that unwinding without the GIL.
        py::list line = read_segments(self, data_path, progress, progress_check);
        py::object first = item(line, 0);
        if (glue::truthy(adapt_sizes)) fit_view(self, first);
        // The widget cannot draw a line through one point; a one-point track is
        // shown as a dot instead of failing.
        if (py::len(first) == 1) first = py::list(first) + py::list(first);
        locked_map_call(self, "set_path", first);
    }
    glue::builtin("print")(py::str(u8"\u5df2\u532f\u5165 --> ") + py::str(data_path));
}

void delete_all_path(py::object self) { locked_map_call(self, "delete_all_path", py::none()); }

}  // namespace

py::object make_draw_map() {
    py::object cls = glue::make_class(module(), "Draw_Map", qualname("Draw_Map"));
    glue::def_init(cls, &init, py::arg("frame"));
    glue::def(cls, "draw_gpx", &draw_gpx, py::arg("data_path"));
    glue::def(cls, "_draw_gpx", &draw_gpx_now, py::arg("data_path"), py::arg("adapt_sizes"));
    glue::def(cls, "delete_all_path", &delete_all_path);
    glue::def(cls, "_read_lines", &read_lines, py::arg("data_path"));
    return cls;
}

}  // namespace loomkit
