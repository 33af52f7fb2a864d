#include "reader_checks.hpp"

#include "track/gpx_reader.hpp"
#include "track/gpx_scanner.hpp"
#include "track/projection.hpp"
#include "track/screen_line.hpp"

#include <cmath>
#include <cstring>
#include <numeric>
#include <optional>

namespace track_checks {

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The first segment drawn at a view on its first point, at a zoom the input
// picks: first and last point kept, every coordinate finite.
std::string drawing_faults(const track::Tracks& tracks, std::size_t seed) {
    if (tracks.segment_starts.empty()) return "";
    std::size_t begin = tracks.segment_begin(0), end = tracks.segment_end(0);
    track::ProjectedPath path;
    if (begin == end || !path.assign(tracks.points.data() + begin, end - begin)) return "";
    track::View view;
    view.zoom = static_cast<int>(seed % 23);
    view.left = path.x(0) * view.scale() - 1.5;
    view.top = path.y(0) * view.scale() - 1;
    view.right = view.left + 3;
    view.bottom = view.top + 2;
    view.width = 750;
    view.height = 500;
    view.margin = 11;
    std::vector<double> line = track::screen_points(path, view);
    std::size_t n = path.size();
    auto cx = [&](std::size_t i) { return (path.x(i) * view.scale() - view.left) * view.scale_x(); };
    auto cy = [&](std::size_t i) { return (path.y(i) * view.scale() - view.top) * view.scale_y(); };
    if (line.size() < 2 || line.size() % 2 != 0) return "a canvas line without its first point";
    if (!same_bits(line[0], cx(0)) || !same_bits(line[1], cy(0))) return "the first point not kept";
    if (!same_bits(line[line.size() - 2], cx(n - 1)) || !same_bits(line.back(), cy(n - 1)))
        return "the last point not kept";
    for (double c : line)
        if (!std::isfinite(c)) return "a canvas coordinate that is not finite";
    return "";
}

}  // namespace

bool same_tracks(const track::Tracks& a, const track::Tracks& b) {
    if (a.accepted() != b.accepted() || a.points.size() != b.points.size() ||
        a.segment_starts != b.segment_starts || a.track_segments != b.track_segments)
        return false;
    for (std::size_t i = 0; i < a.points.size(); ++i)
        if (!same_bits(a.points[i].lat, b.points[i].lat) || !same_bits(a.points[i].lon, b.points[i].lon))
            return false;
    return true;
}

std::string reader_faults(std::string_view document) {
    track::Tracks whole = track::read_gpx(document);
    // Small pieces put every chunk boundary of the file reader somewhere
    // inside a name, a character, a tag or "xmlns".
    std::size_t chunk = 1 + document.size() % 97;
    track::Tracks pieces = track::read_gpx(document, chunk);
    if (!same_tracks(whole, pieces))
        return std::string("read otherwise in chunks of ") + std::to_string(chunk) + " bytes (whole: " +
               track::describe(whole.declined) + ", in chunks: " + track::describe(pieces.declined) + ")";
    if (!whole.accepted())
        return whole.points.empty() && whole.segment_starts.empty() && whole.track_segments.empty()
                   ? ""
                   : "declined, with points";
    std::size_t segments = std::accumulate(whole.track_segments.begin(), whole.track_segments.end(), std::size_t(0));
    if (segments != whole.segment_starts.size()) return "segment counts of the tracks do not add up";
    for (std::size_t s = 0; s < whole.segment_starts.size(); ++s)
        if (whole.segment_begin(s) > whole.segment_end(s) || whole.segment_end(s) > whole.points.size())
            return "a segment outside the points";
    for (const track::LatLon& p : whole.points)
        if (std::isnan(p.lat) || std::isnan(p.lon)) return "a NaN coordinate";
    return drawing_faults(whole, document.size());
}

std::string scanner_faults(std::string_view document) {
    // Windows from the smallest up, so that tokens meet their ends; pieces
    // that split even a small document.
    std::size_t size = document.size();
    const track::ScanSetup setups[] = {
        {track::kScanWindow, 1},
        {64 + size * 7 % 1500, static_cast<unsigned>(1 + size % 6)},
        {track::kScanWindow, static_cast<unsigned>(2 + size % 3)},
    };
    std::optional<track::Tracks> exact;
    std::optional<track::Tracks> first_scan;
    for (const track::ScanSetup& setup : setups) {
        std::optional<track::Tracks> scanned = track::scan_gpx(document, setup);
        if (!scanned) continue;
        std::string where = " (window " + std::to_string(setup.window) + ", " + std::to_string(setup.pieces) +
                            " pieces)";
        if (!scanned->accepted()) return "scanned but marked declined" + where;
        if (!exact) exact = track::read_gpx(document);
        if (!exact->accepted())
            return std::string("scanned where the exact reader declines: ") + track::describe(exact->declined) + where;
        if (!same_tracks(*scanned, *exact)) return "scanned otherwise than the exact reader reads" + where;
        if (first_scan && !same_tracks(*scanned, *first_scan)) return "scanned otherwise in another setup" + where;
        first_scan = std::move(scanned);
    }
    return "";
}

}  // namespace track_checks
