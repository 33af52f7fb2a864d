#include "loomkit/map_handover.hpp"
#include "loomkit/messages.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

namespace loomkit::map {

namespace {

// Poll intervals of the main-thread hand-over: short while any worker of the
// map is alive, so that a finished track is drawn at once; relaxed when idle
// (the map widget itself polls its tiles every 10 ms).
const int kBusyPollMs = 10;
const int kIdlePollMs = 100;
const int kPollSliceMs = 15;

// Set at interpreter exit: waiting workers give up (see workers()).
std::atomic<bool> exiting{false};

// What a worker waits on, outside the GIL, until its map call is made or
// given up: each its own, so that a call made wakes that worker only.
struct Wakeup {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;

    void wake() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        changed.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return done; });
    }
};

// Every worker waiting for the Tk thread, across maps, to be woken at exit.
std::mutex waiting_mutex;
std::unordered_set<std::shared_ptr<Wakeup>>& waiting() {
    static auto* set = new std::unordered_set<std::shared_ptr<Wakeup>>();  // lives as long as the process
    return *set;
}

// Reading is CPU work: workers take turns at it, as many at once as the
// machine has CPUs, in the order they asked. A worker waiting for its turn
// holds no GIL and is woken only when the turn may be its own (or at exit):
// only the first in line ever waits with a timeout.
//
// While the Tk thread starts workers one right after another (a folder's
// worth of files handed to draw_gpx in one loop), turns wait until the
// burst is over: every start waits for the new thread to take the GIL, and
// readers taking it too would stretch each start from tens of microseconds
// to a millisecond, and a thousand starts into a frozen second.
class ReadTurns {
public:
    using Clock = std::chrono::steady_clock;

    ReadTurns() : free_(std::max(1u, std::thread::hardware_concurrency())) {}

    // False when the interpreter exits first.
    bool take() {
        std::unique_lock<std::mutex> lock(mutex_);
        Waiter me;
        queue_.push_back(&me);
        for (;;) {
            if (stopped_) {
                queue_.erase(std::find(queue_.begin(), queue_.end(), &me));
                return false;
            }
            bool first = queue_.front() == &me;
            if (first && free_ > 0 && Clock::now() >= hold_until_) {
                queue_.pop_front();
                --free_;
                if (!queue_.empty() && free_ > 0) queue_.front()->changed.notify_one();  // another turn is free
                return true;
            }
            if (first && free_ > 0) {
                Clock::time_point until = hold_until_;
                me.changed.wait_until(lock, until);  // a burst of starts: wait it out
            } else {
                me.changed.wait(lock);
            }
        }
    }
    void give_back() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++free_;
        if (!queue_.empty()) queue_.front()->changed.notify_one();
    }
    // A worker is being started: when it follows the start before closely,
    // turns wait until starts have stopped coming for a while.
    void starting() {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point now = Clock::now();
        if (now - last_start_ < kBurstGap) hold_until_ = now + kBurstGap;
        last_start_ = now;
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        for (Waiter* waiter : queue_) waiter->changed.notify_one();
    }

private:
    static constexpr std::chrono::milliseconds kBurstGap{10};
    struct Waiter {
        std::condition_variable changed;
    };
    std::mutex mutex_;
    unsigned free_;
    std::deque<Waiter*> queue_;
    bool stopped_ = false;
    Clock::time_point last_start_{}, hold_until_{};
};

ReadTurns& read_turns() {
    static auto* turns = new ReadTurns();  // lives as long as the process: daemon workers may outlive exit
    return *turns;
}

// tkinter and tkintermapview must only be touched by the thread that runs the
// Tk event loop. Workers queue map calls here; a poller scheduled with
// `after` runs them on that thread. Every field is read and written with the
// GIL held, so no lock of its own is needed, and the event-loop thread never
// waits on anything a worker holds.
struct Handover {
    struct Request {
        py::object call;                 // no-argument callable run on the Tk thread
        py::list outcome;                // [True, result] or [False, exception], filled on the Tk thread
        std::shared_ptr<Wakeup> wakeup;  // the waiting worker's
    };

    unsigned long tk_thread = 0;
    unsigned long main_thread = 0;  // the interpreter's main thread, which shuts it down
    py::object started;             // weakref.WeakSet of the threads draw_gpx started
    bool closed = false;
    int waiting = 0;  // workers waiting for their request
    std::deque<Request> queue;
    // Threads drawing on this map, in the order they started; ended ones
    // are dropped from the front.
    std::deque<py::object> workers;
    bool in_turn = false;                // the poll is making queued calls
    std::vector<py::object> turn_ends;   // calls to make once it is done
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
    request.wakeup->wake();
}

// The threads of `threads` still running.
py::list alive_threads(py::handle threads) {
    py::list alive;
    for (py::handle thread : threads)
        if (glue::truthy(thread.attr("is_alive")())) alive.append(thread);
    return alive;
}

