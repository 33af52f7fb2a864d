#include "track/gpx_reader.hpp"

#include "track/gpx_rules.hpp"
#include "track/gpx_scanner.hpp"
#include "track/regular_file.hpp"
#include "track/numbers.hpp"

#include <expat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

namespace track {

namespace {

using gpx::Kind;
using gpx::kMaxDepth;
using gpx::kMaxFileBytes;
using gpx::kMaxMarkupBytes;
using gpx::kMaxTagBytes;
using gpx::kMaxTextRun;

constexpr std::size_t kMaxChunk = std::size_t(1) << 24;

// Separates namespace, local name and prefix in expat's names; it cannot
// occur in XML text.
constexpr char kSep = '\x01';

struct Frame {
    Kind kind;
    std::uint32_t seen;
    // Unprefixed names here keep a default namespace that gpxpy does not
    // strip, so they never match its plain names.
    bool kept_default;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Strict UTF-8, as Python decodes it, fed in pieces.
struct Utf8Check {
    int need = 0;
    unsigned char lo = 0x80, hi = 0xBF;

    bool feed(const unsigned char* p, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            if (need == 0) {
                while (i + 8 <= n) {
                    std::uint64_t word;
                    std::memcpy(&word, p + i, 8);
                    if (word & 0x8080808080808080ull) break;
                    i += 8;
                }
                if (i == n) break;
                unsigned char c = p[i++];
                if (c < 0x80) continue;
                if (c < 0xC2) return false;
                if (c < 0xE0) {
                    need = 1;
                } else if (c < 0xF0) {
                    need = 2;
                    lo = c == 0xE0 ? 0xA0 : 0x80;
                    hi = c == 0xED ? 0x9F : 0xBF;
                } else if (c < 0xF5) {
                    need = 3;
                    lo = c == 0xF0 ? 0x90 : 0x80;
                    hi = c == 0xF4 ? 0x8F : 0xBF;
                } else {
                    return false;
                }
            } else {
                unsigned char c = p[i++];
                if (c < lo || c > hi) return false;
                lo = 0x80;
                hi = 0xBF;
                --need;
            }
        }
        return true;
    }
};

// Occurrences of "xmlns" in the raw text, across chunk boundaries.
struct XmlnsCount {
    std::size_t count = 0;
    char tail[4] = {0, 0, 0, 0};
    std::size_t tail_size = 0;

    static std::size_t in(const char* p, std::size_t n, std::size_t first_start_limit) {
        std::size_t found = 0;
        const char* end = p + n;
        for (const char* q = p; q + 5 <= end;) {
            const void* x = std::memchr(q, 'x', static_cast<std::size_t>(end - q) - 4);
            if (!x) break;
            q = static_cast<const char*>(x);
            if (static_cast<std::size_t>(q - p) >= first_start_limit) break;
            if (std::memcmp(q, "xmlns", 5) == 0) ++found;
            ++q;
        }
        return found;
    }

