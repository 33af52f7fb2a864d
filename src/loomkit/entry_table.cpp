#include "loomkit/loomkit.hpp"

namespace loomkit {

py::object make_entry_table() {
    return glue::make_class(module(), "Entry_Table", qualname("Entry_Table"));
}

}  // namespace loomkit
