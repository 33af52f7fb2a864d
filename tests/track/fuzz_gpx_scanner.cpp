// libFuzzer target: the scanner against the exact reader on any bytes, under
// AddressSanitizer and UndefinedBehaviorSanitizer (tools/fuzz SECONDS
// scanner). Where the scanner reads a document it must read exactly what
// the exact reader reads, in any window and any number of pieces.
#include "reader_checks.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string fault = track_checks::scanner_faults({reinterpret_cast<const char*>(data), size});
    if (!fault.empty()) {
        std::fprintf(stderr, "scanner fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
