// Tests of the engine's identity and campaign links end to end: the
// identifiers across restarts and under stored consent, the header's
// identity fields, and links opened, stored at launch and expired.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/store/database.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/attribution/deep_links.h"
#include "measurement/upload/attribution/stored_deep_link.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/plist_codec.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/advertising_identifier/identifier_manager.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_environment.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using measurement::testing::EngineFixture;
using measurement::testing::intParameter;
using measurement::testing::stringParameter;

namespace {

constexpr std::int64_t kHourMillis = 3600000;
constexpr const char* kFirstAdvertisingID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kSecondAdvertisingID = "9D2A5A4C-0B1E-4F3A-8C77-1F2E3D4C5B6A";

int tag(int wireTag) { return APMPBMeasurementBundleFieldIndex(wireTag); }

std::vector<APMRawEventData> eventsNamed(EngineFixture& engine, const std::string& name) {
    std::vector<APMRawEventData> events;
    for (auto& raw : engine.rawEvents()) {
        if (raw.event().name() == name) events.push_back(raw);
    }
    return events;
}

bool isAppInstanceIDText(const std::optional<std::string>& text) {
    return text && text->size() == 32 && text->find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// As the platform after the application's launch: the launch options in
// the notification.
void postLaunch(const platform::Value::Dictionary& options) {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidFinishLaunchingNotification, nullptr,
                                                       options);
}

// The application bundle with deferred deep links switched on, for the
// scope.
class DeferredLinksSwitchedOn {
public:
    DeferredLinksSwitchedOn() : saved_(platform::Bundle::main().resourcePath()) {
        auto info = platform::Bundle::main().infoDictionary().asDictionary();
        info[kAPMDeferredDeepLinkEnabledKey] = true;
        std::ofstream(folder_ / "Info.plist", std::ios::binary)
            << platform::writePropertyListXML(platform::Value(info));
        std::filesystem::copy_file(saved_ / "RozedaService-Info.plist", folder_ / "RozedaService-Info.plist");
        platform::Bundle::setMainResourcePath(folder_.path());
    }
    ~DeferredLinksSwitchedOn() { platform::Bundle::setMainResourcePath(saved_); }
    DeferredLinksSwitchedOn(const DeferredLinksSwitchedOn&) = delete;
    DeferredLinksSwitchedOn& operator=(const DeferredLinksSwitchedOn&) = delete;

private:
    testsupport::TempDir folder_;
    std::filesystem::path saved_;
};

}  // namespace

