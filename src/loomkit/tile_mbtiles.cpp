#include "loomkit/tile_mbtiles.hpp"
#include "loomkit/messages.hpp"

namespace loomkit::tiles {

namespace {

// Read-only, so that a file the user keeps is never changed (nor a journal
// made beside it).
py::object connect_read_only(const std::string& path) {
    py::object uri = glue::import_from("pathlib", "Path")(path).attr("absolute")().attr("as_uri")();
    return glue::import_from("sqlite3", "connect")(py::str(uri) + py::str("?mode=ro"), "uri"_a = true);
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw py::value_error(std::string(messages::kNotMBTiles) + path + " (" + why + ")");
}

// Attribution metadata is often HTML ("<a href=...>&copy; ...</a>"): the
// text a reader sees.
std::string plain_text(py::handle html) {
    py::object text = glue::import_from("re", "sub")("<[^>]*>", "", py::str(html));
    text = glue::import_from("html", "unescape")(text);
    return py::cast<std::string>(py::str(" ").attr("join")(text.attr("split")()));
}

}  // namespace

MBTilesInfo read_mbtiles(const std::string& path) {
    if (!glue::truthy(glue::import_module("os.path").attr("isfile")(path)))
        throw py::value_error(std::string(messages::kNoSuchTileFile) + path);
    MBTilesInfo info;
    py::dict metadata;
    py::object db;
    try {
        db = connect_read_only(path);
        db.attr("execute")("SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles LIMIT 1").attr("fetchall")();
        bool has_metadata = !db.attr("execute")(
            "SELECT name FROM sqlite_master WHERE name = 'metadata'").attr("fetchone")().is_none();
        if (has_metadata)
            for (py::handle row : db.attr("execute")("SELECT name, value FROM metadata"))
                metadata[py::str(row[py::int_(0)])] = row[py::int_(1)];
        db.attr("close")();
    } catch (py::error_already_set& error) {
        if (db) db.attr("close")();
        if (!error.matches(glue::import_from("sqlite3", "Error"))) throw;
        refuse(path, py::cast<std::string>(py::str(error.value())));
    }
    py::object format = metadata.attr("get")("format", "png");
    if (glue::equals(py::str(format).attr("lower")(), py::str("pbf")))
        refuse(path, messages::kVectorTiles);
    if (metadata.contains("attribution")) info.attribution = plain_text(metadata["attribution"]);
    if (metadata.contains("maxzoom")) {
        try {
            info.max_zoom = py::cast<int>(glue::builtin("int")(metadata["maxzoom"]));
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
        } catch (py::cast_error&) {
        }
    }
    return info;
}

MBTilesReader::~MBTilesReader() {
    if (!db_) return;
    try {
        db_.attr("close")();
    } catch (py::error_already_set&) {
    }
}

std::optional<py::bytes> MBTilesReader::tile(const TileKey& key) {
    try {
        if (!db_) db_ = connect_read_only(path_);
        py::object row = db_.attr("execute")(
            "SELECT tile_data FROM tiles WHERE zoom_level=? AND tile_column=? AND tile_row=?",
            py::make_tuple(key.zoom, key.x, tms_row(key))).attr("fetchone")();
        if (row.is_none() || !PyBytes_Check(row[py::int_(0)].ptr())) return std::nullopt;
        return py::reinterpret_borrow<py::bytes>(row[py::int_(0)]);
    } catch (py::error_already_set& error) {
        // A file changed or removed under the map: its tiles stay empty.
        if (!error.matches(glue::import_from("sqlite3", "Error"))) throw;
        return std::nullopt;
    }
}

}  // namespace loomkit::tiles
