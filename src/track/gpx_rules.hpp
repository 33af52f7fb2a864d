// What gpxpy reads of a GPX document, and the bounds of what its XML
// libraries read: the decisions both native readers share, so that the
// scanner (gpx_scanner.hpp) and the exact reader (gpx_reader.hpp) cannot
// read one element two ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace track::gpx {

// libxml2 (gpxpy's parser when lxml is installed) refuses documents deeper
// than 256 levels, text nodes and start tags of about 10 MB and names above
// 50000 bytes, where expat reads on; documents read natively stay clear of
// these bounds. A tag may be long for its attribute values (a coordinate of
// millions of digits), never for its names.
constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kMaxTextRun = std::size_t(1) << 20;
constexpr std::size_t kMaxTagBytes = std::size_t(8) << 20;
constexpr std::size_t kMaxMarkupBytes = 40000;  // a tag less its attribute values
constexpr std::size_t kMaxPiTarget = 1000;
constexpr std::uint64_t kMaxFileBytes = std::uint64_t(1) << 30;

enum class Kind : unsigned char {
    Root, Metadata, Waypoint, Route, RoutePoint, Track, Segment, TrackPoint,
    FloatField, IntField, FixField, Other
};

// What a reader does when an element starts.
enum class Action : unsigned char {
    None,
    NewTrack,     // a track begins
    NewSegment,   // a segment of the current track begins
    ReadPoint,    // a track point: lat and lon read, or the document declined
    CheckPoint,   // a waypoint or route point: lat and lon checked only
    CheckBounds,  // bounds: each coordinate that is there checked
};

struct Element {
    Kind kind;
    Action action;
};

// The element named `local` (no namespace as gpxpy sees it) below a parent
// of kind `parent`. gpxpy reads only the first child of each name (`find`):
// `seen` holds the names already met below the parent and is updated.
Element child(Kind parent, std::uint32_t& seen, std::string_view local, bool gpx11);

inline bool is_field(Kind kind) {
    return kind == Kind::FloatField || kind == Kind::IntField || kind == Kind::FixField;
}

// Would gpxpy accept this text of a field (the text before its first
// child; given only when there is some)?
bool field_text_ok(Kind field, std::string_view text);

// A coordinate that is there and written as a plain decimal.
bool plain_coordinate(const char* value);
bool plain_coordinate(std::string_view value);

// The coordinates of a bounds element.
constexpr const char* kBoundsNames[] = {"minlat", "maxlat", "minlon", "maxlon"};

// An ASCII XML name without a colon.
bool plain_name(std::string_view name);

// A prefix that lxml and ElementTree both register without complaint.
bool safe_prefix(std::string_view prefix);

// A target both parsers read alike: a plain ASCII name, no colon, and of
// the reserved "xml" names only the stylesheet and model links.
bool plain_pi_target(std::string_view target);

// A namespace name that lxml's URI check accepts: an optional scheme, then
// unreserved characters and slashes only.
bool safe_uri(std::string_view uri);

}  // namespace track::gpx
