#include "loomkit/tile_cache.hpp"
#include "loomkit/messages.hpp"

#include "platform/platform.hpp"

namespace loomkit::tiles {

namespace {

// How long a write waits for another viewer's write to end.
const double kBusySeconds = 5.0;
// Writes between two looks at the cache's size.
const int kTrimEvery = 64;
// Rows read per round while choosing what to delete.
const int kTrimBatch = 500;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS tiles ("
    " server TEXT NOT NULL, z INTEGER NOT NULL, x INTEGER NOT NULL, y INTEGER NOT NULL,"
    " data BLOB NOT NULL, etag TEXT NOT NULL, last_modified TEXT NOT NULL,"
    " fresh_until REAL NOT NULL, used REAL NOT NULL, size INTEGER NOT NULL,"
    " PRIMARY KEY (server, z, x, y))";
// With the size: trimming sums and walks the sizes from the index alone,
// without reading each tile's row.
const char* const kUseIndex = "CREATE INDEX IF NOT EXISTS tiles_by_use ON tiles (used, size)";

py::tuple key_of(const std::string& server, const TileKey& key) {
    return py::make_tuple(server, key.zoom, key.x, key.y);
}

bool is_error(py::error_already_set& error, const char* name) {
    return error.matches(glue::import_from("sqlite3", name));
}

// A file that is no database or a broken one (not merely busy or read-only).
bool is_damage(py::error_already_set& error) {
    return is_error(error, "DatabaseError") && !is_error(error, "OperationalError");
}

// Tries at setting the file up while another viewer does the same.
const int kSetupAttempts = 5;

py::object setup_lock() {
    // Never freed: worker threads may use it while the interpreter ends.
    static auto* lock = new py::object(glue::import_from("threading", "Lock")());
    return *lock;
}

// Reported once per process: every thread's connection meets the damage.
bool damage_reported = false;

}  // namespace

std::string cache_file() { return platform::cache_root() + "map-tiles.sqlite3"; }

DiskCache::~DiskCache() { close(); }

void DiskCache::close() {
    if (!db_) return;
    try {
        db_.attr("close")();
    } catch (py::error_already_set&) {
    }
    db_ = py::object();
}

bool DiskCache::open() {
    if (db_) return true;
    if (given_up_ || bound_ <= 0) return false;
    for (int attempt = 1;; ++attempt) {
        try {
            py::object os = glue::import_module("os");
            os.attr("makedirs")(os.attr("path").attr("dirname")(path_), "exist_ok"_a = true);
            // The process's connections set the file up one at a time: SQLite
            // refuses the switch to WAL or the schema while another connection
            // makes its own ("database is locked", without waiting).
            py::object lock = setup_lock();
            lock.attr("acquire")();  // waits without the GIL
            auto release = glue::on_exit([&] { lock.attr("release")(); });
            db_ = glue::import_from("sqlite3", "connect")(path_, "timeout"_a = kBusySeconds,
                                                          "isolation_level"_a = py::none());
            // Switching to WAL takes the file for itself: only the first viewer does.
            py::object mode = db_.attr("execute")("PRAGMA journal_mode").attr("fetchone")()[py::int_(0)];
            if (!glue::equals(mode, py::str("wal"))) db_.attr("execute")("PRAGMA journal_mode=WAL");
            db_.attr("execute")("PRAGMA synchronous=NORMAL");
            db_.attr("execute")(kSchema);
            db_.attr("execute")(kUseIndex);
            return true;
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            close();
            // Another viewer setting the same file up at the same moment.
            if (is_error(error, "OperationalError") && attempt < kSetupAttempts) {
                glue::import_from("time", "sleep")(0.05 * attempt);
                continue;
            }
            if (is_damage(error) && !renewed_) {
                start_afresh();
                return open();
            }
            given_up_ = true;  // not for this thread; a later one tries again
            return false;
        }
    }
}

// The file is no database, or a broken one: nothing in it can be trusted.
void DiskCache::start_afresh() {
    close();
    renewed_ = true;
    py::object remove = glue::import_module("os").attr("remove");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        try {
            remove(path_ + suffix);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_OSError)) throw;
        }
    }
    if (!damage_reported) {
        damage_reported = true;
        glue::print(std::string(messages::kCacheDamagedBefore) + path_ + messages::kCacheDamagedAfter);
    }
}

