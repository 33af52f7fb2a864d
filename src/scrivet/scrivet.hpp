// Internal interface of the Scrivet extension: the container assembles the
// Document class, whose method groups are bound by their own source files.
#pragma once

#include "glue/glue.hpp"

#include <string>
#include <utility>
#include <vector>

namespace scrivet {

// The Scrivet module; its globals (Docu, Pt, qn, Image, XML, Folioprint, ...)
// are read through it on every call, so callers and tests can replace them.
const glue::Module& module();

inline py::object G(const char* name) { return module()(name); }

// The Document class with every method group bound.
py::object make_document();

void bind_lifecycle(py::handle cls);  // __init__, set_word_version_path, run_version, delete, output
void bind_text(py::handle cls);       // get_accepted_text, _get_accepted_text, show_all_text, ttff
void bind_fill(py::handle cls);       // set, execute_set
void bind_check(py::handle cls);      // show_execute_set
void bind_table(py::handle cls);      // _add_table

// Refuses (ValueError) a file that is not a Word .docx (an old .doc, an
// encrypted or truncated file, an .odt, a text file...), saying what it is,
// and a template archive whose parts would unpack to an absurd size or hide
// more than they declare; run before python-docx reads it.
void check_template(py::handle path);
// Refuses an opened template that python-docx read but cannot save intact.
void check_template_parts(py::handle path, py::handle doc);

// Keys of a replacement entry, as callers read and write them; the texts
// beside are their readable form.
namespace key {
inline const char* const kNewText = u8"\u66ff\u63db\u503c";          // 替換值, the replacement value
inline const char* const kFont = u8"\u82f1\u6587\u5b57\u578b";       // 英文字型, the Latin font
inline const char* const kFontChinese = u8"\u4e2d\u6587\u5b57\u578b";  // 中文字型, the East Asian font
inline const char* const kFontSize = u8"\u5b57\u9ad4\u5927\u5c0f";   // 字體大小, the font size
inline const char* const kAlignment = u8"\u5c0d\u5176\u4f4d\u7f6e";  // 對其位置, the alignment
inline const char* const kLeftIndent = "left_indent";
inline const char* const kLineSpacing = "line_spacing";
inline const char* const kFontColor = "font_color";
inline const char* const kRemark = "__remark__";
inline const char* const kImagePath = "image_path";
inline const char* const kImageHeight = "image_height";
inline const char* const kImageWidth = "image_width";
inline const char* const kFixedRatio = u8"\u56fa\u5b9a\u5716\u7247\u6bd4\u4f8b";  // 固定圖片比例, keep the picture's ratio
}  // namespace key

// Page-break marker of the accepted text; the filler cuts paragraphs at it.
inline const char* const kPageMarker = "$$$page$$$";

// WordprocessingML main namespace, bare and as the "{...}" tag prefix.
inline const char* const kW = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
std::string w_tag(const char* local);

// self.get_accepted_text(p), through the method so a subclass can change it.
py::object accepted_text(py::handle self, py::handle paragraph);

// A picture file's (width, height) in pixels, read from its header.
py::object pixel_size(py::handle path);

// The paragraph's accepted text as the filler rebuilds it: tabs and line
// breaks kept, deleted runs left out.
py::object filling_text(py::handle paragraph);

// The registry as (key, entry) pairs, in registry order.
std::vector<std::pair<py::object, py::object>> registry(py::handle self);

// Python's `needle in haystack`.
bool contains(py::handle haystack, py::handle needle);

}  // namespace scrivet
