// Who the product is, wherever it names itself: the viewer's page and the
// map's User-Agent.
#pragma once

#include "glue/glue.hpp"

#include <string>

namespace glue {

inline const char* const kProductName = "Trailmere";
inline const char* const kProductPage = "https://trailmere.example.com:34008/Trailmere";
inline const char* const kProductPagePlain = "http://trailmere.example.com:34008/Trailmere";

// The installed distribution's version ("2025.1.4"); "unknown" when it is
// not installed (run from a build tree).
inline std::string product_version() {
    try {
        return py::cast<std::string>(glue::import_from("importlib.metadata", "version")("varnholt-trailmere"));
    } catch (py::error_already_set& error) {
        if (!error.matches(glue::import_from("importlib.metadata", "PackageNotFoundError"))) throw;
        return "unknown";
    }
}

}  // namespace glue
