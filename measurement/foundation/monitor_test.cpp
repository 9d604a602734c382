// Tests of the monitor: levels, console lines and sampling.
#include <doctest/doctest.h>

#include <algorithm>
#include <thread>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/process_info.h"

using namespace measurement;
using platform::Value;

namespace {
struct PrintedLines {
    std::vector<std::pair<int, std::string>> lines;
    void attach(APMMonitor& monitor) {
        monitor.setConsoleWriter([this](int level, const std::string& line) { lines.emplace_back(level, line); });
    }
};
}  // namespace

TEST_CASE("monitor entries carry level, code, message and contexts") {
    APMMonitor monitor;
    APMMonitorCapture capture(monitor);
    PrintedLines printed;
    printed.attach(monitor);

    monitor.logWithLevel(1, 23223, "Event editing failed. Event name", Value("kuvo_calculate"));
    monitor.logWithLevel(7, 2002, "Measurement timer scheduled to fire in approx. (s)", Value(15.5));
    monitor.logWithLevel(3, 12, "Two", Value(), Value(3));
    monitor.logWithLevel(3, 13, "Three", Value("a"), Value(), Value(true));
    monitor.logWithLevel(6, 14, "List", std::vector<Value>{Value(1), Value("b")});

    auto entries = capture.entries();
    REQUIRE(entries.size() == 5);
    CHECK(entries[0].level == 1);
    CHECK(entries[0].messageCode == 23223);
    CHECK(entries[0].contexts == std::vector<Value>{Value("kuvo_calculate")});
    CHECK(entries[2].contexts == std::vector<Value>{Value(), Value(3)});
    CHECK(entries[3].contexts.size() == 3);
    CHECK(entries[3].contexts[1].isNull());
    CHECK(capture.codes() == std::vector<long>{23223, 2002, 12, 13, 14});

    SUBCASE("console lines carry the tag and the six-digit code") {
        // The capture mutes the console; without it the lines are printed.
        APMMonitor loud;
        PrintedLines lines;
        lines.attach(loud);
        loud.logWithLevel(1, 23223, "Event editing failed. Event name", Value("kuvo_calculate"));
        loud.logWithLevel(3, 13, "Three", Value("a"), Value(), Value(true));
        REQUIRE(lines.lines.size() == 2);
        CHECK(lines.lines[0].second ==
              "<DozUrerizarori>[I-ACS023223] [ERROR] Event editing failed. Event name: kuvo_calculate");
        CHECK(lines.lines[1].second == "<DozUrerizarori>[I-ACS000013] [WARNING] Three: a, (null), YES");
        CHECK(printed.lines.empty());
    }
    SUBCASE("what a context holds from outside is printed escaped, on the entry's one line") {
        APMMonitor loud;
        PrintedLines lines;
        lines.attach(loud);
        // A table name read from a damaged file.
        loud.logWithLevel(3, 34029, "Rows carried. Rows, rows that did not read", Value(3),
                          Value(std::string("raw_\xff\xfe events\n\x1b[2J") + "\xC3\xA4"));
        REQUIRE(lines.lines.size() == 1);
        CHECK(lines.lines[0].second == "<DozUrerizarori>[I-ACS034029] [WARNING] Rows carried. Rows, rows that did not "
                                       "read: 3, raw_\\xff\\xfe events\\n\\x1b[2J\xC3\xA4");
    }
}

TEST_CASE("which levels are printed and which are sampled") {
    platform::dispatch::ManualTime time;
    APMMonitor monitor;
    PrintedLines printed;
    printed.attach(monitor);
    for (int level = 0; level <= 9; ++level) monitor.logWithLevel(level, 100 + level, "level");

    SUBCASE("normally errors, warnings and notices are printed, silent levels never") {
        std::vector<int> levels;
        for (const auto& [level, line] : printed.lines) levels.push_back(level);
        CHECK(levels == std::vector<int>{0, 1, 3, 4, 6});
        CHECK(printed.lines[4].second.find("[NOTICE]") != std::string::npos);
    }
    SUBCASE("debug mode or verbose logging also prints debug messages") {
        printed.lines.clear();
        monitor.setDebugModeEnabled(true);
        monitor.logWithLevel(7, 1, "debug");
        monitor.logWithLevel(8, 2, "verbose");
        monitor.logWithLevel(2, 3, "silent");
        monitor.setDebugModeEnabled(false);
        monitor.setVerboseLoggingEnabled(true);
        monitor.logWithLevel(8, 4, "verbose again");
        REQUIRE(printed.lines.size() == 3);
        CHECK(printed.lines[0].second.find("[DEBUG] debug") != std::string::npos);
        CHECK(printed.lines[2].second.find("I-ACS000004") != std::string::npos);
    }
    SUBCASE("levels 1, 2, 4, 5 and 9 are sampled into the health record once a period has passed") {
        const double now = time.now();
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, now - 10).empty());
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(0, 0).empty());
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, now - 60) == "101:1:1,102:2:1,104:4:1,105:5:1,109:9:1");
        // Until the bundle carrying it is stored, the same sample comes again.
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, now - 60) == "101:1:1,102:2:1,104:4:1,105:5:1,109:9:1");
        // Once it is, a new collection starts; entries logged after the
        // sample was taken stay for the next one.
        monitor.logWithLevel(4, 104, "after the sample");
        monitor.monitoringDataDispatched();
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0) == "104:4:1");
        monitor.monitoringDataDispatched();
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0).empty());
        monitor.logWithLevel(4, 7, "again");
        monitor.logWithLevel(4, 7, "again");
        // A clock set back by more than a period counts as due.
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, now + 3600) == "7:4:2");
        monitor.logWithLevel(1, 8, "dropped");
        monitor.clearMonitoringData();
        CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0).empty());
    }
    SUBCASE("the health record stays small") {
        monitor.clearMonitoringData();
        for (int code = 0; code < 150; ++code) monitor.logWithLevel(1, code, "many");
        auto sample = monitor.monitoringDataForDispatchWithSamplePeriod(1, 0);
        CHECK(std::count(sample.begin(), sample.end(), ',') == 100);
        CHECK(sample.rfind("-1:1:50", 0) == 0);
    }
}

