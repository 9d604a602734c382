// Tests of the persisted settings.
#include <doctest/doctest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/database_test_support.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/persisted_config.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/process_info.h"
#include "testsupport/child_process.h"
#include "testsupport/other_user.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using platform::Value;
namespace fs = std::filesystem;

namespace {

constexpr double kChildLimitSeconds = 60;

// The file as another program would read it.
Value::Dictionary readSettingsFile(const fs::path& file) {
    auto bytes = platform::readFile(file);
    REQUIRE(bytes);
    auto parsed = platform::parsePropertyList(*bytes);
    REQUIRE(parsed);
    REQUIRE(parsed->isDictionary());
    return parsed->asDictionary();
}

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

}  // namespace

TEST_CASE("persisted settings reach their file a second after a change") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "Rozeda/Measurement/settings.plist";

    SUBCASE("not before one second, present after, and read back by a new instance") {
        {
            APMPersistedConfig config(file);
            config.setSessionNumber(7);
            config.setAppInstanceID("6F1B1E0C2D7A4A4BA1E5D2C3B4A59687");
            time.drain();
            CHECK_FALSE(fs::exists(file));
            time.advance(0.999);
            CHECK_FALSE(fs::exists(file));
            time.advance(0.001);
            REQUIRE(fs::exists(file));
            auto stored = readSettingsFile(file);
            CHECK(stored["/rozeda/measurement/session_number"] == Value(7));
            CHECK(stored["/rozeda/measurement/app_instance_id"] == Value("6F1B1E0C2D7A4A4BA1E5D2C3B4A59687"));
        }
        APMPersistedConfig reread(file);
        CHECK(reread.sessionNumber() == 7);
        CHECK(reread.appInstanceID() == "6F1B1E0C2D7A4A4BA1E5D2C3B4A59687");
    }

    SUBCASE("changes within the second go out together; a later change arms a new write") {
        APMPersistedConfig config(file);
        config.setLastFailedUploadTimestamp(1700000000.5);
        time.advance(0.6);
        config.setLastBackoffTimestamp(1700000001.25);
        time.advance(0.4);
        auto stored = readSettingsFile(file);
        CHECK(stored["/rozeda/measurement/last_failed_upload"] == Value(1700000000.5));
        CHECK(stored["/rozeda/measurement/last_backoff"] == Value(1700000001.25));

        config.setLastBackoffTimestamp(0);
        time.advance(0.5);
        CHECK(readSettingsFile(file)["/rozeda/measurement/last_backoff"] == Value(1700000001.25));
        time.advance(0.5);
        CHECK(readSettingsFile(file)["/rozeda/measurement/last_backoff"] == Value(0.0));
    }

    SUBCASE("a change still waiting is written when the settings go away") {
        {
            APMPersistedConfig config(file);
            config.setSearchAdRetryCount(3);
        }
        CHECK(readSettingsFile(file)["/rozeda/measurement/search_ad_number_of_retries"] == Value(3));
    }

    SUBCASE("setting a value it already holds writes nothing") {
        APMPersistedConfig config(file);
        config.setSessionNumber(5);
        time.advance(1);
        fs::remove(file);
        config.setSessionNumber(5);
        config.setPreviousBundledConsentSignals(std::nullopt);
        time.advance(2);
        CHECK_FALSE(fs::exists(file));
    }
}

