#include "loomkit/loomkit.hpp"

namespace loomkit {

py::object make_ctk_calendar() {
    return glue::make_class(module(), "CTkCalendar", qualname("CTkCalendar"));
}

}  // namespace loomkit
