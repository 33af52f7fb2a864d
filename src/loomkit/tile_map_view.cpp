#include "loomkit/tile_map_view.hpp"
#include "loomkit/loomkit.hpp"
#include "loomkit/messages.hpp"

#include "loomkit/tile_attribution.hpp"
#include "loomkit/tile_cache.hpp"
#include "loomkit/tile_loader.hpp"
#include "loomkit/tile_mbtiles.hpp"

#include <chrono>
#include <cmath>

namespace loomkit::tiles {

namespace {

// Tk images kept in memory (about 256 KB each), least recently used out.
const std::size_t kMemoryTiles = 256;
// The Tk side's poll: often while tiles arrive, seldom when idle (the
// widget's own polled every 10 ms for ever).
const int kBusyPollMs = 10;
const int kIdlePollMs = 100;
const int kPollSliceMs = 15;

SharedLoader loader_of(py::handle widget) {
    py::object capsule = py::getattr(widget, "_tile_loader", py::none());
    if (capsule.is_none()) return nullptr;
    return *py::reinterpret_borrow<py::capsule>(capsule).get_pointer<SharedLoader>();
}

py::tuple key_tuple(const TileKey& key) { return py::make_tuple(key.zoom, key.x, key.y); }

// The widget's `tile_image_cache`, keyed (zoom, x, y): the widget's own
// f"{zoom}{x}{y}" made zoom 1, x 12, y 3 and zoom 11, x 2, y 3 one key.
void remember(py::handle widget, py::handle key, py::handle image) {
    py::dict cache = widget.attr("tile_image_cache");
    if (cache.contains(key)) PyDict_DelItem(cache.ptr(), key.ptr());
    cache[key] = image;
    while (py::len(cache) > kMemoryTiles) {
        py::object oldest = py::reinterpret_borrow<py::object>(*py::iter(cache));
        PyDict_DelItem(cache.ptr(), oldest.ptr());
    }
}

py::object get_tile_image_from_cache(py::object self, py::object zoom, py::object x, py::object y) {
    py::dict cache = self.attr("tile_image_cache");
    py::tuple key = py::make_tuple(zoom, x, y);
    PyObject* found = PyDict_GetItemWithError(cache.ptr(), key.ptr());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::bool_(false);
    }
    py::object image = py::reinterpret_borrow<py::object>(found);
    remember(self, key, image);  // used: last out
    return image;
}

int widget_zoom(py::handle widget) {
    return static_cast<int>(std::nearbyint(glue::as_double(widget.attr("zoom"))));
}

// Takes decoded tiles from the workers for a slice of time; true when some
// are left for the next poll.
bool show_results(py::handle widget, Loader& loader) {
    if (loader.results.empty()) return false;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPollSliceMs);
    py::object photo_image = glue::import_from("PIL.ImageTk", "PhotoImage");
    int zoom = widget_zoom(widget);
    py::dict tiles_at;  // (x, y) -> canvas tiles of the view, made on first need
    bool tiles_found = false;
    while (!loader.results.empty() && std::chrono::steady_clock::now() < until) {
        Result result = std::move(loader.results.front());
        loader.results.pop_front();
        if (result.generation != loader.generation) continue;
        if (result.kind == Result::Kind::Confirmed) {
            loader.stale_shown.erase(result.key);
            continue;
        }
        py::object image = result.kind == Result::Kind::Image
                               ? photo_image(result.image, "master"_a = widget)
                               : widget.attr("empty_tile_image");
        if (result.stale)
            loader.stale_shown.insert(result.key);
        else
            loader.stale_shown.erase(result.key);
        remember(widget, key_tuple(result.key), image);
        if (result.key.zoom != zoom) continue;
        if (!tiles_found) {
            for (py::handle column : widget.attr("canvas_tile_array"))
                for (py::handle tile : column) {
                    py::object position = tile.attr("tile_name_position");
                    if (!tiles_at.contains(position)) tiles_at[position] = py::list();
                    tiles_at[position].cast<py::list>().append(tile);
                }
            tiles_found = true;
        }
        py::tuple position = py::make_tuple(result.key.x, result.key.y);
        if (tiles_at.contains(position))
            for (py::handle tile : tiles_at[position]) tile.attr("set_image")(image);
    }
    return !loader.results.empty();
}

