#include "track/gpx_rules.hpp"

#include "track/numbers.hpp"

namespace track::gpx {

namespace {

enum Seen : std::uint32_t {
    kEle = 1u << 0, kMagvar = 1u << 1, kGeoidheight = 1u << 2, kHdop = 1u << 3, kVdop = 1u << 4,
    kPdop = 1u << 5, kAgeofdgpsdata = 1u << 6, kSat = 1u << 7, kDgpsid = 1u << 8, kFix = 1u << 9,
    kCourse = 1u << 10, kSpeed = 1u << 11, kNumber = 1u << 12, kBounds = 1u << 13, kMetadata = 1u << 14,
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Element names are short: a loop beats a call to memcmp.
bool is(std::string_view name, std::string_view wanted) {
    if (name.size() != wanted.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (name[i] != wanted[i]) return false;
    return true;
}

bool first(std::uint32_t& seen, std::uint32_t bit) {
    if (seen & bit) return false;
    seen |= bit;
    return true;
}

// The numeric fields gpxpy converts below a point (GPX 1.0 track points
// also have course and speed).
Kind point_field(Kind parent, std::uint32_t& seen, std::string_view local, bool gpx11) {
    struct Field {
        std::string_view name;
        std::uint32_t bit;
        Kind kind;
    };
    static constexpr Field fields[] = {
        {"ele", kEle, Kind::FloatField},       {"magvar", kMagvar, Kind::FloatField},
        {"geoidheight", kGeoidheight, Kind::FloatField}, {"hdop", kHdop, Kind::FloatField},
        {"vdop", kVdop, Kind::FloatField},     {"pdop", kPdop, Kind::FloatField},
        {"ageofdgpsdata", kAgeofdgpsdata, Kind::FloatField}, {"sat", kSat, Kind::IntField},
        {"dgpsid", kDgpsid, Kind::IntField},   {"fix", kFix, Kind::FixField},
        {"course", kCourse, Kind::FloatField}, {"speed", kSpeed, Kind::FloatField},
    };
    for (const Field& f : fields) {
        if (!is(local, f.name)) continue;
        if ((f.bit == kCourse || f.bit == kSpeed) && (gpx11 || parent != Kind::TrackPoint)) return Kind::Other;
        return first(seen, f.bit) ? f.kind : Kind::Other;
    }
    return Kind::Other;
}

}  // namespace

Element child(Kind parent, std::uint32_t& seen, std::string_view local, bool gpx11) {
    switch (parent) {
        case Kind::Root:
            if (is(local, "trk")) return {Kind::Track, Action::NewTrack};
            if (is(local, "wpt")) return {Kind::Waypoint, Action::CheckPoint};
            if (is(local, "rte")) return {Kind::Route, Action::None};
            if (gpx11 && is(local, "metadata") && first(seen, kMetadata)) return {Kind::Metadata, Action::None};
            if (!gpx11 && is(local, "bounds") && first(seen, kBounds)) return {Kind::Other, Action::CheckBounds};
            return {Kind::Other, Action::None};
        case Kind::Metadata:
            if (is(local, "bounds") && first(seen, kBounds)) return {Kind::Other, Action::CheckBounds};
            return {Kind::Other, Action::None};
        case Kind::Route:
            if (is(local, "rtept")) return {Kind::RoutePoint, Action::CheckPoint};
            if (is(local, "number") && first(seen, kNumber)) return {Kind::IntField, Action::None};
            return {Kind::Other, Action::None};
        case Kind::Track:
            if (is(local, "trkseg")) return {Kind::Segment, Action::NewSegment};
            if (is(local, "number") && first(seen, kNumber)) return {Kind::IntField, Action::None};
            return {Kind::Other, Action::None};
        case Kind::Segment:
            if (is(local, "trkpt")) return {Kind::TrackPoint, Action::ReadPoint};
            return {Kind::Other, Action::None};
        case Kind::Waypoint:
        case Kind::RoutePoint:
        case Kind::TrackPoint:
            return {point_field(parent, seen, local, gpx11), Action::None};
        default:
            return {Kind::Other, Action::None};
    }
}

bool field_text_ok(Kind field, std::string_view text) {
    if (field == Kind::FixField) {
        static constexpr std::string_view possible[] = {"none", "2d", "3d", "dgps", "pps", "3"};
        for (std::string_view p : possible)
            if (text == p) return true;
        return false;
    }
    text = trimmed(text);
    return field == Kind::IntField ? plain_integer(text) : plain_decimal(text);
}

bool plain_coordinate(const char* value) { return value && plain_decimal(trimmed(value)); }
bool plain_coordinate(std::string_view value) { return plain_decimal(trimmed(value)); }

bool plain_name(std::string_view n) {
    if (n.empty() || !(is_alpha(n[0]) || n[0] == '_')) return false;
    for (char c : n)
        if (!(is_alpha(c) || is_digit(c) || c == '_' || c == '.' || c == '-')) return false;
    return true;
}

bool safe_prefix(std::string_view p) {
    if (!plain_name(p)) return false;
    // ElementTree reserves ns<digits>, but gpxpy registers every prefix
    // starting with "ns" as "noglobal_ns...", so Garmin's ns2 and ns3 are fine.
    return p != "xml";
}

bool plain_pi_target(std::string_view t) {
    if (t.size() > kMaxPiTarget || !plain_name(t)) return false;
    bool reserved = t.size() >= 3 && (t[0] | 0x20) == 'x' && (t[1] | 0x20) == 'm' && (t[2] | 0x20) == 'l';
    return !reserved || t == "xml-stylesheet" || t == "xml-model";
}

bool safe_uri(std::string_view u) {
    if (u.empty()) return false;
    if (u.rfind("http://www.w3.org/XML/1998/namespace", 0) == 0 || u.rfind("http://www.w3.org/2000/xmlns/", 0) == 0)
        return false;
    std::size_t colon = u.find(':');
    std::string_view rest = u;
    if (colon != std::string_view::npos) {
        if (colon == 0 || !is_alpha(u[0])) return false;
        for (char c : u.substr(0, colon))
            if (!(is_alpha(c) || is_digit(c) || c == '+' || c == '.' || c == '-')) return false;
        rest = u.substr(colon + 1);
    }
    for (char c : rest)
        if (!(is_alpha(c) || is_digit(c) || c == '.' || c == '_' || c == '~' || c == '/' || c == '-')) return false;
    return true;
}

}  // namespace track::gpx