TEST_CASE("persisted settings: every key, absent values and removal") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "settings.plist";

    SUBCASE("absent values read 0, 0.0 or none") {
        APMPersistedConfig config(file);
        CHECK(config.lastSuccessfulUploadTimestamp() == 0.0);
        CHECK(config.lastUploadedEventTimestampMillis() == 0);
        CHECK(config.sessionNumber() == 0);
        CHECK_FALSE(config.shouldSetLastAdvertisingIDResetUserProperty());
        CHECK_FALSE(config.appInstanceID());
        CHECK_FALSE(config.previousBundledConsentSignals());
        CHECK_FALSE(config.deferredDeepLinkRetrievalComplete());
        CHECK_FALSE(config.searchAdCampaignValue());
        // Collection is on until it is turned off.
        CHECK(config.measurementEnabled());
    }

    SUBCASE("each accessor keeps its value under its own key") {
        {
            APMPersistedConfig config(file);
            config.setLastSuccessfulUploadTimestamp(1.5);
            config.setLastFailedUploadTimestamp(2.5);
            config.setLastBackoffTimestamp(3.5);
            config.setLastUploadedEventTimestampMillis(1700000000123);
            config.setMidnightOffset(-3600);
            config.setPreviousBundledConsentSignals("G110");
            config.setLastMonitoringSampleTimestamp(4.5);
            config.setRemoteConfigLastModified("Tue, 14 Nov 2023 22:13:20 GMT");
            config.setRemoteConfigETag("\"v42\"");
            config.setAppInstanceID("A1");
            config.setHashedResettableDeviceID("d41d8cd98f00b204e9800998ecf8427e");
            config.setDiversionKey("abcde");
            config.setShouldSetLastAdvertisingIDResetUserProperty(true);
            config.setFirstOpenTimestampMilliseconds(1699990000000);
            config.setSessionNumber(12);
            config.setLastSessionActivityClockTime(1700000100.75);
            config.setSKANEvaluationEventTimeMillis(11);
            config.setSKANEvaluationUpdateBackoffMillis(22);
            config.setDeferredDeepLinkRetryCount(2);
            config.setDeferredDeepLinkRetrievalComplete(Value(true));
            config.setSearchAdCampaignValue(Value(Value::Dictionary{{"campaign", "spring"}}));
            config.setLastSearchAdLookUpTimestamp(5.5);
            config.setSearchAdRetryCount(4);
            config.setMeasurementEnabled(false);
            time.advance(1);
        }
        const Value::Dictionary expected{
            {"/rozeda/measurement/last_successful_upload", 1.5},
            {"/rozeda/measurement/last_failed_upload", 2.5},
            {"/rozeda/measurement/last_backoff", 3.5},
            {"/rozeda/measurement/last_uploaded_event_millis", 1700000000123LL},
            {"/rozeda/measurement/midnight_offset", -3600.0},
            {"/rozeda/measurement/previous_bundled_consent_signals", "G110"},
            {"/rozeda/measurement/last_monitoring_sample", 4.5},
            {"/rozeda/measurement/config_last_modified", "Tue, 14 Nov 2023 22:13:20 GMT"},
            {"/rozeda/measurement/config_etag", "\"v42\""},
            {"/rozeda/measurement/app_instance_id", "A1"},
            {"/rozeda/measurement/hashed_idfa", "d41d8cd98f00b204e9800998ecf8427e"},
            {"/rozeda/measurement/diversion_key", "abcde"},
            {"/rozeda/measurement/set_last_advertising_id_reset", 1},
            {"/rozeda/measurement/first_open_timestamp_ms", 1699990000000LL},
            {"/rozeda/measurement/session_number", 12},
            {"/rozeda/measurement/last_engagement_end", 1700000100.75},
            {"/rozeda/measurement/skan_evaluation_event_time_millis", 11},
            {"/rozeda/measurement/skan_evaluation_update_backoff_millis", 22},
            {"/rozeda/measurement/deep_link_retry_count", 2},
            {"/rozeda/measurement/deep_link_retrieval_complete", true},
            {"/rozeda/measurement/is_search_ad_campaign", Value::Dictionary{{"campaign", "spring"}}},
            {"/rozeda/measurement/search_ad_last_attempt_timestamp", 5.5},
            {"/rozeda/measurement/search_ad_number_of_retries", 4},
            {"/rozeda/measurement/measurement_enabled", false},
        };
        CHECK(readSettingsFile(file) == expected);

        APMPersistedConfig reread(file);
        CHECK(reread.lastUploadedEventTimestampMillis() == 1700000000123);
        CHECK(reread.midnightOffset() == -3600.0);
        CHECK(reread.remoteConfigETag() == "\"v42\"");
        CHECK(reread.shouldSetLastAdvertisingIDResetUserProperty());
        CHECK(reread.lastSessionActivityClockTime() == 1700000100.75);
        CHECK(reread.searchAdCampaignValue() == Value(Value::Dictionary{{"campaign", "spring"}}));
        CHECK_FALSE(reread.measurementEnabled());
    }

    SUBCASE("none removes a key; a value of another kind reads as absent") {
        writeText(file, platform::writePropertyListXML(Value(Value::Dictionary{
                            {"/rozeda/measurement/session_number", "seven"},
                            {"/rozeda/measurement/app_instance_id", 42},
                            {"/rozeda/measurement/diversion_key", "kept"},
                        })));
        APMPersistedConfig config(file);
        CHECK(config.sessionNumber() == 0);
        CHECK_FALSE(config.appInstanceID());
        config.setDiversionKey(std::nullopt);
        CHECK_FALSE(config.diversionKey());
        time.advance(1);
        CHECK_FALSE(readSettingsFile(file).contains("/rozeda/measurement/diversion_key"));
    }

    SUBCASE("a value holding a null is no property list and is refused") {
        APMPersistedConfig config(file);
        CHECK_FALSE(config.setObject(Value(Value::Array{1, Value()}), "/rozeda/measurement/is_search_ad_campaign"));
        CHECK_FALSE(config.searchAdCampaignValue());
    }
}

