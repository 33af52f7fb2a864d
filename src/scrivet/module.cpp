#include "glue/glue.hpp"

PYBIND11_MODULE(Scrivet, m) {
}
