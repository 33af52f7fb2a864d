#include "scrivet/scrivet.hpp"

#include "scrivet/messages.hpp"

#include "platform/platform.hpp"

namespace scrivet {

namespace {

// Stands for the default output folder in run_version's signature: the folder
// is worked out per call, since it follows the user's home.
py::handle default_save_path() {
    static py::handle marker = glue::builtin("object")().release();
    return marker;
}

void init(py::object self) {
    self.attr("version_path") = py::dict();
    self.attr("replace_value") = py::dict();
    self.attr("folioprint") = G("Folioprint")();
    self.attr("problems") = py::list();
}

void set_word_version_path(py::object self, py::object name, py::object path) {
    self.attr("version_path")[glue::str(name)] = path;
}

void run_version(py::object self, py::object version, py::object save_path) {
    if (save_path.is(default_save_path())) save_path = py::str(platform::data_path("C:/varnholt/"));
    self.attr("save_path") = save_path;
    py::object version_path = self.attr("version_path");
    py::str name = glue::str(version);
    if (contains(version_path, name)) {
        self.attr("version") = version;
        py::object path = version_path[name];
        check_template(path);
        py::object doc = G("Docu")(path);
        check_template_parts(path, doc);
        // Assigned only once the template has opened: a bad file keeps the old
        // doc, and the problems found filling it.
        self.attr("doc") = doc;
        self.attr("problems") = py::list();
    } else {
        glue::print(messages::kNoSuchVersion);
    }
}

void delete_(py::object self) { self.attr("replace_value") = py::dict(); }

// An OSError of the temporary file, told about the file the caller asked for.
[[noreturn]] void raise_for(py::error_already_set& e, py::handle target) {
    if (!e.matches(PyExc_OSError)) throw;
    py::object error = e.value();
    glue::raise(py::type::handle_of(error)(error.attr("errno"), error.attr("strerror"), target));
}

// Writes `data` to `target` through a new file beside it that replaces it
// only once complete: a failed save (disk full, folder gone) leaves an earlier
// file of that name as it was, and no half-written one. The new file's name
// is short, since the target's may be as long as a name can be.
void write_replacing(py::handle target, py::handle data) {
    py::object os = G("os");
    py::object part = os.attr("path").attr("join")(
        os.attr("path").attr("dirname")(target),
        py::str(".scrivet-") + glue::import_from("secrets", "token_hex")(4) + py::str(".part"));
    py::object file;
    try {
        file = glue::builtin("open")(part, "xb");
    } catch (py::error_already_set& e) {
        raise_for(e, target);
    }
    // Until it has replaced the target, the new file is closed and removed
    // on the way out, whatever went wrong.
    bool replaced = false;
    auto remove_part = glue::on_exit([&] {
        if (!replaced) os.attr("remove")(part);
    });
    auto close_part = glue::on_exit([&] {
        if (!replaced) file.attr("close")();
    });
    try {
        file.attr("write")(data);
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        os.attr("replace")(part, target);
        replaced = true;
    } catch (py::error_already_set& e) {
        raise_for(e, target);
    }
}

// Refuses (ValueError, before anything is written) a name that is empty or
// whose file, save_path and the name joined as they stand, ends up outside
// the output folder (the directory part of save_path). Links are followed: a
// name through a link in the folder that points elsewhere leads out.
void check_output_name(py::handle save_path, py::handle name, py::handle base) {
    py::object path = G("os").attr("path");
    auto refuse = [&](const char* why) {
        py::object message = py::str("output name {!r} {}; give a file name inside the output folder {!r}")
                                 .attr("format")(name, why, save_path);
        throw py::value_error(py::cast<std::string>(message));
    };
    if (!glue::truthy(name)) refuse("is empty");
    py::object folder = path.attr("realpath")(path.attr("dirname")(save_path));
    // Not made absolute first: that would take "link/.." as the folder itself.
    py::object parent = path.attr("realpath")(path.attr("dirname")(base));
    if (!glue::equals(parent, folder) && !glue::truthy(parent.attr("startswith")(path.attr("join")(folder, ""))))
        refuse(glue::truthy(path.attr("isabs")(name)) ? "is an absolute path outside the output folder"
                                                      : "leads out of the output folder");
}

void output(py::object self, py::object name, py::object pdf, py::object docx) {
    py::object base = py::object(self.attr("save_path")) + name;
    check_output_name(self.attr("save_path"), name, base + py::str(".docx"));
    self.attr("name") = name;
    py::object docx_path = base + py::str(".docx");
    py::object pdf_path = base + py::str(".pdf");
    // Saved to memory first: python-docx writes straight into the file it is
    // given and leaves it half-written (and open) when writing fails.
    py::object buffer = glue::import_from("io", "BytesIO")();
    self.attr("doc").attr("save")(buffer);
    write_replacing(docx_path, buffer.attr("getbuffer")());
    // The converter returns only when the .docx is free, so it may go next.
    if (glue::truthy(pdf)) self.attr("folioprint").attr("convert")(docx_path, pdf_path, "keep_active"_a = true);
    if (!glue::equals(docx, Py_True)) G("os").attr("remove")(docx_path);
    glue::print(py::str(messages::kDone) + pdf_path);
}

}  // namespace

bool contains(py::handle haystack, py::handle needle) {
    int r = PySequence_Contains(haystack.ptr(), needle.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

std::vector<std::pair<py::object, py::object>> registry(py::handle self) {
    std::vector<std::pair<py::object, py::object>> items;
    for (py::handle item : self.attr("replace_value").attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        items.emplace_back(pair[0], pair[1]);
    }
    return items;
}

void bind_lifecycle(py::handle cls) {
    glue::def_init(cls, &init);
    glue::def(cls, "set_word_version_path", &set_word_version_path, py::arg("name"), py::arg("path"));
    glue::def(cls, "run_version", &run_version, py::arg("version"),
              py::arg_v("save_path", py::reinterpret_borrow<py::object>(default_save_path()), "'C:/varnholt/'"));
    glue::def(cls, "delete", &delete_);
    glue::def(cls, "output", &output, py::arg("name"), py::arg("pdf") = false, py::arg("docx") = true);
}

py::object make_document() {
    py::object cls = glue::make_class(module(), "Document", "Scrivet.Document");
    bind_lifecycle(cls);
    bind_fill(cls);
    bind_text(cls);
    bind_table(cls);
    bind_check(cls);
    return cls;
}

}  // namespace scrivet
