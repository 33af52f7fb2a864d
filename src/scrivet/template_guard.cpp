// Templates come from users, so a template is looked at before python-docx
// reads it: python-docx reads every linked part whole into memory, and a
// small archive can declare (or hide) parts of gigabytes.
#include "scrivet/scrivet.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

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
// gigabytes. The nodes are counted as "<" and "=" in every XML part, stored
// or deflated, and in every other part packed at least 2:1 (parts packed
// less hold too little markup per byte to matter): a generated 200-page
// document has 80,000; 800,000 cost up to ~190 MiB.
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
    glue::raise(glue::import_from("zipfile", "BadZipFile")("the template " + describe(path) + " is damaged: " + why));
}

// A document type declaration as it starts in UTF-8 (or any ASCII-based
// encoding) and in UTF-16 of either byte order.
const std::string kDoctypeMarks[] = {
    "<!DOCTYPE",
    std::string("<\0!\0D\0O\0C\0T\0Y\0P\0E\0", 18),
    std::string("\0<\0!\0D\0O\0C\0T\0Y\0P\0E", 18),
};
constexpr size_t kLongestMark = 18;

// Looks through the unpacked bytes of one XML part as they come: refuses a
// document type declaration and counts its markup nodes into `nodes`.
class MarkupScan {
public:
    MarkupScan(py::handle path, const std::string& name, std::uint64_t& nodes)
        : path_(path), name_(name), nodes_(nodes) {}

    void add(const std::string& data) {
        // Said before python-docx or the office parses it: an entity bomb
        // makes lxml fail with a message that names no file, and a part
        // python-docx does not read would reach the office as it is.
        std::string piece = tail_ + data;
        for (const auto& mark : kDoctypeMarks)
            if (piece.find(mark) != std::string::npos)
                refuse(path_, "its part " + name_ +
                                  " declares a document type (<!DOCTYPE ...>), which Word documents may not contain");
        tail_ = piece.substr(piece.size() > kLongestMark - 1 ? piece.size() - (kLongestMark - 1) : 0);
        nodes_ += std::count(data.begin(), data.end(), '<') + std::count(data.begin(), data.end(), '=');
        if (nodes_ > kMaxNodes)
            refuse(path_, "its XML holds more than " + std::to_string(kMaxNodes) +
                              " elements and attributes (at " + name_ + "), far more than a real document");
    }

private:
    py::handle path_;
    std::string name_;
    std::uint64_t& nodes_;
    std::string tail_;  // the end of the previous piece, for a mark cut in two
};

// Seeks `file` to the first byte of the part's data, past its local header.
void seek_to_data(py::handle path, py::handle file, py::handle info) {
    std::uint64_t header = u64(info.attr("header_offset"));
    file.attr("seek")(header);
    std::string local = py::cast<std::string>(py::bytes(file.attr("read")(30)));
    if (local.size() < 30 || local.compare(0, 4, "PK\x03\x04") != 0)
        damaged(path, "no local header for " + py::cast<std::string>(info.attr("filename")));
    file.attr("seek")(header + 30 + little16(local, 26) + little16(local, 28));
}

// Gives the part's unpacked bytes to `take` a piece at a time: a stored part
// as it lies, a deflated one inflated in bounded steps and refused as soon
// as it yields more than it declares. `take` returns false to stop early.
template <typename Take>
void read_part(py::handle path, py::handle file, py::handle info, Take take) {
    std::uint64_t declared = u64(info.attr("file_size"));
    std::uint64_t left = u64(info.attr("compress_size"));
    std::string name = py::cast<std::string>(info.attr("filename"));
    seek_to_data(path, file, info);
    if (py::cast<int>(info.attr("compress_type")) == kStored) {
        while (left > 0) {
            std::string piece = py::cast<std::string>(py::bytes(file.attr("read")(left < kChunk ? left : kChunk)));
            if (piece.empty()) return;
            left -= piece.size();
            if (!take(piece)) return;
        }
        return;
    }
    py::object inflater = glue::import_from("zlib", "decompressobj")(-15);
    std::uint64_t produced = 0;
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
            if (!take(py::cast<std::string>(py::bytes(out)))) return;
            data = inflater.attr("unconsumed_tail");
        }
    }
}

