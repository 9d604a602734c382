#pragma once

// Digests: MD5, its hex text and its 64 least significant bits.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace measurement {

using APMBytes = std::vector<std::uint8_t>;

// The 16-byte MD5 digest.
APMBytes apm_MD5Data(const APMBytes& data);
// The last (up to) 8 bytes read as a big-endian unsigned integer; 0 for no
// bytes.
std::uint64_t apm_64LeastSignificantBits(const APMBytes& data);
// That value of the MD5 digest, as a signed integer.
std::int64_t apm_64LSBMD5(const APMBytes& data);
// The 32 lower-case hexadecimal digits of the MD5 digest of the text's UTF-8
// bytes; none for text that is not valid UTF-8.
std::optional<std::string> apm_MD5String(const std::string& text);

}  // namespace measurement
