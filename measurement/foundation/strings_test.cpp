// Tests of the string, text and digest helpers.
#include <doctest/doctest.h>

#include <cstring>

#include "measurement/foundation/hashing.h"
#include "measurement/foundation/string_util.h"
#include "measurement/foundation/text.h"

using namespace measurement;

namespace {
APMBytes bytesOf(const std::string& text) { return APMBytes(text.begin(), text.end()); }
}  // namespace

TEST_CASE("MD5 meets the RFC 1321 test suite") {
    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& vector : vectors) {
        const char* input = vector.first;
        const char* digest = vector.second;
        CAPTURE(input);
        CHECK(apm_MD5String(input) == digest);
        CHECK(apm_MD5Data(bytesOf(input)).size() == 16);
    }
    CHECK_FALSE(apm_MD5String("\xff\xfe"));
}

TEST_CASE("the 64 least significant bits") {
    CHECK(apm_64LeastSignificantBits({}) == 0);
    CHECK(apm_64LeastSignificantBits({0x01, 0x02}) == 0x0102);
    CHECK(apm_64LeastSignificantBits({0xaa, 0xbb, 1, 2, 3, 4, 5, 6, 7, 8}) == 0x0102030405060708ULL);
    // MD5("abc") ends in d6963f7d28e17f72.
    const std::uint64_t tail = 0xd6963f7d28e17f72ULL;
    std::int64_t expected;
    std::memcpy(&expected, &tail, sizeof expected);
    CHECK(apm_64LSBMD5(bytesOf("abc")) == expected);
    CHECK(apm_64LSBMD5(bytesOf("abc")) < 0);
}

TEST_CASE("bits of a text of 0 and 1") {
    CHECK(isBitEnabledAtIndex("0101", 1));
    CHECK(isBitEnabledAtIndex("0101", 3));
    CHECK_FALSE(isBitEnabledAtIndex("0101", 0));
    CHECK_FALSE(isBitEnabledAtIndex("0101", -1));
    CHECK_FALSE(isBitEnabledAtIndex("0101", 4));
    CHECK_FALSE(isBitEnabledAtIndex("", 0));
    CHECK_FALSE(isBitEnabledAtIndex("2", 0));
    // A character outside the basic plane takes two positions.
    CHECK(isBitEnabledAtIndex("\xf0\x9f\x98\x80" "1", 2));
    CHECK_FALSE(isBitEnabledAtIndex("\xf0\x9f\x98\x80" "1", 1));
}

TEST_CASE("URL arguments") {
    SUBCASE("unescaping") {
        CHECK(apm_stringByUnescapingFromURLArgument("a+b%20c%2B") == "a b c+");
        CHECK(apm_stringByUnescapingFromURLArgument("%e2%82%AC") == "\xe2\x82\xac");
        CHECK(apm_stringByUnescapingFromURLArgument("") == "");
        CHECK_FALSE(apm_stringByUnescapingFromURLArgument("%"));
        CHECK_FALSE(apm_stringByUnescapingFromURLArgument("%2"));
        CHECK_FALSE(apm_stringByUnescapingFromURLArgument("%zz"));
        CHECK_FALSE(apm_stringByUnescapingFromURLArgument("%ff"));
    }
    SUBCASE("query strings") {
        using Map = std::map<std::string, std::string>;
        CHECK(apm_dictionaryWithHttpArgumentsString("a=1&a=2") == Map{{"a", "1"}});
        CHECK(apm_dictionaryWithHttpArgumentsString("flag") == Map{{"flag", ""}});
        CHECK(apm_dictionaryWithHttpArgumentsString("k=v=w") == Map{{"k", "v=w"}});
        CHECK(apm_dictionaryWithHttpArgumentsString("q=a+b%20c%2B") == Map{{"q", "a b c+"}});
        CHECK(apm_dictionaryWithHttpArgumentsString("&&x=1&") == Map{{"x", "1"}});
        CHECK(apm_dictionaryWithHttpArgumentsString("%zz=1&y=%41") == Map{{"y", "A"}});
        CHECK(apm_dictionaryWithHttpArgumentsString("utm_source=news&utm_medium=email&gclid=abc") ==
              Map{{"gclid", "abc"}, {"utm_medium", "email"}, {"utm_source", "news"}});
        CHECK(apm_dictionaryWithHttpArgumentsString("").empty());
        CHECK(apm_dictionaryWithHttpArgumentsString("=v") == Map{{"", "v"}});
    }
}

TEST_CASE("text lengths in UTF-16 code units") {
    CHECK(APMUTF16Length("abc") == 3);
    CHECK(APMUTF16Length("\xc3\xa9") == 1);
    CHECK(APMUTF16Length("\xf0\x9f\x98\x80") == 2);
    CHECK(APMTruncatedToUTF16Length("ab\xf0\x9f\x98\x80", 3) == "ab");
    CHECK(APMTruncatedToUTF16Length("ab\xf0\x9f\x98\x80", 4) == "ab\xf0\x9f\x98\x80");
    CHECK(APMTruncatedToUTF16Length("\xc3\xa9\xc3\xa9", 1) == "\xc3\xa9");
    CHECK(APMIsValidUTF8("plain \xe2\x82\xac"));
    CHECK_FALSE(APMIsValidUTF8("\xc0\xaf"));          // overlong
    CHECK_FALSE(APMIsValidUTF8("\xed\xa0\x80"));      // a surrogate
    CHECK_FALSE(APMIsValidUTF8("\xe2\x82"));          // cut short
    CHECK(APMUTF16UnitAt("a\xf0\x9f\x98\x80", 1) == u'\xd83d');
    CHECK(APMUTF16UnitAt("a\xf0\x9f\x98\x80", 2) == u'\xde00');
    CHECK_FALSE(APMUTF16UnitAt("a", 1));
}
