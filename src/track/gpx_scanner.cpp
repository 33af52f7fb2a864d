#include "track/gpx_scanner.hpp"

#include "track/gpx_rules.hpp"
#include "track/numbers.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace track {

namespace {

using gpx::Action;
using gpx::Kind;

// The window is followed by this many '<': every loop stops at the end of
// what is held, and a look ahead of up to this many bytes stays inside.
constexpr std::size_t kPad = 16;
constexpr std::size_t kMinWindow = 64;
// Tags are kept well below the markup the exact reader takes, names below
// what a frame holds; longer ones are left to it.
constexpr std::size_t kMaxTag = std::size_t(32) << 10;
static_assert(kMaxTag < gpx::kMaxMarkupBytes && kMaxTag < gpx::kMaxTagBytes);
constexpr std::size_t kMaxName = 58;
constexpr std::size_t kMaxAttributes = 32;
// A piece of the file worth a thread of its own, and the bytes searched
// for its first track point.
constexpr std::uint64_t kMinPiece = std::uint64_t(1) << 20;
constexpr unsigned kMaxPieces = 8;
constexpr std::size_t kProbe = std::size_t(64) << 10;
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

enum Class : unsigned char {
    kNameStart = 1,  // ASCII letters and '_'
    kNameChar = 2,   // and digits, '.', '-'
    kSpace = 4,
    kTextPlain = 8,  // text that needs no look: not '<', '&', ']', 'x', control or non-ASCII
    kValuePlain = 16,  // the same inside attribute values, where ']' is plain but quotes are not
    kMarkupPlain = 32,  // the same inside comments, CDATA and PIs, where '-' and '?' also stop
};

constexpr std::array<unsigned char, 256> make_classes() {
    std::array<unsigned char, 256> c{};
    for (int i = 0; i < 256; ++i) {
        bool letter = (i >= 'a' && i <= 'z') || (i >= 'A' && i <= 'Z');
        bool digit = i >= '0' && i <= '9';
        bool space = i == ' ' || i == '\t' || i == '\n' || i == '\r';
        unsigned char k = 0;
        if (letter || i == '_') k |= kNameStart | kNameChar;
        if (digit || i == '.' || i == '-') k |= kNameChar;
        if (space) k |= kSpace;
        bool plain = space || (i >= 0x20 && i < 0x7F && i != '<' && i != '&' && i != 'x');
        if (plain && i != ']') k |= kTextPlain;
        if (plain && i != '"' && i != '\'') k |= kValuePlain;
        if (plain && i != ']' && i != '-' && i != '?') k |= kMarkupPlain;
        c[static_cast<std::size_t>(i)] = k;
    }
    return c;
}

constexpr std::array<unsigned char, 256> kClass = make_classes();

bool is(unsigned char byte, Class c) { return (kClass[byte] & c) != 0; }

// One character of strict UTF-8 that XML allows: its length, or 0. C1
// controls are left to the exact reader too.
std::size_t utf8_character(const unsigned char* p) {
    unsigned char c = p[0];
    if (c < 0xC2) return 0;
    if (c < 0xE0) return (p[1] & 0xC0) == 0x80 && (c != 0xC2 || p[1] >= 0xA0) ? 2 : 0;
    if (c < 0xF0) {
        unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80) return 0;
        if (c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return 0;  // U+FFFE, U+FFFF
        return 3;
    }
    if (c < 0xF5) {
        unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        if (p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return 0;
        return 4;
    }
    return 0;
}

bool xml_char(std::uint32_t v) {
    return v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) || (v >= 0xE000 && v <= 0xFFFD) ||
           (v >= 0x10000 && v <= 0x10FFFF);
}

// A predefined entity or a character reference: its length, or 0.
std::size_t reference(const unsigned char* p) {
    static constexpr std::string_view entities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    for (std::string_view e : entities)
        if (std::memcmp(p, e.data(), e.size()) == 0) return e.size();
    if (p[1] != '#') return 0;
    bool hex = p[2] == 'x';
    std::size_t i = hex ? 3 : 2, first = i, most = hex ? 6 : 7;
    std::uint32_t value = 0;
    for (; i < first + most; ++i) {
        unsigned char c = p[i];
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') digit = (c | 0x20) - 'a' + 10;
        else break;
        value = value * (hex ? 16 : 10) + digit;
    }
    return i > first && p[i] == ';' && xml_char(value) ? i + 1 : 0;
}

// A byte that text and attribute values stop at, other than their ends:
// the length of what starts there when a document read here may hold it,
// else 0. "xmlns" anywhere but in a declaration on the root changes what
// gpxpy's namespace handling does.
std::size_t special(const unsigned char* p, bool& has_reference) {
    switch (*p) {
        case '&': has_reference = true; return reference(p);
        case ']': return p[1] == ']' && p[2] == '>' ? 0 : 1;
        case 'x': return std::memcmp(p, "xmlns", 5) == 0 ? 0 : 1;
        default: return utf8_character(p);
    }
}

bool contains_xmlns(std::string_view s) {
    for (std::size_t i = 0; i + 5 <= s.size(); ++i)
        if (s[i] == 'x' && s.compare(i, 5, "xmlns") == 0) return true;
    return false;
}

// Where the bytes come from: a file, or a document in memory.
struct Source {
    const RegularFile* file = nullptr;
    std::string_view memory;
    std::uint64_t size = 0;

