#include "loomkit/loomkit.hpp"

namespace loomkit {

py::object make_chart_matplotlib() {
    return glue::make_class(module(), "Chart_Matplotlib", qualname("Chart_Matplotlib"));
}

}  // namespace loomkit
