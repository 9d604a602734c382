// Tests of the charts' number texts, in the C locale and under a decimal comma.
#include <doctest/doctest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "testsupport/temp_dir.h"
#include "velmora/charts/chart_number_text.h"

using namespace velmora;

namespace {

const double notANumber = std::numeric_limits<double>::quiet_NaN();

// Switches the process to a German locale (decimal comma) built for the
// test, when the system can build one; back to "C" at the end.
class CommaLocale {
public:
    CommaLocale() {
        std::string command = "localedef -i de_DE -f UTF-8 '" + (dir_ / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return;
        setenv("LOCPATH", dir_.path().c_str(), 1);
        active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }
    ~CommaLocale() {
        std::setlocale(LC_ALL, "C");
        unsetenv("LOCPATH");
    }
    bool active() const { return active_; }

private:
    testsupport::TempDir dir_;
    bool active_ = false;
};

void checkTexts() {
    struct Case {
        double value;
        const char* g;
        const char* shortest;
        const char* whole;
    };
    for (const Case& c : {Case{0.3, "0.3", "0.3", "0"}, Case{0.7, "0.7", "0.7", "1"}, Case{1.0 / 3, "0.333333",
                                                                                          "0.3333333333333333", "0"},
                          Case{3.087, "3.087", "3.087", "3"}, Case{-0.71, "-0.71", "-0.71", "-1"}, Case{0, "0", "0.0", "0"},
                          Case{1, "1", "1.0", "1"}, Case{-1, "-1", "-1.0", "-1"}, Case{-0.0, "-0", "-0.0", "0"},
                          Case{1e-5, "1e-05", "1e-05", "0"}, Case{123456789, "1.23457e+08", "123456789.0", "123456789"},
                          Case{2.5, "2.5", "2.5", "3"}, Case{-2.5, "-2.5", "-2.5", "-3"}, Case{-0.4, "-0.4", "-0.4", "0"},
                          Case{1e300, "1e+300", "1e+300", nullptr}, Case{notANumber, "nan", "nan", "0"}}) {
        CAPTURE(c.value);
        CHECK(formatG(c.value) == c.g);
        CHECK(shortestText(c.value) == c.shortest);
        if (c.whole) CHECK(nearestWholeText(c.value) == c.whole);
        char printed[64];
        std::snprintf(printed, sizeof printed, "%g", c.value);
        if (std::string(std::setlocale(LC_NUMERIC, nullptr)) == "C") CHECK(formatG(c.value) == printed);
    }
    CHECK(nearestWholeText(1e300).size() == 301);
    struct Read {
        const char* text;
        std::optional<double> value;
    };
    for (const Read& r : {Read{"0.7", 0.7}, Read{"1e-05", 1e-5}, Read{"-2", -2.0}, Read{"0,7", std::nullopt},
                          Read{"", std::nullopt}, Read{" 1", std::nullopt}, Read{"1x", std::nullopt},
                          Read{"0.3333333333", 0.3333333333}}) {
        CAPTURE(r.text);
        CHECK(readNumber(r.text) == r.value);
    }
}

}  // namespace

TEST_CASE("chart number texts") {
    checkTexts();
}

TEST_CASE("chart number texts do not follow the locale") {
    CommaLocale locale;
    if (!locale.active()) {
        MESSAGE("no German locale could be built here; the texts are checked in the C locale only");
        return;
    }
    char printed[16];
    std::snprintf(printed, sizeof printed, "%g", 0.5);
    REQUIRE(std::string(printed) == "0,5");  // the locale is in force
    checkTexts();
}
