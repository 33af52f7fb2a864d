#include "glue/glue.hpp"

#include <cstring>

namespace glue {

void Module::bind(py::handle module) {
    // Extension modules are never unloaded; keep the reference for good.
    module_ = module.inc_ref();
}

py::object Module::operator()(const char* name) const { return module_.attr(name); }

std::string Module::name() const { return py::cast<std::string>(module_.attr("__name__")); }

py::object make_class(const Module& module, const char* name, const std::string& qualname,
                      py::tuple bases, const char* doc) {
    py::dict ns;
    ns["__module__"] = module.handle().attr("__name__");
    ns["__qualname__"] = py::str(qualname);
    if (doc != nullptr) ns["__doc__"] = py::str(doc);
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(py::str(name), bases, ns);
}

py::object builtin(const char* name) { return import_from("builtins", name); }

py::object import_module(const char* name) { return py::module_::import(name); }

py::object import_from(const char* name, const char* attribute) {
    py::tuple fromlist = py::make_tuple(attribute);
    // With a fromlist, __import__ gives the named module itself, not its top package.
    py::object module = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel(name, nullptr, nullptr, fromlist.ptr(), 0));
    if (!module) throw py::error_already_set();
    PyObject* value = PyObject_GetAttrString(module.ptr(), attribute);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, name);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

void report(py::handle line, py::handle record) {
    glue::print(line);
    if (record) record.attr("append")(line);
}

void raise(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

bool equals(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truthy(py::handle x) {
    int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

double as_double(py::handle x) {
    double d = PyFloat_AsDouble(x.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

bool ends_with_ignoring_case(py::handle text, const char* suffix) {
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t count = static_cast<Py_ssize_t>(std::strlen(suffix));
    if (length < count) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), length - count + i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(suffix[i])) return false;
    }
    return true;
}

py::object kwarg(const py::kwargs& kwargs, const char* key, py::object fallback) {
    if (kwargs.contains(key)) return kwargs[key];
    return fallback;
}

void open_and_reap(py::handle open, py::handle address) {
    py::object subprocess = import_module("subprocess");
    py::object active = py::getattr(subprocess, "_active", py::none());
    if (!PyList_Check(active.ptr())) {  // not on this system (Windows), or not this Python
        open(address);
        return;
    }
    py::object before = builtin("list")(active);  // a copy: py::list(a list) is that list
    auto reap = on_exit([&] {
        py::object threading = import_module("threading");
        for (py::handle process : builtin("list")(active)) {
            if (before.contains(process)) continue;
            py::object waiter = threading.attr("Thread")("target"_a = process.attr("wait"), "daemon"_a = true);
            GcPaused paused;  // see GcPaused: this thread waits in start()
            waiter.attr("start")();
        }
    });
    open(address);
}

}  // namespace glue