TEST_CASE("one app instance ID across restarts, in the public interface and in every header") {
    EngineFixture engine;
    engine.configure();
    const auto instanceID = VEZArurerudo::appInstanceID();
    REQUIRE(isAppInstanceIDText(instanceID));
    auto measurement = APMMeasurement::sharedInstance();
    CHECK(measurement->persistedConfig()->appInstanceID() == instanceID);
    CHECK(measurement->identity() == APMIdentity::sharedInstance());

    VEZArurerudo::logEventWithName("kuvo_calculate");
    engine.settle();
    const auto stored = eventsNamed(engine, "kuvo_calculate");
    REQUIRE(stored.size() == 1);
    const auto header = engine.metadataOf(stored[0]);
    CHECK(NANOGetString(header, tag(nano_APMPBMeasurementBundle_app_id_tag)) ==
          platform::Bundle::main().bundleIdentifier());
    CHECK(NANOGetString(header, tag(nano_APMPBMeasurementBundle_app_version_tag)) ==
          platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").stringValue());
    // The build version "1": its first number only.
    CHECK(NANOGetInt32(header, tag(nano_APMPBMeasurementBundle_app_version_major_tag)) == 1);
    CHECK_FALSE(NANOHasField(header, tag(nano_APMPBMeasurementBundle_app_version_minor_tag)));
    CHECK(NANOGetString(header, tag(nano_APMPBMeasurementBundle_measurement_app_id_tag)) ==
          platform::VEZApp::defaultAppOptions()->appID);
    CHECK_FALSE(NANOHasField(header, tag(nano_APMPBMeasurementBundle_advertising_app_id_tag)));
    CHECK(NANOGetInt64(header, tag(nano_APMPBMeasurementBundle_library_version_at_storage_tag)) == 110100);
    CHECK(isAppInstanceIDText(NANOGetString(header, tag(nano_APMPBMeasurementBundle_session_stitching_token_tag))));
    CHECK_FALSE(NANOHasField(header, tag(nano_APMPBMeasurementBundle_dev_cert_hash_tag)));
    CHECK_FALSE(NANOHasField(header, tag(nano_APMPBMeasurementBundle_installation_id_tag)));

    measurement.reset();
    engine.restart();
    engine.configure();
    CHECK(VEZArurerudo::appInstanceID() == instanceID);
}

namespace {

constexpr const char* kStartFolder = "VELMORA_START_CHILD_FOLDER";
constexpr const char* kStartReady = "VELMORA_START_CHILD_READY";
constexpr const char* kStartGo = "VELMORA_START_CHILD_GO";
constexpr const char* kStartKey = "VELMORA_START_CHILD_KEY";
constexpr const char* kStartAdvertisingID = "VELMORA_START_CHILD_ADVERTISING_ID";
constexpr const char* kStartCase = "the child of the start test reports its app instance ID";

}  // namespace

// Run by the tests below as a process of its own (skipped otherwise): starts
// the engine on the folder under manual time, so that its settings reach
// the file only when it ends, with the advertising identifier given (none
// by default), sets a settings key of its own, writes its app instance ID
// (once what it asked the folder is answered) as a line on a pipe and waits
// for a byte on another, then ends.
TEST_CASE(kStartCase * doctest::skip()) {
    const auto folder = testsupport::variableAtStart(kStartFolder);
    const auto ready = testsupport::variableAtStart(kStartReady);
    const auto go = testsupport::variableAtStart(kStartGo);
    const auto key = testsupport::variableAtStart(kStartKey);
    REQUIRE((folder && ready && go && key));
    APMMonitor::shared().muteConsole();
    platform::dispatch::ManualTime time;
    platform::ProcessInfo::setApplicationSupportDirectory(std::filesystem::path(*folder) / "Application Support");
    platform::UserDefaults::setDataDirectory(std::filesystem::path(*folder) / "Preferences");
    if (const auto advertisingID = testsupport::variableAtStart(kStartAdvertisingID)) {
        platform::adsupport::AdvertisingIdentifierManager::link();
        platform::adsupport::AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(true);
        platform::adsupport::AdvertisingIdentifierManager::setAdvertisingIdentifier(*advertisingID);
    }
    REQUIRE(platform::VEZApp::configure());
    time.settle();
    APMMeasurement::sharedInstance()->persistedConfig()->setObject(platform::Value(1), *key);
    // The platform's answer, fetched meanwhile, is taken by the first
    // refresh after the cache time.
    time.advance(2);
    REQUIRE(VEZArurerudo::appInstanceID());
    time.settle();
    const auto instanceID = VEZArurerudo::appInstanceID();
    REQUIRE(instanceID);
    // One write of a short line: the lines of the processes do not mix.
    const std::string line = *instanceID + "\n";
    REQUIRE(::write(std::atoi(ready->c_str()), line.data(), line.size()) == static_cast<ssize_t>(line.size()));
    char byte = 0;
    REQUIRE(::read(std::atoi(go->c_str()), &byte, 1) == 1);
    test_hooks::resetMeasurement();
    time.settle();
}

namespace {

// Starts `count` processes of the case above together on the folder, with
// the variables given, and answers the app instance IDs they report. Every
// process has made or taken its ID before any goes on and writes its
// settings (bounded: one that never gets there fails the test).
std::vector<std::string> startTogether(const std::filesystem::path& folder, int count, const std::string& keyPrefix,
                                       const std::vector<std::string>& variables = {}) {
    int ready[2], go[2];
    REQUIRE(::pipe(ready) == 0);
    REQUIRE(::pipe(go) == 0);
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const auto out = folder / (keyPrefix + std::to_string(i) + ".out");
        const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        REQUIRE(outFd >= 0);
        auto added = variables;
        added.push_back(std::string(kStartFolder) + "=" + folder.string());
        added.push_back(std::string(kStartReady) + "=" + std::to_string(ready[1]));
        added.push_back(std::string(kStartGo) + "=" + std::to_string(go[0]));
        added.push_back(std::string(kStartKey) + "=/test/" + keyPrefix + std::to_string(i));
        children.push_back(testsupport::spawnChild(
            {std::filesystem::read_symlink("/proc/self/exe").string(), std::string("--test-case=") + kStartCase,
             "--no-skip"},
            testsupport::environmentWith(added), outFd, outFd));
        ::close(outFd);
    }
    ::close(ready[1]);
    ::close(go[0]);
    std::string lines;
    pollfd signalled{ready[0], POLLIN, 0};
    char buffer[256];
    while (std::count(lines.begin(), lines.end(), '\n') < count && ::poll(&signalled, 1, 120000) == 1) {
        const ssize_t got = ::read(ready[0], buffer, sizeof buffer);
        if (got <= 0) break;
        lines.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string bytes(static_cast<std::size_t>(count), 'g');
    CHECK(::write(go[1], bytes.data(), bytes.size()) == count);
    ::close(ready[0]);
    ::close(go[1]);
    for (int i = 0; i < count; ++i) {
        const auto out = folder / (keyPrefix + std::to_string(i) + ".out");
        CHECK_MESSAGE(testsupport::waitForChild(children[static_cast<std::size_t>(i)], 120) == 0,
                      testsupport::readText(out));
    }
    std::vector<std::string> identifiers;
    std::istringstream read(lines);
    for (std::string line; std::getline(read, line);) identifiers.push_back(line);
    REQUIRE(identifiers.size() == static_cast<std::size_t>(count));
    return identifiers;
}

}  // namespace

TEST_CASE("processes starting together on a new folder take one app instance ID and keep each other's settings") {
    constexpr int kProcesses = 4;
    testsupport::TempDir folder;
    const auto reported = startTogether(folder.path(), kProcesses, "child_");
    const std::set<std::string> identifiers(reported.begin(), reported.end());
    CHECK(identifiers.size() == 1);
    CHECK(isAppInstanceIDText(*identifiers.begin()));

    const auto settings = platform::parsePropertyList(*platform::readFile(
        folder / "Application Support" / "Rozeda" / "Measurement" / APMPersistedConfig::kFileName));
    REQUIRE(settings);
    const auto& values = settings->asDictionary();
    CHECK(values.at(persisted_key::kAppInstanceID) == platform::Value(*identifiers.begin()));
    for (int i = 0; i < kProcesses; ++i) CHECK(values.count("/test/child_" + std::to_string(i)) == 1);
}

TEST_CASE("processes that find a new advertising identifier together take one new app instance ID, which stays the folder's") {
    testsupport::TempDir folder;
    const auto settings = folder / "Application Support" / "Rozeda" / "Measurement" / APMPersistedConfig::kFileName;
    const std::string firstID = std::string(kStartAdvertisingID) + "=" + kFirstAdvertisingID;
    const std::string secondID = std::string(kStartAdvertisingID) + "=" + kSecondAdvertisingID;
    const auto first = startTogether(folder.path(), 1, "first_", {firstID});
    REQUIRE(isAppInstanceIDText(first[0]));
    const auto beforeRotation = platform::readFile(settings);
    REQUIRE(beforeRotation);

    const auto rotated = startTogether(folder.path(), 3, "rotated_", {secondID});
    const std::set<std::string> identifiers(rotated.begin(), rotated.end());
    REQUIRE(identifiers.size() == 1);
    const auto newID = *identifiers.begin();
    CHECK(isAppInstanceIDText(newID));
    CHECK(newID != first[0]);
    // A later process takes it; so does one whose settings file is as it
    // was before the rotation (another process's write has not reached it
    // yet), without replacing it once more; and one whose settings file was
    // lost: the folder's database holds the newest.
    CHECK(startTogether(folder.path(), 1, "later_")[0] == newID);
    {
        std::ofstream stale(settings, std::ios::binary | std::ios::trunc);
        stale << *beforeRotation;
    }
    CHECK(startTogether(folder.path(), 1, "stale_", {secondID})[0] == newID);
    REQUIRE(std::filesystem::remove(settings));
    CHECK(startTogether(folder.path(), 1, "lost_", {secondID})[0] == newID);
}

TEST_CASE("consent stored in an earlier run holds before the identity makes anything") {
    EngineFixture engine;
    // What an earlier run persisted: analytics storage denied.
    APMAnalytics::persistConsentSettings({{"analytics_storage", "denied"}}, kAPMConsentSourceAPI);
    engine.configure();
    auto measurement = APMMeasurement::sharedInstance();
    CHECK_FALSE(measurement->persistedConfig()->appInstanceID());
    CHECK_FALSE(VEZArurerudo::appInstanceID());

    VEZArurerudo::logEventWithName("kuvo_calculate");
    engine.settle();
    const auto stored = eventsNamed(engine, "kuvo_calculate");
    REQUIRE(stored.size() == 1);
    const auto header = engine.metadataOf(stored[0]);
    CHECK_FALSE(NANOHasField(header, tag(nano_APMPBMeasurementBundle_session_stitching_token_tag)));
    CHECK(NANOGetString(header, tag(nano_APMPBMeasurementBundle_consent_signals_tag)) == "G1-0");

    // Granted later: the next read makes one.
    VEZArurerudo::setConsent({{"analytics_storage", "granted"}});
    engine.settle();
    engine.time().advance(2);
    CHECK(isAppInstanceIDText(VEZArurerudo::appInstanceID()));
}

namespace {

std::filesystem::path settingsFile(const EngineFixture& engine) {
    return engine.folder() / "Application Support" / "Rozeda" / "Measurement" / APMPersistedConfig::kFileName;
}

// The app instance ID the engine's database records, read apart from it.
std::optional<std::string> recordedAppInstanceID(const EngineFixture& engine) {
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(
        (engine.folder() / "Application Support" / "Rozeda" / "Measurement" / kAPMDatabaseFileName).string(), nullptr);
    REQUIRE(store);
    const auto rows = store->recordsForQuery("SELECT app_instance_id FROM app_metadata", {}, nullptr);
    REQUIRE(rows);
    if (rows->empty() || !rows->front().count("app_instance_id")) return std::nullopt;
    return rows->front().at("app_instance_id").asString();
}

}  // namespace

TEST_CASE("the app instance ID made once analytics storage is granted is the folder's, kept when the settings are lost") {
    EngineFixture engine;
    APMAnalytics::persistConsentSettings({{"analytics_storage", "denied"}}, kAPMConsentSourceAPI);
    engine.configure();
    REQUIRE_FALSE(VEZArurerudo::appInstanceID());
    CHECK_FALSE(recordedAppInstanceID(engine));
    VEZArurerudo::setConsent({{"analytics_storage", "granted"}});
    engine.settle();
    engine.time().advance(2);
    const auto made = VEZArurerudo::appInstanceID();
    REQUIRE(isAppInstanceIDText(made));
    engine.settle();
    CHECK(recordedAppInstanceID(engine) == made);
    // The settings file is lost; the next start takes the folder's.
    engine.restart();
    REQUIRE(std::filesystem::remove(settingsFile(engine)));
    engine.configure();
    CHECK(VEZArurerudo::appInstanceID() == made);
}

TEST_CASE("the app instance ID stays when the database is lost and the settings are kept") {
    EngineFixture engine;
    engine.configure();
    const auto instanceID = VEZArurerudo::appInstanceID();
    REQUIRE(isAppInstanceIDText(instanceID));
    engine.restart();
    const auto database = engine.folder() / "Application Support" / "Rozeda" / "Measurement" / kAPMDatabaseFileName;
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database.string() + suffix);
    engine.configure();
    CHECK(VEZArurerudo::appInstanceID() == instanceID);
    CHECK(recordedAppInstanceID(engine) == instanceID);
}