TEST_CASE("a damaged or unwritable settings file") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "Rozeda/Measurement/settings.plist";
    APMMonitorCapture capture;

    SUBCASE("a corrupt file is set aside, reported, and the settings start empty") {
        writeText(file, "<?xml version=\"1.0\"?><plist><dict><key>broken");
        APMPersistedConfig config(file);
        CHECK(capture.count(kAPMPersistedConfigCorruptFileCode) == 1);
        CHECK(config.sessionNumber() == 0);
        const fs::path aside = dir / "Rozeda/Measurement/settings.plist.corrupt";
        REQUIRE(fs::exists(aside));
        CHECK(*platform::readFile(aside) == "<?xml version=\"1.0\"?><plist><dict><key>broken");

        config.setSessionNumber(1);
        time.advance(1);
        CHECK(readSettingsFile(file)["/rozeda/measurement/session_number"] == Value(1));
        CHECK(fs::exists(aside));
    }

    SUBCASE("a second damaged file does not replace the first one set aside") {
        writeText(dir / "Rozeda/Measurement/settings.plist.corrupt", "first");
        writeText(file, "second");
        APMPersistedConfig config(file);
        CHECK(*platform::readFile(dir / "Rozeda/Measurement/settings.plist.corrupt") == "first");
        CHECK(*platform::readFile(dir / "Rozeda/Measurement/settings.plist.corrupt-2") == "second");
    }

    SUBCASE("a file damaged again and again leaves the newest three copies, as a database does") {
        for (const char* damage : {"1", "2", "3", "4", "5"}) {
            writeText(file, damage);
            APMPersistedConfig config(file);
        }
        std::vector<std::string> copies;
        for (const auto& entry : fs::directory_iterator(file.parent_path())) {
            copies.push_back(entry.path().filename().string() + "=" + *platform::readFile(entry.path()));
        }
        std::sort(copies.begin(), copies.end());
        CHECK(copies == std::vector<std::string>{"settings.plist.corrupt-3=3", "settings.plist.corrupt-4=4",
                                                 "settings.plist.corrupt-5=5"});
    }

    SUBCASE("a file with one byte changed to NUL inside a key, or a fifo, counts as damaged without stopping start") {
        std::string damaged = platform::writePropertyListBinary(
            Value(Value::Dictionary{{"/rozeda/measurement/session_number", 4}}));
        damaged[damaged.find("session_number") + 3] = '\0';
        writeText(file, damaged);
        {
            APMPersistedConfig config(file);
            CHECK(capture.count(kAPMPersistedConfigCorruptFileCode) == 1);
            CHECK(config.sessionNumber() == 0);
        }
        REQUIRE(::mkfifo(file.c_str(), 0600) == 0);
        APMPersistedConfig config(file);
        CHECK(capture.count(kAPMPersistedConfigCorruptFileCode) == 2);
        CHECK(fs::is_fifo(dir / "Rozeda/Measurement/settings.plist.corrupt-2"));
        config.setSessionNumber(2);
        time.advance(1);
        CHECK(readSettingsFile(file)["/rozeda/measurement/session_number"] == Value(2));
    }

    SUBCASE("a link at the file's path, to settings or to nothing, is not read: set aside, and the file made anew") {
        const fs::path outside = dir / "outside.plist";
        const std::string theirs =
            platform::writePropertyListBinary(Value(Value::Dictionary{{"/rozeda/measurement/session_number", 7}}));
        for (const bool dangling : {false, true}) {
            CAPTURE(dangling);
            fs::remove(outside);
            if (!dangling) writeText(outside, theirs);
            fs::create_directories(file.parent_path());
            fs::remove(file);
            fs::create_symlink(outside, file);
            const auto before = capture.count(kAPMPersistedConfigCorruptFileCode);
            APMPersistedConfig config(file);
            CHECK(config.sessionNumber() == 0);
            CHECK(capture.count(kAPMPersistedConfigCorruptFileCode) == before + 1);
            config.setSessionNumber(2);
            time.advance(1);
            CHECK(fs::is_regular_file(fs::symlink_status(file)));
            CHECK(readSettingsFile(file)["/rozeda/measurement/session_number"] == Value(2));
            CHECK(fs::exists(outside) != dangling);
            if (!dangling) CHECK(*platform::readFile(outside) == theirs);
        }
    }

    SUBCASE("a file whose root is no dictionary counts as damaged") {
        writeText(file, platform::writePropertyListXML(Value(Value::Array{1, 2})));
        APMPersistedConfig config(file);
        CHECK(capture.hasCode(kAPMPersistedConfigCorruptFileCode));
    }

    SUBCASE("a write that fails is reported and the value stays in memory") {
        writeText(dir / "blocker", "a file where a folder should be");
        APMPersistedConfig config(dir / "blocker/settings.plist");
        config.setSessionNumber(5);
        time.advance(1);
        CHECK(capture.hasCode(kAPMPersistedConfigWriteFailedCode));
        CHECK(config.sessionNumber() == 5);
    }
}

