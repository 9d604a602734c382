#include <doctest/doctest.h>

#include "measurement/core/core_test_support.h"
#include "measurement/foundation/messages.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/string_output.h"
#include "velmora/analytics/measurement_analytics.h"

using measurement::APMPBMeasurementBundleFieldIndex;
using measurement::testing::EngineFixture;

namespace {

// The calculator page's logging after a successful calculation: the steps
// as title / LaTeX dictionaries and their number.
void logCalculation(const std::vector<velmora::SolutionStep>& steps) {
    velmora::logEvent("kuvo_calculate", {{"solutionSteps", velmora::stepDictionaries(steps)},
                                         {"solutionStepsCount", static_cast<long long>(steps.size())}});
}

struct SinkScope {
    ~SinkScope() { velmora::setAnalytics(nullptr); }
};

}  // namespace

TEST_CASE("a calculation's kuvo_calculate event lands in the measurement database") {
    EngineFixture engine;
    SinkScope sink;
    REQUIRE(velmora::configureMeasurementAnalytics());
    engine.settle();

    auto& output = velmora::KuvoStringOutput::shared();
    output.clear();
    velmora::KuvoBernoulliFormula formula;
    const auto result = formula.validateAndCalculate("2", "kTextField", "5", "nTextField", "0.3", "pTextField", 3);
    REQUIRE_FALSE(result.errorKey);
    const auto steps = output.solutionSteps;
    REQUIRE(steps.size() > 20);
    logCalculation(steps);
    output.clear();
    engine.settle();

    const auto events = engine.rawEvents();
    REQUIRE(events.size() == 2);
    const auto& stored = events[1];
    CHECK(stored.event().name() == "kuvo_calculate");
    CHECK(stored.event().origin() == "app");
    const auto* count = stored.event().parameter("solutionStepsCount");
    REQUIRE(count);
    CHECK(count->int64Value() == static_cast<std::int64_t>(steps.size()));
    const auto* list = stored.event().parameter("solutionSteps");
    REQUIRE(list);
    REQUIRE(list->listValue().size() == steps.size());
    CHECK(list->listValue()[0].at("title").stringValue() == steps[0].at("title"));
    CHECK(list->listValue().back().at("latexString").stringValue() == steps.back().at("latexString"));

    const auto header = engine.metadataOf(stored);
    CHECK(measurement::NANOGetString(header, APMPBMeasurementBundleFieldIndex(52)) == "G1--");
    CHECK(measurement::NANOGetString(header, APMPBMeasurementBundleFieldIndex(25)) == "velmora-bernoulli-ios");
}

TEST_CASE("the application's phrase-named menu events are recorded as _err with code 2") {
    EngineFixture engine;
    SinkScope sink;
    REQUIRE(velmora::configureMeasurementAnalytics());
    velmora::logEvent("Tapped Rating in Menu");
    velmora::logEvent("Tapped App Link", {{"appName", "Kuvo Trigonometry"}});
    engine.settle();
    const auto events = engine.rawEvents();
    REQUIRE(events.size() == 3);
    for (std::size_t i = 1; i < 3; ++i) {
        CHECK(events[i].event().name() == "_err");
        CHECK(events[i].event().parameter("_err")->int64Value() == 2);
    }
    CHECK(events[1].event().parameter("_ev")->stringValue() == "Tapped Rating in Menu");
    CHECK(events[2].event().parameter("_ev")->stringValue() == "Tapped App Link");
}
