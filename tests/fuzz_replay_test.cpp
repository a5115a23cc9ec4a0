// The fuzz targets' seed corpus and every input that once failed, replayed through the same
// checks on each build (so the sanitizer builds see them too).
#include "fuzz/FuzzPaths.h"

#include "FaultWorld.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const std::string& target) {
    const fs::path fuzz = fs::path(__FILE__).parent_path().parent_path() / "fuzz";
    std::vector<fs::path> inputs;
    for (const fs::path& dir : {fuzz / "corpus" / target, fuzz / "regressions" / target}) {
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                inputs.push_back(entry.path());
            }
        }
    }
    return inputs;
}

std::vector<std::uint8_t> Bytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

template <typename Path> void Replay(const std::string& target, Path path) {
    const auto inputs = Inputs(target);
    ASSERT_FALSE(inputs.empty());
    for (const fs::path& input : inputs) {
        const std::vector<std::uint8_t> bytes = Bytes(input);
        EXPECT_EQ(path(bytes.data(), bytes.size()), "") << input;
    }
    faultworld::FreshProcess();
}

TEST(FuzzReplay, RecordPath) {
    Replay("record_fuzz", &fuzzpath::RunRecordPath);
}

TEST(FuzzReplay, SettingsPath) {
    Replay("settings_fuzz", &fuzzpath::RunSettingsPath);
}

} // namespace
