// Tests of axis ranges, ticks and number labels, including options that could loop.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "platform/frameworks/charts/chart_scale.h"

using namespace platform::charts;

namespace {

const double notANumber = std::numeric_limits<double>::quiet_NaN();

AAAxis range(std::optional<double> min, std::optional<double> max) {
    AAAxis axis;
    axis.min = min;
    axis.max = max;
    return axis;
}

void checkValues(const std::vector<double>& got, const std::vector<double>& expected) {
    REQUIRE(got.size() == expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) CHECK(got[i] == doctest::Approx(expected[i]).epsilon(1e-12));
}

}  // namespace

TEST_CASE("axis ranges and ticks") {
    SUBCASE("automatic ranges widen to round steps") {
        struct Case {
            Extent data;
            bool zero;
            double min, max;
            std::vector<double> ticks;
        };
        for (const Case& c : {
                 Case{{0, 0.3087}, true, 0, 0.35, {0, 0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.35}},
                 Case{{-1, 6}, false, -1, 6, {-1, 0, 1, 2, 3, 4, 5, 6}},
                 Case{{0.5, 0.9}, true, 0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1.0}},
                 Case{{3, 3}, false, 2, 4, {2, 2.25, 2.5, 2.75, 3, 3.25, 3.5, 3.75, 4}},
                 Case{{-120, 380}, false, -200, 400, {-200, -100, 0, 100, 200, 300, 400}},
             }) {
            CAPTURE(c.data.min);
            CAPTURE(c.data.max);
            AxisScale s = makeAxisScale(AAAxis{}, c.data, c.zero);
            CHECK(s.min == doctest::Approx(c.min));
            CHECK(s.max == doctest::Approx(c.max));
            checkValues(s.ticks, c.ticks);
        }
    }
    SUBCASE("given range, positions and minor interval") {
        AAAxis axis = range(0, 1);
        axis.tickPositions = std::vector<double>{0, 0.25, 0.5, 0.75, 1.0};
        axis.minorTickInterval = 0.05f;
        AxisScale s = makeAxisScale(axis, Extent{0.2, 0.4}, false);
        CHECK(s.min == 0);
        CHECK(s.max == 1);
        checkValues(s.ticks, {0, 0.25, 0.5, 0.75, 1.0});
        // every multiple of 0.05 but the five major ticks
        CHECK(s.minorTicks.size() == 16);
        CHECK(s.minorTicks.front() == doctest::Approx(0.05));
    }
    SUBCASE("a tick interval gives its multiples within the data") {
        AAAxis axis;
        axis.tickInterval = static_cast<float>(M_PI / 2);
        AxisScale s = makeAxisScale(axis, Extent{0, 6.272}, false);
        const double quarterTurn = static_cast<float>(M_PI / 2);  // the interval is a float
        checkValues(s.ticks, {0, quarterTurn, 2 * quarterTurn, 3 * quarterTurn});
    }
    SUBCASE("unusable options fall back and never loop") {
        struct Case {
            const char* what;
            AAAxis axis;
        };
        AAAxis tiny;
        tiny.tickInterval = 1e-30f;
        AAAxis zero;
        zero.tickInterval = 0.0f;
        AAAxis negative;
        negative.tickInterval = -1.0f;
        AAAxis nanBounds = range(notANumber, notANumber);
        AAAxis swapped = range(5, -5);
        AAAxis minorTiny;
        minorTiny.minorTickInterval = 1e-20f;
        AAAxis huge = range(-1e308, 1e308);
        for (const Case& c : {Case{"tiny interval", tiny}, Case{"zero interval", zero}, Case{"negative interval", negative},
                              Case{"NaN bounds", nanBounds}, Case{"swapped bounds", swapped},
                              Case{"tiny minor interval", minorTiny}, Case{"huge range", huge}}) {
            CAPTURE(c.what);
            AxisScale s = makeAxisScale(c.axis, Extent{-2, 2}, false);
            CHECK(s.max > s.min);
            CHECK(s.ticks.size() <= 200);
            CHECK(s.minorTicks.size() <= 500);
            for (double t : s.ticks) CHECK((t >= s.min && t <= s.max));
        }
    }
}

TEST_CASE("numbers as labels") {
    struct Case {
        double value;
        const char* sep;
        const char* text;
    };
    for (const Case& c : {Case{0, ",", "0"}, Case{-0.0, ",", "0"}, Case{0.30000000000000004, ",", "0.3"},
                          Case{0.3087, ",", "0.3087"}, Case{999, ",", "999"}, Case{1000, ",", "1,000"},
                          Case{-1234, ",", "-1,234"}, Case{1234567.5, ",", "1,234,567.5"}, Case{1234567.5, " ", "1 234 567.5"},
                          Case{1e-5, ",", "1e-05"}, Case{-2.5, ",", "-2.5"}, Case{100000, ",", "100,000"},
                          Case{notANumber, ",", "NaN"}}) {
        CAPTURE(c.value);
        CHECK(numberLabel(c.value, c.sep) == c.text);
    }
}
