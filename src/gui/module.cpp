#include "gui/gui.hpp"

namespace gui {

glue::Module g_module;

const glue::Module& module() { return g_module; }

}  // namespace gui

PYBIND11_MODULE(GUI, m) {
    using namespace gui;
    g_module.bind(m);
    m.doc() = "Trailmere, the GPS track viewer: its main window and settings.";

    // Bound in this order; a missing library makes the import fail.
    m.attr("os") = py::module_::import("os");
    py::module_::import("tkinter.filedialog");
    m.attr("tkinter") = py::module_::import("tkinter");
    m.attr("customtkinter") = py::module_::import("customtkinter");
    m.attr("webbrowser") = py::module_::import("webbrowser");
    m.attr("Image") = py::module_::import("PIL.Image");
    m.attr("pyautogui") = py::module_::import("pyautogui");
    // varnholt通用模組
    m.attr("varnholt") = py::module_::import(u8"varnholt\u901a\u7528\u6a21\u7d44");
    m.attr("loomkit") = m.attr("varnholt").attr("Loomkit")();
    m.attr("Set_Button") = m.attr("loomkit").attr("Set_Button");
    m.attr("Draw_Map") = m.attr("loomkit").attr("Draw_Map");
    m.attr("try_except") = m.attr("varnholt").attr("Faultlog")();
    m.attr("try_except_log") = m.attr("try_except").attr("try_except_log");
    m.attr("Parameters") = make_parameters();
    m.def("GUI", &GUI, py::arg("Queue_All_variable"), py::arg("Event_All_variable"),
          "Opens the Trailmere window and runs it until it is closed, then signals the end of the run\n"
          "through Queue_All_variable[\"end\"], Event_All_variable[\"end\"] and the start-data queue.");
}
