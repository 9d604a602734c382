// Fuzz target: arbitrary bytes as an uploaded batch, decoded and described
// as the collector prints and logs it.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/json_codec.h"
#include "tools/collector/batch_description.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tools::collector::Bytes bytes(data, data + size);
    std::string error;
    const auto value = tools::collector::batchValue(bytes, &error);
    if (!value) return 0;
    tools::collector::batchText(*value);
    platform::writeJSON(*value);
    return 0;
}
