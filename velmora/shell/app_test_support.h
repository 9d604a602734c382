// A headless stage for launching the whole application in tests: the engine's fixture, a remote-configuration source of the test's own, recorded events.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "measurement/core/core_test_support.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/window.h"
#include "testsupport/temp_dir.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/shell/app_delegate.h"
#include "velmora/shell/left_view_controller.h"
#include "velmora/shell/remote_config_manager.h"

namespace velmora::testing {

// Test code only. Manual time and queues, temporary preferences and
// application support (the engine fixture's), a remote-configuration client
// reading the stage's own file. Preferences outlive a launch, so that a test
// can launch the same installation again.
class AppStage {
public:
    AppStage();
    ~AppStage();
    AppStage(const AppStage&) = delete;
    AppStage& operator=(const AppStage&) = delete;

    // The remote-configuration document the next fetch reads: the
    // "entries" object's members, keys to JSON values.
    void setRemoteValues(const std::string& entries);
    // A fresh process: the application launched with a new delegate, then
    // (unless asked not to) settled.
    void launch(bool settleAfter = true);
    // The application's events go to a recording sink from here on.
    void recordEvents();
    void settle() { engine.settle(); }
    void advance(double seconds) { engine.time().advance(seconds); }

    std::shared_ptr<AppDelegate> delegate;
    platform::ui::Window& window() { return *delegate->window(); }
    std::shared_ptr<AppNavigationDrawerController> drawer() const { return delegate->drawerController(); }
    std::shared_ptr<LeftViewController> menu() const { return delegate->leftViewController(); }
    std::shared_ptr<platform::material::TabsController> tabs() const;
    // The last controller the window presents, if it is an alert.
    std::shared_ptr<platform::ui::AlertController> shownAlert() const;
    std::vector<std::string> recordedEventNames() const;
    std::vector<RecordingAnalytics::Event> recorded(const std::string& name) const;

    measurement::testing::EngineFixture engine;
    testsupport::TempDir dir;
    std::shared_ptr<platform::VEZRemoteConfig> client;
    std::shared_ptr<RemoteConfigManager> manager;
    std::shared_ptr<RecordingAnalytics> recorder;

private:
    void resetProcess();
};

}  // namespace velmora::testing
