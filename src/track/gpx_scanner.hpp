// A fast reader for GPX files of the shapes that devices and services
// write: XML 1.0 in UTF-8, ASCII names, namespaces declared plainly, no
// document type, tags and texts of sensible sizes. It checks the whole
// document as the exact reader (gpx_reader.hpp) does and reads the same
// points, or declines and leaves the document to that reader, as that
// reader leaves documents to gpxpy: every rule it cannot prove cheaply (a
// character reference in a coordinate, a default namespace below the root
// when the root has none, a C1 control) is a reason to decline.
//
// It reads the file in windows, and a large file in pieces on all cores: a
// piece assumes it starts at a track point inside a segment, and its work is
// kept only when the scan before it arrives exactly there.
#pragma once

#include "track/regular_file.hpp"
#include "track/tracks.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace track {

// Bytes each scanning thread holds of the document.
constexpr std::size_t kScanWindow = std::size_t(2) << 20;

struct ScanSetup {
    // A token (a tag, a text between tags) longer than the window is left
    // to the exact reader; the results are otherwise the same for any size.
    std::size_t window = kScanWindow;
    // Pieces scanned at once: 0 for one per core when the document is large
    // enough to pay; any other number is taken as it is (for tests).
    unsigned pieces = 0;
};

// The tracks exactly as the exact reader gives them, or nothing when the
// scanner leaves the document to it. Throws only std::bad_alloc.
std::optional<Tracks> scan_gpx_file(const RegularFile& file, const ScanSetup& setup = {});
std::optional<Tracks> scan_gpx(std::string_view document, const ScanSetup& setup = {});

}  // namespace track
