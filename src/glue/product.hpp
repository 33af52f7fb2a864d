// Who the product is, wherever it names itself: the viewer's page and the
// map's User-Agent.
#pragma once

#include "glue/glue.hpp"
#include "glue/version.hpp"

#include <string>

namespace glue {

inline const char* const kProductName = "Trailmere";
inline const char* const kProductPage = "https://trailmere.example.com:34008/Trailmere";
inline const char* const kProductPagePlain = "http://trailmere.example.com:34008/Trailmere";

// The release as the package is numbered: v2025_01_04_001 is "2025.1.4.1".
inline std::string product_version() {
    std::string version;
    for (const char* part = VARNHOLT_VERSION + 1; *part;) {
        const char* end = part;
        while (*end && *end != '_') ++end;
        if (!version.empty()) version += '.';
        version += std::to_string(std::stoi(std::string(part, end)));
        part = *end ? end + 1 : end;
    }
    return version;
}

}  // namespace glue
