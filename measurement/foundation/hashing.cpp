// MD5 digests and the values taken from them.
#include "measurement/foundation/hashing.h"

// The digest's own functions rather than the EVP interface: a first EVP
// digest sets up the library's providers and their algorithm tables, about
// a millisecond that a process storing one event would spend on one MD5.
// They are marked deprecated in OpenSSL 3 but remain part of it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <cstring>

#include "measurement/foundation/text.h"

namespace measurement {

namespace {

APMBytes md5(const void* data, std::size_t size) {
    APMBytes digest(MD5_DIGEST_LENGTH);
    MD5_CTX context;
    if (MD5_Init(&context) != 1 || MD5_Update(&context, data, size) != 1 || MD5_Final(digest.data(), &context) != 1) {
        return {};
    }
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