// Whether the part holds XML: named so, or starting like XML (past byte
// order marks, blanks and the zero bytes of UTF-16), whatever its name says.
bool is_xml(py::handle path, py::handle file, py::handle info) {
    std::string name = py::cast<std::string>(info.attr("filename"));
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto ends_with = [&](const std::string& end) {
        return lower.size() >= end.size() && lower.compare(lower.size() - end.size(), end.size(), end) == 0;
    };
    if (ends_with(".xml") || ends_with(".rels")) return true;
    std::string head;
    read_part(path, file, info, [&](const std::string& piece) {
        head += piece;
        return head.size() < 64;
    });
    for (unsigned char c : head) {
        if (c == '<') return true;
        if (!(c == 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0xEF || c == 0xBB || c == 0xBF ||
              c == 0xFE || c == 0xFF))
            return false;
    }
    return false;
}

}  // namespace

namespace {

const std::string kOleMagic("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);

// `name` as it stands in the directory of an OLE compound file (UTF-16LE).
std::string ole_name(const std::string& name) {
    std::string out;
    for (char c : name) out += c, out += '\0';
    return out;
}

// Whether any of `names` occurs in the file, read a piece at a time.
bool file_holds(py::handle file, const std::vector<std::string>& names) {
    size_t longest = 0;
    for (const auto& name : names) longest = std::max(longest, name.size());
    std::string carry;
    while (true) {
        std::string piece = py::cast<std::string>(py::bytes(file.attr("read")(kChunk)));
        if (piece.empty()) return false;
        std::string window = carry + piece;
        for (const auto& name : names)
            if (window.find(name) != std::string::npos) return true;
        carry = window.substr(window.size() > longest ? window.size() - longest : 0);
    }
}

// What a file that is not a Word .docx is, from its content, and what to do
// about it; nothing for a .docx (or anything python-docx should judge), which
// is then always an archive. The archive opened to look inside is left in
// `archive` for the caller to check on and close.
using Kind = std::pair<std::string, std::string>;
Kind not_a_docx(py::handle file, py::object& archive) {
    std::string head = py::cast<std::string>(py::bytes(file.attr("read")(4096)));
    if (head.empty()) return {"is empty (0 bytes)", "download or copy it again"};
    if (head.compare(0, 8, kOleMagic) == 0) {
        file.attr("seek")(0);
        if (file_holds(file, {ole_name("EncryptedPackage")}))
            return {"is protected with a password (an encrypted Office document)",
                    "remove the password in Word and save it again"};
        file.attr("seek")(0);
        if (file_holds(file, {ole_name("WordDocument")}))
            return {"is an old binary Word document (.doc, Word 97-2003)",
                    "open it in Word or LibreOffice and save it as .docx"};
        return {"is a binary Office document (such as .xls or .ppt)", ""};
    }
    py::object zipfile = glue::import_module("zipfile");
    if (head.compare(0, 4, "PK\x03\x04") == 0 || head.compare(0, 4, "PK\x05\x06") == 0) {
        file.attr("seek")(0);
        if (!glue::truthy(zipfile.attr("is_zipfile")(file)))
            return {"is a damaged or incomplete archive (cut off while downloading or copying?)",
                    "get the file again"};
        archive = zipfile.attr("ZipFile")(file);
        Kind what;
        py::list names = archive.attr("namelist")();
        auto has = [&](const char* name) { return contains(names, py::str(name)); };
        if (has("mimetype")) {
            py::object info = archive.attr("getinfo")("mimetype");
            std::string type = u64(info.attr("file_size")) <= 200
                                   ? py::cast<std::string>(py::bytes(archive.attr("read")("mimetype")))
                                   : std::string();
            if (type.rfind("application/vnd.oasis.opendocument.", 0) == 0)
                what = {"is an OpenDocument file (" + type + ", e.g. .odt)", "save it as Word .docx"};
        }
        if (what.first.empty() && !has("[Content_Types].xml"))
            what = {"is a zip archive of another kind", ""};
        else if (what.first.empty() && !has("word/document.xml") && has("xl/workbook.xml"))
            what = {"is an Excel workbook (.xlsx)", ""};
        else if (what.first.empty() && !has("word/document.xml") && has("ppt/presentation.xml"))
            what = {"is a PowerPoint presentation (.pptx)", ""};
        return what;
    }
    if (head.compare(0, 5, "{\\rtf") == 0) return {"is an RTF document", "save it as Word .docx"};
    if (head.compare(0, 5, "%PDF-") == 0) return {"is a PDF document", ""};
    if (head.find('\0') == std::string::npos) {
        if (head.find("Word.Document") != std::string::npos || head.find("w:wordDocument") != std::string::npos)
            return {"is a Word XML document (Word 2003 .xml)", "save it as .docx"};
        return {"is a text file", ""};
    }
    file.attr("seek")(0);
    if (glue::truthy(zipfile.attr("is_zipfile")(file))) return {};  // an archive behind a preamble
    return {"is of no kind Word saves", ""};
}

// A str or os.PathLike names a file; anything else may be an open file.
bool is_path(py::handle path) {
    return glue::truthy(
        glue::builtin("isinstance")(path, py::make_tuple(glue::builtin("str"), G("os").attr("PathLike"))));
}

// The template as an open binary file for one check: a named file is opened
// and closed again, a caller's file is read and put back where it was.
class TemplateFile {
public:
    TemplateFile(py::handle path, bool named)
        : named_(named),
          file_(named ? glue::builtin("open")(path, "rb") : py::reinterpret_borrow<py::object>(path)),
          position_(named ? py::none() : file_.attr("tell")()) {}
    TemplateFile(const TemplateFile&) = delete;
    TemplateFile& operator=(const TemplateFile&) = delete;
    ~TemplateFile() {
        try {
            if (named_)
                file_.attr("close")();
            else
                file_.attr("seek")(position_);
        } catch (py::error_already_set&) {
        }
    }
    const py::object& get() const { return file_; }

private:
    bool named_;
    py::object file_;
    py::object position_;
};

// Refuses parts that would unpack to an absurd size or hide more than they
// declare.
void check_archive(py::handle path, py::handle file, py::handle archive) {
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
        bool deflated = py::cast<int>(info.attr("compress_type")) == kDeflated;
        std::uint64_t packed = u64(info.attr("compress_size"));
        // Every XML part, stored or deflated, is looked through (parts that
        // pack tightly are taken for markup too); a large deflated part of
        // another kind is inflated to check that it holds what it declares.
        bool markup = is_xml(path, file, info) || (deflated && u64(info.attr("file_size")) >= kCountNodesFrom * packed);
        if (markup) {
            MarkupScan scan(path, py::cast<std::string>(info.attr("filename")), nodes);
            read_part(path, file, info, [&](const std::string& piece) {
                scan.add(piece);
                return true;
            });
        } else if (deflated && packed > kCheckStreamFrom) {
            read_part(path, file, info, [](const std::string&) { return true; });
        }
    }
}

}  // namespace

void check_template(py::handle path) {
    bool named = is_path(path);
    if (named && !glue::truthy(G("os").attr("path").attr("isfile")(path))) return;  // python-docx says what is missing
    // Anything but a path or an open file (an int would be taken for a file
    // descriptor and closed) is left to python-docx to refuse.
    if (!named && !(py::hasattr(path, "read") && py::hasattr(path, "seek") && py::hasattr(path, "tell"))) return;
    TemplateFile file(path, named);
    py::object archive = py::none();
    auto close_archive = glue::on_exit([&] {
        if (!archive.is_none()) archive.attr("close")();
    });
    Kind what = not_a_docx(file.get(), archive);
    if (!what.first.empty()) {
        std::string message = "cannot open the template " + describe(path) + ": it " + what.first +
                              ", and a Word .docx document is needed";
        throw py::value_error(what.second.empty() ? message : message + ": " + what.second);
    }
    if (archive.is_none()) archive = glue::import_from("zipfile", "ZipFile")(file.get());  // behind a preamble
    check_archive(path, file.get(), archive);
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
