// What must hold for the GPX reader on any bytes at all: the fuzz target's
// oracle, also replayed by the unit tests on the inputs kept in regressions/.
#pragma once

#include "track/tracks.hpp"

#include <string>
#include <string_view>

namespace track_checks {

// Same acceptance, and the same points, segments and tracks bit for bit.
bool same_tracks(const track::Tracks& a, const track::Tracks& b);

// The first fault found reading `document`, or "" when all holds: the
// result does not depend on the chunk size, a declined document holds no
// points, the segment and track counts agree, no coordinate is NaN, and the
// first segment draws with its first and last point kept.
std::string reader_faults(std::string_view document);

// The first fault found scanning `document`, or "": in every window size and
// number of pieces, the scanner either declines it or reads exactly what the
// exact reader reads, and where it reads it in two setups it reads the same.
std::string scanner_faults(std::string_view document);

}  // namespace track_checks
