#include "gui/gui.hpp"
#include "gui/messages.hpp"
#include "glue/look.hpp"
#include "platform/platform.hpp"

#include <string>

namespace gui {

namespace {

// The template folder beside the module: "\格式範本\" + file name.
const std::string kTemplates = u8"\\\u683c\u5f0f\u7bc4\u672c\\";
const char* const kIcon = "logo.ico";
const char* const kLogo = "logo.png";
const char* const kLettering = u8"logo(\u50c5\u6587\u5b57).png";  // logo(僅文字).png
const char* const kPlus = u8"\u52a0\u865f001.png";                 // 加號001.png
const char* const kWasteBin = u8"\u5783\u573e\u6876.png";          // 垃圾桶.png
const char* const kQuestionMark = u8"\u554f\u865f001.png";         // 問號001.png

const char* const kStartData = u8"\u8d77\u59cb\u6578\u64da";  // 起始數據

std::string module_folder() {
    py::object path = G("os").attr("path");
    return py::cast<std::string>(path.attr("dirname")(path.attr("abspath")(module().handle().attr("__file__"))));
}

py::object logo_image(py::object ctk, const std::string& path, py::object size) {
    py::object open = G("Image").attr("open");
    return ctk.attr("CTkImage")("light_image"_a = open(path), "dark_image"_a = open(path), "size"_a = size);
}

py::object logo_button(py::object ctk, py::object parent, py::object image) {
    return ctk.attr("CTkButton")(parent, "image"_a = image, "text"_a = "", "state"_a = "disabled", "width"_a = 50,
                                 "fg_color"_a = "transparent");
}

void header(py::object ctk, py::object strip, const std::string& folder) {
    py::object my_image = logo_image(ctk, platform::join_template(folder, kTemplates + kLogo), py::make_tuple(50, 50));
    py::object image_logo = logo_button(ctk, strip, my_image);
    image_logo.attr("grid")("row"_a = 0, "column"_a = 0, "padx"_a = py::make_tuple(0, 5), "sticky"_a = "w");

    my_image = logo_image(ctk, platform::join_template(folder, kTemplates + kLettering), py::make_tuple(120, 30));
    image_logo = logo_button(ctk, strip, my_image);
    image_logo.attr("grid")("row"_a = 0, "column"_a = 1, "padx"_a = py::make_tuple(0, 15), "sticky"_a = "w");

    py::object font = ctk.attr("CTkFont")("family"_a = look::kTitleFamily, "size"_a = 16, "weight"_a = "bold");
    py::object image_logo_text = ctk.attr("CTkLabel")(strip, "text"_a = "Trailmere", "font"_a = font);
    image_logo_text.attr("grid")("row"_a = 0, "column"_a = 2, "sticky"_a = "nsew");
}

// Left padding of the button bar: 0.34 * width - 445.2 pixels, computed as
// (34 * width - 44520) / 100 so that a 1920-pixel screen gives exactly 207.6.
py::object bar_left_padding(py::object screen_size) {
    py::list width_height(screen_size);
    if (width_height.size() != 2)
        throw py::value_error("pyautogui.size() must give (width, height), got " +
                              py::cast<std::string>(py::repr(screen_size)));
    double left = (34.0 * glue::as_double(width_height[0]) - 44520.0) / 100.0;
    if (left > 0) return py::float_(left);
    return py::int_(0);
}

// The heartbeat only schedules its next run; `self_box` holds the wrapped
// callable, so the cycle runs through Python objects the collector sees.
void heartbeat(py::object app, py::list self_box) { app.attr("after")(500, self_box[0]); }

// Files dropped on the window from a file manager are drawn like chosen
// ones. Where the tkdnd extension cannot be loaded the window takes no drops
// and is otherwise the same.
void accept_dropped_files(py::object app, py::object draw_map) {
    py::object files_type;
    try {
        py::object tkinterdnd2 = glue::import_module("tkinterdnd2");
        tkinterdnd2.attr("TkinterDnD").attr("require")(app);
        files_type = tkinterdnd2.attr("DND_FILES");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return;
    }
    // tkinterdnd2's widget methods exist on tkinter's widgets and its own Tk
    // class, not on a CTk root: tkdnd's commands are called directly. tkdnd
    // runs the binding itself, with the files for %D.
    py::object tk = app.attr("tk");
    py::object window = app.attr("_w");
    tk.attr("call")("tkdnd::drop_target", "register", window, py::make_tuple(files_type));
    py::object command = app.attr("register")(drop_handler(tk, draw_map));
    tk.attr("call")("bind", window, py::str("<<Drop:{}>>").format(files_type), py::str("{} %D").format(command));
}

// Steps between creating the window and entering its event loop.
void build_window(py::object ctk, py::object app, py::object set_button, const std::string& folder) {
    for (int c = 0; c < 3; ++c) app.attr("columnconfigure")(c, "weight"_a = 1);
    app.attr("resizable")(false, false);

    // The icon and the header are optional: a failure is printed and skipped.
    glue::report_and_go_on([&] { platform::set_window_icon(app, platform::join_template(folder, kTemplates + kIcon)); });

    py::object header_frame = ctk.attr("CTkFrame")("master"_a = app, "fg_color"_a = "transparent");
    header_frame.attr("grid")("row"_a = 0, "column"_a = 0, "columnspan"_a = 2, "padx"_a = py::make_tuple(10, 5),
                    "pady"_a = py::make_tuple(10, 5), "sticky"_a = "nsew");
    py::object map_frame = ctk.attr("CTkFrame")("master"_a = app, "fg_color"_a = "transparent");
    map_frame.attr("grid")("row"_a = 1, "column"_a = 0, "columnspan"_a = 2, "padx"_a = py::make_tuple(10, 10),
                    "pady"_a = py::make_tuple(5, 10), "sticky"_a = "ew");

    py::list frame;
    for (int i = 0; i < 10; ++i) frame.append(py::list());
    frame[4] = ctk.attr("CTkFrame")(header_frame, "height"_a = 10, "fg_color"_a = "transparent");
    frame[4].attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);
    frame[6] = ctk.attr("CTkFrame")(map_frame, "height"_a = 10, "fg_color"_a = "transparent");
    frame[6].attr("grid")("row"_a = 0, "column"_a = 0, "sticky"_a = "nsew", "rowspan"_a = 2);

