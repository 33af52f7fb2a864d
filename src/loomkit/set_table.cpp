#include "loomkit/loomkit.hpp"

namespace loomkit {

py::object make_set_table() {
    return glue::make_class(module(), "Set_Table", qualname("Set_Table"));
}

}  // namespace loomkit
