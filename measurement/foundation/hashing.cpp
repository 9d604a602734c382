// MD5 digests and the values taken from them.
#include "measurement/foundation/hashing.h"

#include <openssl/evp.h>

#include <cstring>

#include "measurement/foundation/text.h"

namespace measurement {

namespace {

APMBytes md5(const void* data, std::size_t size) {
    APMBytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_md5(), nullptr) != 1) return {};
    digest.resize(length);
    return digest;
}

}  // namespace

APMBytes apm_MD5Data(const APMBytes& data) { return md5(data.data(), data.size()); }

std::uint64_t apm_64LeastSignificantBits(const APMBytes& data) {
    std::uint64_t value = 0;
    std::size_t start = data.size() > 8 ? data.size() - 8 : 0;
    for (std::size_t i = start; i < data.size(); ++i) value = (value << 8) | data[i];
    return value;
}

std::int64_t apm_64LSBMD5(const APMBytes& data) {
    std::uint64_t bits = apm_64LeastSignificantBits(apm_MD5Data(data));
    std::int64_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::optional<std::string> apm_MD5String(const std::string& text) {
    if (!APMIsValidUTF8(text)) return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : md5(text.data(), text.size())) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0x0f];
    }
    return hex;
}

}  // namespace measurement
