// Sessions: expiry, starts, engagement, the engagement timer and
// resignation, driven through the application's lifecycle.
#include <doctest/doctest.h>

#include <cmath>

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/reporter_test_support.h"

using namespace reporter_test;

namespace {

constexpr const char* kEfficient = "measurement.collection.efficient_engagement_reporting_enabled";
constexpr const char* kRedundantRemoval = "measurement.collection.redundant_engagement_removal_enabled";
constexpr const char* kAppBackgrounded = "measurement.lifecycle.app_backgrounded_tracking";
constexpr const char* kEngagementInterval = "measurement.session.event_user_engagement_interval";

APMScreenRef screenNamed(const std::string& name, std::int64_t id) {
    return std::make_shared<APMScreen>(name, name + "Controller", id);
}

std::optional<std::int64_t> propertyNumber(const PropertyChange& change) {
    if (!change.value) return std::nullopt;
    return change.value->intValue();
}

}  // namespace

TEST_CASE("a session starts at the first activation and again only once the timeout has passed") {
    ReporterFixture f;
    f.sessions->setReportingEnabled(true);
    CHECK(f.sessions->isSessionExpired());  // nothing stored: the last activity reads as 1970
    f.activate();

    auto starts = f.host->eventsNamed("_s");
    REQUIRE(starts.size() == 1);
    CHECK(starts[0].origin == "auto");
    CHECK(starts[0].integer("_sno") == 1);
    CHECK(starts[0].integer("_sid") == static_cast<std::int64_t>(f.time.now()));
    // Cleared, then set to the new session, before "_s" is logged.
    const auto properties = f.host->properties();
    REQUIRE(properties.size() == 4);
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> expected = {
        {"_sid", std::nullopt}, {"_sno", std::nullopt},
        {"_sid", static_cast<std::int64_t>(f.time.now())}, {"_sno", 1}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        CHECK(properties[i].name == expected[i].first);
        CHECK(properties[i].origin == "auto");
        CHECK(propertyNumber(properties[i]) == expected[i].second);
    }
    CHECK(f.persisted->sessionNumber() == 1);
    CHECK(f.persisted->lastSessionActivityClockTime() == f.time.now());

    SUBCASE("back within the timeout: no new session, engagement measured from the activation") {
        f.advance(20);
        f.enterBackground();
        f.advance(1700);
        f.host->clear();
        f.activate();
        CHECK(f.host->eventsNamed("_s").empty());
        f.advance(5);
        f.sessions->logUserEngagementEvent();
        REQUIRE(f.host->eventsNamed("_e").size() == 1);
        CHECK(f.host->eventsNamed("_e")[0].integer("_et") == 5000);
    }
    SUBCASE("back after 31 minutes: the second session") {
        f.advance(20);
        f.enterBackground();  // the resignation records the activity
        f.advance(31 * 60);
        f.host->clear();
        f.activate();
        starts = f.host->eventsNamed("_s");
        REQUIRE(starts.size() == 1);
        CHECK(starts[0].integer("_sno") == 2);
        CHECK(starts[0].integer("_sid") == static_cast<std::int64_t>(f.time.now()));
    }
}

TEST_CASE("the session timeout: exactly the timeout is current, a second more has expired") {
    ReporterFixture f;
    struct Case {
        double timeout;
        double sinceActivity;
        bool expired;
    };
    const Case cases[] = {
        {1800, 0, false},    {1800, 1800, false}, {1800, 1801, true}, {1800, -1800, false},
        {1800, -1801, true}, {0, 0, false},       {0, 1, true},       {86400, 86401, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.timeout);
        CAPTURE(c.sinceActivity);
        f.sessions->setTimeoutSessionInterval(c.timeout);
        f.persisted->setLastSessionActivityClockTime(f.time.now() - c.sinceActivity);
        CHECK(f.sessions->isSessionExpired() == c.expired);
        // Extending changes the activity only within a current session.
        CHECK(f.sessions->extendSession() == !c.expired);
        CHECK(f.persisted->lastSessionActivityClockTime() == (c.expired ? f.time.now() - c.sinceActivity : f.time.now()));
    }

    SUBCASE("the default comes from the server flag, a negative timeout becomes 0") {
        ReporterFixture flagged(Settings{{"measurement.session.default_timeout_interval", "60000"}});
        CHECK(flagged.sessions->timeoutSessionInterval() == 60);
        flagged.sessions->setTimeoutSessionInterval(-5);
        CHECK(flagged.sessions->timeoutSessionInterval() == 0);
        CHECK(flagged.monitor.count(kAPMNegativeSessionTimeoutCode) == 1);
        flagged.sessions->setTimeoutSessionInterval(std::nan(""));
        CHECK(flagged.sessions->timeoutSessionInterval() == 0);
    }
    SUBCASE("deciding and starting are one step: a second start finds the session current") {
        f.sessions->setTimeoutSessionInterval(1800);
        f.persisted->setSessionNumber(41);
        f.persisted->setLastSessionActivityClockTime(0);
        const auto first = f.sessions->startNewSessionIfExpired();
        REQUIRE(first);
        CHECK(first->sessionNumber == 42);
        CHECK(first->sessionID == static_cast<std::int64_t>(f.time.now()));
        CHECK_FALSE(f.sessions->startNewSessionIfExpired());
        CHECK(f.persisted->sessionNumber() == 42);
    }
}