TEST_CASE("debug mode and verbose logging come from the launch arguments") {
    struct Reset {
        ~Reset() { platform::ProcessInfo::reset(); }
    } reset;

    platform::ProcessInfo::setArguments({"velmora"});
    CHECK_FALSE(APMMonitor().isDebugModeEnabled());
    CHECK_FALSE(APMMonitor().isVerboseLoggingEnabled());

    platform::ProcessInfo::setArguments({"velmora", "-VEZArurerudoDebugEnabled"});
    CHECK(APMMonitor().isDebugModeEnabled());
    CHECK_FALSE(APMMonitor().isVerboseLoggingEnabled());

    platform::ProcessInfo::setArguments({"velmora", "-VEZArurerudoVerboseLoggingEnabled"});
    CHECK(APMMonitor().isVerboseLoggingEnabled());

    // The counterpart switches win.
    platform::ProcessInfo::setArguments({"velmora", "-VEZArurerudoDebugEnabled", "-VEZArurerudoDebugDisabled",
                                         "-VEZArurerudoVerboseLoggingEnabled", "-VEZArurerudoVerboseLoggingDisabled"});
    APMMonitor monitor;
    CHECK_FALSE(monitor.isDebugModeEnabled());
    CHECK_FALSE(monitor.isVerboseLoggingEnabled());
    platform::ProcessInfo::setArguments({"velmora", "-VEZArurerudoDebugEnabled"});
    monitor.reloadLaunchArguments();
    CHECK(monitor.isDebugModeEnabled());
}

TEST_CASE("the monitor takes entries from several threads at once") {
    APMMonitor monitor;
    APMMonitorCapture capture(monitor);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&monitor, t] {
            for (int i = 0; i < 250; ++i) monitor.logWithLevel(4, t, "from a thread", Value(i));
        });
    }
    for (auto& thread : threads) thread.join();
    CHECK(capture.entries().size() == 1000);
    for (int t = 0; t < 4; ++t) CHECK(capture.count(t) == 250);
    CHECK(monitor.monitoringDataForDispatchWithSamplePeriod(1, 0) == "0:4:250,1:4:250,2:4:250,3:4:250");
}

TEST_CASE("measurement errors carry their code, description and monitor context") {
    auto plain = apm_errorWithCode(3, "Transaction failed");
    CHECK(plain.domain() == kAPMErrorDomain);
    CHECK(plain.code() == 3);
    CHECK(plain.localizedDescription() == "Transaction failed");
    CHECK(plain.monitorContext().isNull());

    auto withContext = apm_errorWithCode(1, "Received empty path", Value("raw_events"));
    CHECK(withContext.userInfo().at("APMMonitorContext") == Value("raw_events"));
    CHECK(withContext.description().find("Code=1") != std::string::npos);

    std::optional<APMError> error;
    APMSetError(nullptr, 5, "nowhere to go");
    APMSetError(&error, 5, "stored");
    REQUIRE(error);
    CHECK(error->code() == 5);

    error.reset();
    int* missing = nullptr;
    int present = 1;
    CHECK_FALSE(APMCheckObject(missing, &error, 7, "no object"));
    REQUIRE(error);
    CHECK(error->code() == 7);
    error.reset();
    CHECK(APMCheckObject(&present, &error, 7, "an object"));
    CHECK(APMCheckObject(std::optional<int>(0), &error, 7, "an optional holding 0 is present"));
    CHECK_FALSE(error);
    CHECK_FALSE(APMCheckNonZero(0, &error, 8, "nothing counted"));
    CHECK(error->code() == 8);
    CHECK(APMCheckNonZero(-1, nullptr, 8, "negative counts are not zero"));
}