// Runs queued requests on the Tk thread, then schedules itself again.
void poll(py::capsule capsule, py::object widget, py::list self_ref) {
    Handover& h = *capsule.get_pointer<Handover>();
    h.after_id = py::none();
    if (h.closed) return;
    // Many workers finishing together must not hold the event loop: run
    // requests for a slice of time, then let Tk handle its events.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPollSliceMs);
    h.in_turn = true;
    while (!h.queue.empty() && std::chrono::steady_clock::now() < until) {
        Handover::Request request = std::move(h.queue.front());
        h.queue.pop_front();
        run_request(request);
    }
    h.in_turn = false;
    std::vector<py::object> turn_ends;
    turn_ends.swap(h.turn_ends);
    for (py::object& call : turn_ends) glue::report_and_go_on([&] { call(); });
    // Whether any worker lives: the first one alive answers it, and those
    // that ended before it are dropped, each once.
    while (!h.workers.empty() && !glue::truthy(h.workers.front().attr("is_alive")())) h.workers.pop_front();
    int delay = !h.queue.empty() ? 1 : (h.waiting > 0 || !h.workers.empty()) ? kBusyPollMs : kIdlePollMs;
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
    h.workers.clear();
    h.turn_ends.clear();
    if (!h.after_id.is_none()) {
        try {
            widget.attr("after_cancel")(h.after_id);
        } catch (py::error_already_set&) {
            // The Tcl side may already be gone; nothing is left to cancel then.
        }
        h.after_id = py::none();
    }
    // Woken without an outcome, each worker finds the map closed.
    while (!h.queue.empty()) {
        h.queue.front().wakeup->wake();
        h.queue.pop_front();
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
// one running Python code (the threading module ends it silently), a
// wake-up and the `exiting` flag for one waiting for its turn at reading or
// for the Tk thread. Then they are waited for, a bounded time in all.
const double kExitJoinSeconds = 3.0;

py::object& workers() {
    static py::object* set = nullptr;
    if (set == nullptr) {
        set = new py::object(glue::import_from("weakref", "WeakSet")());  // lives as long as the process
        glue::import_from("atexit", "register")(py::cpp_function([]() {
            exiting = true;
            read_turns().stop();
            {
                std::lock_guard<std::mutex> lock(waiting_mutex);
                for (const std::shared_ptr<Wakeup>& wakeup : waiting()) wakeup->wake();
            }
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
    h->started = glue::import_from("weakref", "WeakSet")();
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
    if (h.closed) throw MapClosed();

    auto wakeup = std::make_shared<Wakeup>();
    py::list outcome;
    {
        // Listed before `exiting` is read, both under the GIL that the exit
        // handler holds: either it sees this worker, or the worker sees it.
        std::lock_guard<std::mutex> lock(waiting_mutex);
        waiting().insert(wakeup);
    }
    auto unlist = glue::on_exit([&] {
        std::lock_guard<std::mutex> lock(waiting_mutex);
        waiting().erase(wakeup);
    });
    if (exiting) {
        PyErr_SetNone(PyExc_SystemExit);
        throw py::error_already_set();
    }
    h.queue.push_back(Handover::Request{call, outcome, wakeup});
    ++h.waiting;
    auto done_waiting = glue::on_exit([&] { --h.waiting; });
    bool main_thread = PyThread_get_thread_ident() == h.main_thread;
    PyThreadState* state = PyEval_SaveThread();
    wakeup->wait();
    take_gil_back(state, main_thread);
    if (py::len(outcome) == 0) {
        if (exiting) {
            PyErr_SetNone(PyExc_SystemExit);
            throw py::error_already_set();
        }
        throw MapClosed();
    }
    if (!glue::truthy(outcome[0])) glue::raise(outcome[1]);
    return outcome[1];
}

MapClosed::MapClosed() : std::runtime_error(messages::kMapClosed) {}

bool started_by_draw_gpx(py::handle self) {
    return handover_of(self).started.contains(glue::import_from("threading", "current_thread")());
}

void at_end_of_turn(py::handle self, py::object call) {
    Handover& h = handover_of(self);
    if (h.in_turn)
        h.turn_ends.push_back(std::move(call));
    else
        call();
}

ReadTurn::ReadTurn(py::handle self) {
    // The Tk thread reads at once: it must never wait behind workers.
    if (on_tk_thread(self)) return;
    bool main_thread = on_main_thread(self);
    bool taken = false;
    PyThreadState* state = PyEval_SaveThread();
    taken = read_turns().take();
    take_gil_back(state, main_thread);
    if (!taken) {
        PyErr_SetNone(PyExc_SystemExit);
        throw py::error_already_set();
    }
    held_ = true;
    // A map closed meanwhile has nothing left to draw the track on.
    if (handover_of(self).closed) {
        read_turns().give_back();
        held_ = false;
        throw MapClosed();
    }
}

ReadTurn::~ReadTurn() {
    if (held_) read_turns().give_back();
}

void start_worker(py::handle self, py::object thread) {
    read_turns().starting();
    handover_of(self).started.attr("add")(thread);
    {
        // start() waits until the new thread runs. Were the collector to run
        // on that thread first, a Tk image finalizer in the garbage would send
        // its Tk call to this (the Tk) thread and wait for it: a deadlock.
        glue::GcPaused paused;
        thread.attr("start")();
    }
    Handover& h = handover_of(self);
    if (h.closed) return;
    h.workers.push_back(thread);
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
    if (!h.closed) h.workers.push_back(thread);
}

}  // namespace loomkit::map
