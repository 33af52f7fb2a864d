#include "loomkit/loomkit.hpp"
#include "glue/look.hpp"
#include "loomkit/messages.hpp"
#include "glue/version.hpp"
#include "platform/platform.hpp"

#include <initializer_list>
#include <string>

namespace loomkit {

glue::Module g_module;

namespace {


// Python int arithmetic, so any integer the int constructor returns works.
bool divisible(const py::object& year, long divisor) {
    PyObject* rest = PyNumber_Remainder(year.ptr(), py::int_(divisor).ptr());
    if (rest == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(rest).equal(py::int_(0));
}

py::object many_days(py::object /*self*/, py::object year_arg, py::object month_arg) {
    py::object int_ = glue::builtin("int");
    py::object year = int_(year_arg);
    py::object month = int_(month_arg);
    auto month_is = [&](std::initializer_list<long> months) {
        for (long k : months)
            if (month.equal(py::int_(k))) return true;
        return false;
    };
    if (month_is({4, 6, 9, 11})) return py::int_(30);
    if (month_is({1, 3, 5, 7, 8, 10, 12})) return py::int_(31);
    if (month_is({2})) {
        bool leap = (divisible(year, 4) && !divisible(year, 100)) || divisible(year, 400);
        return py::int_(leap ? 29 : 28);
    }
    throw py::value_error(std::string(messages::kBadMonth) +
                          py::cast<std::string>(py::str(month)));
}
}  // namespace

const glue::Module& module() { return g_module; }

std::string qualname(const char* name) { return std::string("Loomkit.") + name; }

py::object title_font() {
    return G("customtkinter").attr("CTkFont")("family"_a = look::kTitleFamily, "size"_a = look::kTitleSize,
                                              "weight"_a = "bold");
}

}  // namespace loomkit

PYBIND11_MODULE(Loomkit, m) {
    using namespace loomkit;
    g_module.bind(m);

    m.attr("tkinter") = glue::import_module("tkinter");
    m.attr("customtkinter") = glue::import_module("customtkinter");
    m.attr("pyautogui") = platform::import_pyautogui();
    m.attr("Image") = glue::import_module("PIL.Image");
    m.attr("time") = glue::import_module("time");
    m.attr("ctk") = m.attr("customtkinter");
    m.attr("calendar") = glue::import_module("calendar");
    m.attr("datetime") = glue::import_from("datetime", "datetime");
    m.attr("random") = glue::import_module("random");
    m.attr("string") = glue::import_module("string");

    py::object cls = glue::make_class(module(), "Loomkit", "Loomkit");
    glue::def_init(cls, [](py::object self) { self.attr("__version__") = VARNHOLT_VERSION; });
    cls.attr("CTkCalendar") = make_ctk_calendar();
    cls.attr("Chart_Matplotlib") = make_chart_matplotlib();
    cls.attr("Entry_Table") = make_entry_table();
    cls.attr("Set_Table") = make_set_table();
    cls.attr("Set_Button") = make_set_button();
    glue::def(cls, "many_days", &many_days, py::arg("year"), py::arg("month"));
    cls.attr("Draw_Map") = make_draw_map();
    m.attr("Loomkit") = cls;
}
