// Tests of the engine's grouped event writes: one commit for waiting events, failures alone, nothing lost to a kill.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/store/database.h"
#include "measurement/store/sqlite_store.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "testsupport/child_process.h"
#include "testsupport/test_environment.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using measurement::testing::EngineFixture;

namespace {

// A second connection's answer to a query of one number: it sees only what
// the engine has committed.
std::int64_t committedNumber(const std::string& path, const std::string& query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK);
    REQUIRE(sqlite3_step(statement) == SQLITE_ROW);
    const std::int64_t number = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return number;
}

std::vector<std::string> committedNames(const std::string& path, const std::string& query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    REQUIRE(sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK);
    std::vector<std::string> names;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

void execute(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(path.c_str(), &db) == SQLITE_OK);
    CHECK(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK);
    sqlite3_close(db);
}

// Every event write the engine reports while it lives.
struct Heard {
    std::string name;
    std::optional<std::string> failure;
    std::int64_t committed;  // stored events of that name a second connection saw then
};

class WriteLog {
public:
    explicit WriteLog(std::string path)
        : path_(std::move(path)), identifier_(APMAnalytics::addEventWriteListener(
                                     [this](const APMEvent& event, const std::optional<std::string>& failure) {
                                         if (event.name().front() == '_') return;
                                         heard.push_back({event.name(), failure,
                                                          committedNumber(path_, "SELECT COUNT(*) FROM raw_events "
                                                                                 "WHERE name = '" + event.name() + "'")});
                                     })) {}
    ~WriteLog() { APMAnalytics::removeEventWriteListener(identifier_); }

    std::vector<Heard> heard;

private:
    std::string path_;
    std::uint64_t identifier_;
};

std::string databasePath() { return APMMeasurement::sharedInstance()->database()->databasePath(); }

constexpr const char* kChildFolder = "VELMORA_KILL_CHILD_FOLDER";
constexpr const char* kChildSignal = "VELMORA_KILL_CHILD_SIGNAL";
constexpr const char* kChildAfter = "VELMORA_KILL_CHILD_AFTER";
constexpr const char* kChildCaseName = "the child of the kill test logs events until it is killed";

}  // namespace

TEST_CASE("events waiting on the worker queue are committed together, and their writers told once committed") {
    EngineFixture engine;
    engine.configure();
    const std::string path = databasePath();
    const auto before = engine.dailyCounts();
    constexpr int kEvents = 40;
    WriteLog log(path);
    for (int i = 0; i < kEvents; ++i) VEZArurerudo::logEventWithName("grouped_event", {{"index", i}});
    engine.settle();

    REQUIRE(log.heard.size() == kEvents);
    for (const auto& heard : log.heard) {
        CHECK(heard.name == "grouped_event");
        CHECK_FALSE(heard.failure);
    }
    // Waiting together, they were committed together: the first writer told
    // already finds every one of them stored.
    CHECK(log.heard.front().committed == kEvents);
    std::vector<std::int64_t> indexes;
    for (const auto& raw : engine.rawEvents()) {
        if (raw.event().name() == "grouped_event") indexes.push_back(testing::intParameter(raw.event(), "index"));
    }
    std::vector<std::int64_t> expected(kEvents);
    for (int i = 0; i < kEvents; ++i) expected[static_cast<std::size_t>(i)] = i;
    CHECK(indexes == expected);
    const auto after = engine.dailyCounts();
    CHECK(after.allEventsCount() - before.allEventsCount() == kEvents);
    CHECK(after.publicEventsCount() - before.publicEventsCount() == kEvents);
}

