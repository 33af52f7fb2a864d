#include "scrivet/scrivet.hpp"

#include <string>

namespace scrivet {

glue::Module g_module;

const glue::Module& module() { return g_module; }

namespace {

const char* const kVersion = "v2025_01_04_001";

// `from <module_name> import <name>`: a missing name is an import error too.
py::object from_import(const char* module_name, const char* name) {
    py::module_ mod = py::module_::import(module_name);
    if (!py::hasattr(mod, name)) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
        throw py::error_already_set();
    }
    return mod.attr(name);
}

// The python-docx / Pillow names. A program that never fills a document must
// still be able to import the module, so a failure ends the block quietly;
// the operation that needs a missing name fails when it runs.
void import_document_libraries(py::module_& m) {
    try {
        m.attr("Docu") = from_import("docx", "Document");
        m.attr("Pt") = from_import("docx.shared", "Pt");
        m.attr("RGBColor") = from_import("docx.shared", "RGBColor");
        m.attr("Cm") = from_import("docx.shared", "Cm");
        m.attr("Inches") = from_import("docx.shared", "Inches");
        m.attr("WD_PARAGRAPH_ALIGNMENT") = from_import("docx.enum.text", "WD_PARAGRAPH_ALIGNMENT");
        m.attr("WD_ALIGN_VERTICAL") = from_import("docx.enum.table", "WD_ALIGN_VERTICAL");
        m.attr("WD_BREAK") = from_import("docx.enum.text", "WD_BREAK");
        m.attr("qn") = from_import("docx.oxml.ns", "qn");
        m.attr("Image") = py::module_::import("PIL.Image");
        m.attr("ET") = py::module_::import("xml.etree.ElementTree");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// cElementTree is gone since Python 3.9; ElementTree's XML is the same parser.
py::object import_xml() {
    try {
        return from_import("xml.etree.cElementTree", "XML");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return from_import("xml.etree.ElementTree", "XML");
}

// The converter is a sibling module of the package the module was loaded
// from (a top-level module when run as the main program).
py::object import_folioprint() {
    std::string name = module().name();
    if (name == "__main__") return from_import("Folioprint", "Folioprint");
    std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos)
        throw py::import_error("attempted relative import with no known parent package");
    std::string sibling = name.substr(0, dot) + ".Folioprint";
    return from_import(sibling.c_str(), "Folioprint");
}

}  // namespace
}  // namespace scrivet

PYBIND11_MODULE(Scrivet, m) {
    using namespace scrivet;
    g_module.bind(m);

    m.attr("os") = py::module_::import("os");
    import_document_libraries(m);
    m.attr("XML") = import_xml();
    m.attr("Folioprint") = import_folioprint();

    py::object cls = glue::make_class(module(), "Scrivet", "Scrivet");
    glue::def_init(cls, [](py::object self) { self.attr("__version__") = kVersion; });
    cls.attr("Document") = make_document();
    m.attr("Scrivet") = cls;
}
