// Tests of the public interface through the engine: configuration, first open, updates, screens.
#include <doctest/doctest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "measurement/core/facade.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/foundation/hashing.h"
#include "measurement/store/config_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using measurement::testing::EngineFixture;
using measurement::testing::intParameter;
using measurement::testing::stringParameter;
using config_test::ConfigBuilder;

namespace {

// The service property list of the application bundle the tests run with.
constexpr const char* kAppID = "velmora-bernoulli-ios";

int tag(int wireTag) { return APMPBMeasurementBundleFieldIndex(wireTag); }

std::vector<APMRawEventData> eventsNamed(EngineFixture& engine, const std::string& name) {
    std::vector<APMRawEventData> found;
    for (auto& event : engine.rawEvents()) {
        if (event.event().name() == name) found.push_back(event);
    }
    return found;
}

}  // namespace

TEST_CASE("events logged before the application is configured are refused with 25018") {
    EngineFixture engine;
    VEZArurerudo::logEventWithName("kuvo_calculate", {{"solutionStepsCount", 3}});
    engine.settle();
    const auto refusals = engine.monitor().entriesWithCode(kAPMEventNotLoggedNotConfiguredCode);
    REQUIRE(refusals.size() == 1);
    CHECK(refusals[0].level == kAPMMonitorLevelWarning);
    CHECK(refusals[0].message == "Event not logged. Call +[VEZApp configure]");
    CHECK(refusals[0].contexts == std::vector<platform::Value>{platform::Value("kuvo_calculate")});

    // Configuring afterwards stores the first open only: the refused event is gone.
    engine.configure();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
}

TEST_CASE("a public event is stored with its parameters and metadata header") {
    EngineFixture engine;
    engine.configure();
    const double loggedAt = engine.time().now();
    VEZArurerudo::logEventWithName("tapped_history_item", {{"index", 4}, {"label", "second"}, {"ratio", 0.25}});
    engine.settle();

    const auto stored = eventsNamed(engine, "tapped_history_item");
    REQUIRE(stored.size() == 1);
    const auto& event = stored[0].event();
    CHECK(event.origin() == "app");
    CHECK(event.isPublic());
    CHECK(event.timestamp() == loggedAt);
    CHECK(intParameter(event, "index") == 4);
    CHECK(stringParameter(event, "label") == "second");
    REQUIRE(event.parameter("ratio"));
    CHECK(event.parameter("ratio")->doubleValue() == 0.25);
    CHECK(stringParameter(event, "_o") == "app");

    const auto header = engine.metadataOf(stored[0]);
    CHECK(NANOGetInt32(header, tag(1)) == 1);
    CHECK(NANOGetString(header, tag(8)) == "ios");
    CHECK(NANOGetString(header, tag(52)) == "G1--");
    CHECK(NANOGetString(header, tag(25)) == kAppID);
    CHECK(NANOGetString(header, tag(14)) == platform::Bundle::main().bundleIdentifier());
    CHECK(NANOGetInt64(header, tag(17)) == kAPMLibraryVersion);
    // The fingerprint is the MD5-based digest of the stored header itself.
    CHECK(stored[0].metadataFingerprint() == apm_64LSBMD5(header.protoBuffer()));
}

