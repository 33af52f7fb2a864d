#include "loomkit/tile_attribution.hpp"

#include "glue/look.hpp"

#include <algorithm>

namespace loomkit::tiles {

namespace {

const char* const kTag = "attribution";
const char* const kTextTag = "attribution_text";
const char* const kBoxTag = "attribution_box";
const double kPadX = 4, kPadY = 2;
// Long texts wrap short of the zoom buttons' column on the left.
const double kClearOfButtons = 70;

void set_cursor(py::object canvas, py::object cursor, py::object /*event*/) {
    canvas.attr("configure")("cursor"_a = cursor);
}

void open_link(py::object link, py::object /*event*/) {
    glue::open_and_reap(glue::import_from("webbrowser", "open"), link);
}

}  // namespace

void show_attribution(py::handle widget, const std::string& text, const std::string& link) {
    py::object canvas = widget.attr("canvas");
    canvas.attr("delete")(kTag);
    // Bindings stay with the tag when its items go: a text without a link
    // must not keep the last one's.
    for (const char* sequence : {"<Button-1>", "<Enter>", "<Leave>"}) canvas.attr("tag_unbind")(kTag, sequence);
    if (text.empty()) return;
    canvas.attr("create_rectangle")(0, 0, 0, 0, "fill"_a = look::kCreditBox, "outline"_a = "",
                                    "tags"_a = py::make_tuple(kTag, kBoxTag));
    canvas.attr("create_text")(0, 0, "text"_a = text, "anchor"_a = "se", "justify"_a = "right",
                               "fill"_a = look::kCreditText,
                               "font"_a = py::make_tuple(look::kCreditFamily, -look::kCreditPixels),
                               "tags"_a = py::make_tuple(kTag, kTextTag));
    if (!link.empty()) {
        canvas.attr("tag_bind")(kTag, "<Button-1>", glue::partial(py::cpp_function(&open_link), link));
        canvas.attr("tag_bind")(kTag, "<Enter>", glue::partial(py::cpp_function(&set_cursor), canvas, "hand2"));
        canvas.attr("tag_bind")(kTag, "<Leave>", glue::partial(py::cpp_function(&set_cursor), canvas, "arrow"));
    }
    place_attribution(widget);
    raise_attribution(widget);
}

void place_attribution(py::handle widget) {
    py::object canvas = widget.attr("canvas");
    if (py::len(canvas.attr("find_withtag")(kTextTag)) == 0) return;
    double width = glue::as_double(widget.attr("width"));
    double height = glue::as_double(widget.attr("height"));
    canvas.attr("itemconfigure")(kTextTag, "width"_a = std::max(60.0, width - kClearOfButtons));
    canvas.attr("coords")(kTextTag, width - kPadX, height - kPadY);
    py::tuple box(canvas.attr("bbox")(kTextTag));
    canvas.attr("coords")(kBoxTag, glue::as_double(box[0]) - kPadX, glue::as_double(box[1]) - kPadY, width, height);
}

void raise_attribution(py::handle widget) { widget.attr("canvas").attr("tag_raise")(kTag); }

}  // namespace loomkit::tiles
