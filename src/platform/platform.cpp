#include "platform/platform.hpp"

#include <filesystem>
#include <system_error>

namespace platform {

namespace {
const std::string kWindowsRoot = "C:/varnholt/";

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return path;
}

const char* const kEmptyAuthorityWarning = "Xlib.xauth: warning, no xauthority details available";

// Xlib.xauth's print while pyautogui is imported.
void print_but_the_empty_authority_warning(py::args args, py::kwargs kwargs) {
    if (args.size() == 1 && glue::equals(args[0], py::str(kEmptyAuthorityWarning))) return;
    glue::builtin("print")(*args, **kwargs);
}

// An environment variable looked up through os.environ (tests change it).
std::string environment(const char* name) {
    py::object value = glue::import_module("os").attr("environ").attr("get")(name, "");
    return py::cast<std::string>(value);
}

std::string home_path(const char* relative) {
    return py::cast<std::string>(glue::import_module("os.path").attr("expanduser")(relative));
}

}  // namespace

bool is_windows() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

std::string data_root() {
    if (is_windows()) return kWindowsRoot;
    // expanduser honours HOME, which is what users (and tests) expect.
    return without_trailing_slashes(home_path("~")) + "/varnholt/";
}

std::string cache_root() {
    if (is_windows()) {
        std::string local = environment("LOCALAPPDATA");
        if (local.empty()) local = home_path("~/AppData/Local");
        return without_trailing_slashes(local) + "/varnholt/Cache/";
    }
    std::string xdg = environment("XDG_CACHE_HOME");
    std::string root = !xdg.empty() && xdg.front() == '/' ? xdg : home_path("~/.cache");
    return without_trailing_slashes(root) + "/varnholt/";
}

std::string data_path(const std::string& windows_path) {
    if (windows_path.compare(0, kWindowsRoot.size(), kWindowsRoot) != 0) return windows_path;
    return data_root() + windows_path.substr(kWindowsRoot.size());
}

void make_folder_quietly(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directory(std::filesystem::u8path(path), ec);
}

std::string join_template(const std::string& folder, const std::string& backslash_name) {
    if (is_windows()) return folder + backslash_name;
    std::string name = backslash_name;
    for (char& c : name)
        if (c == '\\') c = '/';
    return folder + name;
}

void set_window_icon(py::handle window, const std::string& ico_path) {
    if (is_windows()) {
        window.attr("iconbitmap")(ico_path);
        return;
    }
    std::string png = ico_path;
    const std::string ico = ".ico";
    if (png.size() >= ico.size() && png.compare(png.size() - ico.size(), ico.size(), ico) == 0)
        png.replace(png.size() - ico.size(), ico.size(), ".png");
    py::object image = glue::import_from("tkinter", "PhotoImage")("master"_a = window, "file"_a = png);
    window.attr("iconphoto")(false, image);
}

py::object import_pyautogui() {
    if (glue::import_from("sys", "modules").contains("pyautogui")) return glue::import_module("pyautogui");
    py::object xauth;
    try {
        xauth = glue::import_module("Xlib.xauth");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return glue::import_module("pyautogui");  // not on X11
    }
    // A module global shadows the builtin for that module's code alone.
    py::setattr(xauth, "print", py::cpp_function(&print_but_the_empty_authority_warning));
    auto restore = glue::on_exit([&] { py::delattr(xauth, "print"); });
    return glue::import_module("pyautogui");
}

}  // namespace platform
