#pragma once

// Helpers of the reporter tests: a host that records what the reporters log
// (adding the current screen's parameters as the facade does), a server
// configuration with chosen flags, and a headless application with manual
// time, a key window and a full set of reporters.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/audience/ad_exposure_reporter.h"
#include "measurement/audience/reporter_host.h"
#include "measurement/audience/screen_view_reporter.h"
#include "measurement/audience/session_reporter.h"
#include "measurement/foundation/monitor.h"
#include "measurement/store/persisted_config.h"
#include "platform/dispatch/timer.h"
#include "platform/ui/window.h"
#include "testsupport/temp_dir.h"

#include <filesystem>

namespace reporter_test {

using namespace measurement;
using Settings = std::vector<std::pair<std::string, std::string>>;

struct LoggedEvent {
    std::string origin;
    std::string name;
    platform::Value::Dictionary parameters;
    std::optional<double> timestamp;

    std::int64_t integer(const std::string& key) const;
    std::string text(const std::string& key) const;
    bool has(const std::string& key) const { return parameters.count(key) > 0; }
};

struct PropertyChange {
    std::optional<platform::Value> value;
    std::string name;
    std::string origin;
};

// A server configuration holding the settings (flag name, text value).
std::shared_ptr<APMRemoteConfig> configWithSettings(const Settings& settings);

class RecordingHost : public APMReporterHost {
public:
    explicit RecordingHost(std::shared_ptr<APMRemoteConfig> config) : config_(std::move(config)) {}

    void logInternalEvent(const std::string& origin, const std::string& name,
                          const platform::Value::Dictionary& parameters, std::optional<double> timestamp) override;
    void setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                                 const std::string& origin) override;
    std::shared_ptr<APMRemoteConfig> remoteConfig() const override { return config_; }
    bool hasInitializedComponents() const override { return initialized.load(); }
    bool isEnabled() const override { return enabled.load(); }
    std::shared_ptr<APMSessionReporter> sessionReporter() const override;
    bool isAppActive() const override;
    platform::Value::Dictionary screenParameters() const override;

    void attach(std::shared_ptr<APMScreenViewReporter> screens, std::shared_ptr<APMSessionReporter> sessions);
    std::vector<LoggedEvent> events() const;
    std::vector<std::string> eventNames() const;
    std::vector<LoggedEvent> eventsNamed(const std::string& name) const;
    std::vector<PropertyChange> properties() const;
    void clear();

    std::atomic<bool> initialized{true};
    std::atomic<bool> enabled{true};
    // Without a screen-view reporter.
    std::atomic<bool> appActive{true};

private:
    std::shared_ptr<APMRemoteConfig> config_;
    mutable std::mutex mutex_;
    std::weak_ptr<APMScreenViewReporter> screens_;
    std::shared_ptr<APMSessionReporter> sessions_;
    std::vector<LoggedEvent> events_;
    std::vector<PropertyChange> properties_;
};

// Manual time and queues, a fresh application with a key window, and the
// three reporters over a recording host and a persisted-settings file of
// their own. The view-controller hooks are not installed.
class ReporterFixture {
public:
    explicit ReporterFixture(const Settings& settings = {}, bool manualQueues = true);
    ~ReporterFixture();

    void activate();
    void resign();
    void enterBackground();
    void settle() { time.settle(); }
    void advance(double seconds) { time.advance(seconds); }
    // Shows the controller as the window's root, the window key and visible.
    void show(const std::shared_ptr<platform::ui::ViewController>& root);

    platform::dispatch::ManualTime time;
    testsupport::TempDir folder;
    APMMonitorCapture monitor;
    std::shared_ptr<RecordingHost> host;
    std::shared_ptr<APMPersistedConfig> persisted;
    std::shared_ptr<APMAdExposureReporter> ads;
    std::shared_ptr<APMScreenViewReporter> screens;
    std::shared_ptr<APMSessionReporter> sessions;
    std::shared_ptr<platform::ui::Window> window;
};

// Points the main bundle at a folder whose Info.plist holds the entries,
// for the object's lifetime.
class InfoPlist {
public:
    explicit InfoPlist(const platform::Value::Dictionary& entries);
    ~InfoPlist();

private:
    testsupport::TempDir folder_;
    std::filesystem::path saved_;
};

// The after-hooks of every controller's transitions, handing them to the
// fixture's screen-view reporter, for the object's lifetime.
class Interception {
public:
    explicit Interception(const ReporterFixture& fixture);
    ~Interception();

private:
    std::pair<std::uint64_t, std::uint64_t> hooks_{0, 0};
};

// A plain page of the application, named by its class.
struct HomePage : platform::ui::ViewController {};
struct DetailPage : platform::ui::ViewController {};
struct SettingsPage : platform::ui::ViewController {};

}  // namespace reporter_test
