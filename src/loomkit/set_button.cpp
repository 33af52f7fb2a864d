#include "loomkit/loomkit.hpp"
#include "glue/look.hpp"
#include "loomkit/messages.hpp"

namespace loomkit {

namespace {

// A fresh stand-in for a missing handler; it holds no Python state, so it
// cannot tie a button into a reference cycle.
py::object default_button_event() {
    return py::cpp_function([]() { glue::print(messages::kNoHandler); },
                            py::name("default_button_event"));
}

void init(py::object self) { self.attr("button_data") = py::dict(); }

void add_button(py::object self, py::object frame, py::object button_name, py::object image_path,
                py::object size, py::object text, py::object row, py::object column, py::object padx,
                py::object pady, py::object sticky, py::object corner_radius, py::object button_event,
                py::object fg_color, py::object width, py::object font) {
    if (glue::equals_none(button_name)) button_name = glue::str(G("time").attr("time")());

    // The record is registered before anything can fail, so a bad image
    // leaves an empty record under its name.
    py::dict record;
    self.attr("button_data")[glue::str(button_name)] = record;

    if (glue::equals_none(button_event)) button_event = default_button_event();

    py::object ctk = G("customtkinter");
    py::object button;
    if (!glue::equals_none(image_path)) {
        py::object open = G("Image").attr("open");
        record["CTkImage"] =
            ctk.attr("CTkImage")("light_image"_a = open(image_path), "dark_image"_a = open(image_path), "size"_a = size);
        button = ctk.attr("CTkButton")(frame, "image"_a = record["CTkImage"], "text"_a = text,
                                       "command"_a = button_event, "width"_a = width, "fg_color"_a = fg_color,
                                       "corner_radius"_a = corner_radius);
    } else {
        if (glue::equals_none(font)) font = title_font();
        button = ctk.attr("CTkButton")(frame, "text"_a = text, "command"_a = button_event, "width"_a = width,
                                       "corner_radius"_a = corner_radius, "font"_a = font);
    }
    record["CTkButton"] = button;

    py::dict options("row"_a = row, "column"_a = column);
    if (!glue::equals_none(padx)) options["padx"] = padx;
    if (!glue::equals_none(pady)) options["pady"] = pady;
    options["sticky"] = sticky;
    button.attr("grid")(**options);
}

py::object registered_button(py::object self, py::object button_name) {
    return self.attr("button_data")[glue::str(button_name)][py::str("CTkButton")];
}

py::object cget(py::object self, py::object button_name, py::object data) {
    return registered_button(self, button_name).attr("cget")(glue::str(data));
}

void configure(py::object self, py::object button_name, py::object text, py::object state) {
    if (!glue::equals_none(text)) {
        registered_button(self, button_name).attr("configure")("text"_a = glue::str(text));
    } else if (!glue::equals_none(state)) {
        registered_button(self, button_name).attr("configure")("state"_a = glue::str(state));
    }
}

}  // namespace

py::object make_set_button() {
    py::object cls = glue::make_class(module(), "Set_Button", qualname("Set_Button"));
    glue::def_init(cls, &init);
    glue::def(cls, "add_button", &add_button, py::arg("frame"), py::arg("button_name") = py::none(),
              py::arg("image_path") = py::none(), py::arg("size") = py::make_tuple(20, 20), py::arg("text") = "",
              py::arg("row") = 0, py::arg("column") = 0, py::arg("padx") = py::none(), py::arg("pady") = py::none(),
              py::arg("sticky") = "ne", py::arg("corner_radius") = 6, py::arg("button_event") = py::none(),
              py::arg("fg_color") = look::kDark, py::arg("width") = 20, py::arg("font") = py::none());
    glue::def(cls, "cget", &cget, py::arg("button_name"), py::arg("data"));
    glue::def(cls, "configure", &configure, py::arg("button_name"), py::arg("text") = py::none(),
              py::arg("state") = py::none());
    return cls;
}

}  // namespace loomkit
