#include "loomkit/map_handover.hpp"
#include "loomkit/messages.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <thread>

namespace loomkit::map {

namespace {

// Poll intervals of the main-thread hand-over: short while any worker of the
// map is alive, so that a finished track is drawn at once; relaxed when idle
// (the map widget itself polls its tiles every 10 ms).
const int kBusyPollMs = 10;
const int kIdlePollMs = 100;
const int kPollSliceMs = 15;
// How often a waiting worker looks whether its map call has been made.
const int kWaitPollMs = 2;

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
    py::list workers;     // threads drawing on this map, dropped once ended
    py::object after_id;  // the pending poll, cancelled when the map goes away
    int after_delay = 0;  // its interval
    // [the poll callable]; cleared when the map closes, which ends the cycle
    // poll -> capsule -> this list -> poll that the collector cannot see.
    py::object poll_ref;
    py::object widget;  // the widget that runs the poll; cleared with poll_ref
};

Handover& handover_of(py::handle self) {
    py::capsule capsule = self.attr("_handover");
    return *capsule.get_pointer<Handover>();
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

// The threads of `threads` still running.
py::list alive_threads(py::handle threads) {
    py::list alive;
    for (py::handle thread : threads)
        if (glue::truthy(thread.attr("is_alive")())) alive.append(thread);
    return alive;
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
    // Idle polls (no workers) build nothing.
    if (py::len(h.workers) > 0) h.workers = alive_threads(h.workers);
    int delay = !h.queue.empty() ? 1 : (h.waiting > 0 || py::len(h.workers) > 0) ? kBusyPollMs : kIdlePollMs;
    h.after_delay = delay;
    h.after_id = widget.attr("after")(delay, self_ref[0]);
}

// The map widget is going away: release every waiting worker.
void close_handover(py::capsule capsule, py::object widget, py::object event) {
    // Children's Destroy events reach this binding too; only the map's own counts.
    if (!py::str(event.attr("widget")).equal(py::str(widget))) return;
    Handover& h = *capsule.get_pointer<Handover>();
    if (h.closed) return;
    h.closed = true;
    h.poll_ref = py::none();
    h.widget = py::none();
    h.workers = py::list();
    if (!h.after_id.is_none()) {
        try {
            widget.attr("after_cancel")(h.after_id);
        } catch (py::error_already_set&) {
            // The Tcl side may already be gone; nothing is left to cancel then.
        }
        h.after_id = py::none();
    }
    py::object closed_error = glue::builtin("RuntimeError")(messages::kMapClosed);
    while (!h.queue.empty()) {
        Handover::Request request = std::move(h.queue.front());
        h.queue.pop_front();
        request.outcome.append(false);
        request.outcome.append(closed_error);
    }
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
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
        set = new py::object(glue::import_from("weakref", "WeakSet")());  // lives as long as the process
        glue::import_from("atexit", "register")(py::cpp_function([]() {
            exiting = true;
            py::list alive = alive_threads(*set);
            for (py::handle thread : alive) {
                unsigned long ident = py::cast<unsigned long>(thread.attr("ident"));
                PyThreadState_SetAsyncExc(ident, PyExc_SystemExit);
            }
            glue::GcPaused paused;  // join() on the main thread, as in start_worker
            py::object monotonic = glue::import_from("time", "monotonic");
            double deadline = py::cast<double>(monotonic()) + kExitJoinSeconds;
            for (py::handle thread : alive)
                thread.attr("join")(std::max(0.0, deadline - py::cast<double>(monotonic())));
        }));
    }
    return *set;
}

}  // namespace

void attach_handover(py::object self, py::object widget) {
    workers();
    auto* h = new Handover();
    h->tk_thread = PyThread_get_thread_ident();
    h->after_id = py::none();
    h->main_thread = py::cast<unsigned long>(glue::import_from("threading", "main_thread")().attr("ident"));
    py::capsule capsule(h, [](void* p) { delete static_cast<Handover*>(p); });
    self.attr("_handover") = capsule;

    // The poll callable refers to itself so it can reschedule; the cycle goes
    // through a list the garbage collector can see.
    py::list self_ref;
    self_ref.append(py::none());
    self_ref[0] = glue::partial(py::cpp_function(&poll), capsule, widget, self_ref);
    h->poll_ref = self_ref;
    h->widget = widget;
    h->after_delay = kIdlePollMs;
    h->after_id = widget.attr("after")(kIdlePollMs, self_ref[0]);
    widget.attr("bind")("<Destroy>", glue::partial(py::cpp_function(&close_handover), capsule, widget), "+");
}

bool on_tk_thread(py::handle self) { return PyThread_get_thread_ident() == handover_of(self).tk_thread; }

bool on_main_thread(py::handle self) { return PyThread_get_thread_ident() == handover_of(self).main_thread; }

void take_gil_back(PyThreadState* state, bool main_thread) {
    while (!main_thread && interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::seconds(3600));
    PyEval_RestoreThread(state);
}

// A worker waits with the GIL released and outside any Python call: the
// interpreter ends a daemon thread that takes the GIL back during its
// shutdown by unwinding the thread's stack, and the Python references held
// by these C++ frames would then be released without the GIL.
py::object call_on_tk_thread(py::handle self, py::object call) {
    Handover& h = handover_of(self);
    if (PyThread_get_thread_ident() == h.tk_thread) return call();
    if (h.closed) throw std::runtime_error(messages::kMapClosed);

    Handover::Request request{call, py::list()};
    py::list outcome = request.outcome;
    h.queue.push_back(std::move(request));
    ++h.waiting;
    auto done_waiting = glue::on_exit([&] { --h.waiting; });
    bool main_thread = PyThread_get_thread_ident() == h.main_thread;
    while (py::len(outcome) == 0) {
        if (h.closed) throw std::runtime_error(messages::kMapClosed);
        if (exiting) {
            PyErr_SetNone(PyExc_SystemExit);
            throw py::error_already_set();
        }
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
        take_gil_back(state, main_thread);
    }
    if (!glue::truthy(outcome[0])) glue::raise(outcome[1]);
    return outcome[1];
}

void start_worker(py::handle self, py::object thread) {
    {
        // start() waits until the new thread runs. Were the collector to run
        // on that thread first, a Tk image finalizer in the garbage would send
        // its Tk call to this (the Tk) thread and wait for it: a deadlock.
        glue::GcPaused paused;
        thread.attr("start")();
    }
    Handover& h = handover_of(self);
    if (h.closed) return;
    h.workers.append(thread);
    // The pending poll may be an idle one: bring it forward.
    if (h.after_delay > kBusyPollMs && !h.after_id.is_none() && on_tk_thread(self)) {
        h.widget.attr("after_cancel")(h.after_id);
        h.after_delay = kBusyPollMs;
        h.after_id = h.widget.attr("after")(kBusyPollMs, py::list(h.poll_ref)[0]);
    }
}

void enlist_current_worker(py::handle self) {
    if (on_tk_thread(self)) return;
    py::object thread = glue::import_from("threading", "current_thread")();
    workers().attr("add")(thread);
    Handover& h = handover_of(self);
    if (!h.closed) h.workers.append(thread);
}

}  // namespace loomkit::map
