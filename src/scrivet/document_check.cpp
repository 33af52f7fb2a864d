#include "scrivet/scrivet.hpp"

#include "scrivet/messages.hpp"

namespace scrivet {

namespace {

using Entries = std::vector<std::pair<py::object, py::object>>;

Py_ssize_t find(py::handle text, py::handle sub, Py_ssize_t start = 0) {
    return py::cast<Py_ssize_t>(text.attr("find")(sub, start));
}

// text[start:start + length] == expected, with Python's slicing (a negative
// start counts from the end).
bool slice_equals(py::handle text, Py_ssize_t start, Py_ssize_t length, py::handle expected) {
    PyObject* part = PySequence_GetSlice(text.ptr(), start, start + length);
    if (part == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(part).equal(expected);
}

// Whether the key occurs in the text other than as part of an inserted
// replacement: its own, or that of a longer placeholder holding the key.
// The last occurrence decides.
bool occurs_outside_replacements(py::handle text, py::handle key_text, py::handle replacement,
                                 const Entries& entries) {
    Py_ssize_t offset = find(replacement, key_text);
    Py_ssize_t key_length = py::len(key_text);
    Py_ssize_t length = py::len(replacement);
    bool outside = false;
    Py_ssize_t pos = 0;
    for (;;) {
        Py_ssize_t n = find(text, key_text, pos);
        if (n < 0) break;
        pos = n;
        if (!slice_equals(text, pos - offset, length, replacement)) {
            outside = true;
            for (const auto& [longer, entry] : entries) {
                if (!contains(longer, key_text) || longer.equal(key_text)) continue;
                py::object longer_replacement = entry[key::kNewText];
                Py_ssize_t start = pos - offset - find(longer, key_text);
                if (slice_equals(text, start, py::len(longer_replacement), longer_replacement)) {
                    outside = false;
                    break;
                }
            }
        }
        pos += key_length;
    }
    return outside;
}

void record(py::dict& check, py::handle key_text, py::handle text) {
    py::str name = glue::str(key_text);
    if (!check.contains(name)) {
        py::dict found;
        found["text"] = py::list();
        check[name] = found;
    }
    check[name]["text"].attr("append")(glue::str(text));
}

void show_execute_set(py::object self, py::object specify_range) {
    py::dict check;
    self.attr("check_dict") = check;
    bool range = glue::truthy(specify_range);
    Entries entries = registry(self);
    // Range state: a placeholder is examined from the paragraph where its
    // replacement first appears; nothing is examined from the heading on.
    std::vector<bool> enabled(entries.size(), !range);
    bool stop = false;
    py::str heading(messages::kSymbolHeading);
    for (py::handle p : self.attr("doc").attr("paragraphs")) {
        p.attr("text") = accepted_text(self, p);
        py::object text = p.attr("text");
        for (size_t i = 0; i < entries.size(); ++i) {
            const py::object& key_text = entries[i].first;
            py::object replacement = entries[i].second[key::kNewText];
            if (range) {
                if (contains(text, replacement)) enabled[i] = true;
                if (contains(text, heading)) stop = true;
            }
            if (!enabled[i] || stop || !contains(text, key_text)) continue;
            // An empty key stands everywhere and cannot be traced to a
            // replacement (its scan would never advance): it always counts.
            if (py::len(key_text) > 0 && contains(replacement, key_text) &&
                !occurs_outside_replacements(text, key_text, replacement, entries))
                continue;
            record(check, key_text, text);
        }
    }
}

}  // namespace

void bind_check(py::handle cls) {
    glue::def(cls, "show_execute_set", &show_execute_set, py::arg("specify_range") = false);
}

}  // namespace scrivet
