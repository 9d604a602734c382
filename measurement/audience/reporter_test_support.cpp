// The reporter tests' host, configuration and application.
#include "measurement/audience/reporter_test_support.h"

#include <doctest/doctest.h>

#include <fstream>

#include "measurement/audience/view_controller_tracking.h"
#include "measurement/foundation/event_parameters.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "measurement/store/config_test_support.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"

namespace reporter_test {

std::int64_t LoggedEvent::integer(const std::string& key) const {
    auto it = parameters.find(key);
    REQUIRE_MESSAGE(it != parameters.end(), name << " has no " << key);
    REQUIRE(it->second.isInt());
    return it->second.intValue();
}

std::string LoggedEvent::text(const std::string& key) const {
    auto it = parameters.find(key);
    REQUIRE_MESSAGE(it != parameters.end(), name << " has no " << key);
    REQUIRE(it->second.isString());
    return it->second.asString();
}

std::shared_ptr<APMRemoteConfig> configWithSettings(const Settings& settings) {
    auto storage = std::make_shared<config_test::MemoryConfigStorage>();
    config_test::ConfigBuilder builder;
    for (const auto& [name, value] : settings) builder.setting(name, value);
    storage->data = builder.bytes();
    return std::make_shared<APMRemoteConfig>(storage, config_test::testEnvironment());
}

void RecordingHost::logInternalEvent(const std::string& origin, const std::string& name,
                                     const platform::Value::Dictionary& parameters, std::optional<double> timestamp) {
    auto withScreen = parameters;
    if (!APMHasScreenParameters(parameters)) {
        for (auto& [key, value] : screenParameters()) withScreen.emplace(key, value);
    }
    std::lock_guard lock(mutex_);
    events_.push_back({origin, name, std::move(withScreen), timestamp});
}

void RecordingHost::setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                                            const std::string& origin) {
    std::lock_guard lock(mutex_);
    properties_.push_back({value, name, origin});
}

std::shared_ptr<APMSessionReporter> RecordingHost::sessionReporter() const {
    std::lock_guard lock(mutex_);
    return initialized ? sessions_ : nullptr;
}

bool RecordingHost::isAppActive() const {
    std::shared_ptr<APMScreenViewReporter> screens;
    {
        std::lock_guard lock(mutex_);
        screens = screens_.lock();
    }
    return screens ? screens->isAppActive() : appActive.load();
}

platform::Value::Dictionary RecordingHost::screenParameters() const {
    std::shared_ptr<APMScreenViewReporter> screens;
    {
        std::lock_guard lock(mutex_);
        screens = screens_.lock();
    }
    return screens ? screens->screenParameters() : platform::Value::Dictionary{};
}

void RecordingHost::attach(std::shared_ptr<APMScreenViewReporter> screens,
                           std::shared_ptr<APMSessionReporter> sessions) {
    std::lock_guard lock(mutex_);
    screens_ = screens;
    sessions_ = std::move(sessions);
}

std::vector<LoggedEvent> RecordingHost::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> RecordingHost::eventNames() const {
    std::vector<std::string> names;
    for (const auto& event : events()) names.push_back(event.name);
    return names;
}

std::vector<LoggedEvent> RecordingHost::eventsNamed(const std::string& name) const {
    std::vector<LoggedEvent> found;
    for (const auto& event : events()) {
        if (event.name == name) found.push_back(event);
    }
    return found;
}

std::vector<PropertyChange> RecordingHost::properties() const {
    std::lock_guard lock(mutex_);
    return properties_;
}

void RecordingHost::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    properties_.clear();
}

ReporterFixture::ReporterFixture(const Settings& settings, bool manualQueues)
    : time(manualQueues),
      host(std::make_shared<RecordingHost>(configWithSettings(settings))),
      persisted(std::make_shared<APMPersistedConfig>(folder / "settings.plist")) {
    platform::ui::Application::shared().reset();
    platform::ui::clearLoggedMessages();
    ads = APMAdExposureReporter::make(host);
    screens = APMScreenViewReporter::make(host, ads);
    sessions = std::make_shared<APMSessionReporter>(persisted, host);
    host->attach(screens, sessions);
    window = std::make_shared<platform::ui::Window>();
}

ReporterFixture::~ReporterFixture() {
    time.settle();
    sessions->userEngagementTimer().cancel();
    host->attach(nullptr, nullptr);  // the session reporter holds the host
    platform::ui::Application::shared().reset();
}

void ReporterFixture::activate() {
    platform::ui::Application::shared().becomeActive();
    settle();
}

void ReporterFixture::resign() {
    platform::ui::Application::shared().resignActive();
    settle();
}

void ReporterFixture::enterBackground() {
    platform::ui::Application::shared().enterBackground();
    settle();
}

void ReporterFixture::show(const std::shared_ptr<platform::ui::ViewController>& root) {
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    settle();
}

InfoPlist::InfoPlist(const platform::Value::Dictionary& entries) : saved_(platform::Bundle::main().resourcePath()) {
    std::ofstream(folder_ / "Info.plist", std::ios::binary) << platform::writePropertyListXML(platform::Value(entries));
    platform::Bundle::setMainResourcePath(folder_.path());
}

InfoPlist::~InfoPlist() { platform::Bundle::setMainResourcePath(saved_); }

Interception::Interception(const ReporterFixture& fixture) {
    std::weak_ptr<APMScreenViewReporter> screens = fixture.screens;
    auto installed = APMInterceptViewControllerTransitions([screens] { return screens.lock(); });
    REQUIRE(installed);
    hooks_ = *installed;
}

Interception::~Interception() {
    platform::ui::LifecycleHooks::removeAfterHook(hooks_.first);
    platform::ui::LifecycleHooks::removeAfterHook(hooks_.second);
}

}  // namespace reporter_test