TEST_CASE("session properties and the worker queue's session start event") {
    ReporterFixture f;
    const auto id = f.sessions->sessionIDPropertyWithTimestamp(1700000123.75);
    CHECK(id.name() == "_sid");
    CHECK(id.origin() == "auto");
    CHECK(id.value().int64Value() == 1700000123);
    CHECK(id.lastSetTimestamp() == 1700000123.75);
    f.persisted->setSessionNumber(7);
    const auto number = f.sessions->sessionNumberProperty();
    CHECK(number.name() == "_sno");
    CHECK(number.value().int64Value() == 7);
    CHECK(number.lastSetTimestamp() == f.time.now());

    const platform::Value::Dictionary screen{{"_si", 9}, {"_sc", "HomePage"}, {"_sn", "Home"}};
    struct Case {
        bool background;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {true, {"_aib", "_o", "_sid", "_sno"}},
        {false, {"_o", "_sc", "_si", "_sid", "_sn", "_sno"}},
    };
    for (const auto& c : cases) {
        const auto event = APMSessionStartEvent(3, c.background, 1700000500.9, screen);
        CHECK(event.name() == "_s");
        CHECK(event.origin() == "auto");
        CHECK_FALSE(event.isPublic());
        CHECK(event.timestamp() == 1700000500.9);
        CHECK(event.previousTimestamp() == 0);
        std::vector<std::string> names;
        for (const auto& [name, value] : event.parameters()) names.push_back(name);
        CHECK(names == c.names);
        CHECK(event.parameter("_sid")->int64Value() == 1700000500);
        CHECK(event.parameter("_sno")->int64Value() == 3);
    }
}

