// libFuzzer target: arbitrary contents of the settings key through ReloadSettings.
#include "fuzz/FuzzPaths.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fuzzpath::RunSettingsPath(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "settings path: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