TEST_CASE("writers of one settings file keep each other's values: each lays its own changes over the file") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "Rozeda/Measurement/settings.plist";
    writeText(file, platform::writePropertyListBinary(Value(Value::Dictionary{
                        {"/rozeda/measurement/diversion_key", "old"}, {"/rozeda/measurement/session_number", 1}})));
    // Both read the file before either writes, as processes starting together do.
    APMPersistedConfig first(file);
    APMPersistedConfig second(file);
    first.setAppInstanceID("6F1B1E0C2D7A4A4BA1E5D2C3B4A59687");
    first.setDiversionKey(std::nullopt);
    second.setSessionNumber(2);
    time.advance(1);
    const Value::Dictionary expected{{"/rozeda/measurement/app_instance_id", "6F1B1E0C2D7A4A4BA1E5D2C3B4A59687"},
                                     {"/rozeda/measurement/session_number", 2}};
    CHECK(readSettingsFile(file) == expected);
    // The last writer took in what the other wrote.
    CHECK(second.appInstanceID() == "6F1B1E0C2D7A4A4BA1E5D2C3B4A59687");
    CHECK_FALSE(second.diversionKey());

    SUBCASE("a change whose write failed goes out with the next write") {
        fs::remove_all(file.parent_path());
        writeText(file.parent_path(), "a file where the folder should be");
        APMMonitorCapture capture;
        first.setSessionNumber(3);
        time.advance(1);
        CHECK(capture.hasCode(kAPMPersistedConfigWriteFailedCode));
        // Meanwhile another process writes the file anew.
        fs::remove(file.parent_path());
        writeText(file, platform::writePropertyListBinary(Value(Value::Dictionary{
                            {"/rozeda/measurement/session_number", 9}})));
        first.setLastBackoffTimestamp(5);
        time.advance(1);
        const auto stored = readSettingsFile(file);
        CHECK(stored.at("/rozeda/measurement/session_number") == Value(3));
        CHECK(stored.at("/rozeda/measurement/last_backoff") == Value(5.0));
    }
}

