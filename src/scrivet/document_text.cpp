#include "scrivet/scrivet.hpp"

namespace scrivet {

namespace {

py::dict w_namespace() {
    py::dict ns;
    ns["w"] = kW;
    return ns;
}

py::object join(const py::list& pieces) { return py::str("").attr("join")(pieces); }

// Tracked insertions and deletions are invisible to python-docx's paragraph
// text, and it has no way to mark a page break; read the XML for those.
py::object get_accepted_text(py::object /*self*/, py::object p) {
    py::object xml = p.attr("_p").attr("xml");
    if (!contains(xml, py::str("w:del")) && !contains(xml, py::str("w:ins")) && !contains(xml, py::str("w:br")))
        return p.attr("text");
    py::object root = G("XML")(xml);
    py::str br(w_tag("br")), t(w_tag("t")), type(w_tag("type")), page("page"), marker(kPageMarker);
    py::list pieces;
    for (py::handle run : root.attr("findall")(".//w:r", w_namespace())) {
        for (py::handle child : run) {
            py::object tag = child.attr("tag");
            if (tag.equal(br)) {
                if (child.attr("get")(type).equal(page)) pieces.append(marker);
            } else if (tag.equal(t)) {
                py::object text = child.attr("text");
                if (glue::truthy(text)) pieces.append(text);
            }
        }
    }
    return join(pieces);
}

py::object _get_accepted_text(py::object /*self*/, py::object p) {
    py::object xml = p.attr("_p").attr("xml");
    if (!contains(xml, py::str("w:del")) && !contains(xml, py::str("w:ins"))) return p.attr("text");
    py::list pieces;
    for (py::handle element : G("XML")(xml).attr("iter")(w_tag("t"))) {
        py::object text = element.attr("text");
        if (glue::truthy(text)) pieces.append(text);
    }
    return join(pieces);
}

// Flattens every body paragraph to one run of its accepted text.
py::list show_all_text(py::object self) {
    py::list texts;
    for (py::handle p : self.attr("doc").attr("paragraphs")) {
        p.attr("text") = accepted_text(self, p);
        texts.append(p.attr("text"));
    }
    return texts;
}

// Reads only the runs directly under the paragraph, one break and one text
// element per run.
py::object ttff(py::object /*self*/, py::object xml) {
    py::object root = G("ET").attr("fromstring")(xml);
    py::dict ns = w_namespace();
    py::str type(w_tag("type")), page("page"), marker("$$$AAAA$$$");
    py::list pieces;
    for (py::handle run : root.attr("findall")("w:r", ns)) {
        py::object br = run.attr("find")("w:br", ns);
        if (!br.is_none() && br.attr("get")(type).equal(page)) pieces.append(marker);
        py::object t = run.attr("find")("w:t", ns);
        if (!t.is_none()) {
            py::object text = t.attr("text");
            if (glue::truthy(text)) pieces.append(text);
        }
    }
    return join(pieces);
}

}  // namespace

// The text the filler rebuilds a paragraph from. Unlike get_accepted_text it
// keeps tabs and line breaks (python-docx turns them back into tab and break
// elements) and skips deleted runs: whatever this drops is lost from the
// filled document, and a deleted page break would come back.
py::object filling_text(py::handle paragraph) {
    py::object xml = paragraph.attr("_p").attr("xml");
    if (!contains(xml, py::str("w:del")) && !contains(xml, py::str("w:ins")) && !contains(xml, py::str("w:br")))
        return paragraph.attr("text");
    py::object root = G("XML")(xml);
    py::dict ns = w_namespace();
    py::str br(w_tag("br")), cr(w_tag("cr")), tab(w_tag("tab")), t(w_tag("t")), type(w_tag("type"));
    py::str page("page"), wrapping("textWrapping"), marker(kPageMarker), line_feed("\n"), tab_char("\t");
    py::set deleted(root.attr("iterfind")(".//w:del//w:r", ns));
    py::list pieces;
    for (py::handle run : root.attr("findall")(".//w:r", ns)) {
        if (deleted.contains(run)) continue;
        for (py::handle child : run) {
            py::object tag = child.attr("tag");
            if (tag.equal(br)) {
                py::object kind = child.attr("get")(type);
                if (kind.equal(page))
                    pieces.append(marker);
                else if (kind.is_none() || kind.equal(wrapping))
                    pieces.append(line_feed);
            } else if (tag.equal(t)) {
                py::object text = child.attr("text");
                if (glue::truthy(text)) pieces.append(text);
            } else if (tag.equal(tab)) {
                pieces.append(tab_char);
            } else if (tag.equal(cr)) {
                pieces.append(line_feed);
            }
        }
    }
    return join(pieces);
}

std::string w_tag(const char* local) { return std::string("{") + kW + "}" + local; }

py::object accepted_text(py::handle self, py::handle paragraph) {
    return self.attr("get_accepted_text")(paragraph);
}

void bind_text(py::handle cls) {
    glue::def(cls, "get_accepted_text", &get_accepted_text, py::arg("p"));
    glue::def(cls, "_get_accepted_text", &_get_accepted_text, py::arg("p"));
    glue::def(cls, "show_all_text", &show_all_text);
    glue::def(cls, "ttff", &ttff, py::arg("xml"));
}

}  // namespace scrivet
