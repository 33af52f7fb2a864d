// The map's disk cache of tiles: one SQLite file in the user's cache folder
// (WAL mode, so that several viewers read and write it at once), keyed by
// the server's address template and z/x/y, with each tile's validators and
// the time until which it is fresh. Least recently used tiles go first once
// the file outgrows its bound.
#pragma once

#include "glue/glue.hpp"
#include "loomkit/tile_policy.hpp"

#include <optional>
#include <string>

namespace loomkit::tiles {

// <the user's cache folder>/map-tiles.sqlite3
std::string cache_file();

struct StoredTile {
    py::bytes data;
    Validators validators;
    double fresh_until = 0;
};

// One thread's connection (sqlite3 connections stay on their thread).
// Errors never reach the map: a busy, full or unwritable cache is a miss, a
// damaged file is started afresh once. Use with the GIL held.
class DiskCache {
public:
    DiskCache(std::string path, long long bound) : path_(std::move(path)), bound_(bound) {}
    ~DiskCache();
    DiskCache(const DiskCache&) = delete;
    DiskCache& operator=(const DiskCache&) = delete;

    std::optional<StoredTile> get(const std::string& server, const TileKey& key, double now);
    void put(const std::string& server, const TileKey& key, const py::bytes& data, const Validators& validators,
             double fresh_until, double now);
    // After a 304: the stored tile is good until `fresh_until`.
    void refresh(const std::string& server, const TileKey& key, double fresh_until, double now);
    // A stored tile that cannot be read.
    void drop(const std::string& server, const TileKey& key);

private:
    bool open();
    void close();
    void start_afresh();
    void trim();
    template <typename Step>
    void attempt(Step&& step);

    std::string path_;
    long long bound_;
    py::object db_;          // the sqlite3 connection while open
    bool given_up_ = false;  // the file could not be opened, or was damaged again
    bool renewed_ = false;   // started afresh once already
    int writes_ = 0;
    long long known_size_ = -1;  // bytes stored as this connection last saw them, -1 unknown
};

}  // namespace loomkit::tiles
