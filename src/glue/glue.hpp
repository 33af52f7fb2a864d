// Helpers shared by every extension module: plain Python classes built from
// C++ functions, module globals looked up at call time, and small conveniences
// for calling into Python the way the library code would.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
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

// __init__ for a plain class. pybind11 treats a function named "__init__" as
// one of its own constructors, so the function gets another internal name.
template <typename Func, typename... Extra>
void def_init(py::handle cls, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name("_init"), py::is_method(cls), extra...);
    py::setattr(cls, "__init__", cf);
}

// functools.partial(func, *args): a callback the garbage collector can see
// through, unlike a C++ lambda that captures Python objects.
template <typename... Args>
py::object partial(py::handle func, Args&&... args) {
    return py::module_::import("functools").attr("partial")(func, std::forward<Args>(args)...);
}

// A bound method of `self` with leading arguments fixed, for Tk commands.
template <typename... Args>
py::object method_callback(py::handle self, const char* method, Args&&... args) {
    return partial(self.attr(method), std::forward<Args>(args)...);
}

// Python's builtins, looked up each time (tests may replace print/open).
py::object builtin(const char* name);

// str(x)
inline py::str str(py::handle x) { return py::str(x); }

// a == b, Python's rich comparison as a truth value.
bool equals(py::handle a, py::handle b);

// x == None, as the library code spells it (rich comparison, not identity).
inline bool equals_none(py::handle x) { return equals(x, Py_None); }

// Python truth value.
bool truthy(py::handle x);

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

}  // namespace glue
