// Reads a seed corpus folder of the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace brennic::fuzz {

struct corpus_file {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

// Every file of corpus/<target>, sorted by name.
inline std::vector<corpus_file> corpus_of(const std::string &target) {
    std::vector<corpus_file> files;
    const std::filesystem::path folder = std::filesystem::path(BRENNIC_FUZZ_CORPUS_DIR) / target;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files.push_back({entry.path().filename().string(),
                         std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {})});
    }
    std::sort(files.begin(), files.end(),
              [](const corpus_file &a, const corpus_file &b) { return a.name < b.name; });
    return files;
}

// One input from its bytes as written in a test.
inline std::vector<std::uint8_t> input_of(const std::string &bytes) {
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

} // namespace brennic::fuzz
