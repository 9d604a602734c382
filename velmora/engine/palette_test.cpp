#include <doctest/doctest.h>

#include <cmath>
#include <memory>
#include <string>

#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/engine/palette.h"

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
