// Fuzz target: arbitrary bytes inflated as gzip, as the engine does with
// stored bundles and the collector with uploaded batches. What inflates
// must compress and inflate back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/frameworks/utilities/gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    // A small limit, so that a bomb is refused quickly.
    const auto inflated = platform::rul_dataByInflatingGzippedData(bytes, nullptr, 1 << 20);
    if (!inflated) return 0;
    const auto again = platform::rul_dataByGzippingData(*inflated, nullptr);
    if (!again) std::abort();
    const auto back = platform::rul_dataByInflatingGzippedData(*again, nullptr, 1 << 20);
    if (!back || *back != *inflated) std::abort();
    return 0;
}
