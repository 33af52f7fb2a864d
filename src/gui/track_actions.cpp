#include "gui/gui.hpp"
#include "gui/messages.hpp"

#include "glue/product.hpp"

namespace gui {

namespace {

using glue::kProductPage;
using glue::kProductPagePlain;

// Draws each file; only the last one moves the map.
void draw_each(py::object draw_map, py::object paths) {
    size_t n = py::len(paths);
    for (size_t i = 0; i < n; ++i) {
        py::object file_path = paths[py::int_(i)];
        if (file_path.equal(py::str(""))) continue;
        bool last = i + 1 == n;
        draw_map.attr("draw_gpx")(file_path, "adapt_sizes"_a = last);
    }
}

void choose_and_draw(py::object draw_map) {
    py::list filetypes;
    filetypes.append(py::make_tuple(messages::kAllFiles, "*.*"));
    py::object paths = G("tkinter").attr("filedialog").attr("askopenfilenames")(
        "title"_a = messages::kDialogTitle, "filetypes"_a = filetypes);
    draw_each(draw_map, paths);
}

// tkdnd hands the dropped files over as one Tcl list and takes the answer
// as the drop's action. They are drawn like chosen ones, a failure reported
// by the fault logger like a button handler's.
py::object drop_files(py::object tk, py::object draw_map, py::object data) {
    py::object paths = tk.attr("splitlist")(data);
    G("try_except_log")(local_function("drop_files", &draw_each, draw_map, paths))();
    return py::str("copy");
}

void clear_paths(py::object draw_map) { draw_map.attr("delete_all_path")(); }

void open_and_reap(const char* address) { glue::open_and_reap(G("webbrowser").attr("open"), py::str(address)); }

// Browsers or systems without HTTPS support get the plain-HTTP page.
void open_product_page() {
    try {
        open_and_reap(kProductPage);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        open_and_reap(kProductPagePlain);
    }
}

}  // namespace

py::object button_event_008() { return local_function("button_event_008", &open_product_page); }

py::object button_event_010(py::object draw_map) {
    return local_function("button_event_010", &choose_and_draw, draw_map);
}

py::object button_event_011(py::object draw_map) { return local_function("button_event_011", &clear_paths, draw_map); }

py::object drop_handler(py::object tk, py::object draw_map) {
    return glue::partial(py::cpp_function(&drop_files), tk, draw_map);
}

}  // namespace gui
