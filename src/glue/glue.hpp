// Helpers shared by every extension module: plain Python classes built from
// C++ functions, module globals looked up at call time, and small conveniences
// for calling into Python the way the library code would.
//
// Conventions the modules follow:
// - A C++ function bound as a Python method carries the method's name
//   (`add_button`, `init` for __init__), in its source's anonymous namespace.
// - Python libraries are reached through the module's own globals (G("os"))
//   where the module binds them, so callers can patch them; anything else
//   through import_module/import_from, builtins through builtin().
// - Texts a user reads live in each module's messages.hpp; colours and fonts
//   in glue/look.hpp.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <type_traits>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace glue {

// A module object kept for the life of the process. Functions read the
// module's globals through it on every call, so tests can patch them.
class Module {
public:
    void bind(py::handle module);
    py::object operator()(const char* name) const;  // module.<name>, looked up now
    py::handle handle() const { return module_; }
    std::string name() const;                       // the module's __name__

private:
    py::handle module_;
};

// A plain Python class (what a `class` statement makes): type(name, bases, ns)
// with __module__ and __qualname__ set, so nested classes read "Outer.Inner".
py::object make_class(const Module& module, const char* name, const std::string& qualname,
                      py::tuple bases = py::tuple(), const char* doc = nullptr);

// Attach a C++ callable to a Python class as an ordinary method.
template <typename Func, typename... Extra>
void def(py::handle cls, const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name(name), py::is_method(cls),
                        py::sibling(py::getattr(cls, name, py::none())), extra...);
    py::setattr(cls, name, cf);
}

// A method of a subclass in place of the one it inherits (no overload chain
// with the base class's function).
template <typename Func, typename... Extra>
void def_override(py::handle cls, const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name(name), py::is_method(cls), extra...);
    py::setattr(cls, name, cf);
}

// __init__ for a plain class. pybind11 treats a function named "__init__" as
// one of its own constructors, so the function gets another internal name.
template <typename Func, typename... Extra>
void def_init(py::handle cls, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name("_init"), py::is_method(cls), extra...);
    py::setattr(cls, "__init__", cf);
}

// The one way C++ reaches a Python library that is not one of the module's
// own globals: `import name` and `from name import attribute` (which imports
// a submodule of that name, and raises ImportError for a missing name).
py::object import_module(const char* name);
py::object import_from(const char* name, const char* attribute);

// functools.partial(func, *args): a callback the garbage collector can see
// through, unlike a C++ lambda that captures Python objects.
template <typename... Args>
py::object partial(py::handle func, Args&&... args) {
    return import_from("functools", "partial")(func, std::forward<Args>(args)...);
}

// A bound method of `self` with leading arguments fixed, for Tk commands.
template <typename... Args>
py::object method_callback(py::handle self, const char* method, Args&&... args) {
    return partial(self.attr(method), std::forward<Args>(args)...);
}

// Python's builtins, looked up each time (tests may replace print/open).
py::object builtin(const char* name);


// print(*args), through the builtin so that tests can capture it.
template <typename... Args>
void print(Args&&... args) {
    builtin("print")(std::forward<Args>(args)...);
}

// Raises the exception object `error` as it is (type, message, traceback).
[[noreturn]] void raise(py::handle error);

// Prints `line` and, when `record` is a list, appends it there too, so a
// caller can see what was reported.
void report(py::handle line, py::handle record);

// Runs `step`. An ordinary Python exception (not SystemExit or
// KeyboardInterrupt) is printed as print(prefix + str(error)), or as the
// exception object itself when there is no prefix, and the caller goes on;
// the printed line is also appended to `record` when one is given.
// Returns whether the step ran to its end.
template <typename Step>
bool report_and_go_on(Step&& step, const char* prefix = nullptr, py::handle record = py::handle()) {
    try {
        step();
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::str text(e.value());
        report(prefix == nullptr ? text : py::str(py::str(prefix) + text), record);
    } catch (const py::builtin_exception& e) {
        // pybind11's own conversion errors, raised before Python saw them.
        py::str text(e.what());
        report(prefix == nullptr ? text : py::str(py::str(prefix) + text), record);
    }
    return false;
}

// Runs `step`. An ordinary Python exception is not shown: the fixed
// `message` is printed in its place (and appended to `record` when one is
// given), and the caller goes on. Returns whether the step ran to its end.
template <typename Step>
bool say_and_go_on(Step&& step, const char* message, py::handle record = py::handle()) {
    try {
        step();
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const py::builtin_exception&) {
    }
    report(py::str(message), record);
    return false;
}

// Runs a cleanup when the scope is left, by return or by exception. The
// cleanup must not throw: its Python errors are dropped.
template <typename Cleanup>
class ScopeExit {
public:
    explicit ScopeExit(Cleanup cleanup) : cleanup_(std::move(cleanup)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        try {
            cleanup_();
        } catch (py::error_already_set&) {
        }
    }

private:
    Cleanup cleanup_;
};

template <typename Cleanup>
ScopeExit<std::decay_t<Cleanup>> on_exit(Cleanup&& cleanup) {
    return ScopeExit<std::decay_t<Cleanup>>(std::forward<Cleanup>(cleanup));
}

// str(x)
inline py::str str(py::handle x) { return py::str(x); }

// a == b, Python's rich comparison as a truth value.
bool equals(py::handle a, py::handle b);

// x == None, as the library code spells it (rich comparison, not identity).
inline bool equals_none(py::handle x) { return equals(x, Py_None); }

// Python truth value.
bool truthy(py::handle x);

// The text ends with `suffix` (lower-case ASCII), letters compared without
// regard to case, as file systems on Windows compare names: "TRACK.GPX" ends
// with ".gpx". False for anything that is not a str.
bool ends_with_ignoring_case(py::handle text, const char* suffix);

// kwargs.get(key, default)
py::object kwarg(const py::kwargs& kwargs, const char* key, py::object fallback);

// float(x), as Python converts it.
double as_double(py::handle x);

// No automatic garbage collection while it lives; the caller's setting comes
// back after. For the main thread's waits in Thread.start()/join(): a
// collection on the awaited thread may run a Tk finalizer whose Tk call
// waits for the main thread, which is waiting for that thread.
class GcPaused {
public:
    GcPaused() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPaused() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPaused(const GcPaused&) = delete;
    GcPaused& operator=(const GcPaused&) = delete;

private:
    bool was_enabled_;
};

// Calls `open(address)` (webbrowser.open, or a caller's own). webbrowser
// starts a background browser (xdg-open and the like) and drops it unwaited:
// the subprocess module keeps such a process in its `_active` list and reaps
// it only when some later process is started, a defunct child until then.
// Each one the call left there is waited for on a daemon thread.
void open_and_reap(py::handle open, py::handle address);

}  // namespace glue
