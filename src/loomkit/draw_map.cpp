#include "loomkit/loomkit.hpp"

namespace loomkit {

py::object make_draw_map() {
    return glue::make_class(module(), "Draw_Map", qualname("Draw_Map"));
}

}  // namespace loomkit