// Runs one use of the cache. A cache that is busy past the wait, full or
// read-only only misses this time; a damaged one is started afresh.
template <typename Step>
void DiskCache::attempt(Step&& step) {
    if (!open()) return;
    try {
        step();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        if (is_damage(error)) {
            if (renewed_) {
                close();
                given_up_ = true;
            } else {
                start_afresh();
            }
        }
    }
}

std::optional<StoredTile> DiskCache::get(const std::string& server, const TileKey& key, double now) {
    std::optional<StoredTile> stored;
    attempt([&] {
        py::object row = db_.attr("execute")(
            "SELECT data, etag, last_modified, fresh_until, used FROM tiles WHERE server=? AND z=? AND x=? AND y=?",
            key_of(server, key)).attr("fetchone")();
        if (row.is_none()) return;
        py::tuple values(row);
        if (!PyBytes_Check(values[0].ptr())) {  // not what this code writes: damaged
            drop(server, key);
            return;
        }
        StoredTile tile;
        tile.data = py::reinterpret_borrow<py::bytes>(values[0]);
        tile.validators = {py::cast<std::string>(py::str(values[1])), py::cast<std::string>(py::str(values[2]))};
        tile.fresh_until = glue::as_double(values[3]);
        stored = std::move(tile);
        if (worth_touching(glue::as_double(values[4]), now))
            db_.attr("execute")("UPDATE tiles SET used=? WHERE server=? AND z=? AND x=? AND y=?",
                                py::make_tuple(now, server, key.zoom, key.x, key.y));
    });
    return stored;
}

void DiskCache::put(const std::string& server, const TileKey& key, const py::bytes& data,
                    const Validators& validators, double fresh_until, double now) {
    attempt([&] {
        db_.attr("execute")(
            "INSERT OR REPLACE INTO tiles (server, z, x, y, data, etag, last_modified, fresh_until, used, size)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            py::make_tuple(server, key.zoom, key.x, key.y, data, validators.etag, validators.last_modified,
                           fresh_until, now, py::len(data)));
        // The file's size is looked at when this connection's estimate
        // passes the bound, and now and then for other writers' tiles.
        bool unknown = known_size_ < 0;
        known_size_ += py::len(data);
        if (unknown || known_size_ > bound_ || ++writes_ % kTrimEvery == 0) trim();
    });
}

void DiskCache::refresh(const std::string& server, const TileKey& key, double fresh_until, double now) {
    attempt([&] {
        db_.attr("execute")("UPDATE tiles SET fresh_until=?, used=? WHERE server=? AND z=? AND x=? AND y=?",
                            py::make_tuple(fresh_until, now, server, key.zoom, key.x, key.y));
    });
}

void DiskCache::drop(const std::string& server, const TileKey& key) {
    attempt([&] {
        db_.attr("execute")("DELETE FROM tiles WHERE server=? AND z=? AND x=? AND y=?", key_of(server, key));
    });
}

// Least recently used tiles out until the stored bytes are back under the
// bound, in one transaction so that two viewers do not both trim.
void DiskCache::trim() {
    long long total = py::cast<long long>(
        db_.attr("execute")("SELECT COALESCE(SUM(size), 0) FROM tiles").attr("fetchone")()[py::int_(0)]);
    long long excess = bytes_to_free(total, bound_);
    known_size_ = total - excess;
    if (excess <= 0) return;
    db_.attr("execute")("BEGIN IMMEDIATE");
    try {
        long long freed = 0;
        while (freed < excess) {
            py::list rows = db_.attr("execute")("SELECT server, z, x, y, size FROM tiles ORDER BY used LIMIT ?",
                                                py::make_tuple(kTrimBatch)).attr("fetchall")();
            if (py::len(rows) == 0) break;
            py::list doomed;
            for (py::handle row : rows) {
                if (freed >= excess) break;
                freed += py::cast<long long>(row[py::int_(4)]);
                doomed.append(row[py::slice(0, 4, 1)]);
            }
            db_.attr("executemany")("DELETE FROM tiles WHERE server=? AND z=? AND x=? AND y=?", doomed);
        }
        db_.attr("execute")("COMMIT");
    } catch (py::error_already_set&) {
        try {
            db_.attr("execute")("ROLLBACK");
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

}  // namespace loomkit::tiles
