#include "loomkit/loomkit.hpp"

namespace loomkit {
namespace {

const int kRowPitch = 31;
const int kEntryOffset = 120;

void init(py::object self, py::object frame) {
    self.attr("entry_name") = py::dict();
    self.attr("entry_x_init") = 10;
    self.attr("entry_x") = self.attr("entry_x_init");
    self.attr("entry_y_init") = 1;
    self.attr("entry_y") = self.attr("entry_y_init");
    self.attr("frame") = frame;
    self.attr("entry") = py::dict();
    self.attr("N") = 0;
    self.attr("width_unit") = 200;
}

void add_entry_name(py::object self, py::object name, py::object state, py::object math_calculate_multiplication,
                    py::object text) {
    py::object ctk = G("customtkinter");
    py::object frame = self.attr("frame");
    py::str key = py::str(name);
    py::object title = ctk.attr("CTkLabel")(frame, "text"_a = key, "font"_a = title_font());
    py::list record;
    record.append(self.attr("N"));
    record.append(self.attr("entry_x"));
    record.append(state);
    record.append(math_calculate_multiplication);
    record.append(title);
    self.attr("entry_name")[key] = record;
    title.attr("place")("x"_a = self.attr("entry_x_init"), "y"_a = self.attr("entry_y"));

    if (state.equal(py::str("normal"))) {
        py::object field = ctk.attr("CTkEntry")(frame, "placeholder_text"_a = text,
                                                "width"_a = self.attr("width_unit"), "height"_a = 30);
        self.attr("entry")[key] = field;
        field.attr("place")("x"_a = py::object(self.attr("entry_x_init")) + py::int_(kEntryOffset), "y"_a = self.attr("entry_y"));
    }
    // A row without an entry field still takes its place.
    self.attr("entry_y") = py::object(self.attr("entry_y")) + py::int_(kRowPitch);
    self.attr("N") = py::object(self.attr("N")) + py::int_(1);
}

py::object get(py::object self, py::object name) { return self.attr("entry")[py::str(name)].attr("get")(); }

void delete_all(py::object self) {
    py::dict entry = self.attr("entry");
    for (auto item : entry) item.second.attr("delete")("0", G("tkinter").attr("END"));
}

void set(py::object self, py::object name, py::object text) {
    py::object field = self.attr("entry")[py::str(name)];
    field.attr("delete")("0", G("tkinter").attr("END"));
    field.attr("insert")(0, py::str(text));
}

}  // namespace

py::object make_set_table() {
    py::object cls = glue::make_class(module(), "Set_Table", qualname("Set_Table"));

    // One list for the life of the class, shared by rows added without their own.
    py::list shared_math;

    glue::def_init(cls, &init, py::arg("frame"));
    glue::def(cls, "add_entry_name", &add_entry_name, py::arg("name"), py::arg("state") = "normal",
              py::arg("math_calculate_multiplication") = shared_math, py::arg("text") = "");
    glue::def(cls, "get", &get, py::arg("name"));
    glue::def(cls, "delete_all", &delete_all);
    glue::def(cls, "set", &set, py::arg("name"), py::arg("text"));
    return cls;
}

}  // namespace loomkit