TEST_CASE("a writer's turn shuts every other writer out: one that would write while another is between its read and "
          "its rename waits for its next write, and no change is lost") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "Rozeda/Measurement/settings.plist";
    writeText(file, platform::writePropertyListBinary(Value(Value::Dictionary{{"/rozeda/measurement/session_number", 1}})));
    // A writer that finds the turn taken gives up at once.
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0; });
    APMFileLock::forgetGivenUpWaits();
    APMMonitorCapture capture;
    APMPersistedConfig first(file);
    APMPersistedConfig second(file);
    first.setSessionNumber(2);
    second.setLastBackoffTimestamp(5);
    bool interleaved = false;
    measurement::testing::beforeRename = [&](const std::string&, const std::string& to) {
        if (to == file.string() && !std::exchange(interleaved, true)) second.writeChangesNow();
    };
    first.writeChangesNow();
    measurement::testing::beforeRename = nullptr;
    REQUIRE(interleaved);
    CHECK(capture.hasCode(kAPMPersistedConfigWriteFailedCode));
    second.writeChangesNow();
    CHECK(readSettingsFile(file) == Value::Dictionary{{"/rozeda/measurement/session_number", 2},
                                                      {"/rozeda/measurement/last_backoff", 5.0}});
    APMFileLock::forgetGivenUpWaits();
}

TEST_CASE("persisted settings default to the engine's folder") {
    testsupport::TempDir dir;
    const auto saved = platform::ProcessInfo::applicationSupportDirectory();
    platform::ProcessInfo::setApplicationSupportDirectory(dir.path());
    CHECK(APMPersistedConfig::defaultFilePath() ==
          dir.path() / "Rozeda" / "Measurement" / "rozeda-measurement-settings.plist");
    platform::ProcessInfo::setApplicationSupportDirectory(saved);
}

TEST_CASE("persisted settings taken from several threads at once") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "settings.plist";
    APMPersistedConfig config(file);
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&config, t] {
                for (int i = 0; i <= 200; ++i) {
                    config.setObject(Value(i), "/rozeda/measurement/thread_" + std::to_string(t));
                    (void)config.integerForKey("/rozeda/measurement/thread_" + std::to_string((t + 1) % 4));
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }
    time.advance(1);
    auto stored = readSettingsFile(file);
    for (int t = 0; t < 4; ++t) CHECK(stored["/rozeda/measurement/thread_" + std::to_string(t)] == Value(200));
}

// Lists of more than a hundred values were freed twice once read: a settings
// file that holds one, from this version or another, must still open.
TEST_CASE("a settings file holding long lists opens with its values") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "settings.plist";
    APMMonitorCapture capture;
    for (const std::size_t count : {std::size_t{101}, std::size_t{1000}, std::size_t{100000}}) {
        Value::Array list;
        Value::Dictionary wide;
        for (std::size_t i = 0; i < count; ++i) {
            list.emplace_back(static_cast<std::int64_t>(i));
            wide["k" + std::to_string(i)] = Value("v");
        }
        Value::Dictionary stored;
        stored["/rozeda/measurement/session_number"] = Value(9);
        stored["/other/version/list"] = Value(list);
        stored["/other/version/wide"] = Value(wide);
        for (const bool binary : {false, true}) {
            CAPTURE(count);
            CAPTURE(binary);
            const Value whole(stored);
            writeText(file, binary ? platform::writePropertyListBinary(whole) : platform::writePropertyListXML(whole));
            APMPersistedConfig config(file);
            CHECK(config.sessionNumber() == 9);
            CHECK_FALSE(capture.hasCode(kAPMPersistedConfigCorruptFileCode));
        }
    }
}

