// Fuzz target: arbitrary bytes read as a property list. What reads must
// write out in the binary form and read back, as the preferences do with
// every change.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/foundation/plist_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto value = platform::parsePropertyList(bytes);
    if (!value) return 0;
    if (!platform::parsePropertyList(platform::writePropertyListBinary(*value))) std::abort();
    // The XML form need not read back (not every string is XML text), but
    // writing it must be safe.
    platform::parsePropertyList(platform::writePropertyListXML(*value));
    return 0;
}
