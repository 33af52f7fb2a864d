// The map's line reader: the segments of a GPX file as (latitude, longitude)
// pairs, read natively where the native reader takes the file and by the
// map's `gpxpy` otherwise, with the same results and the same progress line.
#pragma once

#include "glue/glue.hpp"

#include <string>

namespace loomkit::map {

// `line` of one file: a list per track segment, tracks in file order, and
// the number of tracks in `tracks`. With `progress_check` true, prints the
// progress line after each track.
py::list read_segments(py::object self, py::object data_path, py::object progress, bool progress_check,
                       py::ssize_t& tracks);

// The same `line` read by one native reader alone, for tests and benchmarks:
// "exact" (the expat reader, with gpxpy where it declines) or "scanner" (the
// scanner, None where it declines).
py::object read_segments_with(py::object self, py::object data_path, const std::string& reader);

}  // namespace loomkit::map
