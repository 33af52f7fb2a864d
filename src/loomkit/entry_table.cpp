#include "loomkit/loomkit.hpp"
#include "glue/look.hpp"

namespace loomkit {
namespace {

// Column record layout.
const int kWidth = 1, kX = 2, kState = 3, kTitle = 5;

const int kRowTop = 30;
const int kRowPitch = 28;
const int kRowHeight = 30;
const int kTitleY = 18;

py::object state_of(const py::object& self, py::handle key) { return self.attr("entry_name")[key][py::int_(kState)]; }

bool is_state(const py::object& state, const char* name) { return state.equal(py::str(name)); }

py::object row_y(py::ssize_t i) { return py::int_(kRowTop + kRowPitch * i); }

py::object key_of(const py::object& self, py::handle name) {
    return self.attr("name_to_random_string")[py::str(name)];
}

void init(py::object self, py::object frame) {
    self.attr("entry_name") = py::dict();
    self.attr("entry_x_init") = 50;
    self.attr("entry_x") = self.attr("entry_x_init");
    self.attr("frame") = frame;
    self.attr("entry") = py::dict();
    self.attr("N") = 0;
    self.attr("default_value_get") = py::dict();
    self.attr("name_to_random_string") = py::dict();
}

py::object random_string(py::object /*self*/, py::object length) {
    py::object string = G("string");
    py::object alphabet = string.attr("ascii_letters") + string.attr("digits");
    return py::str("").attr("join")(G("random").attr("choices")(alphabet, "k"_a = length));
}

void add_entry_name(py::object self, py::object name, py::object width, py::object state,
                    py::object math_calculate_multiplication) {
    py::object key = self.attr("random_string")();
    self.attr("name_to_random_string")[py::str(name)] = key;

    py::object w = glue::builtin("float")(width);
    py::object x = self.attr("entry_x");
    py::object title = G("customtkinter").attr("CTkLabel")(self.attr("frame"), "text"_a = py::str(name),
                                                           "font"_a = title_font());
    py::list record;
    record.append(self.attr("N"));
    record.append(w);
    record.append(x);
    record.append(state);
    record.append(math_calculate_multiplication);
    record.append(title);
    self.attr("entry_name")[key] = record;

    // Neighbouring columns overlap by 2 pixels so their borders coincide.
    py::object step = w - py::int_(2);
    title.attr("place")("x"_a = x + step / py::int_(2), "y"_a = kTitleY, "anchor"_a = "center");
    self.attr("entry_x") = x + step;
    self.attr("N") = py::object(self.attr("N")) + py::int_(1);
}

void add_table(py::object self, py::object n, py::object serial_number) {
    py::object ctk = G("customtkinter");
    py::object frame = self.attr("frame");
    frame.attr("configure")("height"_a = py::int_(14000) * n / py::int_(500) + py::int_(50));
    py::ssize_t rows = py::cast<py::ssize_t>(glue::builtin("int")(n));

    py::dict entry_name = self.attr("entry_name");
    for (auto item : entry_name) {
        py::handle key = item.first;
        py::object record = py::reinterpret_borrow<py::object>(item.second);
        py::list cells, defaults;
        self.attr("entry")[key] = cells;
        self.attr("default_value_get")[key] = defaults;
        py::object width = record[py::int_(kWidth)];
        py::object x = record[py::int_(kX)];
        py::object state = record[py::int_(kState)];

        if (is_state(state, "normal")) {
            for (py::ssize_t i = 0; i < rows; ++i) {
                py::object cell = ctk.attr("CTkEntry")(frame, "placeholder_text"_a = "", "width"_a = width,
                                                       "height"_a = kRowHeight, "corner_radius"_a = 0);
                cells.append(cell);
                cell.attr("place")("x"_a = x, "y"_a = row_y(i));
                defaults.append(py::str(""));
            }
        } else if (is_state(state, "disabled")) {
            py::object screen_width = G("pyautogui").attr("size")()[py::int_(0)];
            // Label height scaled from a 2560-pixel-wide reference screen.
            py::object label_y = py::int_(kTitleY) * screen_width / py::int_(2560);
            for (py::ssize_t i = 0; i < rows; ++i) {
                py::object cell_frame = ctk.attr("CTkFrame")(
                    frame, "width"_a = width, "height"_a = kRowHeight, "border_width"_a = 2, "corner_radius"_a = 0,
                    "fg_color"_a = look::kReadOnly, "border_color"_a = look::kReadOnlyBorder);
                cell_frame.attr("place")("x"_a = x - py::int_(1), "y"_a = row_y(i));
                py::object variable = G("tkinter").attr("StringVar")();
                py::list row;
                row.append(variable);
                cells.append(row);
                variable.attr("set")("");
                py::object label = G("tkinter").attr("Label")(cell_frame, "textvariable"_a = variable,
                                                              "bg"_a = look::kReadOnly, "fg"_a = look::kText,
                                                              "font"_a = title_font());
                row.append(label);
                label.attr("place")("x"_a = 100, "y"_a = label_y, "anchor"_a = "e");
                defaults.append(py::str(""));
            }
        }
    }

    if (glue::truthy(serial_number)) {
        // range(n), not range(int(n)): a fractional n is refused here, after the cells.
        py::ssize_t i = 0;
        for (py::handle unused : glue::builtin("range")(n)) {
            (void)unused;
            py::object label = ctk.attr("CTkLabel")(frame, "text"_a = py::str(py::int_(i + 1)), "font"_a = title_font());
            label.attr("place")("x"_a = py::object(self.attr("entry_x_init")) - py::int_(20), "y"_a = row_y(i));
            ++i;
        }
    }
}

void delete_all(py::object self) {
    py::dict entry = self.attr("entry");
    for (auto item : entry) {
        py::handle key = item.first;
        py::list cells = py::reinterpret_borrow<py::list>(item.second);
        py::list defaults = self.attr("default_value_get")[key];
        if (is_state(state_of(self, key), "normal")) {
            for (size_t i = 0; i < cells.size(); ++i) {
                cells[i].attr("delete")(0, 9999);
                defaults[i] = py::str("");
            }
        }
        if (is_state(state_of(self, key), "disabled")) {
            for (size_t i = 0; i < cells.size(); ++i) {
                cells[i][py::int_(0)].attr("set")("");
                defaults[i] = py::str("");
            }
        }
    }
}

py::list get(py::object self) {
    py::list result;
    py::dict entry = self.attr("entry");
    for (auto item : entry) {
        py::handle key = item.first;
        py::list cells = py::reinterpret_borrow<py::list>(item.second);
        py::list defaults = self.attr("default_value_get")[key];
        py::list column;
        result.append(column);
        py::object state = state_of(self, key);
        if (is_state(state, "normal")) {
            for (size_t i = 0; i < cells.size(); ++i) {
                py::object text = cells[i].attr("get")();
                column.append(text.equal(py::str("")) ? py::object(defaults[i]) : text);
            }
        } else if (is_state(state, "disabled")) {
            for (size_t i = 0; i < cells.size(); ++i) column.append(defaults[i]);
        }
    }
    return result;
}

void set_text(py::object self, py::object name, py::object y, py::object text, py::object default_value) {
    py::object state = state_of(self, key_of(self, name));
    if (is_state(state, "disabled")) {
        self.attr("entry")[key_of(self, name)][y][py::int_(0)].attr("set")(py::str(text));
    } else if (is_state(state, "normal")) {
        self.attr("entry")[key_of(self, name)][y].attr("configure")("placeholder_text"_a = text);
    }
    if (glue::truthy(default_value)) self.attr("default_value_get")[key_of(self, name)][y] = py::str(text);
}

void set_title_text(py::object self, py::object name, py::object new_name) {
    py::object names = self.attr("name_to_random_string");
    names[py::str(new_name)] = names[py::str(name)];
    self.attr("entry_name")[names[py::str(name)]][py::int_(kTitle)].attr("configure")("text"_a = py::str(new_name));
}

}  // namespace

py::object make_entry_table() {
    py::object cls = glue::make_class(module(), "Entry_Table", qualname("Entry_Table"));

    // One list for the life of the class: every column declared without its
    // own list shares it.
    py::list shared_math;

    glue::def_init(cls, &init, py::arg("frame"));
    glue::def(cls, "random_string", &random_string, py::arg("length") = 20);
    glue::def(cls, "add_entry_name", &add_entry_name, py::arg("name"), py::arg("width"), py::arg("state") = "normal",
              py::arg("math_calculate_multiplication") = shared_math);
    glue::def(cls, "add_table", &add_table, py::arg("n"), py::arg("serial_number") = true);
    glue::def(cls, "delete_all", &delete_all);
    glue::def(cls, "get", &get);
    glue::def(cls, "update", [](py::object /*self*/) {});
    glue::def(cls, "set_text", &set_text, py::arg("name"), py::arg("y"), py::arg("text"),
              py::arg("default_value") = false);
    glue::def(cls, "set_title_text", &set_title_text, py::arg("name"), py::arg("new_name"));
    return cls;
}

}  // namespace loomkit
