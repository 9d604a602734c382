#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/frameworks/utilities/gzip.h"
#include "testsupport/temp_dir.h"

using platform::GzipErrorCode;
using platform::rul_dataByGzippingData;
using platform::rul_dataByInflatingGzippedData;
using platform::RULError;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes out(size);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(byte(generator));
    }
    return out;
}

void writeFile(const std::filesystem::path& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the system's gzip command, an implementation independent of ours.
void runGzip(const std::string& arguments) {
    REQUIRE(std::system(("gzip " + arguments).c_str()) == 0);
}

Bytes inflateOrFail(const Bytes& data, std::size_t limit = platform::kDefaultMaxInflatedBytes) {
    RULError error;
    auto out = rul_dataByInflatingGzippedData(data, &error, limit);
    INFO(error.description());
    REQUIRE(out.has_value());
    return *out;
}

GzipErrorCode refusal(const Bytes& data, std::size_t limit = platform::kDefaultMaxInflatedBytes) {
    RULError error;
    const auto out = rul_dataByInflatingGzippedData(data, &error, limit);
    REQUIRE_FALSE(out.has_value());
    CHECK(error.domain == platform::kRULGzipErrorDomain);
    CHECK_FALSE(error.message.empty());
    return static_cast<GzipErrorCode>(error.code);
}

}  // namespace

TEST_CASE("gzip round trip") {
    const std::vector<Bytes> inputs = {
        {}, bytes("a"), bytes(std::string(1000, '\0')), randomBytes(300000, 7), bytes("measurement batch \x01\x00\x02"),
    };
    for (const Bytes& input : inputs) {
        CAPTURE(input.size());
        const auto packed = rul_dataByGzippingData(input);
        REQUIRE(packed.has_value());
        // RFC 1952: magic 1f 8b, method 8 (deflate); the trailer ends with
        // the input size modulo 2^32, little-endian.
        REQUIRE(packed->size() >= 18);
        CHECK((*packed)[0] == 0x1f);
        CHECK((*packed)[1] == 0x8b);
        CHECK((*packed)[2] == 8);
        const std::size_t n = packed->size();
        const std::uint32_t isize = (*packed)[n - 4] | ((*packed)[n - 3] << 8) | ((*packed)[n - 2] << 16) |
                                    (static_cast<std::uint32_t>((*packed)[n - 1]) << 24);
        CHECK(isize == input.size());
        CHECK(inflateOrFail(*packed) == input);
    }
}

TEST_CASE("gzip agrees with the gzip command") {
    testsupport::TempDir dir;
    const Bytes original = randomBytes(50000, 3);
    const Bytes text = bytes("{\"snapshots\":[1,2,3]}\n");

    SUBCASE("what the command compresses inflates here") {
        writeFile(dir / "reply", original);
        runGzip("-c -9 '" + (dir / "reply").string() + "' > '" + (dir / "reply.gz").string() + "'");
        CHECK(inflateOrFail(readFile(dir / "reply.gz")) == original);
    }

    SUBCASE("several members in a row inflate to their concatenation, as the command reads them") {
        writeFile(dir / "one", original);
        writeFile(dir / "two", text);
        runGzip("-c '" + (dir / "one").string() + "' > '" + (dir / "both.gz").string() + "'");
        runGzip("-c '" + (dir / "two").string() + "' >> '" + (dir / "both.gz").string() + "'");
        Bytes expected = original;
        expected.insert(expected.end(), text.begin(), text.end());
        CHECK(inflateOrFail(readFile(dir / "both.gz")) == expected);
    }

    SUBCASE("what is compressed here the command inflates") {
        writeFile(dir / "ours.gz", *rul_dataByGzippingData(original));
        runGzip("-d -c '" + (dir / "ours.gz").string() + "' > '" + (dir / "ours").string() + "'");
        CHECK(readFile(dir / "ours") == original);
    }
}

TEST_CASE("inflation refuses damaged and oversized input without harm") {
    const Bytes original = randomBytes(20000, 11);
    const Bytes packed = *rul_dataByGzippingData(original);

    SUBCASE("not gzip at all") {
        CHECK(refusal(bytes("plain text reply")) == GzipErrorCode::CorruptData);
        CHECK(refusal(randomBytes(4096, 5)) == GzipErrorCode::CorruptData);
        CHECK(refusal(Bytes{0x1f}) == GzipErrorCode::CorruptData);
    }

    SUBCASE("truncated anywhere") {
        for (std::size_t keep : {std::size_t{1}, std::size_t{10}, packed.size() / 2, packed.size() - 1}) {
            CAPTURE(keep);
            CHECK(refusal(Bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(keep))) ==
                  GzipErrorCode::CorruptData);
        }
    }

    SUBCASE("a damaged checksum") {
        Bytes damaged = packed;
        damaged[damaged.size() - 6] ^= 0x40;  // inside the CRC-32 of the trailer
        CHECK(refusal(damaged) == GzipErrorCode::CorruptData);
    }

    SUBCASE("stray bytes after the data") {
        Bytes trailing = packed;
        trailing.push_back('x');
        trailing.push_back('y');
        CHECK(refusal(trailing) == GzipErrorCode::CorruptData);
    }

    SUBCASE("output beyond the limit") {
        const Bytes zeros(1 << 20, 0);  // a megabyte of zeros packs into about a kilobyte
        const Bytes bomb = *rul_dataByGzippingData(zeros);
        CHECK(bomb.size() < 8192);
        CHECK(refusal(bomb, 64 * 1024) == GzipErrorCode::TooLarge);
        CHECK(refusal(bomb, zeros.size() - 1) == GzipErrorCode::TooLarge);
        CHECK(inflateOrFail(bomb, zeros.size()) == zeros);
    }

    SUBCASE("the error out-parameter may be left out") {
        CHECK_FALSE(rul_dataByInflatingGzippedData(bytes("nope")).has_value());
    }
}
