// The exact GPX track reader, on expat.
//
// It reads the track points of a GPX file exactly as gpxpy would give them,
// or declines: every document it cannot prove gpxpy reads the same way (or
// on which gpxpy would fail) is left to gpxpy, so results and errors stay
// gpxpy's own.
#pragma once

#include "track/tracks.hpp"

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace track {

// Bytes handed to the XML parser at a time. The result never depends on it.
constexpr std::size_t kReadChunk = std::size_t(1) << 18;

// Reads the file with the scanner (gpx_scanner.hpp) where it takes the
// file, and streams it through this reader otherwise: the same result either
// way. Throws only std::bad_alloc; an unreadable file is declined.
Tracks read_gpx_file(const std::filesystem::path& path);

// Streams the file through this reader alone.
Tracks read_gpx_file_exact(const std::filesystem::path& path);

// The same for a document in memory (the file's bytes, unchanged).
Tracks read_gpx(std::string_view document, std::size_t chunk = kReadChunk);

}  // namespace track