    py::object draw_map = G("Draw_Map")(map_frame);
    say_why_files_draw_nothing(draw_map);

    glue::report_and_go_on([&] { header(ctk, frame[4], folder); });

    py::object wrapped_008 = G("try_except_log")(button_event_008());
    py::object wrapped_010 = G("try_except_log")(button_event_010(draw_map));
    py::object wrapped_011 = G("try_except_log")(button_event_011(draw_map));
    glue::report_and_go_on([&] { accept_dropped_files(app, draw_map); });

    py::object left = bar_left_padding(G("pyautogui").attr("size")());
    struct BarButton {
        const char* file;
        py::object handler;
        int right;
    };
    // One grid cell; the growing right paddings line them up right to left.
    for (const BarButton& b : {BarButton{kPlus, wrapped_010, 55}, BarButton{kWasteBin, wrapped_011, 105},
                               BarButton{kQuestionMark, wrapped_008, 155}}) {
        set_button.attr("add_button")(header_frame, "image_path"_a = platform::join_template(folder, kTemplates + b.file),
                                      "button_event"_a = b.handler, "size"_a = py::make_tuple(25, 25),
                                      "padx"_a = py::make_tuple(left, b.right), "row"_a = 0, "column"_a = 1,
                                      "fg_color"_a = "transparent");
    }

    py::list heartbeat_box;
    py::object wrapped_heartbeat = G("try_except_log")(local_function("aa", &heartbeat, app, heartbeat_box));
    heartbeat_box.append(wrapped_heartbeat);
    app.attr("after")(500, wrapped_heartbeat);
}

}  // namespace

void GUI(py::object Queue_All_variable, py::object Event_All_variable) {
    platform::make_folder_quietly(platform::data_path("C:/varnholt/"));
    platform::make_folder_quietly(platform::data_path("C:/varnholt/Trailmere/"));

    // The run's settings; nothing in the viewer reads them yet.
    G("Parameters")();
    py::object set_button = G("Set_Button")();

    py::object ctk = G("customtkinter");
    ctk.attr("set_appearance_mode")("dark");
    ctk.attr("set_default_color_theme")("blue");
    py::object app = ctk.attr("CTk")();
    app.attr("title")(messages::kWindowTitle);

    {
        // A window that fails to build never ran: take it down rather than
        // leave an orphan Tk root behind the error.
        bool built = false;
        auto destroy_unless_built = glue::on_exit([&] {
            if (!built) app.attr("destroy")();
        });
        build_window(ctk, app, set_button, module_folder());
        built = true;
    }

    app.attr("mainloop")();

    if (module().name() != "__main__") {
        Queue_All_variable[py::str("end")].attr("put")(py::none());
        Event_All_variable[py::str("end")].attr("set")();
        Queue_All_variable[py::str(kStartData)].attr("put")(py::none());
    }
}

}  // namespace gui