    long long read_at(std::uint64_t offset, char* buffer, std::size_t n) const {
        if (file) return file->read_at(offset, buffer, n);
        if (offset >= memory.size()) return 0;
        n = std::min<std::size_t>(n, memory.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer, memory.data() + offset, n);
        return static_cast<long long>(n);
    }
};

// The bytes of the document from `base` on that one thread holds.
class Window {
public:
    // Never more than what is left of the document from `start` on.
    Window(const Source& source, std::size_t capacity, std::uint64_t start)
        : source_(source),
          capacity_(static_cast<std::size_t>(std::min<std::uint64_t>(capacity, source.size - std::min(start, source.size)))),
          bytes_(new unsigned char[capacity_ + kPad]) {
        jump(start);
    }

    const unsigned char* bytes() const { return bytes_.get(); }
    std::size_t pos = 0;  // the next byte to scan
    std::size_t len = 0;  // bytes held
    bool eof() const { return eof_; }  // what is held runs to the end of the document
    std::uint64_t offset() const { return base_ + pos; }

    // Drops what is scanned and reads on after what is held: false when
    // nothing could be added (the end, a read error, a full window).
    bool more() {
        if (eof_ || broken_) return false;
        if (pos > 0) {
            std::memmove(bytes_.get(), bytes_.get() + pos, len - pos);
            base_ += pos;
            len -= pos;
            pos = 0;
        }
        std::uint64_t at = base_ + len;
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(capacity_ - len, source_.size - at));
        if (want == 0) return false;
        // Short of the size the file had when opened: it changed or failed.
        if (source_.read_at(at, reinterpret_cast<char*>(bytes_.get() + len), want) != static_cast<long long>(want)) {
            broken_ = true;
            return false;
        }
        len += want;
        eof_ = base_ + len == source_.size;
        pad();
        return true;
    }

    void jump(std::uint64_t offset) {
        base_ = offset;
        pos = len = 0;
        eof_ = offset >= source_.size;
        pad();
    }

private:
    void pad() { std::memset(bytes_.get() + len, '<', kPad); }

    const Source& source_;
    std::size_t capacity_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::uint64_t base_ = 0;
    bool eof_ = false;
    bool broken_ = false;
};

struct Frame {
    Kind kind;
    std::uint8_t name_size;
    char name[kMaxName];
    std::uint32_t seen;
};

// Names and attribute values are short: a loop beats a call to memcmp.
bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// A name in the window: where it starts, its size, and where its colon is
// (0 for none: a name never starts with one).
struct Name {
    std::size_t at, size, colon;
};

struct Attribute {
    Name name;
    std::size_t value, value_size;
    bool has_reference;
    bool tight;  // written name="..." with nothing between
};

// A prefix declared below the root, and the depth of the element that
// declared it.
struct Scope {
    std::string prefix;
    std::size_t depth;
};

// What the root's start tag says, the same for every piece.
struct Root {
    bool gpx11 = false;
    bool default_namespace = false;
    std::vector<std::string> prefixes;
};

enum class Status { Ok, More, Decline, Edge };
enum class End { Document, Declined, Stopped };

class Scanner {
public:
    // The first piece, from the start of the document.
    Scanner(const Source& source, std::size_t window, Root& root)
        : w_(source, window, 0), root_(root), speculative_(false) {}