TEST_CASE("another user ID, or none, ends the session stitching token") {
    EngineFixture engine;
    engine.configure();
    const std::optional<std::string> userIDs[] = {std::nullopt, "u1", "u1", "u2", std::nullopt};
    const bool renewed[] = {false, true, false, true, true};
    std::optional<std::string> last;
    for (std::size_t i = 0; i < 5; ++i) {
        CAPTURE(i);
        if (i > 0) VEZArurerudo::setUserID(userIDs[i]);
        VEZArurerudo::logEventWithName("step_" + std::to_string(i));
        engine.settle();
        const auto stored = eventsNamed(engine, "step_" + std::to_string(i));
        REQUIRE(stored.size() == 1);
        const auto token =
            NANOGetString(engine.metadataOf(stored[0]), tag(nano_APMPBMeasurementBundle_session_stitching_token_tag));
        REQUIRE(isAppInstanceIDText(token));
        if (last) CHECK((token != last) == renewed[i]);
        last = token;
    }
}

TEST_CASE("resetting analytics data renews the ephemeral ID") {
    EngineFixture engine;
    engine.configure();
    auto identity = APMMeasurement::sharedInstance()->identity();
    const auto ephemeral = identity->ephemeralAppInstanceID();
    VEZArurerudo::resetAnalyticsData();
    engine.settle();
    CHECK(identity->ephemeralAppInstanceID() != ephemeral);
}

