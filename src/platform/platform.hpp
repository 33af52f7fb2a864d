// Everything that differs between Windows and other systems lives here: where
// the data folders are, how template paths are joined, how a window gets its
// icon. The rest of the code speaks in the Windows terms of the product.
#pragma once

#include "glue/glue.hpp"

#include <string>

namespace platform {

bool is_windows();

// "C:/varnholt/" on Windows; the folder varnholt/ in the user's home
// elsewhere. Always ends with "/".
std::string data_root();

// A path written under "C:/varnholt/" mapped onto data_root(); any other
// path is returned unchanged.
std::string data_path(const std::string& windows_path);

// The user's cache folder for the kit, ending with "/": %LOCALAPPDATA%/varnholt/Cache/
// on Windows; $XDG_CACHE_HOME/varnholt/ elsewhere, ~/.cache/varnholt/ when
// that is unset (or not an absolute path, as the XDG rules say).
std::string cache_root();

// Creates one folder (not its parents); every error is ignored.
void make_folder_quietly(const std::string& path);

// The module's folder joined with a relative name that starts with a
// backslash, e.g. "\\<templates>\\logo.png".
std::string join_template(const std::string& folder, const std::string& backslash_name);

// Sets a Tk window's icon from the .ico path: iconbitmap on Windows, the PNG
// file of the same name through iconphoto elsewhere. Errors propagate.
void set_window_icon(py::handle window, const std::string& ico_path);

// `import pyautogui`, which connects to the X display on Linux. Xlib prints
// "Xlib.xauth: warning, no xauthority details available" for each such
// connection when the authority file is empty, which is how a display that
// needs none is set up (Xvfb, kiosks): that one line is left out while the
// library is imported. Elsewhere, or once imported, a plain import.
py::object import_pyautogui();

}  // namespace platform