    // A later piece, at a track point inside a segment: the segment is the
    // base frame it never leaves.
    Scanner(const Source& source, std::size_t window, Root& root, std::uint64_t start)
        : w_(source, window, start), root_(root), speculative_(true) {
        push(Kind::Segment, "trkseg");
        depth_below_ = 2;
        default_seen_ = root.default_namespace;
    }

    Tracks out;

    std::uint64_t offset() const { return w_.offset(); }

    // Up to the end of the root's start tag: a byte order mark, the XML
    // declaration (both in the first window), comments, processing
    // instructions.
    bool prolog() {
        w_.more();
        const unsigned char* b = w_.bytes();
        std::size_t q = 0;
        if (w_.len >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) q = 3;
        if (std::memcmp(b + q, "<?xml", 5) == 0 && is(b[q + 5], kSpace)) {
            q = declaration(q);
            if (q == 0) return false;
        }
        w_.pos = q;
        while (!root_done_) {
            if (w_.pos >= w_.len) {
                if (w_.eof() || !w_.more()) return false;
                continue;
            }
            Status status = w_.bytes()[w_.pos] == '<' ? tag() : text();
            if (status == Status::Ok) continue;
            if (status != Status::More || w_.eof() || !w_.more()) return false;
        }
        return true;
    }

    // Scans on until the document ends, or until the first token at or
    // after `stop_at` (for a later piece: the first one in its base segment).
    End run(std::uint64_t stop_at) {
        for (;;) {
            if (w_.pos >= w_.len) {
                if (!w_.eof()) {
                    if (!w_.more()) return problem();
                    continue;
                }
                return depth_ == 0 && root_done_ ? End::Document : problem();
            }
            if (w_.offset() >= stop_at && (!speculative_ || depth_ == 1)) return End::Stopped;
            if (cancel_ && cancel_->load(std::memory_order_relaxed)) return problem();
            Status status = w_.bytes()[w_.pos] == '<' ? tag() : text();
            if (status == Status::Ok) continue;
            if (status == Status::More && !w_.eof() && w_.more()) continue;
            if (status == Status::Edge) return End::Stopped;
            return problem();
        }
    }

    // Stopped at a track point of a segment, as a later piece assumes.
    bool in_segment() const { return depth_ > 0 && stack_[depth_ - 1].kind == Kind::Segment && !field_open_; }

    // Takes over what a later piece read from where this one stopped.
    void adopt(Scanner& piece) {
        out.points.reserve(out.points.size() + piece.out.points.size());
        out.points.insert(out.points.end(), piece.out.points.begin(), piece.out.points.end());
        std::vector<LatLon>().swap(piece.out.points);
        for (std::size_t i = 1; i < piece.depth_; ++i) stack_[depth_++] = piece.stack_[i];
        scopes_.insert(scopes_.end(), piece.scopes_.begin(), piece.scopes_.end());
        field_open_ = piece.field_open_;
        run_bytes_ = piece.run_bytes_;
        w_.jump(piece.offset());
    }

    void cancel_on(const std::atomic<bool>* flag) { cancel_ = flag; }

private:
    Window w_;
    Root& root_;
    bool speculative_;
    Frame stack_[gpx::kMaxDepth];
    std::size_t depth_ = 0;        // frames in stack_
    std::size_t depth_below_ = 0;  // open elements below the first frame
    std::vector<Scope> scopes_;    // prefixes declared below the root, with the depth of their element
    bool root_done_ = false;       // the root's start tag is read
    // The top element is a field, and no element's tag followed its start
    // tag yet: its text is the field's, and markup there reads differently.
    bool field_open_ = false;
    std::size_t run_bytes_ = 0;    // text and markup since the last element's tag
    bool default_seen_ = false;    // a default namespace was declared before
    const std::atomic<bool>* cancel_ = nullptr;

    // Names are at most kMaxName bytes, and the depth is checked before.
    void push(Kind kind, std::string_view name) {
        Frame& f = stack_[depth_++];
        f.kind = kind;
        f.name_size = static_cast<std::uint8_t>(name.size());
        std::memcpy(f.name, name.data(), name.size());
        f.seen = 0;
    }

