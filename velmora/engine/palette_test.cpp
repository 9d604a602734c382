#include <doctest/doctest.h>

#include <cmath>
#include <memory>
#include <string>

#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/engine/palette.h"
#include "platform/gfx/appearance.h"

using namespace velmora;

TEST_CASE("hexString writes #rrggbb from truncated components") {
    CHECK(hexString(KuvoColor::paletteDarkBlue) == "#0042c9");
    CHECK(hexString(KuvoColor::paletteLightBlue) == "#8e9bff");
    CHECK(hexString(KuvoColor::paletteBlue) == "#546dff");
    CHECK(hexString(KuvoColor::paletteGreen) == "#00e575");
    CHECK(hexString(KuvoColor::paletteDarkGreen) == "#00b247");
    CHECK(hexString({1, 1, 1, 1}) == "#ffffff");
    CHECK(hexString({0, 0, 0, 1}) == "#000000");
    SUBCASE("extended-range components are held to six digits") {
        CHECK(hexString({1.5, -0.2, 0.5, 1}) == "#ff007f");
        CHECK(hexString({NAN, INFINITY, -INFINITY, 1}) == "#00ff00");
        CHECK(hexString({300, 300, 300, 1}).size() == 7);
    }
}

TEST_CASE("the palette in dark mode") {
    SUBCASE("darkening scales every component by the factor, hue and saturation kept") {
        struct Case {
            RGBColor value;
            double factor;
            bool dark;
            const char* hex;
        };
        for (const Case& c : {Case{KuvoColor::paletteGreen, 0.7, false, "#00e575"},
                              Case{KuvoColor::paletteGreen, 0.7, true, "#00a052"},    // 0.63, 0.322
                              Case{KuvoColor::paletteLightBlue, 0.7, true, "#636cb2"},  // 0.392, 0.427, 0.7
                              Case{KuvoColor::paletteDarkBlue, 0.7, true, "#002e8d"},   // 0, 0.182, 0.553
                              Case{{1, 1, 1, 1}, 0.5, true, "#7f7f7f"},
                              Case{{1, 1, 1, 1}, -2, true, "#000000"},
                              Case{{1, 1, 1, 1}, NAN, true, "#000000"}}) {
            CAPTURE(c.hex);
            CHECK(hexString(adjustedForDarkMode(c.value, c.factor, c.dark)) == c.hex);
        }
    }
    SUBCASE("a palette colour keeps the style of its first use") {
        const RGBColor value{0.2, 0.4, 0.8, 1};  // read nowhere else
        {
            platform::gfx::InterfaceStyleScope dark(platform::gfx::InterfaceStyle::dark);
            CHECK(hexString(paletteColor(value)) == "#23478e" /* 0.14, 0.28, 0.56 */);
        }
        platform::gfx::InterfaceStyleScope light(platform::gfx::InterfaceStyle::light);
        CHECK(hexString(paletteColor(value)) == "#23478e");
        CHECK(&paletteColor(value) == &paletteColor(value));
    }
}

TEST_CASE("analytics events go to the sink that is set") {
    auto first = std::make_shared<RecordingAnalytics>();
    setAnalytics(first);
    logEvent("kuvo_calculate", {{"solutionStepsCount", 27}});
    auto second = std::make_shared<RecordingAnalytics>();
    setAnalytics(second);
    logEvent("tapped_clear");
    REQUIRE(first->events().size() == 1);
    CHECK(first->events().front().parameters.at("solutionStepsCount") == platform::Value(27));
    CHECK(second->eventNames() == std::vector<std::string>{"tapped_clear"});
    second->clear();
    CHECK(second->events().empty());
    setAnalytics(nullptr);
    CHECK(std::dynamic_pointer_cast<RecordingAnalytics>(analytics()) != nullptr);
    CHECK(analytics() != second);
}

TEST_CASE("a recording sink keeps only its latest events") {
    RecordingAnalytics sink;
    for (std::size_t i = 0; i <= RecordingAnalytics::kCapacity; ++i) {
        sink.logEventWithName("event_" + std::to_string(i), {});
    }
    auto names = sink.eventNames();
    REQUIRE(names.size() == RecordingAnalytics::kCapacity);
    CHECK(names.front() == "event_1");
    CHECK(names.back() == "event_" + std::to_string(RecordingAnalytics::kCapacity));
}

TEST_CASE("a recording sink lists the events of one name in order") {
    RecordingAnalytics sink;
    const std::vector<std::pair<std::string, double>> logged = {{"a", 1}, {"b", 2}, {"a", 3}, {"c", 4}, {"a", 5}};
    for (const auto& [name, n] : logged) sink.logEventWithName(name, {{"n", platform::Value(n)}});
    const std::vector<std::pair<std::string, std::vector<double>>> cases = {{"a", {1, 3, 5}}, {"b", {2}}, {"z", {}}};
    for (const auto& row : cases) {
        const std::string& name = row.first;
        const std::vector<double>& expected = row.second;
        std::vector<double> found;
        for (const auto& event : sink.events(name)) found.push_back(event.parameters.at("n").realValue());
        CHECK_MESSAGE(found == expected, name);
    }
}

TEST_CASE("the engine's texts come from the English string table") {
    CHECK(LocalizedString::yourInput() == "Your Input");
    CHECK(LocalizedString::calculate() == "Calculate");
    CHECK(LocalizedString::cancelMath() == "Cancel");
    CHECK(LocalizedString::choosenFormula() == "Chosen Formula");
    CHECK(LocalizedString::error() == "Error");
    CHECK(LocalizedString::histogram() == "Histogram");
    CHECK(LocalizedString::localized("no such key") == "no such key");
    CHECK(&LocalizedString::result() == &LocalizedString::result());
}
