#include "scrivet/scrivet.hpp"

#include "scrivet/messages.hpp"

namespace scrivet {

namespace {

using Entries = std::vector<std::pair<py::object, py::object>>;

// Characters XML 1.0 can hold; lxml refuses any other one halfway through a
// fill. The vertical tab (Word's and Excel's line break inside a cell) is
// written as a line break.
bool writable(Py_UCS4 c) {
    return c == 0x9 || c == 0xA || c == 0xB || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void refuse_unwritable(py::handle key, const char* what, py::handle text) {
    if (!PyUnicode_Check(text.ptr())) return;
    PyObject* s = text.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (writable(c)) continue;
        py::object message = py::str("set({!r}): {} holds the character {!r} (U+{:04X}), which a Word document cannot hold")
                                 .attr("format")(key, what, py::reinterpret_steal<py::object>(PyUnicode_FromOrdinal(c)),
                                                 static_cast<unsigned long>(c));
        throw py::value_error(py::cast<std::string>(message));
    }
}

// A plain number is taken as EMU (12 is 12/12700 of a point): the text would
// vanish without a word.
void refuse_invisible_size(py::handle key, const char* keyword, py::handle size) {
    if (size.is_none()) return;
    constexpr long long kEmuPerPoint = 12700;
    bool visible = false;
    try {
        py::object emu = glue::import_from("docx.shared", "Emu")(size);
        visible = py::cast<long long>(emu) >= kEmuPerPoint;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    if (visible) return;
    py::object message =
        py::str("set({!r}): {}={!r} is not a font size of at least one point (a plain number counts as EMU, "
                "12700 to the point); give sizes with Pt(...), e.g. {}=Pt(12)")
            .attr("format")(key, keyword, size, keyword);
    throw py::value_error(py::cast<std::string>(message));
}

// As glue::kwarg, with the default made only when it is needed (it comes from
// python-docx, which may be missing).
template <typename Make>
py::object option_made(const py::kwargs& kwargs, const char* name, Make make) {
    return kwargs.contains(name) ? py::object(kwargs[name]) : py::object(make());
}


// The replacement value as it is written into the document.
py::object written_value(py::handle entry) {
    return py::object(entry[key::kNewText]).attr("replace")("\v", "\n");
}

// The text with the first occurrence of the key replaced, or None when the
// key does not occur in it (any more, or it is empty). The rest of the text,
// later occurrences of the key included, is kept as it is.
py::object new_text(py::handle text, py::handle key, py::handle replacement) {
    if (py::len(key) == 0) return py::none();
    py::list parts = text.attr("split")(key, 1);
    if (parts.size() < 2) return py::none();
    return py::object(parts[0]) + py::reinterpret_borrow<py::object>(replacement) + py::object(parts[1]);
}

void set_east_asian_font(py::handle run, py::handle name) {
    // get_or_add: a font name of None leaves no rFonts element behind.
    py::object rfonts = run.attr("_element").attr("get_or_add_rPr")().attr("get_or_add_rFonts")();
    rfonts.attr("set")(G("qn")("w:eastAsia"), name);
}

void set_colour(py::handle font, py::handle entry) {
    py::object colour = entry[key::kFontColor];
    if (!colour.is_none())
        font.attr("color").attr("rgb") = G("RGBColor")(colour[py::int_(0)], colour[py::int_(1)], colour[py::int_(2)]);
}

void set_run_font(py::handle run, py::handle entry) {
    py::object font = run.attr("font");
    font.attr("name") = entry[key::kFont];
    font.attr("size") = entry[key::kFontSize];
    set_east_asian_font(run, entry[key::kFontChinese]);
    set_colour(font, entry);
}

void apply_paragraph_format(py::handle paragraph, py::handle entry) {
    paragraph.attr("alignment") = entry[key::kAlignment];
    py::object indent = entry[key::kLeftIndent];
    if (!indent.is_none()) paragraph.attr("paragraph_format").attr("left_indent") = G("Pt")(indent);
    py::object spacing = entry[key::kLineSpacing];
    if (!spacing.is_none()) paragraph.attr("paragraph_format").attr("line_spacing") = G("Pt")(spacing);
}

// Formats a paragraph that belongs to no document with the entry, so that a
// value python-docx cannot write is refused by set and not halfway through
// execute_set.
void try_on_scratch(py::handle key, py::handle entry) {
    try {
        py::object element =
            glue::import_from("docx.oxml", "parse_xml")(py::str("<w:p xmlns:w=\"{}\"/>").attr("format")(kW));
        py::object paragraph = glue::import_from("docx.text.paragraph", "Paragraph")(element, py::none());
        py::object run = paragraph.attr("add_run")("x");
        set_run_font(run, entry);
        run.attr("font").attr("size") = entry[key::kRemark][key::kFontSize];
        apply_paragraph_format(paragraph, entry);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::object message = py::str("set({!r}): a value cannot be written into a document: {}: {}")
                                 .attr("format")(key, py::type::handle_of(e.value()).attr("__name__"), e.value());
        throw py::value_error(py::cast<std::string>(message));
    }
}

void set(py::object self, py::object old_text, py::object new_text, py::kwargs kwargs) {
    py::object none = py::none();
    py::dict entry;
    entry[key::kNewText] = glue::str(new_text);
    entry[key::kFont] = glue::kwarg(kwargs, "new_font_name", py::str("Calibri"));
    entry[key::kFontChinese] = glue::kwarg(kwargs, "new_font_name_Chinese", py::str(messages::kDefaultFontChinese));
    auto eight_points = [] { return G("Pt")(8); };
    entry[key::kFontSize] = option_made(kwargs, "new_font_size", eight_points);
    entry[key::kAlignment] =
        option_made(kwargs, "new_alignment", [] { return G("WD_PARAGRAPH_ALIGNMENT").attr("CENTER"); });
    entry[key::kLeftIndent] = glue::kwarg(kwargs, "left_indent", none);
    entry[key::kLineSpacing] = glue::kwarg(kwargs, "line_spacing", none);
    entry[key::kFontColor] = glue::kwarg(kwargs, "font_color", none);
    py::dict remark;
    remark[key::kFontSize] = option_made(kwargs, "remark_new_font_size", eight_points);
    entry[key::kRemark] = remark;
    entry[key::kImagePath] = glue::kwarg(kwargs, "image_path", none);
    entry[key::kImageHeight] = glue::kwarg(kwargs, "image_height", none);
    entry[key::kImageWidth] = glue::kwarg(kwargs, "image_width", none);
    entry[key::kFixedRatio] = glue::kwarg(kwargs, "image_fixed_ratio", py::bool_(true));
    py::str key_text = glue::str(old_text);
    refuse_unwritable(key_text, "the value", entry[key::kNewText]);
    refuse_unwritable(key_text, "new_font_name", entry[key::kFont]);
    refuse_unwritable(key_text, "new_font_name_Chinese", entry[key::kFontChinese]);
    refuse_invisible_size(key_text, "new_font_size", entry[key::kFontSize]);
    refuse_invisible_size(key_text, "remark_new_font_size", remark[key::kFontSize]);
    try_on_scratch(key_text, entry);
    self.attr("replace_value")[key_text] = entry;
}

// Page breaks come back from the accepted text as markers; rebuilding the
// paragraph from its pieces restores them as breaks.
void fill_paragraphs(py::handle doc, const Entries& entries) {
    for (py::handle p : doc.attr("paragraphs")) {
        py::object first = filling_text(p);
        for (const auto& [key_text, entry] : entries) {
            if (!contains(first, key_text)) continue;
            py::object text = new_text(filling_text(p), key_text, written_value(entry));
            if (text.is_none()) continue;
            py::list pieces = text.attr("split")(kPageMarker);
            p.attr("clear")();
            size_t count = pieces.size();
            for (size_t i = 0; i < count; ++i) {
                py::object run = p.attr("add_run")(pieces[i]);
                set_run_font(run, entry);
                apply_paragraph_format(p, entry);
                if (i + 1 < count) run.attr("add_break")(G("WD_BREAK").attr("PAGE"));
            }
        }
    }
}

// Sizes the picture into the entry's box and adds it as a new run.
void add_fitted_picture(py::handle paragraph, py::handle entry) {
    py::object path = entry[key::kImagePath];
    py::object size = pixel_size(path);
    py::object to_float = glue::builtin("float");
    py::object w = to_float(size[py::int_(0)]);
    py::object h = to_float(size[py::int_(1)]);
    py::object ratio = w / h;
    py::object w_max = entry[key::kImageWidth];
    py::object h_max = entry[key::kImageHeight];
    if (glue::truthy(entry[key::kFixedRatio])) {
        // Pixels are compared with inches on purpose: a small picture is
        // enlarged to the box, a large one shrunk into it.
        if (w < w_max && h < h_max) {
            w = w_max;
            h = w_max / ratio;
            if (h < h_max) {
                h = h_max;
                w = h_max * ratio;
            }
        }
        if (w > w_max || h > h_max) {
            if (w > w_max) {
                w = w_max;
                h = w_max / ratio;
            }
            if (h > h_max) {
                h = h_max;
                w = h_max * ratio;
            }
        }
    } else {
        // Without a fixed ratio the caller asked for the box itself: the
        // picture is stretched to fill it exactly.
        w = w_max;
        h = h_max;
    }
    py::object run = paragraph.attr("add_run")();
    run.attr("add_picture")(path, "width"_a = G("Inches")(w), "height"_a = G("Inches")(h));
}

void place_picture(py::handle paragraph, py::handle entry, py::handle problems) {
    glue::report_and_go_on([&] { add_fitted_picture(paragraph, entry); }, messages::kFillPictureError, problems);
}

void split_remark(py::handle paragraph, py::handle run, py::handle entry) {
    py::list parts = run.attr("text").attr("split")(key::kRemark);
    if (parts.size() < 2) return;
    run.attr("text") = parts[0];
    // Text after a second marker is dropped.
    py::object remark = paragraph.attr("add_run")(parts[1]);
    py::object font = remark.attr("font");
    font.attr("size") = entry[key::kRemark][key::kFontSize];
    font.attr("name") = entry[key::kFont];
    set_east_asian_font(remark, entry[key::kFontChinese]);
    set_colour(font, entry);
}

// The cells of a row as python-docx lists them, or, where its grid view fails
// (a row that spans more grid columns than its table declares), the row's
// cell elements as they stand.
py::list row_cells(py::handle table, py::handle row) {
    try {
        return py::list(row.attr("cells"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    py::object cell_class = glue::import_from("docx.table", "_Cell");
    py::list cells;
    for (py::handle tc : row.attr("_tr").attr("tc_lst")) cells.append(cell_class(tc, table));
    return cells;
}

// Every cell of the body's tables, each once, in order. Listed before the
// fill changes anything: a table that cannot be read is reported and
// skipped, and the fill never stops halfway.
std::vector<py::object> table_cells(py::handle doc, py::handle problems) {
    std::vector<py::object> cells;
    // python-docx lists a merged cell once per grid column (and per row it
    // spans); filling it again would fill a value that holds its own key twice.
    py::set visited;
    long number = 0;
    for (py::handle table : doc.attr("tables")) {
        ++number;
        py::list found;
        std::string skipped = messages::kTableSkipped + std::to_string(number) + messages::kTableNumbered;
        bool read = glue::report_and_go_on(
            [&] {
                for (py::handle row : table.attr("rows"))
                    for (py::handle cell : row_cells(table, row)) found.append(cell);
            },
            skipped.c_str(), problems);
        if (!read) continue;
        for (py::handle cell : found) {
            py::object tc = cell.attr("_tc");
            if (visited.contains(tc)) continue;
            visited.add(tc);
            cells.push_back(py::reinterpret_borrow<py::object>(cell));
        }
    }
    return cells;
}

void fill_cells(const std::vector<py::object>& cells, const Entries& entries, py::handle problems) {
    py::str remark_marker(key::kRemark);
    for (const py::object& cell : cells) {
        py::object first = cell.attr("text");
        for (const auto& [key_text, entry] : entries) {
            if (!contains(first, key_text)) continue;
            py::object text = new_text(cell.attr("text"), key_text, written_value(entry));
            if (text.is_none()) continue;
            cell.attr("text") = text;
            bool picture = !py::object(entry[key::kImagePath]).is_none();
            for (py::handle paragraph : cell.attr("paragraphs")) {
                py::list runs(paragraph.attr("runs"));
                for (py::handle run : runs) {
                    if (contains(run.attr("text"), remark_marker)) split_remark(paragraph, run, entry);
                    set_run_font(run, entry);
                }
                if (picture) place_picture(paragraph, entry, problems);
            }
            for (py::handle paragraph : cell.attr("paragraphs")) apply_paragraph_format(paragraph, entry);
        }
    }
}

void execute_set(py::object self) {
    py::object doc = self.attr("doc");
    Entries entries = registry(self);
    py::object problems = self.attr("problems");
    std::vector<py::object> cells = table_cells(doc, problems);
    fill_paragraphs(doc, entries);
    fill_cells(cells, entries, problems);
}

}  // namespace

// (width, height) in pixels; only the header is read.
py::object pixel_size(py::handle path) {
    py::object image = G("Image").attr("open")(path);
    auto close_image = glue::on_exit([&] { image.attr("close")(); });
    return image.attr("size");
}

void bind_fill(py::handle cls) {
    glue::def(cls, "set", &set, py::arg("old_text"), py::arg("new_text"));
    glue::def(cls, "execute_set", &execute_set);
}

}  // namespace scrivet