    End problem() const { return speculative_ ? End::Stopped : End::Declined; }
    Status short_of() const { return w_.eof() ? Status::Decline : Status::More; }
    std::string_view view(std::size_t at, std::size_t size) const {
        return {reinterpret_cast<const char*>(w_.bytes()) + at, size};
    }
    std::string_view view(const Name& n) const { return view(n.at, n.size); }
    std::string_view local(const Name& n) const { return n.colon ? view(n).substr(n.colon + 1) : view(n); }
    std::string_view value(const Attribute& a) const { return view(a.value, a.value_size); }

    // <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, each part
    // written this plainly or left to the exact reader: the position after
    // it, or 0.
    std::size_t declaration(std::size_t q) const {
        const unsigned char* b = w_.bytes();
        q += 5;
        auto spaces = [&] {
            std::size_t from = q;
            while (is(b[q], kSpace)) ++q;
            return q > from;
        };
        auto pseudo = [&](std::string_view name, std::string_view& value) {
            if (std::memcmp(b + q, name.data(), name.size()) != 0) return false;
            q += name.size();
            if (b[q] != '=' || (b[q + 1] != '"' && b[q + 1] != '\'')) return false;
            unsigned char quote = b[q + 1];
            q += 2;
            std::size_t from = q;
            while (q < w_.len && b[q] != quote && b[q] >= 0x20 && b[q] < 0x80) ++q;
            if (q >= w_.len || b[q] != quote) return false;
            value = view(from, q - from);
            ++q;
            return true;
        };
        std::string_view v;
        if (!spaces() || !pseudo("version", v) || v != "1.0") return 0;
        bool spaced = spaces();
        if (spaced && b[q] == 'e') {
            if (!pseudo("encoding", v) || v.size() != 5) return 0;
            for (std::size_t i = 0; i < 5; ++i)
                if ((v[i] >= 'A' && v[i] <= 'Z' ? char(v[i] - 'A' + 'a') : v[i]) != "utf-8"[i]) return 0;
            spaced = spaces();
        }
        if (spaced && b[q] == 's') {
            if (!pseudo("standalone", v) || (v != "yes" && v != "no")) return 0;
            spaces();
        }
        return b[q] == '?' && b[q + 1] == '>' ? q + 2 : 0;
    }

    Status text() {
        const unsigned char* b = w_.bytes();
        std::size_t q = w_.pos;
        if (depth_ == 0) {
            // Outside the root only whitespace, which is no text there.
            while (is(b[q], kSpace)) ++q;
            if (q < w_.len && b[q] != '<') return Status::Decline;
            w_.pos = q;
            return Status::Ok;
        }
        bool has_reference = false;
        for (;;) {
            while (is(b[q], kTextPlain)) ++q;
            if (b[q] == '<') break;
            if (w_.len - q < kPad && !w_.eof()) return Status::More;
            std::size_t n = special(b + q, has_reference);
            if (n == 0) return Status::Decline;
            q += n;
        }
        if (q >= w_.len) return short_of();
        std::size_t size = q - w_.pos;
        if (field_open_ && (has_reference || !gpx::field_text_ok(stack_[depth_ - 1].kind, view(w_.pos, size))))
            return Status::Decline;
        return markup_read(q);
    }

    // Text, a comment, a CDATA section or a PI read up to q: all count
    // towards the limit of the text between two tags.
    Status markup_read(std::size_t q) {
        std::size_t size = q - w_.pos;
        if (size > gpx::kMaxTextRun - run_bytes_) return Status::Decline;
        run_bytes_ += size;
        w_.pos = q;
        return Status::Ok;
    }

    Status tag() {
        const unsigned char* b = w_.bytes();
        unsigned char next = b[w_.pos + 1];
        if (next == '/') return depth_ > 0 ? end_tag() : Status::Decline;
        if (next == '!') {
            if (w_.len - w_.pos < kPad && !w_.eof()) return Status::More;
            if (std::memcmp(b + w_.pos, "<!--", 4) == 0) return comment();
            if (std::memcmp(b + w_.pos, "<![CDATA[", 9) == 0 && depth_ > 0) return cdata();
            return Status::Decline;  // a document type declaration, or not XML
        }
        if (next == '?') return pi();
        if (w_.pos + 1 >= w_.len) return short_of();
        if (depth_ == 0 && root_done_) return Status::Decline;  // a second root
        return start_tag(depth_ == 0);
    }