// The view's missing tiles become the wish list when the view changed or the
// widget made new tiles (it queues them for its own loaders: dropped here).
void want_view(py::handle widget, Loader& loader) {
    py::object tasks = widget.attr("image_load_queue_tasks");
    bool new_tiles = py::len(tasks) > 0;
    if (new_tiles) tasks.attr("clear")();
    int zoom = widget_zoom(widget);
    py::tuple upper_left(widget.attr("upper_left_tile_pos")), lower_right(widget.attr("lower_right_tile_pos"));
    double left = glue::as_double(upper_left[0]), top = glue::as_double(upper_left[1]);
    double right = glue::as_double(lower_right[0]), bottom = glue::as_double(lower_right[1]);
    std::vector<long long> view = {zoom, static_cast<long long>(std::floor(left)),
                                   static_cast<long long>(std::floor(top)), static_cast<long long>(std::ceil(right)),
                                   static_cast<long long>(std::ceil(bottom))};
    if (!new_tiles && view == loader.last_view) return;
    loader.last_view = view;
    py::dict cache = widget.attr("tile_image_cache");
    std::vector<TileKey> wanted;
    for (const TileKey& key : visible_tiles(zoom, left, top, right, bottom))
        if (!cache.contains(key_tuple(key)) || loader.stale_shown.count(key)) wanted.push_back(key);
    want(loader, wanted);
}

// The Draw_Map's application name and attribution, read as they are now.
void follow_owner(py::handle widget, Loader& loader) {
    py::object owner = loader.owner ? loader.owner() : py::none();
    if (owner.is_none()) return;
    set_user_agent(loader, user_agent(py::getattr(owner, "application_name", py::none())));
    py::object chosen = py::getattr(owner, "attribution", py::none());
    std::string credit = chosen.is_none() ? loader.source.attribution : py::cast<std::string>(py::str(chosen));
    if (loader.credit_shown != credit) {
        show_attribution(widget, credit, chosen.is_none() ? loader.source.link : "");
        loader.credit_shown = credit;
    }
}

// The widget's update_canvas_tile_images: its 10 ms poll, now the Tk side
// of the loader.
void poll(py::object widget) {
    SharedLoader loader = loader_of(widget);
    if (!loader || !glue::truthy(widget.attr("running"))) return;
    int delay = kBusyPollMs;
    auto again = glue::on_exit([&] { widget.attr("after")(delay, widget.attr("update_canvas_tile_images")); });
    bool more = show_results(widget, *loader);
    if (loader->active) {
        follow_owner(widget, *loader);
        want_view(widget, *loader);
        start_workers(loader);
    }
    delay = more ? 1 : busy(*loader) ? kBusyPollMs : kIdlePollMs;
}

// A new source: the view is wanted afresh and its credit shown.
void change_source(py::handle widget, Loader& loader, Source source, int tile_size) {
    use_source(loader, std::move(source), tile_size);
    loader.stale_shown.clear();
    loader.last_view.clear();
    loader.credit_shown.reset();
    if (loader.active) follow_owner(widget, loader);
}

// tkintermapview's class, whose methods ours extend.
py::object library_class(py::handle widget) { return widget.attr("_library_class"); }

void set_tile_server(py::object self, py::object tile_server, py::object tile_size, py::object max_zoom) {
    std::string text = py::cast<std::string>(py::str(tile_server));
    if (!is_url_template(text)) throw py::value_error(std::string(messages::kNotTileSource) + text);
    library_class(self).attr("set_tile_server")(self, tile_server, tile_size, max_zoom);
    if (SharedLoader loader = loader_of(self)) change_source(self, *loader, server_source(text), py::cast<int>(tile_size));
}