TEST_CASE("each stored event's header holds the user properties of its moment, group after group") {
    EngineFixture engine;
    engine.configure();
    // Each: the value of "plan" set before the event (none removes it), and
    // the event's name.
    const std::vector<std::pair<std::optional<std::string>, std::string>> steps = {
        {std::nullopt, "before_plan"}, {"gold", "with_gold"}, {"gold", "still_gold"},
        {"silver", "with_silver"},     {std::nullopt, "after_plan"},
    };
    for (const auto& [plan, name] : steps) {
        VEZArurerudo::setUserPropertyString(plan, "plan");
        engine.settle();
        VEZArurerudo::logEventWithName(name, {});
        engine.settle();
    }
    auto database = APMMeasurement::sharedInstance()->database();
    std::map<std::string, std::optional<std::string>> planOf;
    for (const auto& raw : engine.rawEvents()) {
        std::optional<APMPBMeasurementBundle> header;
        APMMeasurement::sharedInstance()->scheduler().workerQueue()->sync(
            [&] { header = database->queryRawEventsMetadataWithFingerprint(raw.metadataFingerprint(), nullptr); });
        REQUIRE(header);
        std::optional<std::string> value;
        for (const auto& property : NANOGetArray<APMPBUserAttribute>(*header, bundleFieldIndex(bundle_tag::kUserAttributes))) {
            if (NANOGetString(property, user_attribute_field::kName) == "plan") {
                value = NANOGetString(property, user_attribute_field::kStringValue);
            }
        }
        planOf[raw.event().name()] = value;
    }
    for (const auto& step : steps) {
        const std::string& name = step.second;
        CAPTURE(name);
        const auto& plan = step.first;
        REQUIRE(planOf.count(name) == 1);
        CHECK(planOf[name] == plan);
    }
}

TEST_CASE("an event the database refuses fails alone: the others of its group are stored and counted once") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    EngineFixture engine;
    engine.configure();
    const std::string path = databasePath();
    execute(path, "CREATE TRIGGER refuse BEFORE INSERT ON raw_events WHEN NEW.name = 'refused_event' "
                  "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    const auto before = engine.dailyCounts();
    engine.monitor().clear();
    WriteLog log(path);
    const std::vector<std::string> names = {"kept_a", "kept_b", "refused_event", "kept_c", "kept_d"};
    for (const auto& name : names) VEZArurerudo::logEventWithName(name, {});
    engine.settle();

    REQUIRE(log.heard.size() == names.size());
    std::set<std::string> stored;
    for (const auto& heard : log.heard) {
        if (heard.name == "refused_event") {
            REQUIRE(heard.failure);
            CHECK(heard.failure->rfind("the measurement database refused it", 0) == 0);
        } else {
            CHECK_FALSE(heard.failure);
            stored.insert(heard.name);
        }
    }
    CHECK(stored == std::set<std::string>{"kept_a", "kept_b", "kept_c", "kept_d"});
    CHECK(committedNames(path, "SELECT name FROM raw_events WHERE name LIKE 'kept%' OR name LIKE 'refused%' "
                               "ORDER BY rowid") == std::vector<std::string>{"kept_a", "kept_b", "kept_c", "kept_d"});
    // Logged once, as when every event had its own transaction; its count
    // went back with it.
    CHECK(engine.monitor().count(kAPMEventWriteFailedCode) == 1);
    CHECK(engine.monitor().count(kAPMDatabaseTransactionFailedCode) == 1);
    const auto after = engine.dailyCounts();
    CHECK(after.allEventsCount() - before.allEventsCount() == 4);
}