    // From q, the body of a comment, CDATA section or PI up to and with
    // `close`, where q is left.
    Status markup_body(std::size_t& q, std::string_view close) {
        const unsigned char* b = w_.bytes();
        for (;;) {
            while (is(b[q], kMarkupPlain)) ++q;
            if (q >= w_.len) return short_of();
            if (w_.len - q < kPad && !w_.eof()) return Status::More;
            unsigned char c = b[q];
            if (c == static_cast<unsigned char>(close[0]) && std::memcmp(b + q, close.data(), close.size()) == 0) {
                q += close.size();
                return Status::Ok;
            }
            if (c == '-' && close[0] == '-' && b[q + 1] == '-') return Status::Decline;  // "--" in a comment
            if (c == '<' || c == '&' || c == '-' || c == '?' || c == ']') {
                ++q;
                continue;
            }
            bool unused = false;
            std::size_t n = special(b + q, unused);  // "xmlns", and characters
            if (n == 0) return Status::Decline;
            q += n;
        }
    }

    // The exact reader declines markup in a field's text, where gpxpy's
    // two parsers read the text differently.
    Status comment() {
        if (field_open_) return Status::Decline;
        std::size_t q = w_.pos + 4;
        Status status = markup_body(q, "-->");
        return status == Status::Ok ? markup_read(q) : status;
    }

    Status cdata() {
        if (field_open_) return Status::Decline;
        std::size_t q = w_.pos + 9;
        Status status = markup_body(q, "]]>");
        return status == Status::Ok ? markup_read(q) : status;
    }

    Status pi() {
        if (field_open_) return Status::Decline;
        const unsigned char* b = w_.bytes();
        std::size_t q = w_.pos + 2;
        Name target;
        Status status = name(q, target);
        if (status != Status::Ok) return status;
        if (target.colon || !gpx::plain_pi_target(view(target)) || contains_xmlns(view(target))) return Status::Decline;
        if (w_.len - q < kPad && !w_.eof()) return Status::More;
        if (b[q] == '?' && b[q + 1] == '>') {
            q += 2;
        } else {
            if (!is(b[q], kSpace)) return Status::Decline;
            status = markup_body(q, "?>");
            if (status != Status::Ok) return status;
        }
        return markup_read(q);
    }

    Status name(std::size_t& q, Name& n) const {
        const unsigned char* b = w_.bytes();
        std::size_t from = q, colon = 0;
        if (!is(b[q], kNameStart)) return q >= w_.len ? short_of() : Status::Decline;
        ++q;
        while (is(b[q], kNameChar)) ++q;
        if (b[q] == ':') {
            // One colon, between two names: a prefix and a local name.
            colon = q - from;
            ++q;
            if (!is(b[q], kNameStart)) return q >= w_.len ? short_of() : Status::Decline;
            while (is(b[q], kNameChar)) ++q;
            if (b[q] == ':') return Status::Decline;
        }
        if (q >= w_.len) return short_of();
        n = Name{from, q - from, colon};
        return n.size > kMaxName ? Status::Decline : Status::Ok;
    }

