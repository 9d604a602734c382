// What the control interface makes of the engine's event writes, in words,
// and of an engine that could not open its files.
#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "measurement/control/engine_control.h"
#include "measurement/control/store_control.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "testsupport/file_text.h"

using measurement::control::EventWrite;
using measurement::control::outcomeOfEvent;

namespace {

// The error event the engine stores for a refused name: its code and the name.
EventWrite refusal(long long code, const std::string& name) {
    return {"_err", "auto", std::nullopt, {{"_err", code}, {"_ev", name}}};
}

}  // namespace

TEST_CASE("a refused name is explained by the error event that names it, under the rule it broke") {
    const std::string forty = "9" + std::string(39, 'a');
    struct Case {
        std::string name;
        std::vector<EventWrite> writes;
        std::string failure;  // a part of it
    };
    const std::vector<Case> cases = {
        // Another event's refusal came first.
        {"9lives", {refusal(13, "rozeda_x"), refusal(2, "9lives")}, "does not begin with a letter (code 2)"},
        // At the length limit the name is not too long: another rule refused it.
        {forty, {refusal(2, forty)}, "does not begin with a letter (code 2)"},
        // The engine names a name cut to its limit.
        {std::string(41, 'a'), {refusal(2, std::string(40, 'a'))}, "longer than 40 characters (code 2)"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        const auto outcome = outcomeOfEvent(c.name, c.writes);
        REQUIRE(outcome.failure);
        CHECK(outcome.failure->find(c.failure) != std::string::npos);
    }
}

TEST_CASE("an engine whose data folder holds files where its folders go fetches nothing and keeps no consent") {
    for (const bool blocked : {false, true}) {
        CAPTURE(blocked);
        measurement::testing::EngineFixture engine(false);
        if (blocked) {
            for (const char* folder : {"Application Support", "Preferences"}) {
                testsupport::writeText(engine.folder() / folder, "a file where the folder would be\n");
            }
        }
        const measurement::control::ConsentKeeping keeping;
        engine.configure();
        measurement::VEZArurerudo::setConsent({{"ad_storage", "denied"}});
        REQUIRE(measurement::control::waitUntilHandled(60));
        // The defaults stand in for the configuration the engine could not keep.
        const auto fetch = measurement::control::fetchConfiguration();
        CHECK_FALSE(fetch.sent);
        CHECK(fetch.version == -1);
        const auto failure = measurement::control::databaseFailure();
        CHECK(failure.has_value() == blocked);
        const auto notKept = keeping.notKept();
        REQUIRE(notKept.has_value() == blocked);
        if (!blocked) continue;
        CHECK(notKept->find("Preferences") != std::string::npos);
        // The reason alone: the command says what was not kept.
        CHECK(notKept->find("cannot save preferences") == std::string::npos);
    }
}
