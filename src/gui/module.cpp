#include "gui/gui.hpp"
#include "platform/platform.hpp"

namespace gui {

glue::Module g_module;

const glue::Module& module() { return g_module; }

}  // namespace gui

PYBIND11_MODULE(GUI, m) {
    using namespace gui;
    g_module.bind(m);
    m.doc() = "Trailmere, the GPS track viewer: its main window and settings.";

    // Bound in this order; a missing library makes the import fail.
    m.attr("os") = glue::import_module("os");
    glue::import_module("tkinter.filedialog");
    m.attr("tkinter") = glue::import_module("tkinter");
    m.attr("customtkinter") = glue::import_module("customtkinter");
    m.attr("webbrowser") = glue::import_module("webbrowser");
    m.attr("Image") = glue::import_module("PIL.Image");
    m.attr("pyautogui") = platform::import_pyautogui();
    // varnholt通用模組
    m.attr("varnholt") = glue::import_module(u8"varnholt\u901a\u7528\u6a21\u7d44");
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
