// The loading of one map's tiles: a wish list (tile_policy's TileQueue) that
// the map's Tk side fills from its view, and up to four worker threads that
// work it off. A worker looks a tile up in the disk cache or the MBTiles
// file, asks the server when it must (one requests.Session per map, at most
// two requests in flight, conditional when a stale copy is stored, backing
// off when the server refuses), decodes the picture and leaves it in
// `results` for the Tk side, which alone makes Tk images.
#pragma once

#include "glue/glue.hpp"
#include "loomkit/tile_policy.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace loomkit::tiles {

// Requests in flight per map: two keep-alive connections are plenty.
const int kMaxFetches = 2;

struct Source {
    enum class Kind { None, Server, File };
    Kind kind = Kind::None;
    std::string location;     // the address template, or the MBTiles file
    std::string server;       // server_of(location), for a Server
    std::string attribution;  // the source's own credit
    std::string link;         // where the credit leads
};

// A tile server's source, with OpenStreetMap's credit for its own servers.
Source server_source(const std::string& url_template);

struct Result {
    enum class Kind { Image, Missing, Confirmed };
    long generation = 0;
    TileKey key;
    Kind kind = Kind::Missing;
    bool stale = false;  // shown until the server confirms or replaces it
    py::object image;    // a decoded PIL image, for Kind::Image
};

// One map's loading, shared by its widget (through a capsule) and its
// worker threads.
struct Loader {
    // Guarded by `mutex`; workers wait on `wake` without the GIL.
    std::mutex mutex;
    std::condition_variable wake;
    TileQueue queue{kMaxFetches};
    ServerHealth health;
    Source source;
    long generation = 0;  // of the source: results of an earlier one are dropped
    int tile_size = 256;
    int workers = 0;
    bool stopped = false;

    // Used with the GIL held, by workers and the Tk thread.
    std::string cache_path;
    long long cache_bound = 0;
    py::object session;  // requests.Session, made for the first server
    std::deque<Result> results;

    // The Tk thread's alone.
    bool active = false;
    std::vector<long long> last_view;
    std::set<TileKey> stale_shown;  // shown from disk while being revalidated
    std::string user_agent;
    std::optional<std::string> credit_shown;
    py::object owner;  // weak reference to the Draw_Map

    ~Loader();
};

using SharedLoader = std::shared_ptr<Loader>;

// A new loader, stopped when the interpreter shuts down.
SharedLoader make_loader();

// Tiles from `source` from now on: the wish list, results and back-off of
// the one before are dropped.
void use_source(Loader& loader, Source source, int tile_size);

// The tiles the view lacks, nearest its centre first.
void want(Loader& loader, const std::vector<TileKey>& keys);

// Starts as many workers as there is work for, up to four. Call on the Tk thread.
void start_workers(const SharedLoader& loader);

// Whether tiles are being loaded (the Tk side then polls often).
bool busy(Loader& loader);

// Drops the wish list; workers end once their current job has.
void stop(Loader& loader);

// "Trailmere/<version> (+<page>)", or "<name> Loomkit/<version>" for a
// program's own application name.
std::string user_agent(py::handle application_name);
void set_user_agent(Loader& loader, const std::string& agent);

}  // namespace loomkit::tiles
