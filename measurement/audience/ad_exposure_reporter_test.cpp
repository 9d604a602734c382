// Ad exposure: begins and ends, nesting, overlaps, cuts and the ad-unit
// limit, on manual time.
#include <doctest/doctest.h>

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/reporter_test_support.h"

using namespace reporter_test;

namespace {

// One step of a script: begin ("+id"), end ("-id") or wait ("wait").
struct Step {
    std::string action;
    double seconds = 0;
};

void run(ReporterFixture& f, const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        if (step.action == "wait") {
            f.advance(step.seconds);
        } else if (step.action[0] == '+') {
            f.ads->beginAdUnitExposure(step.action.substr(1));
        } else {
            f.ads->endAdUnitExposure(step.action.substr(1));
        }
        f.settle();
    }
}

// "_xu:unit:ms" and "_xa:ms" for each event logged.
std::vector<std::string> summary(const RecordingHost& host) {
    std::vector<std::string> lines;
    for (const auto& event : host.events()) {
        CHECK(event.origin == "am");
        std::string line = event.name;
        if (event.has("_ai")) line += ":" + event.text("_ai");
        line += ":" + std::to_string(event.integer("_xt"));
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST_CASE("ad-unit exposures: what each script of begins, ends and waits logs") {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> logged;
        std::vector<long> codes;
    };
    const Case cases[] = {
        {"0.9 s is too short", {{"+a"}, {"wait", 0.9}, {"-a"}}, {}, {1009, 1006}},
        {"1.0 s is reported", {{"+a"}, {"wait", 1.0}, {"-a"}}, {"_xu:a:1000", "_xa:1000"}, {}},
        {"nested begins need as many ends",
         {{"+a"}, {"wait", 2}, {"+a"}, {"wait", 3}, {"-a"}, {"wait", 4}, {"-a"}},
         {"_xu:a:9000", "_xa:9000"},
         {}},
        {"overlapping units: the last to end closes any-ad exposure",
         {{"+a"}, {"wait", 2}, {"+b"}, {"wait", 3}, {"-a"}, {"wait", 4}, {"-b"}},
         {"_xu:a:5000", "_xu:b:7000", "_xa:9000"},
         {}},
        {"an end without a begin", {{"-a"}}, {}, {1004}},
        {"empty identifiers are refused", {{"+"}, {"-"}}, {}, {1000, 1003}},
        {"a unit that ended is unknown afterwards",
         {{"+a"}, {"wait", 1.5}, {"-a"}, {"-a"}},
         {"_xu:a:1500", "_xa:1500"},
         {1004}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        ReporterFixture f;
        f.activate();
        f.monitor.clear();
        run(f, c.steps);
        CHECK(summary(*f.host) == c.logged);
        CHECK(f.monitor.codes() == c.codes);
        CHECK(f.ads->activeAdUnits().empty());
    }
}

TEST_CASE("cuts: screen changes, the engagement timer, resignation and activation") {
    ReporterFixture f;
    f.activate();
    const auto home = std::make_shared<APMScreen>("Home", "HomePage", 11);
    const auto detail = std::make_shared<APMScreen>("Detail", "DetailPage", 12);
    f.ads->beginAdUnitExposure("banner");
    f.settle();
    f.advance(4);

    SUBCASE("a screen change credits the previous screen and keeps the unit active") {
        f.ads->handleScreenDidChangeFromScreen(home, detail);
        const auto events = f.host->events();
        REQUIRE(events.size() == 2);
        for (const auto& event : events) {
            CHECK(event.integer("_xt") == 4000);
            CHECK(event.integer("_si") == 11);
            CHECK(event.text("_sn") == "Home");
            CHECK(event.text("_sc") == "HomePage");
        }
        CHECK(events[0].name == "_xu");
        CHECK(events[0].text("_ai") == "banner");
        CHECK(events[1].name == "_xa");
        CHECK(f.ads->activeAdUnits() == std::map<std::string, int>{{"banner", 1}});
        // The periods restarted at the cut.
        f.advance(2);
        f.ads->endAdUnitExposure("banner");
        CHECK(summary(*f.host) ==
              std::vector<std::string>{"_xu:banner:4000", "_xa:4000", "_xu:banner:2000", "_xa:2000"});
    }
    SUBCASE("no previous screen: no cut") {
        f.ads->handleScreenDidChangeFromScreen(nullptr, detail);
        CHECK(f.host->events().empty());
    }
    SUBCASE("the engagement timer cuts with the current screen") {
        platform::NotificationCenter::defaultCenter().post(kAPMSessionReporterEngagementTimerDidFire);
        CHECK(summary(*f.host) == std::vector<std::string>{"_xu:banner:4000", "_xa:4000"});
    }
    SUBCASE("resignation cuts with the screen given; time inactive is not counted") {
        f.ads->handleAppWillResignActiveWithScreen(detail);
        CHECK(f.host->events()[0].integer("_si") == 12);
        f.enterBackground();
        f.advance(600);
        f.activate();
        f.advance(3);
        f.ads->endAdUnitExposure("banner");
        CHECK(summary(*f.host) ==
              std::vector<std::string>{"_xu:banner:4000", "_xa:4000", "_xu:banner:3000", "_xa:3000"});
    }
    SUBCASE("events ended while inactive are not logged, the unit still ends") {
        f.enterBackground();  // the resignation cut the open periods
        CHECK(summary(*f.host) == std::vector<std::string>{"_xu:banner:4000", "_xa:4000"});
        f.host->clear();
        f.advance(5);
        f.ads->endAdUnitExposure("banner");
        CHECK(f.host->events().empty());
        CHECK(f.monitor.hasCode(kAPMAdUnitExposureInactiveCode));
        CHECK(f.monitor.hasCode(kAPMAdExposureInactiveCode));
        CHECK(f.ads->activeAdUnits().empty());
    }
    SUBCASE("reporting off: nothing logged, periods still end") {
        f.ads->setReportingEnabled(false);
        f.ads->endAdUnitExposure("banner");
        CHECK(f.host->events().empty());
        CHECK(f.monitor.hasCode(kAPMAdUnitExposureDisabledCode));
        CHECK(f.monitor.hasCode(kAPMAdExposureDisabledCode));
    }
}

TEST_CASE("the limit of 100 active ad units holds new units off only") {
    ReporterFixture f;
    f.activate();
    for (int i = 0; i < 100; ++i) f.ads->beginAdUnitExposure("unit" + std::to_string(i));
    f.ads->beginAdUnitExposure("unit100");
    f.settle();
    CHECK(f.monitor.count(kAPMAdUnitLimitCode) == 1);
    CHECK(f.ads->activeAdUnits().size() == 100);

    // A nested begin of an active unit still counts, so its two ends balance.
    f.ads->beginAdUnitExposure("unit7");
    f.settle();
    CHECK(f.monitor.count(kAPMAdUnitLimitCode) == 1);
    CHECK(f.ads->activeAdUnits().at("unit7") == 2);
    f.advance(2);
    f.ads->endAdUnitExposure("unit7");
    CHECK(f.host->events().empty());
    f.ads->endAdUnitExposure("unit7");
    CHECK(summary(*f.host) == std::vector<std::string>{"_xu:unit7:2000"});

    // The refused unit is unknown when it ends.
    f.ads->endAdUnitExposure("unit100");
    CHECK(f.monitor.count(kAPMAdUnknownUnitCode) == 1);
}