    void feed(const char* p, std::size_t n) {
        // Matches that start in the previous piece and end in this one.
        char joint[8];
        std::size_t head = n < 4 ? n : 4;
        std::memcpy(joint, tail, tail_size);
        std::memcpy(joint + tail_size, p, head);
        count += in(joint, tail_size + head, tail_size);
        count += in(p, n, n);
        // Keep the last four bytes (fewer only at the very start).
        if (n >= 4) {
            std::memcpy(tail, p + n - 4, 4);
            tail_size = 4;
        } else {
            char merged[8];
            std::memcpy(merged, tail, tail_size);
            std::memcpy(merged + tail_size, p, n);
            std::size_t total = tail_size + n, keep = total < 4 ? total : 4;
            std::memcpy(tail, merged + total - keep, keep);
            tail_size = keep;
        }
    }
};

// The local name of an element as gpxpy sees it; null when its name is
// namespaced there. gpxpy cuts the first default namespace declaration out
// of the text before parsing, so unprefixed names in its scope are plain;
// a prefixed name, or one under any later default declaration, is not.
const char* plain_local(const XML_Char* name, bool kept_default) {
    const char* sep = std::strchr(name, kSep);
    if (!sep) return name;
    return kept_default || std::strchr(sep + 1, kSep) ? nullptr : sep + 1;
}

const char* attribute(const XML_Char** atts, const char* wanted) {
    for (; *atts; atts += 2)
        if (std::strcmp(atts[0], wanted) == 0) return atts[1];
    return nullptr;
}

// A document left to gpxpy: no points, and why.
Tracks left_to_gpxpy(Decline reason) {
    Tracks declined;
    declined.declined = reason;
    return declined;
}

class Reader {
public:
    Reader() : parser_(XML_ParserCreateNS(nullptr, kSep)) {
        if (!parser_) throw std::bad_alloc();
        XML_SetReturnNSTriplet(parser_, 1);
        XML_SetUserData(parser_, this);
        XML_SetXmlDeclHandler(parser_, &Reader::on_xml_decl);
        XML_SetStartDoctypeDeclHandler(parser_, &Reader::on_doctype);
        XML_SetElementHandler(parser_, &Reader::on_start, &Reader::on_end);
        XML_SetCharacterDataHandler(parser_, &Reader::on_text);
        XML_SetCommentHandler(parser_, &Reader::on_comment);
        XML_SetStartCdataSectionHandler(parser_, &Reader::on_cdata);
        XML_SetProcessingInstructionHandler(parser_, &Reader::on_pi);
        XML_SetStartNamespaceDeclHandler(parser_, &Reader::on_namespace);
        XML_SetSkippedEntityHandler(parser_, &Reader::on_skipped_entity);
    }
    ~Reader() { XML_ParserFree(parser_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // `fill(buffer, size)` returns the bytes read, at most `size`, 0 at the
    // end, -1 on error.
    Tracks run(const std::function<long(char*, std::size_t)>& fill, std::size_t chunk) {
        std::uint64_t total = 0;
        for (;;) {
            char* buffer = static_cast<char*>(XML_GetBuffer(parser_, static_cast<int>(chunk)));
            if (!buffer) throw std::bad_alloc();
            long n = fill(buffer, chunk);
            if (n < 0) return left_to_gpxpy(Decline::Unreadable);
            total += static_cast<std::uint64_t>(n);
            if (total > kMaxFileBytes) return left_to_gpxpy(Decline::TooLarge);
            if (!utf8_.feed(reinterpret_cast<const unsigned char*>(buffer), static_cast<std::size_t>(n)))
                return left_to_gpxpy(Decline::NotUtf8);
            xmlns_.feed(buffer, static_cast<std::size_t>(n));
            bool last = n == 0;
            XML_Status status = XML_ParseBuffer(parser_, static_cast<int>(n), last);
            if (error_) std::rethrow_exception(error_);
            // Stopped by a handler: expat does not always say so (a CDATA
            // section cut off by the end of the buffer returns OK).
            if (declined_ != Decline::None) return left_to_gpxpy(declined_);
            if (status != XML_STATUS_OK) return left_to_gpxpy(Decline::NotWellFormed);
            if (last) break;
        }
        if (utf8_.need != 0) return left_to_gpxpy(Decline::NotUtf8);  // cut off inside a character
        // "xmlns" outside namespace declarations
        if (xmlns_.count != declarations_) return left_to_gpxpy(Decline::Namespaces);
        return std::move(out_);
    }

private:
    XML_Parser parser_;
    Tracks out_;
    Decline declined_ = Decline::None;
    std::exception_ptr error_;
    std::vector<Frame> stack_;
    bool gpx11_ = false;
    bool pending_declarations_ = false;
    // The first default declaration is the one gpxpy cuts out; any later
    // one stays in force.
    bool default_declared_ = false;
    std::size_t declarations_ = 0;
    std::size_t text_run_ = 0;
    bool field_open_ = false;  // the top element's leading text is being collected
    bool field_has_text_ = false;
    std::string field_text_;
    Utf8Check utf8_;
    XmlnsCount xmlns_;

    bool stopped() const { return declined_ != Decline::None || error_; }

    // Stops the parser: the document is left to gpxpy.
    void decline(Decline reason) {
        if (stopped()) return;
        declined_ = reason;
        XML_StopParser(parser_, XML_FALSE);
    }

    // Runs a handler body; an exception stops the parser and is rethrown
    // once expat has returned.
    template <class F>
    static void guarded(void* data, F&& body) {
        Reader& r = *static_cast<Reader*>(data);
        if (r.stopped()) return;
        try {
            body(r);
        } catch (...) {
            r.error_ = std::current_exception();
            XML_StopParser(r.parser_, XML_FALSE);
        }
    }

    // Only XML 1.0 in UTF-8 is read here.
    static void XMLCALL on_xml_decl(void* data, const XML_Char* version, const XML_Char* encoding, int) {
        guarded(data, [&](Reader& r) {
            if (!version || std::strcmp(version, "1.0") != 0) return r.decline(Decline::Declaration);
            if (encoding) {
                std::string_view e(encoding);
                const char* utf8 = "utf-8";
                bool same = e.size() == 5;
                for (std::size_t i = 0; same && i < 5; ++i)
                    same = (e[i] >= 'A' && e[i] <= 'Z' ? char(e[i] - 'A' + 'a') : e[i]) == utf8[i];
                if (!same) r.decline(Decline::Declaration);
            }
        });
    }

    static void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        guarded(data, [](Reader& r) { r.decline(Decline::Doctype); });
    }

    // lxml keeps processing instructions as nodes, where ElementTree drops
    // them: only the text of a number would read differently.
    static void XMLCALL on_pi(void* data, const XML_Char* target, const XML_Char* text) {
        guarded(data, [&](Reader& r) {
            if (r.field_open_ || !gpx::plain_pi_target(target)) return r.decline(Decline::Markup);
            if (std::strlen(text) > kMaxTextRun) r.decline(Decline::Limits);
        });
    }

    static void XMLCALL on_skipped_entity(void* data, const XML_Char*, int) {
        guarded(data, [](Reader& r) { r.decline(Decline::Doctype); });
    }

    static void XMLCALL on_namespace(void* data, const XML_Char*, const XML_Char* uri) {
        guarded(data, [&](Reader& r) {
            if (!uri || !*uri) return r.decline(Decline::Namespaces);  // a namespace undeclared (xmlns:p="")
            r.pending_declarations_ = true;
        });
    }

    static void XMLCALL on_comment(void* data, const XML_Char* text) {
        guarded(data, [&](Reader& r) {
            if (r.field_open_) return r.decline(Decline::Markup);
            if (std::strlen(text) > kMaxTextRun) r.decline(Decline::Limits);
        });
    }

    static void XMLCALL on_cdata(void* data) {
        guarded(data, [](Reader& r) {
            if (r.field_open_) r.decline(Decline::Markup);
        });
    }

    static void XMLCALL on_text(void* data, const XML_Char* s, int len) {
        guarded(data, [&](Reader& r) {
            r.text_run_ += static_cast<std::size_t>(len);
            if (r.text_run_ > kMaxTextRun) return r.decline(Decline::Limits);
            if (r.field_open_) {
                r.field_text_.append(s, static_cast<std::size_t>(len));
                r.field_has_text_ = true;
            }
        });
    }

    static void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** atts) {
        guarded(data, [&](Reader& r) { r.start(name, atts); });
    }

