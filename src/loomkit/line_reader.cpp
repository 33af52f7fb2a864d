#include "loomkit/line_reader.hpp"

#include "loomkit/map_handover.hpp"
#include "track/gpx_reader.hpp"
#include "track/gpx_scanner.hpp"
#include "track/regular_file.hpp"

#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace loomkit::map {

namespace {

enum class Native { Usual, Exact, Scanner };

// Track points turned into Python objects between two chances for other
// threads to take the GIL (about a millisecond of work).
const std::size_t kPointsPerGilHold = 8192;
const int kGilPauseMicroseconds = 200;

void print_progress(py::handle progress, py::ssize_t n, py::ssize_t count) {
    glue::print(py::str("\r{} {}/{}").format(progress, n, count), "end"_a = "", "flush"_a = true);
}

// The file name as the operating system takes it; false where the native
// reader cannot open exactly the file Python's open() would.
bool native_path(py::handle data_path, std::filesystem::path& path) {
    if (!PyUnicode_CheckExact(data_path.ptr())) return false;
#ifdef _WIN32
    Py_ssize_t size = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(data_path.ptr(), &size);
    if (!wide) {
        PyErr_Clear();
        return false;
    }
    std::wstring text(wide, static_cast<std::size_t>(size));
    PyMem_Free(wide);
    if (text.find(L'\0') != std::wstring::npos) return false;
    path = std::filesystem::path(text);
#else
    PyObject* encoded = PyUnicode_EncodeFSDefault(data_path.ptr());
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    std::string text(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    if (text.find('\0') != std::string::npos) return false;
    path = std::filesystem::path(text);
#endif
    return true;
}

// The file's tracks, or nothing where the reader declined it.
std::optional<track::Tracks> read_file(const std::filesystem::path& path, Native native) {
    if (native == Native::Scanner) {
        std::optional<track::RegularFile> file = track::RegularFile::open(path);
        return file ? track::scan_gpx_file(*file) : std::nullopt;
    }
    track::Tracks tracks = native == Native::Exact ? track::read_gpx_file_exact(path) : track::read_gpx_file(path);
    if (!tracks.accepted()) return std::nullopt;
    return tracks;
}

// Reads the file natively with the GIL released. Builds the same `line`
// as the gpxpy path and the number of tracks; false when the reader
// declined the document and gpxpy has to read it.
bool read_natively(py::handle self, py::object data_path, Native native, py::list& line, py::ssize_t& tracks_read) {
    std::filesystem::path path;
    if (!native_path(data_path, path)) return false;
    bool main_thread = on_main_thread(self);

    std::optional<track::Tracks> read;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        read = read_file(path, native);
    } catch (...) {
        failure = std::current_exception();
    }
    take_gil_back(state, main_thread);
    if (failure) std::rethrow_exception(failure);
    if (!read) return false;
    const track::Tracks& tracks = *read;

    // Tuples of two floats cannot be part of a cycle: keeping them out of
    // the garbage collector spares the process long collections.
    std::size_t since_release = 0;
    for (std::size_t s = 0; s < tracks.segment_starts.size(); ++s) {
        std::size_t begin = tracks.segment_begin(s), end = tracks.segment_end(s);
        py::list points(end - begin);
        for (std::size_t i = begin; i < end; ++i) {
            py::tuple pair(2);
            PyTuple_SET_ITEM(pair.ptr(), 0, py::float_(tracks.points[i].lat).release().ptr());
            PyTuple_SET_ITEM(pair.ptr(), 1, py::float_(tracks.points[i].lon).release().ptr());
            PyObject_GC_UnTrack(pair.ptr());
            PyList_SET_ITEM(points.ptr(), static_cast<Py_ssize_t>(i - begin), pair.release().ptr());
            if (++since_release == kPointsPerGilHold) {
                since_release = 0;
                PyThreadState* state = PyEval_SaveThread();
                // A waiting thread needs a moment to take the GIL; taking it
                // straight back would starve the event loop.
                std::this_thread::sleep_for(std::chrono::microseconds(kGilPauseMicroseconds));
                take_gil_back(state, main_thread);
            }
        }
        line.append(points);
    }
    tracks_read = static_cast<py::ssize_t>(tracks.track_segments.size());
    return true;
}

// `native` reads first, unless the map's parser is not gpxpy itself.
py::list read_segments(py::object self, py::object data_path, py::object progress, bool progress_check,
                       Native native, py::ssize_t& tracks) {
    py::list line;
    py::object parser = self.attr("gpxpy");
    // A parser put in the module's place is the caller's choice: it reads.
    if (parser.is(glue::import_module("gpxpy")) && read_natively(self, data_path, native, line, tracks)) {
        py::ssize_t count = tracks;
        if (progress_check) {
            for (py::ssize_t n = 1; n <= count; ++n) print_progress(progress, n, count);
            glue::print();
        }
        return line;
    }

    py::object file = glue::builtin("open")(data_path, "encoding"_a = "utf-8");
    py::object gpx;
    {
        auto close = glue::on_exit([&] { file.attr("close")(); });
        gpx = parser.attr("parse")(file);
    }

    py::object gpx_tracks = gpx.attr("tracks");
    py::ssize_t count = py::len(gpx_tracks);
    tracks = count;
    py::ssize_t n = 0;
    for (py::handle track : gpx_tracks) {
        for (py::handle segment : track.attr("segments")) {
            py::list points;
            for (py::handle point : segment.attr("points"))
                points.append(py::make_tuple(point.attr("latitude"), point.attr("longitude")));
            line.append(points);
        }
        ++n;
        if (progress_check) print_progress(progress, n, count);
    }
    if (progress_check) glue::print();
    return line;
}

}  // namespace

py::list read_segments(py::object self, py::object data_path, py::object progress, bool progress_check,
                       py::ssize_t& tracks) {
    return read_segments(self, data_path, progress, progress_check, Native::Usual, tracks);
}

py::object read_segments_with(py::object self, py::object data_path, const std::string& reader) {
    py::ssize_t tracks = 0;
    if (reader == "exact") return read_segments(self, data_path, py::none(), false, Native::Exact, tracks);
    if (reader != "scanner") throw py::value_error("reader must be 'exact' or 'scanner', not '" + reader + "'");
    py::list line;
    if (!read_natively(self, data_path, Native::Scanner, line, tracks)) return py::none();
    return line;
}

}  // namespace loomkit::map
