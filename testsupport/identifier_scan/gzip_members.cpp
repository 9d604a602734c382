#include "testsupport/identifier_scan/gzip_members.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace testsupport {

namespace {

constexpr char kMagic[] = {'\x1f', '\x8b', '\x08'};

// What the member at `offset` inflates to, as far as it goes.
std::string inflateAt(const std::string& bytes, std::size_t offset, std::size_t maxBytes) {
    z_stream stream{};
    // 16 + the largest window: a gzip wrapper, and only that.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return {};
    std::string out;
    char buffer[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + offset));
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(bytes.size() - offset, UINT32_MAX));
    int status = Z_OK;
    while (status == Z_OK && out.size() < maxBytes) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        // No progress with input left means it ends cut short.
        if (status == Z_BUF_ERROR) break;
    }
    inflateEnd(&stream);
    if (out.size() > maxBytes) out.resize(maxBytes);
    return out;
}

void collect(const std::string& bytes, int depth, int maxDepth, std::size_t maxBytes,
             std::vector<InflatedMember>& found) {
    const std::string magic(kMagic, sizeof kMagic);
    for (auto at = bytes.find(magic); at != std::string::npos; at = bytes.find(magic, at + 1)) {
        std::string inflated = inflateAt(bytes, at, maxBytes);
        if (inflated.empty()) continue;
        std::vector<InflatedMember> inner;
        if (depth < maxDepth) collect(inflated, depth + 1, maxDepth, maxBytes, inner);
        found.push_back({at, std::move(inflated), depth});
        std::move(inner.begin(), inner.end(), std::back_inserter(found));
    }
}

}  // namespace

std::vector<InflatedMember> inflatedMembers(const std::string& bytes, int maxDepth, std::size_t maxBytes) {
    std::vector<InflatedMember> found;
    if (maxDepth >= 1) collect(bytes, 1, maxDepth, maxBytes, found);
    return found;
}

}  // namespace testsupport
