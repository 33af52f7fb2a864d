#include "scrivet/scrivet.hpp"

#include "scrivet/messages.hpp"

namespace scrivet {

namespace {

// The figure box is 16.4 cm wide and 13 cm high.
constexpr double kBoxWidthCm = 16.4;
constexpr double kBoxHeightCm = 13.0;

enum class Orientation { unknown, wide, tall };

Orientation orientation_of(py::handle image_path, py::handle problems) {
    Orientation orientation = Orientation::unknown;
    glue::report_and_go_on([&] {
        py::object size = pixel_size(image_path);
        py::object to_int = glue::builtin("int");
        long long w = py::cast<long long>(to_int(size[py::int_(0)]));
        long long h = py::cast<long long>(to_int(size[py::int_(1)]));
        orientation = w >= (kBoxWidthCm / kBoxHeightCm) * h ? Orientation::wide : Orientation::tall;
    }, nullptr, problems);
    return orientation;
}

// Empties the figure row's cell and puts the picture in it, fitted to the box.
void add_figure(py::handle table, py::handle image_path, Orientation orientation, py::handle problems) {
    py::object cell = table.attr("rows")[py::int_(3)].attr("cells")[py::int_(0)];
    cell.attr("text") = "";
    py::object paragraph = cell.attr("paragraphs")[py::int_(0)];
    py::object run = paragraph.attr("add_run")();
    if (orientation == Orientation::unknown) {
        // The picture could not be read: report it like a failed insertion.
        glue::report(py::str(messages::kTablePictureError), problems);
        return;
    }
    if (orientation == Orientation::wide)
        run.attr("add_picture")(image_path, "width"_a = G("Cm")(kBoxWidthCm));
    else
        run.attr("add_picture")(image_path, "height"_a = G("Cm")(kBoxHeightCm));
    paragraph.attr("alignment") = G("WD_PARAGRAPH_ALIGNMENT").attr("CENTER");
}

void place_figure(py::handle table, py::handle image_path, py::handle problems) {
    Orientation orientation = orientation_of(image_path, problems);
    glue::say_and_go_on([&] { add_figure(table, image_path, orientation, problems); }, messages::kTablePictureError,
                        problems);
}

py::object merged_row(py::handle table, int row) {
    py::object cell = table.attr("cell")(row, 0).attr("merge")(table.attr("cell")(row, 1));
    return cell.attr("merge")(table.attr("cell")(row, 2));
}

void _add_table(py::object self, py::object abstract, py::object PAPN, py::object title, py::object rows,
                py::object cols, py::object image_path) {
    py::object doc = self.attr("doc");
    py::object problems = self.attr("problems");
    py::object table = doc.attr("add_table")("rows"_a = rows, "cols"_a = cols);
    glue::say_and_go_on([&] { table.attr("style") = "Table Grid"; }, messages::kNoGrid, problems);
    table.attr("cell")(0, 0).attr("text") = messages::kPatentNumber;
    table.attr("cell")(0, 1).attr("text") = messages::kPatentName;
    table.attr("cell")(0, 2).attr("text") = messages::kRelevance;
    py::object centre = G("WD_ALIGN_VERTICAL").attr("CENTER");
    py::object range = glue::builtin("range");
    for (py::handle r : range(rows))
        for (py::handle c : range(cols)) table.attr("cell")(r, c).attr("vertical_alignment") = centre;
    table.attr("cell")(1, 0).attr("text") = glue::str(PAPN);
    table.attr("cell")(1, 1).attr("text") = glue::str(title);
    table.attr("cell")(1, 2).attr("text") = "";
    merged_row(table, 2).attr("text") = py::str(messages::kAbstract) + glue::str(abstract);
    py::object row_list = table.attr("rows");
    py::object cm = G("Cm");
    row_list[py::int_(0)].attr("height") = cm(0.8);
    row_list[py::int_(1)].attr("height") = cm(0.8);
    row_list[py::int_(2)].attr("height") = cm(8);
    row_list[py::int_(3)].attr("height") = cm(10);
    // A merged cell is listed once per column, so it ends with the last width.
    for (py::handle row : table.attr("rows")) row.attr("cells")[py::int_(1)].attr("width") = cm(12.2);
    for (py::handle row : table.attr("rows")) {
        py::object cells = row.attr("cells");
        cells[py::int_(0)].attr("width") = cm(2);
        cells[py::int_(2)].attr("width") = cm(2);
    }
    merged_row(table, 3);
    if (!image_path.is_none()) place_figure(table, image_path, problems);
    doc.attr("add_page_break")();
}

}  // namespace

void bind_table(py::handle cls) {
    glue::def(cls, "_add_table", &_add_table, py::arg("abstract") = "", py::arg("PAPN") = "", py::arg("title") = "",
              py::arg("rows") = 4, py::arg("cols") = 3, py::arg("image_path") = py::none());
}

}  // namespace scrivet