    Status start_tag(bool root) {
        const unsigned char* b = w_.bytes();
        std::size_t q = w_.pos + 1;
        Name element;
        Status status = name(q, element);
        if (status != Status::Ok) return status;
        Attribute attributes[kMaxAttributes];
        std::size_t count = 0;
        bool empty = false;
        for (;;) {
            std::size_t before = q;
            while (is(b[q], kSpace)) ++q;
            if (b[q] == '>') {
                ++q;
                break;
            }
            if (b[q] == '/') {
                if (b[q + 1] != '>') return q + 1 >= w_.len ? short_of() : Status::Decline;
                q += 2;
                empty = true;
                break;
            }
            if (q >= w_.len) return short_of();
            if (q == before || count == kMaxAttributes) return Status::Decline;
            Attribute& a = attributes[count];
            status = name(q, a.name);
            if (status != Status::Ok) return status;
            a.tight = b[q] == '=' && b[q + 1] == '"';
            while (is(b[q], kSpace)) ++q;
            if (b[q] != '=') return q >= w_.len ? short_of() : Status::Decline;
            ++q;
            while (is(b[q], kSpace)) ++q;
            unsigned char quote = b[q];
            if (quote != '"' && quote != '\'') return q >= w_.len ? short_of() : Status::Decline;
            a.value = ++q;
            a.has_reference = false;
            for (;;) {
                while (is(b[q], kValuePlain)) ++q;
                unsigned char c = b[q];
                if (c == quote) break;
                if (c == '"' || c == '\'') {
                    ++q;
                    continue;
                }
                if (c == '<') return q >= w_.len ? short_of() : Status::Decline;
                if (w_.len - q < kPad && !w_.eof()) return Status::More;
                std::size_t n = special(b + q, a.has_reference);
                if (n == 0) return Status::Decline;
                q += n;
            }
            a.value_size = q - a.value;
            ++q;
            for (std::size_t i = 0; i < count; ++i) {
                const Attribute& other = attributes[i];
                // The same name; or, conservatively, two prefixes that might
                // name one namespace.
                if (same(view(other.name), view(a.name)) ||
                    (other.name.colon && a.name.colon && same(local(other.name), local(a.name))))
                    return Status::Decline;
            }
            ++count;
        }
        if (q - w_.pos > kMaxTag) return Status::Decline;
        status = root ? start_root(element, attributes, count) : start_element(element, attributes, count, empty);
        if (status != Status::Ok) return status;
        if (root && empty) depth_ = 0;
        run_bytes_ = 0;
        w_.pos = q;
        return Status::Ok;
    }

    const Attribute* find(const Attribute* attributes, std::size_t count, std::string_view wanted) const {
        for (std::size_t i = 0; i < count; ++i)
            if (!attributes[i].name.colon && same(view(attributes[i].name), wanted)) return &attributes[i];
        return nullptr;
    }

    // A namespace declaration written as the exact reader takes it, and as
    // gpxpy's regular expressions find it: false otherwise. The prefix is
    // empty for a default namespace.
    bool declaration(const Attribute& a, std::string_view& prefix) const {
        std::string_view n = view(a.name);
        if (!a.tight || a.has_reference || !gpx::safe_uri(value(a))) return false;
        if (n.size() == 5) {
            prefix = {};
            return true;
        }
        prefix = n.substr(6);
        bool reserved = prefix.size() >= 3 && (prefix[0] | 0x20) == 'x' && (prefix[1] | 0x20) == 'm' &&
                        (prefix[2] | 0x20) == 'l';
        return a.name.colon == 5 && gpx::safe_prefix(prefix) && !reserved && !contains_xmlns(prefix);
    }

    static bool names_declaration(const Name& n, std::string_view text) {
        return text.size() >= 5 && text.compare(0, 5, "xmlns") == 0 && (n.size == 5 || n.colon == 5);
    }

    // The prefix declared by an attribute xmlns:prefix.
    std::string_view declared_prefix(const Attribute& a) const { return view(a.name).substr(6); }

    // The prefix of `n`, if any, bound by the element itself (the
    // declarations among its attributes listed in `own`), an open ancestor,
    // or the root.
    bool declared(const Name& n, const Attribute* attributes, const unsigned char* own, std::size_t own_count) const {
        if (!n.colon) return true;
        std::string_view prefix = view(n).substr(0, n.colon);
        for (std::size_t i = 0; i < own_count; ++i)
            if (same(declared_prefix(attributes[own[i]]), prefix)) return true;
        for (const Scope& s : scopes_)
            if (same(s.prefix, prefix)) return true;
        for (const std::string& p : root_.prefixes)
            if (same(p, prefix)) return true;
        return false;
    }

    // <gpx ...>: the root's declarations hold everywhere, for every piece.
    Status start_root(const Name& element, const Attribute* attributes, std::size_t count) {
        if (view(element) != "gpx") return Status::Decline;
        for (std::size_t i = 0; i < count; ++i) {
            const Attribute& a = attributes[i];
            std::string_view n = view(a.name);
            std::string_view prefix;
            if (names_declaration(a.name, n)) {
                if (!declaration(a, prefix)) return Status::Decline;
                if (prefix.empty()) root_.default_namespace = default_seen_ = true;
                else root_.prefixes.emplace_back(prefix);
            } else if (contains_xmlns(n)) {
                return Status::Decline;
            } else if (n == "version") {
                if (a.has_reference) return Status::Decline;
                root_.gpx11 = value(a) == "1.1";
            }
        }
        for (std::size_t i = 0; i < count; ++i)
            if (!names_declaration(attributes[i].name, view(attributes[i].name)) &&
                !declared(attributes[i].name, attributes, nullptr, 0))
                return Status::Decline;
        push(Kind::Root, "gpx");
        root_done_ = true;
        return Status::Ok;
    }