void use_mbtiles(py::object widget, const std::string& path, const MBTilesInfo& info) {
    int max_zoom = info.max_zoom.value_or(19);
    // As the widget changes server: its tiles and queues emptied, the view drawn anew.
    library_class(widget).attr("set_tile_server")(widget, path, 256, max_zoom);
    if (glue::as_double(widget.attr("zoom")) > max_zoom) widget.attr("set_zoom")(max_zoom);
    if (SharedLoader loader = loader_of(widget))
        change_source(widget, *loader, Source{Source::Kind::File, path, "", info.attribution, ""}, 256);
}

void destroy(py::object self) {
    if (SharedLoader loader = loader_of(self)) {
        stop(*loader);
        loader->results.clear();
    }
    library_class(self).attr("destroy")(self);
}

void manage_z_order(py::object self) {
    library_class(self).attr("manage_z_order")(self);
    raise_attribution(self);
}

void update_dimensions(py::object self, py::object event) {
    library_class(self).attr("update_dimensions")(self, event);
    place_attribution(self);
}

// The map widget class for tkintermapview's widget class `base`, made once.
py::object map_widget_class(py::object base) {
    static auto* classes = new py::dict();  // for the life of the process
    if (classes->contains(base)) return (*classes)[base];
    py::object cls = glue::make_class(
        module(), "Map_View", qualname("Draw_Map.Map_View"), py::make_tuple(base),
        "tkintermapview's map widget, its tiles loaded politely and kept on disk (see Draw_Map).");
    cls.attr("_library_class") = base;
    // Its 25 loader threads and its pre-cache thread still start, and end at once.
    glue::def_override(cls, "pre_cache", [](py::object) {});
    glue::def_override(cls, "load_images_background", [](py::object) {});
    glue::def_override(cls, "update_canvas_tile_images", &poll);
    glue::def_override(cls, "get_tile_image_from_cache", &get_tile_image_from_cache, py::arg("zoom"), py::arg("x"),
              py::arg("y"));
    glue::def_override(cls, "set_tile_server", &set_tile_server, py::arg("tile_server"), py::arg("tile_size") = 256,
              py::arg("max_zoom") = 19);
    glue::def_override(cls, "manage_z_order", &manage_z_order);
    glue::def_override(cls, "update_dimensions", &update_dimensions, py::arg("event"));
    glue::def_override(cls, "destroy", &destroy);
    (*classes)[base] = cls;
    return cls;
}

}  // namespace

py::object make_map_widget(py::object library_class, py::object frame, py::kwargs options) {
    py::object cls = map_widget_class(library_class);
    SharedLoader loader = make_loader();
    py::object widget = cls(frame, **options);
    widget.attr("_tile_loader") = py::capsule(new SharedLoader(loader), [](void* p) {
        delete static_cast<SharedLoader*>(p);
    });
    return widget;
}

void start_loading(py::object draw_map, py::object widget) {
    SharedLoader loader = loader_of(widget);
    if (!loader) return;
    loader->owner = glue::import_from("weakref", "ref")(draw_map);
    loader->cache_path = cache_file();
    py::object bound = draw_map.attr("tile_cache_size");
    loader->cache_bound = bound.is_none() ? 0 : py::cast<long long>(glue::builtin("int")(bound));
    loader->user_agent = user_agent(draw_map.attr("application_name"));
    std::string server = py::cast<std::string>(py::str(draw_map.attr("default_tile_server")));
    if (!is_url_template(server)) throw py::value_error(std::string(messages::kNotTileSource) + server);
    widget.attr("tile_server") = server;
    loader->active = true;
    change_source(widget, *loader, server_source(server), 256);
}

CheckedSource check_tile_source(py::object source) {
    std::string text = py::cast<std::string>(py::str(glue::import_from("os", "fspath")(source)));
    if (is_url_template(text)) return {text, std::nullopt};
    if (text.find("://") != std::string::npos) throw py::value_error(std::string(messages::kNotTileSource) + text);
    return {text, read_mbtiles(text)};
}

void set_tile_source(py::object widget, const CheckedSource& source) {
    if (source.file)
        use_mbtiles(widget, source.text, *source.file);
    else
        widget.attr("set_tile_server")(source.text);
}

}  // namespace loomkit::tiles
