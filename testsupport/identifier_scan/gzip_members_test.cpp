#include <doctest/doctest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "testsupport/identifier_scan/gzip_members.h"

namespace {

// The text as one gzip member, as the gzip command writes it.
std::string gzipped(const std::string& text) {
    z_stream stream{};
    REQUIRE(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK);
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    REQUIRE(deflate(&stream, Z_FINISH) == Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::vector<std::string> texts(const std::vector<testsupport::InflatedMember>& members) {
    std::vector<std::string> out;
    for (const auto& member : members) out.push_back(member.bytes);
    return out;
}

}  // namespace

TEST_CASE("the text gzip members hold, wherever they lie") {
    const std::string first = gzipped("first member");
    const std::string second = gzipped("second member");

    SUBCASE("a file of one member, and one of two in a row") {
        CHECK(texts(testsupport::inflatedMembers(first)) == std::vector<std::string>{"first member"});
        const auto both = testsupport::inflatedMembers(first + second);
        CHECK(texts(both) == std::vector<std::string>{"first member", "second member"});
        CHECK(both[1].offset == first.size());
    }
    SUBCASE("a member among other bytes, and one inside what another inflates to") {
        const std::string inner = gzipped("inner text");
        const auto found = testsupport::inflatedMembers("header\x1f\x8b" + gzipped("outer " + inner) + "trailer");
        REQUIRE(found.size() == 2);
        CHECK(found[0].offset == 8);
        CHECK(found[0].bytes == "outer " + inner);
        CHECK(found[1].bytes == "inner text");
        CHECK(found[1].depth == 2);
        // The nested one only as deep as asked.
        CHECK(testsupport::inflatedMembers(gzipped("outer " + inner), 1).size() == 1);
    }
    SUBCASE("a member cut short gives what inflated before the cut; bytes that are no member give nothing") {
        const std::string longText(20000, 'a');
        const std::string cut = gzipped(longText + "tail").substr(0, 40);
        const auto found = testsupport::inflatedMembers(cut);
        REQUIRE(found.size() == 1);
        CHECK(found[0].bytes.size() > 0);
        CHECK(found[0].bytes.find_first_not_of('a') == std::string::npos);
        CHECK(testsupport::inflatedMembers(std::string("\x1f\x8b\x08\x00garbage", 11)).empty());
        CHECK(testsupport::inflatedMembers("plain text").empty());
    }
    SUBCASE("no member gives more than the limit") {
        const auto found = testsupport::inflatedMembers(gzipped(std::string(1 << 20, 'z')), 4, 1000);
        REQUIRE(found.size() == 1);
        CHECK(found[0].bytes.size() == 1000);
    }
}