TEST_CASE("links opened while running become campaign events in the order of the calls") {
    EngineFixture engine;
    // Before the engine starts: held with the events, not lost.
    VEZArurerudo::handleOpenURL("bern://open?utm_source=news&utm_medium=mail&foo=1");
    engine.configure();
    VEZArurerudo::logEventWithName("kuvo_calculate");
    VEZArurerudo::handleUserActivity(
        {{"activityType", "NSUserActivityTypeBrowsingWeb"}, {"webpageURL", "https://example.org/?utm_campaign=web"}});
    VEZArurerudo::handleOpenURL("bern://open?cp1=only");
    engine.settle();

    CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "_cmp", "kuvo_calculate", "_cmp"});
    const auto campaigns = eventsNamed(engine, "_cmp");
    REQUIRE(campaigns.size() == 2);
    CHECK(stringParameter(campaigns[0].event(), "source") == "news");
    CHECK(stringParameter(campaigns[0].event(), "medium") == "mail");
    CHECK_FALSE(campaigns[0].event().parameter("foo"));
    CHECK(stringParameter(campaigns[1].event(), "campaign") == "web");
    CHECK(engine.monitor().hasCode(kAPMDeepLinkInvalidParamsCode));
}

TEST_CASE("the launch link is stored and reported once the engine has started") {
    EngineFixture engine;
    const double launched = engine.time().now();
    SUBCASE("on the first launch: with the first open, clicked just before it") {
        REQUIRE(platform::VEZApp::configure());
        postLaunch({{kAPMLaunchOptionsURLKey, "bern://open?utm_source=mail&utm_campaign=spring"}});
        engine.settle();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "_cmp"});
        const auto campaigns = eventsNamed(engine, "_cmp");
        REQUIRE(campaigns.size() == 1);
        const auto& event = campaigns[0].event();
        const auto firstOpen = APMMeasurement::sharedInstance()->persistedConfig()->firstOpenTimestampMilliseconds();
        CHECK(intParameter(event, "click_timestamp") == firstOpen - 1);
        const auto storedMillis = static_cast<std::int64_t>(launched * 1000);
        CHECK(intParameter(event, "_cc") == storedMillis / kHourMillis * kHourMillis - kHourMillis);
        CHECK(stringParameter(event, "campaign") == "spring");
        CHECK(event.timestamp() == static_cast<double>(firstOpen) / 1000);
        CHECK_FALSE(APMUserDefaults::sharedUserDefaults().objectForKey(kAPMStoredDeepLinkKey));
    }
    SUBCASE("on a later launch, past its lifetime: _cmpx with source and medium not set") {
        engine.configure();
        postLaunch({{kAPMLaunchOptionsURLKey, "bern://open?utm_source=mail"}});
        engine.restart();
        engine.time().advance(604801);
        engine.configure();
        const auto expired = eventsNamed(engine, "_cmpx");
        REQUIRE(expired.size() == 1);
        const auto& event = expired[0].event();
        CHECK(stringParameter(event, "source") == "(not set)");
        CHECK(stringParameter(event, "medium") == "(not set)");
        CHECK(intParameter(event, "_cc") == 1);
        CHECK_FALSE(event.parameter("click_timestamp"));
    }
    SUBCASE("switching collection off clears a link past its lifetime, and only then") {
        engine.configure();
        postLaunch({{kAPMLaunchOptionsURLKey, "bern://open?utm_source=mail"}});
        VEZArurerudo::setAnalyticsCollectionEnabled(false);
        engine.settle();
        CHECK(APMUserDefaults::sharedUserDefaults().objectForKey(kAPMStoredDeepLinkKey));
        engine.time().advance(604801);
        VEZArurerudo::setAnalyticsCollectionEnabled(false);
        engine.settle();
        CHECK_FALSE(APMUserDefaults::sharedUserDefaults().objectForKey(kAPMStoredDeepLinkKey));
    }
}

