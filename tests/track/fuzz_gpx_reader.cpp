// libFuzzer target: the GPX reader on any bytes, under AddressSanitizer and
// UndefinedBehaviorSanitizer (run by tools/fuzz). A broken rule of
// reader_faults is a crash like any other, with its input saved.
#include "reader_checks.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string fault = track_checks::reader_faults({reinterpret_cast<const char*>(data), size});
    if (!fault.empty()) {
        std::fprintf(stderr, "reader fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