    static void XMLCALL on_end(void* data, const XML_Char*) {
        guarded(data, [](Reader& r) {
            r.text_run_ = 0;
            if (r.field_open_) r.close_field();
            r.stack_.pop_back();
        });
    }

    void start(const XML_Char* name, const XML_Char** atts) {
        text_run_ = 0;
        std::size_t tag = static_cast<std::size_t>(XML_GetCurrentByteCount(parser_)), values = 0;
        for (const XML_Char** a = atts; *a; a += 2) values += std::strlen(a[1]);
        if (tag > kMaxTagBytes || tag - (values < tag ? values : tag) > kMaxMarkupBytes)
            return decline(Decline::Limits);
        if (stack_.size() >= kMaxDepth) return decline(Decline::Limits);
        bool kept_default = !stack_.empty() && stack_.back().kept_default;
        if (pending_declarations_) {
            pending_declarations_ = false;
            check_declarations(kept_default);
            if (stopped()) return;
        }
        const char* local = plain_local(name, kept_default);
        Kind kind = Kind::Other;
        if (stack_.empty()) {
            if (!local || std::strcmp(local, "gpx") != 0) return decline(Decline::NotGpx);
            const char* version = attribute(atts, "version");
            gpx11_ = version && std::strcmp(version, "1.1") == 0;
            kind = Kind::Root;
        } else {
            if (field_open_) close_field();
            if (stopped()) return;
            if (local) kind = child_kind(stack_.back(), local, atts);
            if (stopped()) return;
        }
        stack_.push_back(Frame{kind, 0, kept_default});
        if (gpx::is_field(kind)) {
            field_open_ = true;
            field_has_text_ = false;
            field_text_.clear();
        }
    }

    // What gpxpy makes of the element, carried out here.
    Kind child_kind(Frame& parent, const char* local, const XML_Char** atts) {
        gpx::Element element = gpx::child(parent.kind, parent.seen, local, gpx11_);
        switch (element.action) {
            case gpx::Action::None: break;
            case gpx::Action::NewTrack: out_.track_segments.push_back(0); break;
            case gpx::Action::NewSegment:
                out_.segment_starts.push_back(out_.points.size());
                ++out_.track_segments.back();
                break;
            case gpx::Action::ReadPoint: read_point(atts); break;
            case gpx::Action::CheckPoint: check_point(atts); break;
            case gpx::Action::CheckBounds: check_bounds(atts); break;
        }
        return element.kind;
    }

    // The text before the field's first child is complete: would gpxpy
    // accept it?
    void close_field() {
        field_open_ = false;
        if (!field_has_text_) return;  // gpxpy sees None and converts nothing
        if (!gpx::field_text_ok(stack_.back().kind, field_text_)) decline(Decline::Number);
    }

