#include "loomkit/loomkit.hpp"

namespace loomkit {

py::object make_set_button() {
    return glue::make_class(module(), "Set_Button", qualname("Set_Button"));
}

}  // namespace loomkit