TEST_CASE("at start a stored launch link is reported in place of asking for the deferred deep link") {
    DeferredLinksSwitchedOn bundle;
    EngineFixture engine;
    // This process has no advertising identifier: once considered, the
    // deferred link is refused for want of one and nothing is asked.
    engine.configure();
    CHECK(engine.monitor().count(kAPMDeferredDeepLinkNoIDFACode) == 1);
    CHECK_FALSE(APMMeasurement::sharedInstance()->shouldRequestDeferredDeepLinkAfterConfigFetch());
    CHECK_FALSE(APMMeasurement::sharedInstance()->isNetworkRequestPending());

    SUBCASE("a later start with a link stored at launch: the link, and no deferred link") {
        postLaunch({{kAPMLaunchOptionsURLKey, "bern://open?utm_source=mail"}});
        engine.restart();
        engine.configure();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f", "_cmp"});
        CHECK(engine.monitor().count(kAPMDeferredDeepLinkNoIDFACode) == 1);
    }
    SUBCASE("a later start without one considers the deferred link again") {
        engine.restart();
        engine.configure();
        CHECK(engine.rawEventNames() == std::vector<std::string>{"_f"});
        CHECK(engine.monitor().count(kAPMDeferredDeepLinkNoIDFACode) == 2);
    }
}
