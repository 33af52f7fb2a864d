// The map widget of a Draw_Map: tkintermapview's TkinterMapView, made of a
// subclass that takes its tile loading over on that widget alone (the
// library's class and other widgets keep theirs). Its 25 loader threads and
// its pre-cache thread end at once; its 10 ms poll becomes the Tk side of a
// tile_loader: the view's missing tiles, nearest the centre first, go on
// the wish list, and decoded tiles become Tk images there. Its in-memory
// cache is keyed (zoom, x, y) (the widget's f"{zoom}{x}{y}" let tiles share
// a key), bounded, least recently used out; the attribution stays on top.
#pragma once

#include "glue/glue.hpp"
#include "loomkit/tile_mbtiles.hpp"

#include <optional>
#include <string>

namespace loomkit::tiles {

// The widget for a Draw_Map, made like `library_class(frame, **options)`.
// Loads nothing until start_loading. Call on the Tk thread.
py::object make_map_widget(py::object library_class, py::object frame, py::kwargs options);

// Starts loading the view's tiles from the Draw_Map's default source, with
// its application name, attribution and cache size (all read from it).
void start_loading(py::object draw_map, py::object widget);

// A tile source as checked: an address template, or an MBTiles file with
// what its metadata says (read once, when checked).
struct CheckedSource {
    std::string text;
    std::optional<MBTilesInfo> file;
};

// Draw_Map.check_tile_source: raises ValueError saying what is wrong.
CheckedSource check_tile_source(py::object source);

// Draw_Map.set_tile_source, once checked. Call on the Tk thread.
void set_tile_source(py::object widget, const CheckedSource& source);

}  // namespace loomkit::tiles