TEST_CASE("bad public event names are recorded as _err with their code") {
    EngineFixture engine;
    engine.configure();

    SUBCASE("the application's two phrase-named menu events break the name rule: code 2") {
        VEZArurerudo::logEventWithName("Tapped Rating in Menu");
        VEZArurerudo::logEventWithName("Tapped App Link", {{"app", "other"}});
        engine.settle();
        const auto errors = eventsNamed(engine, "_err");
        REQUIRE(errors.size() == 2);
        CHECK(intParameter(errors[0].event(), "_err") == 2);
        CHECK(stringParameter(errors[0].event(), "_ev") == "Tapped Rating in Menu");
        CHECK(intParameter(errors[1].event(), "_err") == 2);
        CHECK(stringParameter(errors[1].event(), "_ev") == "Tapped App Link");
        CHECK_FALSE(errors[0].event().isPublic());
        CHECK(eventsNamed(engine, "Tapped App Link").empty());
        CHECK(engine.monitor().count(kAPMInvalidEventNameCode) == 2);
    }
    SUBCASE("reserved names and prefixes: code 13") {
        VEZArurerudo::logEventWithName("rozeda_open");
        VEZArurerudo::logEventWithName("du_thing");
        VEZArurerudo::logEventWithName("first_open");
        engine.settle();
        const auto errors = eventsNamed(engine, "_err");
        REQUIRE(errors.size() == 3);
        for (const auto& error : errors) CHECK(intParameter(error.event(), "_err") == 13);
        CHECK(stringParameter(errors[2].event(), "_ev") == "first_open");
    }
    SUBCASE("too long, empty, a digit first: code 2; forty characters pass") {
        VEZArurerudo::logEventWithName(std::string(41, 'a'));
        VEZArurerudo::logEventWithName("");
        VEZArurerudo::logEventWithName("1st");
        VEZArurerudo::logEventWithName(std::string(40, 'b'));
        engine.settle();
        const auto errors = eventsNamed(engine, "_err");
        REQUIRE(errors.size() == 3);
        for (const auto& error : errors) CHECK(intParameter(error.event(), "_err") == 2);
        CHECK(eventsNamed(engine, std::string(40, 'b')).size() == 1);
    }
}

TEST_CASE("parameters are checked, trimmed and capped on the worker queue") {
    EngineFixture engine;
    engine.configure();
    VEZArurerudo::logEventWithName("kuvo_got_error", {{"error_case", std::string(600, 'x')},
                                                      {"bad name", 1},
                                                      {"when", platform::Date{5}}});
    engine.settle();
    const auto stored = eventsNamed(engine, "kuvo_got_error");
    REQUIRE(stored.size() == 1);
    const auto& event = stored[0].event();
    CHECK(stringParameter(event, "error_case").size() == 500);
    CHECK(event.parameter("bad name") == nullptr);
    CHECK(event.parameter("when") == nullptr);
    // The first failure is recorded on the event itself.
    CHECK(event.parameter("_err") != nullptr);

    // The server's limit, once the engine's configuration has it.
    engine.takeConfiguration(ConfigBuilder().setting("measurement.upload.max_event_parameter_value_length", "100").config());
    VEZArurerudo::logEventWithName("kuvo_got_error", {{"error_case", std::string(600, 'y')}});
    engine.settle();
    const auto limited = eventsNamed(engine, "kuvo_got_error");
    REQUIRE(limited.size() == 2);
    CHECK(stringParameter(limited[1].event(), "error_case") == std::string(100, 'y'));
}

TEST_CASE("writing counts every event once, in today's counts; blocklist and conversions wait for bundling") {
    EngineFixture engine;
    engine.configure();
    engine.takeConfiguration(ConfigBuilder()
                                 .event("tapped_blocked", true, std::nullopt, std::nullopt)
                                 .event("tapped_buy", std::nullopt, true, std::nullopt)
                                 .config());
    VEZArurerudo::logEventWithName("tapped_blocked");
    VEZArurerudo::logEventWithName("tapped_buy");
    VEZArurerudo::logEventWithName("Bad Name");
    // Stamped the day before: still counted today, as every writer counts.
    APMAnalytics::logInternalEventWithOrigin("auto", "_late", engine.time().now() - 86400, {});
    engine.settle();

    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "tapped_blocked", "tapped_buy", "_err", "_late"});
    const auto counts = engine.dailyCounts();
    CHECK(counts.dayIndex() == static_cast<std::int64_t>(engine.time().now()) / 86400);
    CHECK(counts.allEventsCount() == 5);
    CHECK(counts.publicEventsCount() == 2);
    CHECK(counts.errorEventsCount() == 1);
    CHECK(counts.conversionsCount() == 0);
    CHECK(counts.realtimeCount() == 0);
}

