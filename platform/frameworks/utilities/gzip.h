#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/frameworks/utilities/rul_error.h"

namespace platform {

enum class GzipErrorCode {
    CorruptData = 1,  // not gzip, damaged, truncated, or followed by stray bytes
    TooLarge = 2,     // the inflated bytes would pass the caller's limit
    Failed = 3,       // zlib could not work (out of memory)
};

// Replies are small; a limit keeps a hostile reply from inflating a few
// kilobytes into gigabytes.
inline constexpr std::size_t kDefaultMaxInflatedBytes = 64u * 1024u * 1024u;

// The bytes as one gzip member (RFC 1952). Nothing on failure, with the
// reason in *error when given.
std::optional<std::vector<std::uint8_t>> rul_dataByGzippingData(const std::vector<std::uint8_t>& data,
                                                                 RULError* error = nullptr);

// The inflated contents of gzip data: one member or several in a row, as the
// gzip command writes and reads them. Empty input inflates to nothing.
// Anything else that is not intact gzip, and output beyond maxInflatedBytes,
// gives nothing and the reason in *error when given.
std::optional<std::vector<std::uint8_t>> rul_dataByInflatingGzippedData(
    const std::vector<std::uint8_t>& data, RULError* error = nullptr,
    std::size_t maxInflatedBytes = kDefaultMaxInflatedBytes);

}  // namespace platform
