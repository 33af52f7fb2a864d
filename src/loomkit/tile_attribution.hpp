// The map's credit for its tiles ("© OpenStreetMap contributors" for the
// default source): small, at the bottom right of the widget's canvas, above
// tiles and tracks and clear of the zoom buttons at the top left. Call on
// the Tk thread.
#pragma once

#include "glue/glue.hpp"

#include <string>

namespace loomkit::tiles {

// Draws `text` (nothing when it is empty); with a `link`, a click opens it.
void show_attribution(py::handle widget, const std::string& text, const std::string& link);

// Keeps it in its corner when the widget changes size.
void place_attribution(py::handle widget);

// Keeps it above everything else on the canvas.
void raise_attribution(py::handle widget);

}  // namespace loomkit::tiles