TEST_CASE("screen_view goes to the screen-view reporter, other events take the current screen") {
    EngineFixture engine;
    engine.configure();
    const double loggedAt = engine.time().now();
    VEZArurerudo::logEventWithName("screen_view", {{"screen_name", "History"}, {"screen_class", "HistoryTable"},
                                                   {"item_count", 4}});
    engine.settle();
    engine.time().advance(5);
    VEZArurerudo::logEventWithName("tapped_clear");
    VEZArurerudo::logEventWithName("tapped_menu_button", {{"_sn", "Own"}});
    engine.settle();

    CHECK(eventsNamed(engine, "screen_view").empty());
    const auto views = eventsNamed(engine, "_vs");
    REQUIRE(views.size() == 1);
    const auto view = views[0].event();
    CHECK(view.origin() == "app");
    CHECK(view.timestamp() == loggedAt);
    CHECK(stringParameter(view, "_sn") == "History");
    CHECK(stringParameter(view, "_sc") == "HistoryTable");
    CHECK(intParameter(view, "item_count") == 4);
    CHECK(view.parameter("screen_name") == nullptr);

    const auto clear = eventsNamed(engine, "tapped_clear")[0].event();
    CHECK(stringParameter(clear, "_sn") == "History");
    CHECK(intParameter(clear, "_si") == intParameter(view, "_si"));
    const auto own = eventsNamed(engine, "tapped_menu_button")[0].event();
    CHECK(stringParameter(own, "_sn") == "Own");
    CHECK(own.parameter("_sc") == nullptr);
    CHECK(own.parameter("_si") == nullptr);
}

TEST_CASE("the first open is written once per install") {
    EngineFixture engine;
    engine.configure();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
    const auto firstOpen = eventsNamed(engine, "_f")[0].event();
    CHECK(firstOpen.origin() == "auto");
    CHECK(firstOpen.isRealtime());
    const double firstTime = engine.time().now();

    // A second process start on the same data folder.
    engine.restart();
    engine.time().advance(3600);
    engine.configure();
    VEZArurerudo::logEventWithName("tapped_clear");
    engine.settle();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "tapped_clear"});
    // The second engine read the first's time back from the persisted settings.
    CHECK(APMMeasurement::sharedInstance()->persistedConfig()->firstOpenTimestampMilliseconds() ==
          static_cast<std::int64_t>(firstTime * 1000));
}

namespace {

// The application bundle of the tests, its property lists copied to a
// folder of their own, with the version the test gives it ("" for none).
class VersionedBundle {
public:
    VersionedBundle() : saved_(platform::Bundle::main().resourcePath()) {
        for (const auto& entry : std::filesystem::directory_iterator(saved_)) {
            if (entry.path().extension() == ".plist") {
                std::filesystem::copy_file(entry.path(), folder_.path() / entry.path().filename());
            }
        }
    }
    ~VersionedBundle() { platform::Bundle::setMainResourcePath(saved_); }
    VersionedBundle(const VersionedBundle&) = delete;
    VersionedBundle& operator=(const VersionedBundle&) = delete;

    void setVersion(const std::string& version) {
        const auto path = folder_.path() / "Info.plist";
        auto info = platform::parsePropertyList(*platform::readFile(path));
        REQUIRE(info);
        auto dictionary = info->asDictionary();
        dictionary.erase("CFBundleShortVersionString");
        if (!version.empty()) dictionary["CFBundleShortVersionString"] = version;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << platform::writePropertyListXML(dictionary);
        platform::Bundle::setMainResourcePath(folder_.path());
    }

private:
    std::filesystem::path saved_;
    testsupport::TempDir folder_;
};

}  // namespace

TEST_CASE("a start with another application version than the last start's reports an update") {
    EngineFixture engine;
    VersionedBundle bundle;
    // Each start: the application's version, then the previous version of
    // the "_au" it writes (none: no "_au").
    struct Start {
        std::string version;
        std::optional<std::string> update;
    };
    const std::vector<Start> starts = {
        {"1.0", std::nullopt},  // the first open: "_f" only
        {"1.0", std::nullopt},  // the same version
        {"1.1", "1.0"},         // updated
        {"1.1", std::nullopt},
        {"", std::nullopt},     // no version to compare: nothing, and 1.1 is kept
        {"2.0b4", "1.1"},
        {"1.1", "2.0b4"},       // any other version counts, a lower one too
    };
    std::size_t updates = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        CAPTURE(i);
        bundle.setVersion(starts[i].version);
        engine.configure();
        const auto reported = eventsNamed(engine, "_au");
        if (starts[i].update) {
            REQUIRE(reported.size() == ++updates);
            const auto update = reported.back().event();
            CHECK(update.origin() == "auto");
            CHECK_FALSE(update.isPublic());
            CHECK(stringParameter(update, "_pv") == *starts[i].update);
        } else {
            CHECK(reported.size() == updates);
        }
        engine.restart();
    }
    CHECK(eventsNamed(engine, "_f").size() == 1);

    SUBCASE("an install whose last start stored no version keeps the current one, without an update") {
        engine.configure();
        APMMeasurement::sharedInstance()->persistedConfig()->setLastAppVersion(std::nullopt);
        engine.restart();
        bundle.setVersion("3.0");
        engine.configure();
        CHECK(eventsNamed(engine, "_au").size() == updates);
        CHECK(APMMeasurement::sharedInstance()->persistedConfig()->lastAppVersion() == "3.0");
    }
}

