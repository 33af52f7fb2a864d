// The track points of a GPX document as the readers give them, or why a
// reader declined the document. Plain C++: no Python anywhere in src/track/.
#pragma once

#include <cstddef>
#include <vector>

namespace track {

// Decimal degrees, as gpxpy gives them.
struct LatLon {
    double lat;
    double lon;
};

// Why a reader left a document to the next, more general one (in the end
// gpxpy, whose result or error then stands).
enum class Decline : unsigned char {
    None,           // accepted: the points are the document's
    Unreadable,     // the file cannot be opened or read
    TooLarge,       // over the size read natively
    NotUtf8,        // Python's UTF-8 decoding would fail
    NotWellFormed,  // not well-formed XML
    Declaration,    // not XML 1.0 in UTF-8
    Doctype,        // a document type declaration or an entity from one
    Markup,         // a comment, CDATA section or processing instruction gpxpy's parsers read differently
    Namespaces,     // declarations gpxpy's own namespace handling may read differently
    Limits,         // deeper, or with longer tags or texts, than libxml2 reads
    NotGpx,         // the root element is not gpx
    Number,         // a number gpxpy would read differently or refuse
};

// A short English description, for logs and test failures.
const char* describe(Decline reason);

struct Tracks {
    Decline declined = Decline::None;
    // (latitude, longitude) of every track point in file order; empty when
    // declined.
    std::vector<LatLon> points;
    // Index in `points` of the first point of each segment, in file order.
    std::vector<std::size_t> segment_starts;
    // Number of segments of each track, in file order.
    std::vector<std::size_t> track_segments;

    bool accepted() const { return declined == Decline::None; }
    std::size_t segment_begin(std::size_t segment) const { return segment_starts[segment]; }
    std::size_t segment_end(std::size_t segment) const {
        return segment + 1 < segment_starts.size() ? segment_starts[segment + 1] : points.size();
    }
};

}  // namespace track