TEST_CASE("a settings lock another process keeps is waited for up to the bound; nothing is written meanwhile") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "Rozeda/Measurement/settings.plist";
    const std::string lock = file.string() + ".lock";
    const Value::Dictionary before{{"/rozeda/measurement/diversion_key", "kept1"},
                                   {"/rozeda/measurement/session_number", 1}};
    writeText(file, platform::writePropertyListBinary(Value(before)));
    testsupport::ScopedLaunchOptions bound([](platform::LaunchOptions& options) { options.lockWaitSeconds = 0.1; });
    APMFileLock::forgetGivenUpWaits();
    APMMonitorCapture capture;
    // A process stopped in the middle of its own write.
    testsupport::FileLockHolder holder(lock, true);
    holder.stop();
    const std::string reason =
        lock + " stayed locked by process " + std::to_string(holder.pid()) + " (stopped) for 0.1 s";
    {
        APMPersistedConfig config(file);
        config.setSessionNumber(2);
        time.advance(1);
        // What was stored stays as it was; the change waits.
        CHECK(readSettingsFile(file) == before);
        CHECK(config.sessionNumber() == 2);
        CHECK(capture.count(kAPMFileLockWaitingCode) == 1);
        const auto failed = capture.entriesWithCode(kAPMPersistedConfigWriteFailedCode);
        REQUIRE(failed.size() == 1);
        CHECK(failed[0].contexts.at(1) == Value(reason));
        CHECK(APMFileLock::givenUpWaits() ==
              std::vector<APMFileLock::GivenUpWait>{{lock, "the engine's settings", reason}});

        // The holder keeps it: a later write of the process (through
        // another object too) tries, and does not wait the bound again.
        config.setSessionNumber(3);
        time.advance(1);
        APMPersistedConfig other(file);
        other.setLastFailedUploadTimestamp(7);
        other.writeChangesNow();
        CHECK(readSettingsFile(file) == before);
        CHECK(capture.count(kAPMFileLockWaitingCode) == 1);
        CHECK(capture.count(kAPMPersistedConfigWriteFailedCode) == 3);
        CHECK(APMFileLock::givenUpWaits().size() == 1);

        // Once the holder has gone on and let go, the next write takes the
        // change along with its own.
        holder.resume();
        holder.letGo();
        config.setLastBackoffTimestamp(5);
        time.advance(1);
    }
    auto expected = before;
    expected["/rozeda/measurement/session_number"] = Value(3);
    expected["/rozeda/measurement/last_backoff"] = Value(5.0);
    expected["/rozeda/measurement/last_failed_upload"] = Value(7.0);
    CHECK(readSettingsFile(file) == expected);
    CHECK(capture.count(kAPMPersistedConfigWriteFailedCode) == 3);
    APMFileLock::forgetGivenUpWaits();
}

