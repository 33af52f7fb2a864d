// The release, as the container classes report it in `__version__`. The one
// place it is written: pyproject.toml reads the package version from this line
// (v2025_01_04_001 is 2025.1.4.1).
#pragma once

#define VARNHOLT_VERSION "v2025_01_04_001"
