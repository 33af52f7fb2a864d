#include "loomkit/tile_loader.hpp"
#include "loomkit/messages.hpp"

#include "glue/product.hpp"
#include "loomkit/map_handover.hpp"
#include "loomkit/tile_cache.hpp"
#include "loomkit/tile_mbtiles.hpp"

#include <algorithm>
#include <chrono>

namespace loomkit::tiles {

namespace {

// Threads per map: look-ups of stored tiles need not wait behind fetches.
const int kMaxWorkers = 4;
// How long an idle worker waits for more work before it ends.
const auto kLinger = std::chrono::seconds(1);
const double kConnectTimeout = 5.0;
const double kReadTimeout = 10.0;
// A tile bigger than this is no tile: refused before it is decoded.
const long long kMaxTileBytes = 4 << 20;
const int kMaxTileSide = 1024;

double wall_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double steady_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A job with what it needs to know of the source it was made for.
struct Task {
    Job job;
    long generation = 0;
    Source source;
    int tile_size = 256;
};

// ---- Loaders that stop when the interpreter shuts down

// Workers are not daemon threads: the interpreter waits for them before it
// shuts down (a daemon thread would be ended inside a Python call, unwinding
// these C++ frames without the GIL). So at shutdown every loader stops, and
// its workers end once their current request has.
std::vector<std::weak_ptr<Loader>>& live_loaders() {
    static auto* loaders = new std::vector<std::weak_ptr<Loader>>();  // for the life of the process
    return *loaders;
}

void stop_all() {
    for (const std::weak_ptr<Loader>& weak : live_loaders())
        if (SharedLoader loader = weak.lock()) stop(*loader);
}

void register_loader(const SharedLoader& loader) {
    std::vector<std::weak_ptr<Loader>>& loaders = live_loaders();
    if (loaders.empty()) {
        // threading's own shutdown hook runs before it waits for threads;
        // atexit would run only after.
        try {
            glue::import_from("threading", "_register_atexit")(py::cpp_function(&stop_all));
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
    }
    loaders.erase(std::remove_if(loaders.begin(), loaders.end(), [](auto& weak) { return weak.expired(); }),
                  loaders.end());
    loaders.push_back(loader);
}

// ---- The worker side

py::object make_session(const std::string& agent) {
    py::object requests = glue::import_module("requests");
    py::object session = requests.attr("Session")();
    py::object adapter = glue::import_from("requests.adapters", "HTTPAdapter")(
        "pool_maxsize"_a = kMaxFetches, "max_retries"_a = 0);
    session.attr("mount")("http://", adapter);
    session.attr("mount")("https://", adapter);
    session.attr("headers")["User-Agent"] = agent;
    return session;
}

// One thread's connections to the stores of tiles.
struct Stores {
    std::unique_ptr<DiskCache> disk;
    std::unique_ptr<MBTilesReader> file;
    std::string file_path;

    DiskCache* cache(const Loader& loader) {
        if (loader.cache_bound <= 0) return nullptr;
        if (!disk) disk = std::make_unique<DiskCache>(loader.cache_path, loader.cache_bound);
        return disk.get();
    }
    MBTilesReader& mbtiles(const std::string& path) {
        if (!file || file_path != path) {
            file = std::make_unique<MBTilesReader>(path);
            file_path = path;
        }
        return *file;
    }
};

struct Answer {
    bool answered = false;  // false: refused, timed out, no network
    int status = 0;
    std::string reason;
    HttpHeaders headers;
    py::bytes body;
    bool too_big = false;
};

Answer ask(py::object session, const std::string& url, const Validators& validators) {
    py::dict headers;
    if (!validators.etag.empty()) headers["If-None-Match"] = validators.etag;
    if (!validators.last_modified.empty()) headers["If-Modified-Since"] = validators.last_modified;
    Answer answer;
    try {
        py::object response = session.attr("get")(url, "headers"_a = headers, "stream"_a = true,
                                                  "timeout"_a = py::make_tuple(kConnectTimeout, kReadTimeout));
        auto close = glue::on_exit([&] { response.attr("close")(); });
        answer.status = py::cast<int>(response.attr("status_code"));
        answer.reason = py::cast<std::string>(py::str(response.attr("reason")));
        py::object found = response.attr("headers");
        auto header = [&](const char* name) { return py::cast<std::string>(py::str(found.attr("get")(name, ""))); };
        answer.headers = {header("Cache-Control"), header("Expires"),  header("Date"),       header("Age"),
                          header("Last-Modified"), header("ETag"),     header("Retry-After")};
        py::list chunks;
        long long size = 0;
        for (py::handle chunk : response.attr("iter_content")(64 * 1024)) {
            size += py::len(chunk);
            if (size > kMaxTileBytes) {
                answer.too_big = true;
                break;
            }
            chunks.append(chunk);
        }
        answer.body = py::bytes("").attr("join")(chunks);
        answer.answered = true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    return answer;
}

// The picture of a stored or fetched tile at the widget's tile size, or None
// for anything that is not a picture of a sensible size.
py::object decode(const py::bytes& data, int tile_size) {
    try {
        py::object image = glue::import_from("PIL.Image", "open")(
            glue::import_from("io", "BytesIO")(data), "formats"_a = py::make_tuple("PNG", "JPEG", "WEBP", "GIF"));
        py::tuple size(image.attr("size"));
        int width = py::cast<int>(size[0]), height = py::cast<int>(size[1]);
        if (width <= 0 || height <= 0 || width > kMaxTileSide || height > kMaxTileSide) return py::none();
        image.attr("load")();
        // Tk takes RGB and RGBA; palette and grey tiles are converted here,
        // off the Tk thread.
        std::string mode = py::cast<std::string>(image.attr("mode"));
        if (mode != "RGB" && mode != "RGBA") {
            bool transparent = mode.find('A') != std::string::npos || image.attr("info").contains("transparency");
            image = image.attr("convert")(transparent ? "RGBA" : "RGB");
        }
        if (width != tile_size || height != tile_size) image = image.attr("resize")(py::make_tuple(tile_size, tile_size));
        return image;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

// Waits without the GIL for a job; none when the loader stopped or nothing
// came for a while (the worker then ends).
std::optional<Task> next_task(Loader& loader) {
    std::optional<Task> task;
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(loader.mutex);
        auto idle_until = std::chrono::steady_clock::now() + kLinger;
        while (!loader.stopped) {
            double now = steady_now();
            if (std::optional<Job> job = loader.queue.next(loader.health, now)) {
                task = Task{*job, loader.generation, loader.source, loader.tile_size};
                break;
            }
            if (std::chrono::steady_clock::now() >= idle_until) break;
            auto wake_at = idle_until;
            double retry_at = loader.health.retry_at();
            if (loader.queue.waiting_for_server() && retry_at > now) {
                auto back = std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(retry_at - now));
                wake_at = std::min(wake_at, back);
            }
            loader.wake.wait_until(lock, wake_at);
        }
        if (!task) --loader.workers;
    }
    map::take_gil_back(state, false);
    return task;
}

// Updates the wish list and the server's health for a job of the current
// source; a job of an earlier source changes nothing.
template <typename Change>
void settle(Loader& loader, const Task& task, Change&& change) {
    {
        std::lock_guard<std::mutex> lock(loader.mutex);
        if (task.generation != loader.generation || loader.stopped) return;
        change(loader.queue, loader.health);
    }
    loader.wake.notify_all();
}

void deliver(Loader& loader, const Task& task, Result::Kind kind, bool stale = false, py::object image = {}) {
    if (task.generation != loader.generation || loader.stopped) return;
    loader.results.push_back(Result{task.generation, task.job.key, kind, stale, std::move(image)});
}

// Shared by every map of the process: each server and status is reported once.
ReportOnce& reports() {
    static auto* once = new ReportOnce();
    return *once;
}

void report_refusal(const Task& task, const Answer& answer) {
    if (!reports().first(task.source.server, answer.status)) return;
    std::string line = std::string(messages::kTilesRefused) + host_of(task.source.location) +
                       messages::kTilesRefusedAnswered + std::to_string(answer.status);
    if (!answer.reason.empty()) line += " " + answer.reason;
    glue::print(line + messages::kTilesRefusedAfter);
}

void look_up_in_file(Loader& loader, Stores& stores, const Task& task) {
    std::optional<py::bytes> data = stores.mbtiles(task.source.location).tile(task.job.key);
    py::object image = data ? decode(*data, task.tile_size) : py::none();
    if (image.is_none())
        deliver(loader, task, Result::Kind::Missing);
    else
        deliver(loader, task, Result::Kind::Image, false, image);
    settle(loader, task, [&](TileQueue& queue, ServerHealth&) { queue.done(task.job.key); });
}

// A stored tile shows at once, stale or not; a stale one is then asked about.
void look_up_in_cache(Loader& loader, Stores& stores, const Task& task) {
    const TileKey& key = task.job.key;
    DiskCache* cache = stores.cache(loader);
    std::optional<StoredTile> stored = cache ? cache->get(task.source.location, key, wall_now()) : std::nullopt;
    Validators validators;
    if (stored) {
        py::object image = decode(stored->data, task.tile_size);
        if (image.is_none()) {
            cache->drop(task.source.location, key);  // damaged: fetched afresh
        } else {
            bool fresh = stored->fresh_until > wall_now();
            deliver(loader, task, Result::Kind::Image, !fresh, image);
            if (fresh) return settle(loader, task, [&](TileQueue& queue, ServerHealth&) { queue.done(key); });
            validators = stored->validators;
        }
    }
    settle(loader, task, [&](TileQueue& queue, ServerHealth&) { queue.needs_fetch(key, validators); });
}

void fetch(Loader& loader, Stores& stores, const Task& task) {
    const TileKey& key = task.job.key;
    Answer answer = ask(loader.session, tile_url(task.source.location, key), task.job.validators);
    if (!answer.answered) {
        return settle(loader, task, [&](TileQueue& queue, ServerHealth& health) {
            health.slow_down(steady_now(), std::nullopt);
            queue.retry_later(key);
        });
    }
    Verdict verdict = verdict_of(answer.status);
    if (verdict == Verdict::SlowDown) {
        report_refusal(task, answer);
        std::optional<double> retry_after = retry_after_of(answer.headers.retry_after, wall_now());
        return settle(loader, task, [&](TileQueue& queue, ServerHealth& health) {
            health.slow_down(steady_now(), retry_after);
            queue.retry_later(key);
        });
    }
    DiskCache* cache = stores.cache(loader);
    double now = wall_now();
    Freshness freshness = freshness_of(answer.headers, now);
    bool asked_conditionally = !task.job.validators.etag.empty() || !task.job.validators.last_modified.empty();
    if (verdict == Verdict::Unchanged && asked_conditionally) {
        if (cache) cache->refresh(task.source.location, key, freshness.fresh_until, now);
        deliver(loader, task, Result::Kind::Confirmed);
    } else if (verdict == Verdict::Tile && !answer.too_big) {
        py::object image = decode(answer.body, task.tile_size);
        if (image.is_none()) {
            deliver(loader, task, Result::Kind::Missing);
        } else {
            if (cache && freshness.storable)
                cache->put(task.source.location, key, answer.body, {answer.headers.etag, answer.headers.last_modified},
                           freshness.fresh_until, now);
            deliver(loader, task, Result::Kind::Image, false, image);
        }
    } else {
        deliver(loader, task, Result::Kind::Missing);
    }
    settle(loader, task, [&](TileQueue& queue, ServerHealth& health) {
        health.answered();
        queue.done(key);
    });
}

void run_task(Loader& loader, Stores& stores, const Task& task) {
    if (task.source.kind == Source::Kind::File) return look_up_in_file(loader, stores, task);
    if (task.job.step == Step::LookUp) return look_up_in_cache(loader, stores, task);
    fetch(loader, stores, task);
}

// A worker thread's whole life: jobs until there are none for a while.
void work(const SharedLoader& loader) {
    bool counted_out = false;  // next_task took it off the count
    auto leave = glue::on_exit([&] {
        if (counted_out) return;
        std::lock_guard<std::mutex> lock(loader->mutex);
        --loader->workers;
    });
    Stores stores;
    for (;;) {
        std::optional<Task> task = next_task(*loader);
        if (!task) {
            counted_out = true;
            break;
        }
        try {
            run_task(*loader, stores, *task);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            // A fault of this code, not of the network: the tile stays empty
            // rather than being tried for ever, and the fault is told once.
            if (reports().first("", -1)) glue::print(py::str(messages::kTileFailed) + py::str(error.value()));
            settle(*loader, *task, [&](TileQueue& queue, ServerHealth&) { queue.done(task->job.key); });
        }
    }
}

void start_worker(const SharedLoader& loader) {
    py::object thread = glue::import_from("threading", "Thread")(
        "target"_a = py::cpp_function([loader]() { work(loader); }), "name"_a = "map tiles", "daemon"_a = false);
    try {
        // start() waits for the new thread: no collection meanwhile (a Tk
        // finalizer run on that thread would wait for this one).
        glue::GcPaused paused;
        thread.attr("start")();
    } catch (...) {
        std::lock_guard<std::mutex> lock(loader->mutex);
        --loader->workers;
        throw;
    }
}

}  // namespace

Loader::~Loader() {
    if (!session) return;
    try {
        session.attr("close")();
    } catch (py::error_already_set&) {
    }
}

Source server_source(const std::string& url_template) {
    Source source{Source::Kind::Server, url_template, server_of(url_template), "", ""};
    if (is_openstreetmap(url_template)) {
        source.attribution = messages::kOpenStreetMapCredit;
        source.link = messages::kOpenStreetMapCopyright;
    }
    return source;
}

SharedLoader make_loader() {
    auto loader = std::make_shared<Loader>();
    register_loader(loader);
    return loader;
}

void use_source(Loader& loader, Source source, int tile_size) {
    {
        std::lock_guard<std::mutex> lock(loader.mutex);
        loader.source = std::move(source);
        loader.tile_size = tile_size;
        ++loader.generation;
        loader.queue.clear();
        loader.health = ServerHealth();
    }
    loader.wake.notify_all();
    loader.results.clear();
    if (loader.source.kind == Source::Kind::Server && !loader.session) loader.session = make_session(loader.user_agent);
}

void want(Loader& loader, const std::vector<TileKey>& keys) {
    {
        std::lock_guard<std::mutex> lock(loader.mutex);
        loader.queue.want(keys);
    }
    loader.wake.notify_all();
}

void start_workers(const SharedLoader& loader) {
    int to_start = 0;
    {
        std::lock_guard<std::mutex> lock(loader->mutex);
        if (loader->stopped) return;
        int runnable = static_cast<int>(
            std::min<std::size_t>(kMaxWorkers, loader->queue.runnable(loader->health, steady_now())));
        to_start = std::max(0, runnable - loader->workers);
        loader->workers += to_start;
    }
    loader->wake.notify_all();
    for (int i = 0; i < to_start; ++i) start_worker(loader);
}

bool busy(Loader& loader) {
    std::lock_guard<std::mutex> lock(loader.mutex);
    return loader.workers > 0 || loader.queue.runnable(loader.health, steady_now()) > 0;
}

void stop(Loader& loader) {
    {
        std::lock_guard<std::mutex> lock(loader.mutex);
        loader.stopped = true;
        loader.queue.clear();
    }
    loader.wake.notify_all();
}

std::string user_agent(py::handle application_name) {
    static const std::string version = glue::product_version();
    if (application_name.is_none() || py::len(py::str(application_name)) == 0)
        return std::string(glue::kProductName) + "/" + version + " (+" + glue::kProductPage + ")";
    return py::cast<std::string>(py::str(application_name)) + " Loomkit/" + version;
}

void set_user_agent(Loader& loader, const std::string& agent) {
    if (agent == loader.user_agent) return;
    loader.user_agent = agent;
    if (loader.session) loader.session.attr("headers")["User-Agent"] = agent;
}

}  // namespace loomkit::tiles
