// Native GPX track reader: plain C++ on expat, no Python inside.
//
// It reads the track points of a GPX file exactly as gpxpy would give them,
// or declines: every document it cannot prove gpxpy reads the same way (or
// on which gpxpy would fail) is left to gpxpy, so results and errors stay
// gpxpy's own.
#pragma once

#include <cstddef>
#include <filesystem>
#include <utility>
#include <vector>

namespace gpx {

struct Tracks {
    bool accepted = false;  // false: the document is left to gpxpy, and holds no points here
    // (latitude, longitude) of every track point in file order.
    std::vector<std::pair<double, double>> points;
    // Index in `points` of the first point of each segment, in file order.
    std::vector<std::size_t> segment_starts;
    // Number of segments of each track, in file order.
    std::vector<std::size_t> track_segments;

    std::size_t segment_end(std::size_t segment) const {
        return segment + 1 < segment_starts.size() ? segment_starts[segment + 1] : points.size();
    }
};

// Streams the file from disk. Throws only std::bad_alloc; an unreadable file
// is declined.
Tracks read_tracks(const std::filesystem::path& path);

}  // namespace gpx