TEST_CASE("operations logged before the engine started are held, not lost") {
    EngineFixture engine;
    // The facade holds what reaches it before the engine starts.
    APMAnalytics::logInternalEventWithOrigin("auto", "_early", {{"n", 1}});
    APMAnalytics::setInternalUserProperty(platform::Value("yes"), "_early_prop", "auto");
    engine.settle();
    CHECK_FALSE(APMAnalytics::isOperationQueueStarted());

    engine.configure();
    CHECK(APMAnalytics::isOperationQueueStarted());
    // Started first, then the held operations in their order.
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "_early"});
    const auto properties = engine.userAttributes();
    REQUIRE(properties.size() == 1);
    CHECK(properties[0].name() == "_early_prop");
}

TEST_CASE("user properties are stored and travel in the header of later events") {
    EngineFixture engine;
    engine.configure();
    VEZArurerudo::setUserPropertyString("metric", "unit_system");
    VEZArurerudo::logEventWithName("after_property");
    engine.settle();
    auto properties = engine.userAttributes();
    REQUIRE(properties.size() == 1);
    CHECK(properties[0].origin() == "app");
    CHECK(properties[0].value() == APMValue("metric"));
    const auto header = engine.metadataOf(eventsNamed(engine, "after_property")[0]);
    const auto inHeader = NANOGetArray<APMPBUserAttribute>(header, tag(3));
    REQUIRE(inHeader.size() == 1);
    CHECK(NANOGetString(inHeader[0], 1) == "unit_system");
    CHECK(NANOGetString(inHeader[0], 2) == "metric");

    SUBCASE("no value removes it") {
        VEZArurerudo::setUserPropertyString(std::nullopt, "unit_system");
        engine.settle();
        CHECK(engine.userAttributes().empty());
    }
    SUBCASE("bad names and long values are recorded as _err") {
        VEZArurerudo::setUserPropertyString("x", "rozeda_thing");
        VEZArurerudo::setUserPropertyString("x", "has space");
        VEZArurerudo::setUserPropertyString(std::string(37, 'v'), "long_value");
        engine.settle();
        const auto errors = eventsNamed(engine, "_err");
        REQUIRE(errors.size() == 3);
        CHECK(intParameter(errors[0].event(), "_err") == 15);
        CHECK(intParameter(errors[1].event(), "_err") == 6);
        CHECK(intParameter(errors[2].event(), "_err") == 7);
        CHECK(intParameter(errors[2].event(), "_el") == 37);
        CHECK(engine.userAttributes().size() == 1);
    }
    SUBCASE("the user ID is the internal property _id") {
        VEZArurerudo::setUserID("user-42");
        engine.settle();
        properties = engine.userAttributes();
        REQUIRE(properties.size() == 2);
        CHECK(properties[0].name() == "_id");
    }
}

TEST_CASE("with collection disabled nothing is written, also after a restart") {
    EngineFixture engine;
    engine.configure();
    VEZArurerudo::setAnalyticsCollectionEnabled(false);
    VEZArurerudo::logEventWithName("while_disabled");
    VEZArurerudo::setUserPropertyString("v", "some_property");
    engine.settle();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
    CHECK(engine.userAttributes().empty());
    CHECK(engine.monitor().hasCode(kAPMEventNotWrittenDisabledCode));

    engine.restart();
    engine.configure();
    VEZArurerudo::logEventWithName("still_disabled");
    engine.settle();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});

    VEZArurerudo::setAnalyticsCollectionEnabled(true);
    VEZArurerudo::logEventWithName("enabled_again");
    engine.settle();
    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "enabled_again"});
}
