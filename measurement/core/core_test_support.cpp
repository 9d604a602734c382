// The engine test fixture: a temporary data folder, manual time and a captured monitor.
#include "measurement/core/core_test_support.h"

#include <doctest/doctest.h>

#include <future>

#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/app_core/open_url_delegate.h"
#include "testsupport/test_hooks.h"

namespace measurement::testing {

namespace {

void resetProcess() {
    test_hooks::resetMeasurement();
    platform::BackgroundTasks::shared().reset();
    platform::ApplicationOpenURL::reset();
}

}  // namespace

EngineFixture::EngineFixture(bool manualTime) : preferences_(folder_.path() / "Preferences") {
    if (manualTime) time_.emplace();
    resetProcess();
    platform::ProcessInfo::setApplicationSupportDirectory(folder_.path() / "Application Support");
}

EngineFixture::~EngineFixture() {
    if (time_) time_->settle();
    resetProcess();
    platform::ProcessInfo::setApplicationSupportDirectory({});
}

void EngineFixture::configure() {
    REQUIRE(platform::VEZApp::configure());
    settle();
}

void EngineFixture::settle() {
    if (time_) time_->settle();
}

void EngineFixture::restart() {
    settle();
    resetProcess();
}

void EngineFixture::takeConfiguration(const APMPBMeasurementConfig& config) {
    auto engine = APMMeasurement::sharedInstance();
    REQUIRE(engine->remoteConfigInstance());
    bool taken = false;
    std::optional<APMError> error;
    engine->scheduler().workerQueue()->sync([&] {
        taken = engine->configStorage()->performTransaction(
            [&] { return engine->remoteConfigInstance()->updateMeasurementConfig(config, &error); });
    });
    REQUIRE_MESSAGE(taken, (error ? error->description() : "refused"));
}

APMDailyCounts EngineFixture::dailyCounts() {
    auto engine = APMMeasurement::sharedInstance();
    REQUIRE(engine->database());
    std::optional<APMDailyCounts> counts;
    engine->scheduler().workerQueue()->sync([&] { counts = engine->database()->dailyCounts(nullptr); });
    REQUIRE(counts);
    return *counts;
}

APMStoredData EngineFixture::storedData() {
    std::optional<APMError> error;
    auto data = APMReadStoredData(&error);
    REQUIRE(data);
    return *data;
}

std::vector<APMRawEventData> EngineFixture::rawEvents() {
    std::vector<APMRawEventData> events;
    for (auto& stored : storedData().rawEvents) events.push_back(std::move(stored.raw));
    return events;
}

std::vector<std::string> EngineFixture::rawEventNames() {
    std::vector<std::string> names;
    for (const auto& event : rawEvents()) names.push_back(event.event().name());
    return names;
}

std::vector<APMUserAttribute> EngineFixture::userAttributes() { return storedData().userAttributes; }

APMPBMeasurementBundle EngineFixture::metadataOf(const APMRawEventData& event) {
    for (const auto& stored : storedData().rawEvents) {
        if (stored.raw.rowID() == event.rowID()) {
            REQUIRE(stored.metadata);
            return *stored.metadata;
        }
    }
    FAIL("no stored raw event with that row ID");
    return {};
}

std::int64_t intParameter(const APMEvent& event, const std::string& name) {
    const auto* value = event.parameter(name);
    REQUIRE(value);
    REQUIRE(value->isInt64());
    return value->int64Value();
}

std::string stringParameter(const APMEvent& event, const std::string& name) {
    const auto* value = event.parameter(name);
    REQUIRE(value);
    REQUIRE(value->isString());
    return value->stringValue();
}

void waitUntilHandled() {
    std::promise<void> handled;
    APMAnalytics::performAfterQueuedOperations("test:handled", [&handled] { handled.set_value(); });
    handled.get_future().wait();
}

void resignAndUpload() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    REQUIRE(platform::BackgroundTasks::shared().waitUntilNoActiveTask(30));
}

}  // namespace measurement::testing