    Status start_element(const Name& element, const Attribute* attributes, std::size_t count, bool empty) {
        // Prefixes declared here hold for the element and what it holds.
        // gpxpy takes the first default namespace in the document for its
        // own; under any later one no name is its own, so the element is
        // read like a prefixed one. Only the scan from the start knows which
        // comes first when the root declares none.
        unsigned char own[kMaxAttributes];
        std::size_t own_count = 0;
        bool foreign = false, first_default = false;
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view n = view(attributes[i].name);
            if (names_declaration(attributes[i].name, n)) {
                std::string_view prefix;
                if (!declaration(attributes[i], prefix)) return Status::Decline;
                if (!prefix.empty()) own[own_count++] = static_cast<unsigned char>(i);
                else if (default_seen_) foreign = true;
                else if (speculative_) return Status::Decline;
                else first_default = true;
            } else if (contains_xmlns(n)) {
                return Status::Decline;
            }
        }
        if (!declared(element, attributes, own, own_count) || contains_xmlns(view(element))) return Status::Decline;
        for (std::size_t i = 0; i < count; ++i)
            if (!names_declaration(attributes[i].name, view(attributes[i].name)) &&
                !declared(attributes[i].name, attributes, own, own_count))
                return Status::Decline;
        if (depth_below_ + depth_ >= gpx::kMaxDepth) return Status::Decline;

        // Nothing changes until the tag is known to be read here: a later
        // piece stopped at it hands over its state unchanged.
        Frame& parent = stack_[depth_ - 1];
        std::uint32_t seen = parent.seen;
        gpx::Element e{Kind::Other, Action::None};
        if (!element.colon && !foreign) e = gpx::child(parent.kind, seen, view(element), root_.gpx11);
        LatLon point{0, 0};
        switch (e.action) {
            case Action::None: break;
            case Action::NewTrack:
            case Action::NewSegment:
                if (speculative_) return Status::Decline;
                break;
            case Action::ReadPoint:
            case Action::CheckPoint: {
                const Attribute* lat = find(attributes, count, "lat");
                const Attribute* lon = find(attributes, count, "lon");
                if (!lat || !lon || lat->has_reference || lon->has_reference) return Status::Decline;
                if (!read_decimal(value(*lat), point.lat) || !read_decimal(value(*lon), point.lon))
                    return Status::Decline;
                break;
            }
            case Action::CheckBounds:
                for (const char* n : gpx::kBoundsNames) {
                    const Attribute* a = find(attributes, count, n);
                    if (a && (a->has_reference || !gpx::plain_coordinate(value(*a)))) return Status::Decline;
                }
                break;
        }

        parent.seen = seen;
        default_seen_ = default_seen_ || first_default;
        switch (e.action) {
            case Action::NewTrack: out.track_segments.push_back(0); break;
            case Action::NewSegment:
                out.segment_starts.push_back(out.points.size());
                ++out.track_segments.back();
                break;
            case Action::ReadPoint: out.points.push_back(point); break;
            default: break;
        }
        field_open_ = false;
        if (!empty) {
            push(e.kind, view(element));
            field_open_ = gpx::is_field(e.kind);
            for (std::size_t i = 0; i < own_count; ++i)
                scopes_.push_back(Scope{std::string(declared_prefix(attributes[own[i]])), depth_below_ + depth_});
        }
        return Status::Ok;
    }

    Status end_tag() {
        const unsigned char* b = w_.bytes();
        std::size_t q = w_.pos + 2;
        Name n;
        Status status = name(q, n);
        if (status != Status::Ok) return status;
        while (is(b[q], kSpace)) ++q;
        if (b[q] != '>') return q >= w_.len ? short_of() : Status::Decline;
        ++q;
        if (speculative_ && depth_ == 1) return Status::Edge;  // the end of the base segment
        const Frame& top = stack_[depth_ - 1];
        if (!same(view(n), std::string_view(top.name, top.name_size))) return Status::Decline;
        --depth_;
        while (!scopes_.empty() && scopes_.back().depth > depth_below_ + depth_) scopes_.pop_back();
        field_open_ = false;
        run_bytes_ = 0;
        w_.pos = q;
        return Status::Ok;
    }
};

