#include "glue/glue.hpp"

PYBIND11_MODULE(GUI, m) {
}
