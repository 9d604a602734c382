// Runs the library's fuzz target over its seeds and over every input that
// once made it fail, as a normal test: each must come back without a crash,
// a sanitizer report or a failed check.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST_CASE("the fuzz target " VELMORA_FUZZ_TARGET " runs clean over its seeds and past failures") {
    const std::filesystem::path folder(VELMORA_FUZZ_SEEDS);
    REQUIRE(std::filesystem::is_directory(folder));
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    REQUIRE_FALSE(inputs.empty());
    for (const auto& input : inputs) {
        CAPTURE(input.filename().string());
        std::ifstream in(input, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        CHECK(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()) == 0);
    }
}
