// Templates come from users, so a template is looked at before python-docx
// reads it: python-docx reads every linked part whole into memory, and a
// small archive can declare (or hide) parts of gigabytes.
#include "scrivet/scrivet.hpp"

#include <cstdint>
#include <string>

namespace scrivet {

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
// Word itself refuses documents over 512 MB.
constexpr std::uint64_t kMaxTotal = 512 * kMiB;
// Word's XML packs 10-30:1, pictures about 1:1; a machine-made run of empty
// table cells reaches ~160:1. Parts packed tighter than this may add up to
// kMaxDense together, so an upload unpacks to at most 100 times its size
// plus that.
constexpr std::uint64_t kMaxRatio = 100;
constexpr std::uint64_t kMaxDense = 32 * kMiB;
// zipfile inflates a part in one step and only then cuts it to the size
// the archive declares; deflate reaches ~1032:1, so a part packed into more
// than this could hide far more than it declares, and its stream is checked.
constexpr std::uint64_t kCheckStreamFrom = 16 * 1024;
constexpr std::uint64_t kChunk = kMiB;
// python-docx keeps every element and attribute of its XML parts as a node
// of 90-240 bytes, so a few MiB of dense markup packed 1000:1 would cost
// gigabytes. The nodes are counted as "<" and "=" in every part packed at
// least 2:1 (parts packed less hold too little markup per byte to matter):
// a generated 200-page document has 80,000; 800,000 cost up to ~190 MiB.
constexpr std::uint64_t kMaxNodes = 800000;
constexpr std::uint64_t kCountNodesFrom = 2;  // packing ratio
constexpr int kStored = 0;
constexpr int kDeflated = 8;

std::string describe(py::handle path) { return py::cast<std::string>(py::repr(path)); }

std::string mib(std::uint64_t bytes) { return std::to_string((bytes + kMiB - 1) / kMiB) + " MiB"; }

[[noreturn]] void refuse(py::handle path, const std::string& why) {
    throw py::value_error("refused to open the template " + describe(path) + ": " + why);
}

std::uint64_t u64(py::handle value) { return py::cast<std::uint64_t>(value); }

unsigned little16(const std::string& bytes, size_t at) {
    return static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8);
}

[[noreturn]] void damaged(py::handle path, const std::string& why) {
    py::object error = py::module_::import("zipfile").attr("BadZipFile")("the template " + describe(path) +
                                                                          " is damaged: " + why);
    PyErr_SetObject(py::type::handle_of(error).ptr(), error.ptr());
    throw py::error_already_set();
}

// Inflates the part in bounded steps and refuses it as soon as it yields
// more than it declares; adds its markup nodes to `nodes` when given.
void check_stream(py::handle path, py::handle file, py::handle info, std::uint64_t* nodes) {
    std::uint64_t declared = u64(info.attr("file_size"));
    std::uint64_t left = u64(info.attr("compress_size"));
    std::string name = py::cast<std::string>(info.attr("filename"));
    std::uint64_t header = u64(info.attr("header_offset"));
    file.attr("seek")(header);
    std::string local = py::cast<std::string>(py::bytes(file.attr("read")(30)));
    if (local.size() < 30 || local.compare(0, 4, "PK\x03\x04") != 0)
        damaged(path, "no local header for " + name);
    file.attr("seek")(header + 30 + little16(local, 26) + little16(local, 28));
    py::object inflater = py::module_::import("zlib").attr("decompressobj")(-15);
    std::uint64_t produced = 0;
    std::string tail;  // the end of the previous piece, for a mark cut in two
    while (left > 0 && !glue::truthy(inflater.attr("eof"))) {
        py::bytes chunk = file.attr("read")(left < kChunk ? left : kChunk);
        size_t got = py::len(chunk);
        if (got == 0) break;
        left -= got;
        py::object data = chunk;
        while (py::len(data) > 0 && !glue::truthy(inflater.attr("eof"))) {
            // At most a chunk at a time, and one byte past the declared size
            // (max_length 0 would mean "no limit": this is at least 1).
            std::uint64_t room = declared - produced + 1;
            py::object out = inflater.attr("decompress")(data, room < kChunk ? room : kChunk);
            produced += py::len(out);
            if (produced > declared)
                refuse(path, "its part " + name + " unpacks to more than the " + std::to_string(declared) +
                                 " bytes it declares (a hidden decompression bomb)");
            if (nodes) {
                // Said before python-docx parses it: an entity bomb makes lxml
                // fail with a message that names no file.
                std::string piece = tail + py::cast<std::string>(py::bytes(out));
                if (piece.find("<!DOCTYPE") != std::string::npos)
                    refuse(path, "its part " + name + " declares a document type (<!DOCTYPE ...>), which Word documents may not contain");
                tail = piece.substr(piece.size() > 8 ? piece.size() - 8 : 0);
                *nodes += py::cast<std::uint64_t>(out.attr("count")(py::bytes("<"))) +
                          py::cast<std::uint64_t>(out.attr("count")(py::bytes("=")));
                if (*nodes > kMaxNodes)
                    refuse(path, "its XML holds more than " + std::to_string(kMaxNodes) +
                                     " elements and attributes (at " + name + "), far more than a real document");
            }
            data = inflater.attr("unconsumed_tail");
        }
    }
}

}  // namespace