    void check_bounds(const XML_Char** atts) {
        for (const char* name : gpx::kBoundsNames) {
            const char* value = attribute(atts, name);
            if (value && !plain_decimal(trimmed(value))) return decline(Decline::Number);
        }
    }

    void check_point(const XML_Char** atts) {
        if (!gpx::plain_coordinate(attribute(atts, "lat")) || !gpx::plain_coordinate(attribute(atts, "lon")))
            decline(Decline::Number);
    }

    void read_point(const XML_Char** atts) {
        const char* lat = attribute(atts, "lat");
        const char* lon = attribute(atts, "lon");
        if (!gpx::plain_coordinate(lat) || !gpx::plain_coordinate(lon)) return decline(Decline::Number);
        out_.points.push_back({decimal_value(trimmed(lat)), decimal_value(trimmed(lon))});
    }

    // Namespace declarations are also read by gpxpy from the raw text with
    // regular expressions: the prefixes are registered with the XML library
    // and the first default declaration is cut out. Only declarations
    // written plainly, as xmlns="uri" or xmlns:prefix="uri", behave there as
    // they do here. A default declaration after the first sets
    // `kept_default`.
    void check_declarations(bool& kept_default) {
        int offset = 0, size = 0;
        const char* context = XML_GetInputContext(parser_, &offset, &size);
        int count = XML_GetCurrentByteCount(parser_);
        // The tag must lie whole in expat's buffer to be read again here.
        if (!context || count <= 0 || offset < 0 || offset + count > size) return decline(Decline::Namespaces);
        const char* p = context + offset;
        const char* end = p + count;
        ++p;  // '<'
        while (p < end && !is_space(*p) && *p != '>' && *p != '/') ++p;
        for (;;) {
            while (p < end && is_space(*p)) ++p;
            if (p >= end || *p == '>' || *p == '/') break;
            const char* name = p;
            while (p < end && *p != '=' && !is_space(*p)) ++p;
            std::string_view attr(name, static_cast<std::size_t>(p - name));
            bool tight = p + 1 < end && p[0] == '=' && p[1] == '"';
            while (p < end && *p != '=') ++p;
            ++p;
            while (p < end && is_space(*p)) ++p;
            if (p >= end) break;
            char quote = *p++;
            const char* value = p;
            while (p < end && *p != quote) ++p;
            std::string_view uri(value, static_cast<std::size_t>(p - value));
            ++p;
            if (attr.substr(0, 5) != "xmlns") continue;
            if (!tight) return decline(Decline::Namespaces);
            if (attr.size() > 5) {
                if (attr[5] != ':' || !gpx::safe_prefix(attr.substr(6))) return decline(Decline::Namespaces);
            }
            if (!gpx::safe_uri(uri)) return decline(Decline::Namespaces);
            if (attr.size() == 5) {
                kept_default = kept_default || default_declared_;
                default_declared_ = true;
            }
            ++declarations_;
        }
    }
};

}  // namespace

Tracks read_gpx_file(const std::filesystem::path& path) {
    // Pipes and devices stream through the exact reader, as they did always.
    if (std::optional<RegularFile> file = RegularFile::open(path)) {
        // Its size is known: a file the readers would stop in is not read through.
        if (file->size() > kMaxFileBytes) return left_to_gpxpy(Decline::TooLarge);
        if (std::optional<Tracks> tracks = scan_gpx_file(*file)) return std::move(*tracks);
    }
    return read_gpx_file_exact(path);
}

Tracks read_gpx_file_exact(const std::filesystem::path& path) {
#ifdef _WIN32
    std::FILE* file = _wfopen(path.c_str(), L"rb");
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
    if (!file) return left_to_gpxpy(Decline::Unreadable);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, &std::fclose);
    Reader reader;
    return reader.run(
        [file](char* buffer, std::size_t room) -> long {
            std::size_t n = std::fread(buffer, 1, room, file);
            if (n < room && std::ferror(file)) return -1;
            return static_cast<long>(n);
        },
        kReadChunk);
}

Tracks read_gpx(std::string_view document, std::size_t chunk) {
    // expat takes its buffer sizes as int.
    if (chunk == 0 || chunk > kMaxChunk) chunk = kReadChunk;
    Reader reader;
    return reader.run(
        [&document](char* buffer, std::size_t room) -> long {
            std::size_t n = document.size() < room ? document.size() : room;
            if (n > 0) std::memcpy(buffer, document.data(), n);
            document.remove_prefix(n);
            return static_cast<long>(n);
        },
        chunk);
}

}  // namespace track