// Run by the kill test as a process of its own (skipped otherwise): logs
// events without end, appends the number of each one the engine reports
// stored to a file, and says on a pipe when it has logged the number of
// events it was given, to be killed then. Logging, far quicker than
// storing, stays at most kInFlight events ahead of what the engine has
// finished writing, so that the kill finds the engine storing rather than
// still starting.
TEST_CASE(kChildCaseName * doctest::skip()) {
    const auto folder = testsupport::variableAtStart(kChildFolder);
    const auto signal = testsupport::variableAtStart(kChildSignal);
    const auto after = testsupport::variableAtStart(kChildAfter);
    REQUIRE((folder && signal && after));
    APMMonitor::shared().muteConsole();
    const std::filesystem::path root(*folder);
    platform::ProcessInfo::setApplicationSupportDirectory(root / "Application Support");
    platform::UserDefaults::setDataDirectory(root / "Preferences");
    const int report = ::open((root / "stored.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    REQUIRE(report >= 0);
    constexpr long kInFlight = 256;
    struct Finished {
        std::mutex mutex;
        std::condition_variable changed;
        long count = 0;
    };
    auto finished = std::make_shared<Finished>();
    APMAnalytics::addEventWriteListener([report, finished](const APMEvent& event,
                                                           const std::optional<std::string>& failure) {
        if (event.name().rfind("kill_", 0) != 0) return;
        if (!failure) {
            const std::string line = event.name() + "\n";
            if (::write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
        }
        {
            std::lock_guard lock(finished->mutex);
            ++finished->count;
        }
        finished->changed.notify_one();
    });
    REQUIRE(platform::VEZApp::configure());
    const long killAfter = std::atol(after->c_str());
    const int signalFd = std::atoi(signal->c_str());
    for (long i = 0;; ++i) {
        {
            std::unique_lock lock(finished->mutex);
            finished->changed.wait(lock, [&] { return i - finished->count < kInFlight; });
        }
        VEZArurerudo::logEventWithName("kill_" + std::to_string(i), {{"index", i}, {"padding", std::string(i % 300, 'p')}});
        if (i == killAfter && ::write(signalFd, "k", 1) != 1) std::abort();
    }
}

TEST_CASE("every event reported stored survives a kill -9 at any moment, and the next start finds the file sound") {
    constexpr int kRounds = 20;
    std::mt19937 random(20261207);
    std::uniform_int_distribution<long> moment(1, 6000);
    std::size_t everReported = 0;
    for (int round = 0; round < kRounds; ++round) {
        CAPTURE(round);
        testsupport::TempDir folder;
        int pipeFds[2];
        REQUIRE(::pipe(pipeFds) == 0);
        const int quiet = ::open("/dev/null", O_WRONLY);
        const pid_t child = testsupport::spawnChild(
            {std::filesystem::read_symlink("/proc/self/exe").string(), std::string("--test-case=") + kChildCaseName,
             "--no-skip"},
            testsupport::environmentWith({std::string(kChildFolder) + "=" + folder.path().string(),
                                          std::string(kChildSignal) + "=" + std::to_string(pipeFds[1]),
                                          std::string(kChildAfter) + "=" + std::to_string(moment(random))}),
            quiet, quiet);
        ::close(quiet);
        ::close(pipeFds[1]);
        // Bounded: a child that never gets there is killed all the same.
        pollfd signalled{pipeFds[0], POLLIN, 0};
        char byte = 0;
        const bool ready = ::poll(&signalled, 1, 120000) == 1 && ::read(pipeFds[0], &byte, 1) == 1;
        ::close(pipeFds[0]);
        ::kill(child, SIGKILL);
        const int status = testsupport::waitForChild(child, 60);
        REQUIRE_MESSAGE(ready, "the child did not log its events, status " << status);
        REQUIRE(status == 128 + SIGKILL);

        const std::string path =
            (folder.path() / "Application Support" / "Rozeda" / "Measurement" / kAPMDatabaseFileName).string();
        // A child killed before its engine made the file has stored nothing.
        std::set<std::string> stored;
        if (std::filesystem::exists(path)) {
            // Read first as the next start does: the log replayed into a
            // sound file.
            APMMonitorCapture capture;
            REQUIRE(APMSqliteStore::makeWithDatabasePath(path, nullptr));
            CHECK_FALSE(capture.hasCode(kAPMSqliteStoreDamagedFileCode));
            CHECK(committedNames(path, "PRAGMA integrity_check") == std::vector<std::string>{"ok"});
            if (committedNumber(path, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'raw_events'") == 1) {
                for (auto& name : committedNames(path, "SELECT name FROM raw_events WHERE name LIKE 'kill_%'")) {
                    stored.insert(std::move(name));
                }
            }
        }
        std::ifstream reportFile(folder.path() / "stored.txt");
        std::string line;
        std::size_t reported = 0, missing = 0;
        while (std::getline(reportFile, line)) {
            ++reported;
            if (!stored.count(line)) ++missing;
        }
        CHECK(missing == 0);
        CHECK(stored.size() >= reported);
        everReported += reported;
    }
    // The kills came while events were being stored, not only before.
    CHECK(everReported > 0);
}