void check_template_archive(py::handle path) {
    py::module_ zipfile = py::module_::import("zipfile");
    py::object os = G("os");
    bool named = glue::truthy(glue::builtin("isinstance")(path, py::make_tuple(glue::builtin("str"), os.attr("PathLike"))));
    // Anything but a path or an open file (an int would be taken for a file
    // descriptor and closed) is left to python-docx to refuse.
    if (!named && !(py::hasattr(path, "read") && py::hasattr(path, "seek"))) return;
    // Not an archive at all, or no such file: python-docx says so itself.
    if (!glue::truthy(zipfile.attr("is_zipfile")(path))) return;
    py::object file = named ? glue::builtin("open")(path, "rb") : py::reinterpret_borrow<py::object>(path);
    py::object position = named ? py::none() : file.attr("tell")();
    py::object archive = py::none();
    auto finish = [&] {
        if (!archive.is_none()) archive.attr("close")();
        if (named)
            file.attr("close")();
        else
            file.attr("seek")(position);
    };
    try {
        archive = zipfile.attr("ZipFile")(file);
        py::list infos = archive.attr("infolist")();
        std::uint64_t total = 0, dense = 0;
        std::string densest;
        std::uint64_t densest_size = 0, densest_packed = 0;
        for (py::handle info : infos) {
            int method = py::cast<int>(info.attr("compress_type"));
            std::string name = py::cast<std::string>(info.attr("filename"));
            if (method != kStored && method != kDeflated)
                refuse(path, "its part " + name + " uses compression method " + std::to_string(method) +
                                 "; Word documents are only stored or deflated");
            std::uint64_t size = u64(info.attr("file_size"));
            std::uint64_t packed = u64(info.attr("compress_size"));
            total += size;
            if (size > kMaxRatio * (packed ? packed : 1)) {
                dense += size;
                if (size > densest_size) densest = name, densest_size = size, densest_packed = packed;
            }
        }
        if (total > kMaxTotal)
            refuse(path, "its parts declare " + mib(total) + " unpacked, more than a Word document may hold (" +
                             mib(kMaxTotal) + ")");
        if (dense > kMaxDense)
            refuse(path, mib(dense) + " of its parts are packed more than " + std::to_string(kMaxRatio) +
                             ":1 (" + densest + ": " + std::to_string(densest_size) + " bytes from " +
                             std::to_string(densest_packed) + "), as in a decompression bomb");
        std::uint64_t nodes = 0;
        for (py::handle info : infos) {
            if (py::cast<int>(info.attr("compress_type")) != kDeflated) continue;
            std::uint64_t packed = u64(info.attr("compress_size"));
            bool markup = u64(info.attr("file_size")) >= kCountNodesFrom * packed;
            if (markup || packed > kCheckStreamFrom) check_stream(path, file, info, markup ? &nodes : nullptr);
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void check_template_parts(py::handle path, py::handle doc) {
    // Word refuses a document type declaration in a document ("DTD is
    // prohibited"); python-docx keeps its entities unexpanded and would save
    // references to them that nothing defines, a document no one can open.
    for (py::handle part : doc.attr("part").attr("package").attr("iter_parts")()) {
        std::string partname = py::cast<std::string>(glue::str(part.attr("partname")));
        py::object element = py::getattr(part, "_element", py::none());
        if (!element.is_none()) {
            py::object doctype = element.attr("getroottree")().attr("docinfo").attr("doctype");
            if (glue::truthy(doctype))
                refuse(path, "its part " + partname + " declares a document type (" +
                                 py::cast<std::string>(doctype) + "), which Word documents may not contain");
        }
        // A picture or object linked from outside the document is read by the
        // program that renders it (the office converting to PDF, Word), so any
        // file the uploader names would end up in the output. Hyperlinks and
        // the attached template are only names and stay allowed.
        for (py::handle rel : part.attr("rels").attr("values")()) {
            if (!glue::truthy(rel.attr("is_external"))) continue;
            std::string type = py::cast<std::string>(rel.attr("reltype"));
            std::string kind = type.substr(type.rfind('/') + 1);
            if (kind == "image" || kind == "oleObject" || kind == "subDocument" || kind == "frame" ||
                kind == "package" || kind == "video" || kind == "audio")
                refuse(path, "its part " + partname + " links to an outside " + kind + " (" +
                                 py::cast<std::string>(py::repr(rel.attr("target_ref"))) +
                                 "), which would be read into the output");
        }
    }
}

}  // namespace scrivet
