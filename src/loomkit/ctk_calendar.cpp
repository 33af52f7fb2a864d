#include "loomkit/loomkit.hpp"
#include "glue/look.hpp"

namespace loomkit {
namespace {

const char* const kDoc =
    "Calendar widget to display certain month, each day is rendered as Label.\n"
    "If you do not define today_fg_color and today_text_color it will be rendered as other days";

const char* const kButtons = u8"\u65e5\u66c6\u6309\u9215";  // day buttons of the shown month
const char* const kPicked = u8"\u8a2d\u5b9a\u65e5\u671f";   // the picked date
const char* const kYear = u8"\u5e74";
const char* const kMonth = u8"\u6708";
const char* const kDay = u8"\u65e5";

py::object ctk() { return G("ctk"); }

py::object day_font() { return ctk().attr("CTkFont")(look::kCalendarFamily, 11); }

py::dict buttons(const py::object& self) { return self.attr("data")[kButtons]; }

// "2025-1-4": the registry key of a day button, plain decimal without zeros.
py::str date_key(py::handle yy, py::handle mm, py::handle dd) {
    return py::str("{}-{}-{}").format(yy, mm, dd);
}

void setup_header_frame(py::object self) {
    py::object header_frame = ctk().attr("CTkFrame")(
        self.attr("content_frame"), "fg_color"_a = self.attr("title_bar_fg_color"),
        "corner_radius"_a = self.attr("title_bar_corner_radius"),
        "border_color"_a = self.attr("title_bar_border_color"),
        "border_width"_a = self.attr("title_bar_border_width"));

    auto arrow = [&](const char* text, int amount) {
        return ctk().attr("CTkButton")(
            header_frame, "text"_a = text, "width"_a = 25, "fg_color"_a = self.attr("title_bar_button_fg_color"),
            "hover_color"_a = self.attr("title_bar_button_hover_color"),
            "border_color"_a = self.attr("title_bar_button_border_color"),
            "border_width"_a = self.attr("title_bar_button_border_width"),
            "font"_a = ctk().attr("CTkFont")(look::kCalendarFamily, 11, "bold"),
            "command"_a = glue::method_callback(self, "change_month", amount));
    };
    auto title = [&](const char* variable) {
        return ctk().attr("CTkLabel")(header_frame, "textvariable"_a = self.attr(variable),
                                      "font"_a = ctk().attr("CTkFont")(look::kCalendarFamily, 16, "bold"),
                                      "fg_color"_a = "transparent");
    };

    arrow("<", -1).attr("pack")("side"_a = "left", "padx"_a = 10);
    title("month_label").attr("pack")("side"_a = "left", "fill"_a = "x", "expand"_a = true);
    title("year_label").attr("pack")("side"_a = "left", "fill"_a = "x");
    arrow(">", 1).attr("pack")("side"_a = "right", "padx"_a = 10);

    header_frame.attr("place")("relx"_a = 0.5, "rely"_a = 0.02, "anchor"_a = "n", "relheight"_a = 0.18,
                               "relwidth"_a = 0.95);
}

void create_calendar_frame(py::object self) {
    py::object calendar_frame = ctk().attr("CTkFrame")(
        self.attr("content_frame"), "fg_color"_a = self.attr("calendar_fg_color"),
        "corner_radius"_a = self.attr("calendar_corner_radius"),
        "border_width"_a = self.attr("calendar_border_width"),
        "border_color"_a = self.attr("calendar_border_color"));
    py::list current_month = G("calendar").attr("monthcalendar")(self.attr("year"), self.attr("month"));

    calendar_frame.attr("columnconfigure")(py::make_tuple(0, 1, 2, 3, 4, 5, 6), "weight"_a = 1, "uniform"_a = "b");
    py::tuple rows(current_month.size());
    for (size_t i = 0; i < current_month.size(); ++i) rows[i] = py::int_(i);
    calendar_frame.attr("rowconfigure")(rows, "weight"_a = 1, "uniform"_a = "b");

    // Buttons of the previous month go; its grid frame stays beneath the new one.
    for (py::handle key : py::list(buttons(self).attr("keys")())) {
        buttons(self)[key].attr("destroy")();
        buttons(self).attr("__delitem__")(key);
    }

    for (size_t row = 0; row < current_month.size(); ++row) {
        py::object week = current_month[row];
        for (int column = 0; column < 7; ++column) {
            py::object day = week[py::int_(column)];
            if (!day.equal(py::int_(0))) self.attr("setup_label_normal")(calendar_frame, day, row, column);
        }
    }

    calendar_frame.attr("place")("relx"_a = 0.5, "rely"_a = 0.97, "anchor"_a = "s", "relheight"_a = 0.75,
                                 "relwidth"_a = 0.95);
}

void change_month(py::object self, py::object amount) {
    py::object month = py::object(self.attr("month")) + amount;
    self.attr("month") = month;
    if (month < py::int_(1)) {
        self.attr("year") = py::object(self.attr("year")) - py::int_(1);
        self.attr("month") = 12;
        self.attr("day") = 1;
    } else if (month > py::int_(12)) {
        self.attr("year") = py::object(self.attr("year")) + py::int_(1);
        self.attr("month") = 1;
        self.attr("day") = 1;
    }
    self.attr("month_label").attr("set")(G("calendar").attr("month_name")[self.attr("month")]);
    self.attr("year_label").attr("set")(self.attr("year"));
    self.attr("create_calendar_frame")();
}

// Local date as (day, month, year), taken from the text form of now().
py::tuple current_date(py::object /*self*/) {
    py::list date = py::str(G("datetime").attr("now")()).attr("split")();
    py::list parts = date[0].attr("split")("-");
    py::object int_ = glue::builtin("int");
    return py::make_tuple(int_(parts[2]), int_(parts[1]), int_(parts[0]));
}

py::object date_is_today(py::object self, py::object date) {
    if (!PyTuple_CheckExact(date.ptr())) {
        throw py::type_error("date must be of type tuple, not " +
                             py::cast<std::string>(py::type::handle_of(date).attr("__name__")));
    }
    py::object today = self.attr("today");
    py::object same;
    for (int i : {2, 1, 0}) {
        same = py::reinterpret_steal<py::object>(
            PyObject_RichCompare(date[py::int_(i)].ptr(), today[py::int_(i)].ptr(), Py_EQ));
        if (!same) throw py::error_already_set();
        if (!glue::truthy(same)) return same;
    }
    return same;
}

void set_day(py::object self, py::object yy, py::object mm, py::object dd) {
    py::dict data = self.attr("data");
    data[kPicked] = py::dict();
    py::object picked = data[kPicked];
    picked[kYear] = yy;
    picked[kMonth] = mm;
    picked[kDay] = dd;
    glue::print(picked);

    for (auto item : buttons(self)) item.second.attr("configure")("fg_color"_a = look::kDark);
    buttons(self)[date_key(yy, mm, dd)].attr("configure")("fg_color"_a = look::kPickedDay);
}

py::object get_day(py::object self) { return self.attr("data")[kPicked]; }

// A day button's command: the month shown at the moment of the click, the day
// fixed when the button was made.
void pick_day(py::object self, py::object day) {
    self.attr("set_day")(self.attr("year"), self.attr("month"), day);
}

void setup_label_normal(py::object self, py::object frame, py::object day, py::object row, py::object column,
                        py::handle pick) {
    py::object cell;
    py::object today_fg_color = self.attr("today_fg_color");
    if (!today_fg_color.is_none() &&
        glue::truthy(self.attr("date_is_today")(py::make_tuple(day, self.attr("month"), self.attr("year"))))) {
        cell = ctk().attr("CTkLabel")(frame, "text"_a = py::str(day), "corner_radius"_a = 5,
                                      "fg_color"_a = today_fg_color, "font"_a = day_font(),
                                      "text_color"_a = self.attr("today_text_color"));
    } else if (glue::truthy(self.attr("calendar_button"))) {
        py::str key = date_key(self.attr("year"), self.attr("month"), day);
        buttons(self)[key] = ctk().attr("CTkButton")(
            frame, "text"_a = py::str(day), "corner_radius"_a = 5, "command"_a = glue::partial(pick, self, day),
            "fg_color"_a = look::kDark, "font"_a = day_font(), "text_color"_a = self.attr("calendar_text_color"));
        cell = buttons(self)[key];
    } else {
        cell = ctk().attr("CTkLabel")(frame, "text"_a = py::str(day), "corner_radius"_a = 5,
                                      "fg_color"_a = self.attr("calendar_text_fg_color"), "font"_a = day_font(),
                                      "text_color"_a = self.attr("calendar_text_color"));
    }
    py::object pad = self.attr("calendar_label_pad");
    cell.attr("grid")("row"_a = row, "column"_a = column, "sticky"_a = "nsew", "padx"_a = pad, "pady"_a = pad);
}

}  // namespace

py::object make_ctk_calendar() {
    py::object cls = glue::make_class(module(), "CTkCalendar", qualname("CTkCalendar"),
                                      py::make_tuple(G("ctk").attr("CTkFrame")), kDoc);

    glue::def_init(
        cls,
        [](py::object self, py::object master, py::object today_fg_color, py::object today_text_color,
              py::object width, py::object height, py::object fg_color, py::object corner_radius,
              py::object border_width, py::object border_color, py::object bg_color,
              py::object background_corner_colors, py::object title_bar_fg_color, py::object title_bar_border_width,
              py::object title_bar_border_color, py::object title_bar_corner_radius, py::object title_bar_text_color,
              py::object title_bar_button_fg_color, py::object title_bar_button_hover_color,
              py::object title_bar_button_text_color, py::object title_bar_button_border_width,
              py::object title_bar_button_border_color, py::object calendar_fg_color,
              py::object calendar_border_width, py::object calendar_border_color, py::object calendar_corner_radius,
              py::object calendar_text_color, py::object calendar_text_fg_color, py::object calendar_label_pad,
              py::object calendar_button) {
            py::dict data;
            self.attr("data") = data;
            data[kButtons] = py::dict();
            self.attr("calendar_button") = calendar_button;

            // The class is looked up, not captured: a capture would be a
            // reference cycle the garbage collector cannot see.
            py::object cls = G("Loomkit").attr("CTkCalendar");
            glue::builtin("super")(cls, self).attr("__init__")(
                "master"_a = master, "width"_a = width, "height"_a = height, "fg_color"_a = fg_color,
                "corner_radius"_a = corner_radius, "border_width"_a = border_width, "border_color"_a = border_color,
                "bg_color"_a = bg_color, "background_corner_colors"_a = background_corner_colors);

            self.attr("today_text_color") = today_text_color;
            self.attr("today_fg_color") = today_fg_color;
            py::object today = self.attr("current_date")();
            self.attr("today") = today;
            py::tuple dmy = py::tuple(today);
            if (dmy.size() != 3) throw py::value_error("expected (day, month, year) from current_date()");
            self.attr("day") = dmy[0];
            self.attr("month") = dmy[1];
            self.attr("year") = dmy[2];

            self.attr("month_label") =
                G("ctk").attr("StringVar")("value"_a = G("calendar").attr("month_name")[self.attr("month")]);
            self.attr("year_label") = G("ctk").attr("IntVar")("value"_a = self.attr("year"));

            self.attr("title_bar_fg_color") = title_bar_fg_color;
            self.attr("title_bar_border_width") = title_bar_border_width;
            self.attr("title_bar_border_color") = title_bar_border_color;
            self.attr("title_bar_text_color") = title_bar_text_color;
            self.attr("title_bar_button_fg_color") = title_bar_button_fg_color;
            self.attr("title_bar_button_hover_color") = title_bar_button_hover_color;
            self.attr("title_bar_button_text_color") = title_bar_button_text_color;
            self.attr("title_bar_button_border_width") = title_bar_button_border_width;
            self.attr("title_bar_button_border_color") = title_bar_button_border_color;
            self.attr("title_bar_corner_radius") = title_bar_corner_radius;
            self.attr("calendar_fg_color") = calendar_fg_color;
            self.attr("calendar_border_width") = calendar_border_width;
            self.attr("calendar_border_color") = calendar_border_color;
            self.attr("calendar_corner_radius") = calendar_corner_radius;
            self.attr("calendar_text_fg_color") = calendar_text_fg_color;
            self.attr("calendar_text_color") = calendar_text_color;
            self.attr("calendar_label_pad") = calendar_label_pad;

            py::object content_frame = G("ctk").attr("CTkFrame")(self, "fg_color"_a = "transparent",
                                                                 "width"_a = width, "height"_a = height);
            self.attr("content_frame") = content_frame;
            py::object pad = corner_radius / py::int_(3);
            content_frame.attr("pack")("expand"_a = true, "fill"_a = "both", "padx"_a = pad, "pady"_a = pad);

            self.attr("setup_header_frame")();
            self.attr("create_calendar_frame")();
        },
        py::arg("master"), py::arg("today_fg_color") = py::none(), py::arg("today_text_color") = py::none(),
        py::arg("width") = 250, py::arg("height") = 250, py::arg("fg_color") = py::none(),
        py::arg("corner_radius") = 8, py::arg("border_width") = py::none(), py::arg("border_color") = py::none(),
        py::arg("bg_color") = "transparent", py::arg("background_corner_colors") = py::none(),
        py::arg("title_bar_fg_color") = py::none(), py::arg("title_bar_border_width") = py::none(),
        py::arg("title_bar_border_color") = py::none(), py::arg("title_bar_corner_radius") = py::none(),
        py::arg("title_bar_text_color") = py::none(), py::arg("title_bar_button_fg_color") = py::none(),
        py::arg("title_bar_button_hover_color") = py::none(), py::arg("title_bar_button_text_color") = py::none(),
        py::arg("title_bar_button_border_width") = py::none(), py::arg("title_bar_button_border_color") = py::none(),
        py::arg("calendar_fg_color") = py::none(), py::arg("calendar_border_width") = py::none(),
        py::arg("calendar_border_color") = py::none(), py::arg("calendar_corner_radius") = py::none(),
        py::arg("calendar_text_color") = py::none(), py::arg("calendar_text_fg_color") = py::none(),
        py::arg("calendar_label_pad") = 1, py::arg("calendar_button") = false);

    glue::def(cls, "setup_header_frame", &setup_header_frame);
    glue::def(cls, "create_calendar_frame", &create_calendar_frame);
    glue::def(cls, "change_month", &change_month, py::arg("amount"));
    glue::def(cls, "current_date", &current_date);
    glue::def(cls, "date_is_today", &date_is_today, py::arg("date"));
    glue::def(cls, "set_day", &set_day, py::arg("yy"), py::arg("mm"), py::arg("dd"));
    glue::def(cls, "get_day", &get_day);

    py::object pick = py::cpp_function(&pick_day, py::name("_pick_day"));
    glue::def(
        cls, "setup_label_normal",
        [pick](py::object self, py::object frame, py::object day, py::object row, py::object column) {
            setup_label_normal(self, frame, day, row, column, pick);
        },
        py::arg("frame"), py::arg("day"), py::arg("row"), py::arg("column"));
    return cls;
}

}  // namespace loomkit