TEST_CASE("a settings lock that is no regular file is set aside and said; one this user cannot open fails the write") {
    platform::dispatch::ManualTime time;
    struct Case {
        std::string what;
        std::function<void(const std::string& lock)> make;
        bool written;
    };
    const std::vector<Case> cases = {
        {"a folder", [](const std::string& lock) { fs::create_directories(fs::path(lock) / "inside"); }, true},
        {"a link", [](const std::string& lock) { fs::create_symlink(fs::path(lock).parent_path() / "nowhere", lock); },
         true},
        {"a file this user cannot open",
         [](const std::string& lock) {
             writeText(lock, "");
             fs::permissions(lock, fs::perms::none);
         },
         false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        testsupport::TempDir dir;
        const fs::path file = dir / "Rozeda/Measurement/settings.plist";
        const std::string lock = file.string() + ".lock";
        fs::create_directories(file.parent_path());
        if (!c.written) {
            // Every mode lets the superuser through: the write is made in a
            // child held to the modes (another user where the tests run as
            // root, whose folder it is) against a lock file it cannot open.
            if (::geteuid() == 0) testsupport::giveToOtherUser(dir.path());
            c.make(lock);
            std::string failure;
            const auto said = testsupport::inChildHeldToModes(
                [&] {
                    APMMonitorCapture capture;
                    {
                        APMPersistedConfig config(file);
                        config.setSessionNumber(4);
                        time.advance(1);
                    }
                    const auto failed = capture.entriesWithCode(kAPMPersistedConfigWriteFailedCode);
                    return std::to_string(capture.count(kAPMFileLockOddNameSetAsideCode)) + "\n" +
                           (failed.empty() ? "no failure" : failed[0].contexts.at(1).stringValue());
                },
                kChildLimitSeconds, &failure);
            REQUIRE_MESSAGE(said, failure);
            CHECK(*said == "0\nits lock file " + lock + " cannot be locked: Permission denied");
            CHECK_FALSE(fs::exists(file));
            continue;
        }
        c.make(lock);
        APMMonitorCapture capture;
        {
            APMPersistedConfig config(file);
            config.setSessionNumber(4);
            time.advance(1);
        }
        CHECK(fs::exists(file));
        const auto setAside = capture.entriesWithCode(kAPMFileLockOddNameSetAsideCode);
        CHECK(readSettingsFile(file).at("/rozeda/measurement/session_number") == Value(4));
        REQUIRE(setAside.size() == 1);
        CHECK(setAside[0].level == kAPMMonitorLevelWarning);
        CHECK(setAside[0].contexts.at(0) ==
              Value(lock + " was " + c.what + ", not a lock file; set aside as " + lock + ".corrupt"));
        CHECK(fs::is_regular_file(fs::symlink_status(lock)));
        CHECK_FALSE(capture.hasCode(kAPMPersistedConfigWriteFailedCode));
    }
}

TEST_CASE("a write removes the temporary files of writers that died before their rename, and only theirs") {
    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    const fs::path file = dir / "Rozeda/Measurement/settings.plist";
    // A process that has ended, and one that still runs (and may be writing).
    const pid_t ended = ::fork();
    REQUIRE(ended >= 0);
    if (ended == 0) ::_exit(0);
    REQUIRE(::waitpid(ended, nullptr, 0) == ended);
    testsupport::FileLockHolder running((dir / "other.lock").string(), false);
    const std::string name = file.string();
    const std::vector<std::string> abandoned = {name + ".tmp-" + std::to_string(ended) + "-0",
                                                name + ".tmp-" + std::to_string(ended) + "-17"};
    const std::vector<std::string> kept = {
        name + ".tmp-" + std::to_string(running.pid()) + "-3",  // its writer runs
        // this process's, numbered past any write of this run
        name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(std::numeric_limits<unsigned>::max()),
        name + ".tmp-" + std::to_string(ended) + "-x",          // not a name the writes give
        name + ".tmp-" + std::to_string(ended),
        name + ".tmpx-" + std::to_string(ended) + "-1",
        (dir / "other.plist.tmp-").string() + std::to_string(ended) + "-1",  // another file's
    };
    for (const auto& path : abandoned) writeText(path, "half a write");
    for (const auto& path : kept) writeText(path, "half a write");
    {
        APMPersistedConfig config(file);
        config.setSessionNumber(4);
        time.advance(1);
    }
    CHECK(readSettingsFile(file).at("/rozeda/measurement/session_number") == Value(4));
    for (const auto& path : abandoned) CHECK_MESSAGE(!fs::exists(path), path);
    for (const auto& path : kept) CHECK_MESSAGE(fs::exists(path), path);
}
