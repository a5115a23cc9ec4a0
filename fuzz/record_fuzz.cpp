// libFuzzer target: one record with arbitrary settings through the whole measuring path.
#include "fuzz/FuzzPaths.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fuzzpath::RunRecordPath(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "record path: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
