// Tests of the time format.
#include <doctest/doctest.h>

#include <array>
#include <climits>
#include <ctime>
#include <random>

#include "tools/collector/time_format.h"

using tools::collector::httpDateFromSeconds;
using tools::collector::isoTimeFromMillis;

namespace {

// The C library's calendar, an implementation independent of ours.
std::string libcISO(std::int64_t millis) {
    const std::int64_t seconds = millis >= 0 ? millis / 1000 : -((-millis + 999) / 1000);
    const auto rest = static_cast<int>(millis - seconds * 1000);
    const auto t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    REQUIRE(gmtime_r(&t, &parts) != nullptr);
    std::array<char, 40> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &parts);
    std::array<char, 8> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%03dZ", rest);
    return std::string(text.data()) + fraction.data();
}

std::string libcHTTPDate(std::int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    REQUIRE(gmtime_r(&t, &parts) != nullptr);
    std::array<char, 40> text{};
    // %a and %b are English in the C locale the tests run in.
    std::strftime(text.data(), text.size(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text.data();
}

}  // namespace

TEST_CASE("times print as ISO-8601 UTC and as HTTP dates") {
    SUBCASE("known instants") {
        CHECK(isoTimeFromMillis(0) == "1970-01-01T00:00:00.000Z");
        CHECK(isoTimeFromMillis(1714564800123) == "2024-05-01T12:00:00.123Z");
        CHECK(isoTimeFromMillis(-1) == "1969-12-31T23:59:59.999Z");
        CHECK(isoTimeFromMillis(951782400000) == "2000-02-29T00:00:00.000Z");
        CHECK(httpDateFromSeconds(784111777) == "Sun, 06 Nov 1994 08:49:37 GMT");
        CHECK(httpDateFromSeconds(0) == "Thu, 01 Jan 1970 00:00:00 GMT");
        CHECK(httpDateFromSeconds(-1) == "Wed, 31 Dec 1969 23:59:59 GMT");
    }

    SUBCASE("the four-digit years are the range; beyond it there is no text, and no overflow") {
        CHECK(isoTimeFromMillis(253402300799999) == "9999-12-31T23:59:59.999Z");
        CHECK_FALSE(isoTimeFromMillis(253402300800000));
        CHECK(isoTimeFromMillis(-62167219200000) == "0000-01-01T00:00:00.000Z");
        CHECK_FALSE(isoTimeFromMillis(-62167219200001));
        CHECK_FALSE(isoTimeFromMillis(INT64_MAX));
        CHECK_FALSE(isoTimeFromMillis(INT64_MIN));
        CHECK_FALSE(httpDateFromSeconds(INT64_MAX));
        CHECK_FALSE(httpDateFromSeconds(INT64_MIN));
    }

    SUBCASE("agrees with the C library across four centuries on both sides of 1970") {
        std::mt19937_64 random(7);
        std::uniform_int_distribution<std::int64_t> millis(-5'000'000'000'000, 8'000'000'000'000);
        for (int i = 0; i < 2000; ++i) {
            const std::int64_t value = millis(random);
            INFO(value);
            CHECK(isoTimeFromMillis(value) == libcISO(value));
            CHECK(httpDateFromSeconds(value / 1000) == libcHTTPDate(value / 1000));
        }
    }
}
