// The map's hand-over to the Tk thread: workers queue widget calls, a poller
// run by `after` makes them on the thread that runs the Tk event loop, and
// workers still alive when the interpreter exits are stopped safely.
#pragma once

#include "glue/glue.hpp"

#include <stdexcept>

namespace loomkit::map {

// Attaches the hand-over to a new Draw_Map (as its `_handover`) and starts
// polling on `widget`. Call on the Tk thread.
void attach_handover(py::object self, py::object widget);

// True on the thread that runs the map's event loop.
bool on_tk_thread(py::handle self);

// The map went away before a worker's track could be drawn (RuntimeError
// when it reaches Python).
class MapClosed : public std::runtime_error {
public:
    MapClosed();
};

// Calls `call()` on the Tk thread and returns its result (a plain call on
// that thread). A worker waits with the GIL released, and is woken once,
// when its call has been made; it gets the call's exception, or MapClosed
// when the map is closed first.
py::object call_on_tk_thread(py::handle self, py::object call);

// True on a thread that draw_gpx started for this map.
bool started_by_draw_gpx(py::handle self);

// Calls `call()` once the poll has made the calls it makes in this turn of
// the event loop, before Tk draws; at once outside such a turn. For work
// that all those calls share, done once for them all.
void at_end_of_turn(py::handle self, py::object call);

// A worker's turn at reading a file, held for the object's life: workers
// take turns, as many at once as the machine has CPUs, first come first
// served, waiting without the GIL. The Tk thread never waits for a turn.
// Raises MapClosed when the map was closed while the worker waited, and
// SystemExit when the interpreter exits.
class ReadTurn {
public:
    explicit ReadTurn(py::handle self);
    ~ReadTurn();
    ReadTurn(const ReadTurn&) = delete;
    ReadTurn& operator=(const ReadTurn&) = delete;

private:
    bool held_ = false;
};

// Runs `thread.start()` for a worker of this map (on the Tk thread) and
// polls at the busy rate while it lives.
void start_worker(py::handle self, py::object thread);

// Registers the calling worker thread: polled for while alive, stopped at
// interpreter exit. A no-op on the Tk thread.
void enlist_current_worker(py::handle self);

// True on the interpreter's main thread (the one that shuts it down); known
// without running Python code.
bool on_main_thread(py::handle self);

// Takes the GIL back after PyEval_SaveThread, outside any destructor: a
// daemon thread that asks for it while the interpreter shuts down is ended
// inside the call by unwinding its stack, which aborts the process from a
// noexcept destructor and otherwise releases Python references without the
// GIL. Such a thread waits for the process to end instead.
void take_gil_back(PyThreadState* state, bool main_thread);

}  // namespace loomkit::map