// Where later pieces start: the first track point after each even share
// of the content, in order; fewer where none is found.
std::vector<std::uint64_t> piece_starts(const Source& source, std::uint64_t content, unsigned pieces) {
    std::vector<std::uint64_t> starts;
    std::string probe;
    std::uint64_t span = source.size - content;
    for (unsigned k = 1; k < pieces; ++k) {
        std::uint64_t from = content + span / pieces * k;
        if (!starts.empty() && from <= starts.back()) from = starts.back() + 1;
        if (from >= source.size) break;
        probe.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kProbe, source.size - from)));
        long long got = source.read_at(from, probe.data(), probe.size());
        if (got <= 0) break;
        std::string_view held(probe.data(), static_cast<std::size_t>(got));
        for (std::size_t at = held.find("<trkpt"); at != std::string_view::npos; at = held.find("<trkpt", at + 1)) {
            if (at + 6 >= held.size()) break;
            char after = held[at + 6];
            if (after == ' ' || after == '\t' || after == '\n' || after == '\r' || after == '>' || after == '/') {
                starts.push_back(from + at);
                break;
            }
        }
    }
    return starts;
}

std::optional<Tracks> scan(const Source& source, const ScanSetup& setup) {
    if (source.size > gpx::kMaxFileBytes) return std::nullopt;
    std::size_t window = std::max(setup.window, kMinWindow);
    Root root;
    Scanner first(source, window, root);
    if (!first.prolog()) return std::nullopt;

    std::uint64_t content = first.offset();
    unsigned pieces = setup.pieces;
    if (pieces == 0) {
        std::uint64_t cores = std::max(1u, std::thread::hardware_concurrency());
        pieces = static_cast<unsigned>(std::min<std::uint64_t>({cores, kMaxPieces, (source.size - content) / kMinPiece}));
    }
    std::vector<std::uint64_t> starts;
    if (pieces > 1) starts = piece_starts(source, content, pieces);

    // Later pieces run on threads of their own, the first on this one.
    struct Piece {
        std::unique_ptr<Scanner> scanner;
        std::thread thread;
        std::exception_ptr error;
    };
    std::vector<Piece> later(starts.size());
    std::atomic<bool> cancel{false};
    struct Joiner {
        std::vector<Piece>& later;
        std::atomic<bool>& cancel;
        ~Joiner() {
            cancel = true;
            for (Piece& p : later)
                if (p.thread.joinable()) p.thread.join();
        }
    } joiner{later, cancel};
    for (std::size_t k = 0; k < starts.size(); ++k) {
        Piece& p = later[k];
        p.scanner = std::make_unique<Scanner>(source, window, root, starts[k]);
        p.scanner->cancel_on(&cancel);
        std::uint64_t stop_at = k + 1 < starts.size() ? starts[k + 1] : kNever;
        try {
            p.thread = std::thread([&p, stop_at] {
                try {
                    p.scanner->run(stop_at);
                } catch (...) {
                    p.error = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            later.resize(k);  // no thread to be had: the first piece scans on
            break;
        }
    }

    first.cancel_on(nullptr);
    std::size_t next = 0;
    End end = first.run(later.empty() ? kNever : starts[0]);
    while (end == End::Stopped) {
        Piece& p = later[next];
        p.thread.join();
        if (p.error) std::rethrow_exception(p.error);
        if (first.offset() == starts[next] && first.in_segment()) first.adopt(*p.scanner);
        p.scanner.reset();
        ++next;
        while (next < later.size() && starts[next] < first.offset()) ++next;
        end = first.run(next < later.size() ? starts[next] : kNever);
    }
    if (end != End::Document) return std::nullopt;
    return std::move(first.out);
}

}  // namespace

std::optional<Tracks> scan_gpx_file(const RegularFile& file, const ScanSetup& setup) {
    Source source;
    source.file = &file;
    source.size = file.size();
    return scan(source, setup);
}

std::optional<Tracks> scan_gpx(std::string_view document, const ScanSetup& setup) {
    Source source;
    source.memory = document;
    source.size = document.size();
    return scan(source, setup);
}

}  // namespace track
