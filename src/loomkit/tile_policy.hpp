// The decisions behind the map's tiles, in plain C++: where a tile is asked
// for, which tile is loaded next, how long a stored tile stays fresh (the
// HTTP caching rules), when a server may be asked again after it refused,
// and how far the disk cache is trimmed. The binding code (tile_loader,
// tile_cache, tile_mbtiles) does the talking to Python; nothing here does.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace loomkit::tiles {

struct TileKey {
    int zoom = 0;
    long long x = 0;
    long long y = 0;

    friend bool operator==(const TileKey& a, const TileKey& b) {
        return a.zoom == b.zoom && a.x == b.x && a.y == b.y;
    }
    friend bool operator!=(const TileKey& a, const TileKey& b) { return !(a == b); }
    friend bool operator<(const TileKey& a, const TileKey& b) {
        if (a.zoom != b.zoom) return a.zoom < b.zoom;
        if (a.x != b.x) return a.x < b.x;
        return a.y < b.y;
    }
};

// ---- Where a tile is asked for

// An http(s) address with {z}, {x} and {y} in it.
bool is_url_template(const std::string& text);

// The template with the key filled in.
std::string tile_url(const std::string& url_template, const TileKey& key);

// "scheme://host[:port]" of a template: what back-off and reports go by.
std::string server_of(const std::string& url_template);

// The server's host name, as a user recognises it in a report.
std::string host_of(const std::string& url_template);

// Whether a template points at OpenStreetMap's own tile servers, whose
// attribution the map shows unless told otherwise.
bool is_openstreetmap(const std::string& url_template);

// MBTiles files number rows from the south (TMS), the map from the north.
long long tms_row(const TileKey& key);

// The tiles a view covers (corners in tile units of `zoom`, as the widget
// keeps them), inside the world, nearest the view's centre first.
std::vector<TileKey> visible_tiles(int zoom, double left, double top, double right, double bottom);

// ---- How long a stored tile may be used without asking (RFC 9111)

struct HttpHeaders {
    std::string cache_control, expires, date, age, last_modified, etag, retry_after;
};

struct Freshness {
    bool storable = true;    // false for no-store
    double fresh_until = 0;  // seconds since the epoch
};

Freshness freshness_of(const HttpHeaders& headers, double now);

// An HTTP date (IMF-fixdate, RFC 850 or asctime form) in seconds since the epoch.
std::optional<double> parse_http_date(const std::string& text);

// Retry-After as seconds from `now` (a number of seconds or a date).
std::optional<double> retry_after_of(const std::string& value, double now);

// ---- What an answer means

enum class Verdict {
    Tile,       // 200: a tile to store and show
    Unchanged,  // 304: the stored tile is still good
    Missing,    // 404 and other refusals of this one tile: shown empty, not asked again
    SlowDown,   // 403, 429, 5xx: the server wants fewer requests
};

Verdict verdict_of(int status);

// ---- Asking a server again after it refused or did not answer

class ServerHealth {
public:
    // Exponential back-off from 1 s to 2 min; a Retry-After is honoured up
    // to an hour.
    void slow_down(double now, std::optional<double> retry_after);
    void answered() { failures_ = 0; }
    bool may_ask(double now) const { return now >= retry_at_; }
    double retry_at() const { return retry_at_; }
    // While it is failing, one request at a time probes the server.
    int request_limit(int normal) const { return failures_ > 0 ? 1 : normal; }

private:
    int failures_ = 0;
    double retry_at_ = 0;
};

// Remembers which (server, status) pairs were reported, so each is reported once.
class ReportOnce {
public:
    bool first(const std::string& server, int status) { return seen_.insert({server, status}).second; }

private:
    std::set<std::pair<std::string, int>> seen_;
};

// ---- The tiles one map is loading

enum class Step {
    LookUp,  // read the stored tile (disk cache or MBTiles file)
    Fetch,   // ask the server
};

struct Validators {
    std::string etag, last_modified;
};

struct Job {
    TileKey key;
    Step step = Step::LookUp;
    Validators validators;  // for a Fetch of a stored, stale tile
};

// The wish list of one map: the tiles its view lacks, nearest the centre
// first. Each is looked up first (quick, shows stored tiles at once), then
// fetched if need be, at most `max_fetches` at a time and only while the
// server may be asked. Not thread-safe: the loader guards it.
class TileQueue {
public:
    explicit TileQueue(int max_fetches) : max_fetches_(max_fetches) {}

    // The tiles wanted now, in order. Tiles no longer wanted are dropped
    // unless they are being loaded: their results are kept when they come.
    void want(const std::vector<TileKey>& keys);
    void clear();

    std::optional<Job> next(const ServerHealth& health, double now);

    void needs_fetch(const TileKey& key, const Validators& validators);  // after a look-up
    void done(const TileKey& key);                                        // shown, or known missing
    void retry_later(const TileKey& key);                                 // a fetch that failed

    // Jobs that could start now (for how many workers to run).
    std::size_t runnable(const ServerHealth& health, double now) const;
    // Whether fetches wait for the server's back-off to end.
    bool waiting_for_server() const;
    bool idle() const { return entries_.empty(); }

private:
    enum class State { New, NeedsFetch, LookingUp, Fetching };
    struct Entry {
        TileKey key;
        State state = State::New;
        bool wanted = true;
        Validators validators;
    };
    Entry* find(const TileKey& key);
    void drop(const TileKey& key);
    bool may_fetch(const ServerHealth& health, double now) const;

    std::vector<Entry> entries_;
    int max_fetches_;
    int fetching_ = 0;
};

// ---- The disk cache's bound

// Bytes to delete once the cache holds `total`: down to 90 % of the bound,
// so that not every write has to trim.
long long bytes_to_free(long long total, long long bound);

// A stored tile's time of last use is written again only when it is this
// old, so that reading a view does not mean as many writes.
bool worth_touching(double last_used, double now);

}  // namespace loomkit::tiles
