#include "scrivet/scrivet.hpp"

#include "scrivet/messages.hpp"
#include "glue/version.hpp"

#include <string>

namespace scrivet {

glue::Module g_module;

const glue::Module& module() { return g_module; }

namespace {

// The python-docx / Pillow names. A program that never fills a document must
// still be able to import the module, so a failure ends the block quietly;
// the operation that needs a missing name fails when it runs.
void import_document_libraries(py::module_& m) {
    try {
        m.attr("Docu") = glue::import_from("docx", "Document");
        m.attr("Pt") = glue::import_from("docx.shared", "Pt");
        m.attr("RGBColor") = glue::import_from("docx.shared", "RGBColor");
        m.attr("Cm") = glue::import_from("docx.shared", "Cm");
        m.attr("Inches") = glue::import_from("docx.shared", "Inches");
        m.attr("WD_PARAGRAPH_ALIGNMENT") = glue::import_from("docx.enum.text", "WD_PARAGRAPH_ALIGNMENT");
        m.attr("WD_ALIGN_VERTICAL") = glue::import_from("docx.enum.table", "WD_ALIGN_VERTICAL");
        m.attr("WD_BREAK") = glue::import_from("docx.enum.text", "WD_BREAK");
        m.attr("qn") = glue::import_from("docx.oxml.ns", "qn");
        m.attr("Image") = glue::import_module("PIL.Image");
        m.attr("ET") = glue::import_module("xml.etree.ElementTree");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// cElementTree is gone since Python 3.9; ElementTree's XML is the same parser.
py::object import_xml() {
    try {
        return glue::import_from("xml.etree.cElementTree", "XML");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return glue::import_from("xml.etree.ElementTree", "XML");
}

// The converter is a sibling module of the package the module was loaded
// from (a top-level module when run as the main program).
py::object import_folioprint() {
    std::string name = module().name();
    if (name == "__main__") return glue::import_from("Folioprint", "Folioprint");
    std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos)
        throw py::import_error(messages::kNoParentPackage);
    std::string sibling = name.substr(0, dot) + ".Folioprint";
    return glue::import_from(sibling.c_str(), "Folioprint");
}

}  // namespace
}  // namespace scrivet

PYBIND11_MODULE(Scrivet, m) {
    using namespace scrivet;
    g_module.bind(m);

    m.attr("os") = glue::import_module("os");
    import_document_libraries(m);
    m.attr("XML") = import_xml();
    m.attr("Folioprint") = import_folioprint();

    py::object cls = glue::make_class(module(), "Scrivet", "Scrivet");
    glue::def_init(cls, [](py::object self) { self.attr("__version__") = VARNHOLT_VERSION; });
    cls.attr("Document") = make_document();
    m.attr("Scrivet") = cls;
}
