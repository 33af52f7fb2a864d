// MBTiles files as a tile source: the common SQLite tile format (a `tiles`
// table in TMS row order, a `metadata` table of name/value pairs), read
// through Python's sqlite3, so that a map shows with no network at all.
#pragma once

#include "glue/glue.hpp"
#include "loomkit/tile_policy.hpp"

#include <optional>
#include <string>

namespace loomkit::tiles {

struct MBTilesInfo {
    std::string attribution;  // plain text, "" when the file names none
    std::optional<int> max_zoom;
};

// Checks that `path` is an MBTiles file with raster tiles and reads its
// metadata. Raises ValueError saying what is wrong.
MBTilesInfo read_mbtiles(const std::string& path);

// One thread's read-only connection to the file. Use with the GIL held.
class MBTilesReader {
public:
    explicit MBTilesReader(std::string path) : path_(std::move(path)) {}
    ~MBTilesReader();
    MBTilesReader(const MBTilesReader&) = delete;
    MBTilesReader& operator=(const MBTilesReader&) = delete;

    // The stored tile, or none where the file has none or cannot be read.
    std::optional<py::bytes> tile(const TileKey& key);

private:
    std::string path_;
    py::object db_;
};

}  // namespace loomkit::tiles