TEST_CASE("engagement: the timer, the hour cap, screen changes and the inactive application") {
    SUBCASE("the timer posts its notification, logs the time since activation and re-arms") {
        ReporterFixture f;
        int fired = 0;
        auto token = platform::NotificationCenter::defaultCenter().addObserver(
            kAPMSessionReporterEngagementTimerDidFire, nullptr, [&](const platform::Notification&) { ++fired; });
        f.sessions->setReportingEnabled(true);
        f.activate();
        const double activatedAt = f.time.now();
        CHECK(f.sessions->userEngagementTimer().scheduledTimestamp() == activatedAt + 3600);
        f.advance(3600);
        CHECK(fired == 1);
        const auto engaged = f.host->eventsNamed("_e");
        REQUIRE(engaged.size() == 1);
        CHECK(engaged[0].integer("_et") == 3600000);
        CHECK(engaged[0].origin == "auto");
        CHECK(f.sessions->userEngagementTimer().scheduledTimestamp() == activatedAt + 7200);
        CHECK(f.persisted->lastSessionActivityClockTime() == activatedAt + 3600);
    }
    SUBCASE("engagement longer than an hour is reported as an hour") {
        ReporterFixture f(Settings{{kEngagementInterval, "86400"}});
        f.sessions->setReportingEnabled(true);
        f.activate();
        f.advance(5000);
        CHECK(f.host->eventsNamed("_e").empty());
        CHECK(f.sessions->logEngagementEventAndReturnTimeWithScreen(nullptr, false) == 3600000);
        CHECK(f.host->eventsNamed("_e")[0].integer("_et") == 3600000);
    }
    SUBCASE("an interval of 0 arms no timer, which would otherwise fire for ever") {
        ReporterFixture f(Settings{{kEngagementInterval, "0"}});
        f.sessions->setReportingEnabled(true);
        f.activate();
        CHECK_FALSE(f.sessions->userEngagementTimer().scheduledTimestamp());
        f.advance(10);
        CHECK(f.host->eventsNamed("_e").empty());
    }
    SUBCASE("with reporting off the timer logs nothing but records the activity and re-arms") {
        ReporterFixture f;
        f.activate();
        f.advance(3600);
        CHECK(f.host->eventsNamed("_e").empty());
        CHECK(f.host->eventsNamed("_s").empty());
        CHECK(f.persisted->lastSessionActivityClockTime() == f.time.now());
        CHECK(f.sessions->userEngagementTimer().scheduledTimestamp() == f.time.now() + 3600);
        f.sessions->setReportingEnabled(false);
        CHECK_FALSE(f.sessions->userEngagementTimer().scheduledTimestamp());
        f.sessions->setReportingEnabled(true);  // active: armed again
        CHECK(f.sessions->userEngagementTimer().scheduledTimestamp() == f.time.now() + 3600);
    }
    SUBCASE("a screen change credits the previous screen, after at least a second") {
        struct Case {
            Settings settings;
            double engaged;
            bool logged;
            bool redundantMark;
        };
        const Case cases[] = {
            {{}, 0.5, false, false},
            {{}, 1.0, true, false},
            {{{kEfficient, "true"}}, 2.0, true, true},
            {{{kEfficient, "true"}, {kRedundantRemoval, "true"}}, 2.0, false, false},
            {{{kRedundantRemoval, "true"}}, 2.0, true, false},
        };
        for (const auto& c : cases) {
            CAPTURE(c.engaged);
            ReporterFixture f(c.settings);
            f.sessions->setReportingEnabled(true);
            f.activate();
            f.advance(c.engaged);
            f.sessions->handleScreenDidChangeFromScreen(screenNamed("Home", 77), screenNamed("Detail", 78));
            const auto engaged = f.host->eventsNamed("_e");
            REQUIRE(engaged.size() == (c.logged ? 1u : 0u));
            if (!c.logged) continue;
            CHECK(engaged[0].integer("_et") == static_cast<std::int64_t>(c.engaged * 1000));
            CHECK(engaged[0].integer("_si") == 77);
            CHECK(engaged[0].text("_sn") == "Home");
            CHECK(engaged[0].text("_sc") == "HomeController");
            CHECK(engaged[0].has("_fr") == c.redundantMark);
        }
    }
    SUBCASE("nothing is logged while the application is not active") {
        ReporterFixture f(Settings{{kAppBackgrounded, "true"}});
        f.sessions->setReportingEnabled(true);
        CHECK(f.sessions->logEngagementEventAndReturnTimeWithScreen(nullptr, false) == 0);
        f.sessions->logSessionStartEvent();
        f.sessions->logAppBackgroundEvent(5000);
        CHECK(f.host->events().empty());
        CHECK(f.monitor.codes() == std::vector<long>{kAPMEngagementAppInactiveCode, kAPMSessionStartAppInactiveCode,
                                                     kAPMAppBackgroundedAppInactiveCode});
        CHECK(f.persisted->sessionNumber() == 0);
    }
    SUBCASE("the app-backgrounded event carries its time from one millisecond on") {
        ReporterFixture f(Settings{{kAppBackgrounded, "true"}, {kEfficient, "true"}});
        f.sessions->setReportingEnabled(true);
        f.activate();
        f.host->clear();
        f.sessions->logAppBackgroundEvent(1);
        f.sessions->logAppBackgroundEvent(0);
        const auto backgrounded = f.host->eventsNamed("_ab");
        REQUIRE(backgrounded.size() == 2);
        CHECK(backgrounded[0].integer("_et") == 1);
        CHECK_FALSE(backgrounded[1].has("_et"));
    }
}

TEST_CASE("resignation: engagement, the app-backgrounded event and the timer") {
    struct Case {
        Settings settings;
        std::vector<std::string> events;
        bool redundantMark;
        std::optional<std::int64_t> backgroundedTime;
    };
    const Case cases[] = {
        {{}, {"_e"}, false, std::nullopt},
        {{{kAppBackgrounded, "true"}}, {"_e", "_ab"}, false, std::nullopt},
        {{{kAppBackgrounded, "true"}, {kEfficient, "true"}}, {"_e", "_ab"}, true, 12000},
        {{{kAppBackgrounded, "true"}, {kRedundantRemoval, "true"}}, {"_ab"}, false, std::nullopt},
        {{{kAppBackgrounded, "true"}, {kRedundantRemoval, "true"}, {kEfficient, "true"}}, {"_ab"}, false, 12000},
        {{{kRedundantRemoval, "true"}, {kEfficient, "true"}}, {"_e"}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.events.size());
        ReporterFixture f(c.settings);
        f.sessions->setReportingEnabled(true);
        f.activate();
        f.host->clear();
        f.advance(12);
        f.resign();
        CHECK(f.host->eventNames() == c.events);
        for (const auto& event : f.host->eventsNamed("_e")) {
            CHECK(event.integer("_et") == 12000);
            CHECK(event.has("_fr") == c.redundantMark);
        }
        for (const auto& event : f.host->eventsNamed("_ab")) {
            CHECK(event.has("_et") == c.backgroundedTime.has_value());
            if (c.backgroundedTime) CHECK(event.integer("_et") == *c.backgroundedTime);
        }
        CHECK_FALSE(f.sessions->userEngagementTimer().scheduledTimestamp());
    }
}
