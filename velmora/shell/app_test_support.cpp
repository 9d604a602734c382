// The application's launch stage for tests.
#include "velmora/shell/app_test_support.h"

#include <fstream>

#include "platform/foundation/process_info.h"
#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"
#include "velmora/engine/console_line.h"
#include "velmora/engine/error_manager.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/calculating_flag.h"
#include "velmora/screens/rating_view_controller.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/shell/video_tutorial_cells.h"

namespace velmora::testing {

AppStage::AppStage() {
    platform::ProcessInfo::setLocaleIdentifier("en_US");
    // Remote values that do not decode are reported on the console: kept
    // out of the test's output.
    setConsoleSink([](const std::string&) {});
    setRemoteValues("");
    client = std::make_shared<platform::VEZRemoteConfig>(
        platform::VEZRemoteConfigOptions{dir / "remote", (dir / "values.json").string(), nullptr, nullptr});
    manager = RemoteConfigManager::make(client);
    resetProcess();
}

AppStage::~AppStage() {
    if (delegate && delegate->window()) delegate->window()->setRootViewController(nullptr);
    delegate.reset();
    settle();
    resetProcess();
    shellHooks() = ShellHooks{};
    setAnalytics(nullptr);
    setConsoleSink({});
    platform::ProcessInfo::reset();
}

// What a new run of the process starts without.
void AppStage::resetProcess() {
    platform::ui::Application::shared().reset();
    platform::ui::clearLoggedMessages();
    CalcManager::resetShared();
    RatingViewController::resetShared();
    ErrorManager::shared().allFields.clear();
    ErrorManager::shared().requiredAmountOfFields = 0;
    KuvoStringOutput::shared().clear();
    KuvoMathOperation::shared().withFraction = false;
    isCalculating = false;
    VideoCollectionTableViewCell::forgetRootViewWidth();
}

void AppStage::setRemoteValues(const std::string& entries) {
    std::ofstream(dir / "values.json", std::ios::trunc) << "{\"entries\": {" << entries << "}}";
}

void AppStage::launch(bool settleAfter) {
    if (delegate && delegate->window()) delegate->window()->setRootViewController(nullptr);
    delegate.reset();
    settle();
    engine.restart();
    resetProcess();
    delegate = std::make_shared<AppDelegate>(manager);
    platform::ui::Application::shared().launch(delegate);
    if (settleAfter) settle();
}

void AppStage::recordEvents() {
    recorder = std::make_shared<RecordingAnalytics>();
    setAnalytics(recorder);
}

std::shared_ptr<platform::material::TabsController> AppStage::tabs() const {
    auto toolbar = std::dynamic_pointer_cast<platform::material::ToolbarController>(drawer()->rootViewController());
    return toolbar ? std::dynamic_pointer_cast<platform::material::TabsController>(toolbar->rootViewController()) : nullptr;
}

std::shared_ptr<platform::ui::AlertController> AppStage::shownAlert() const {
    return std::dynamic_pointer_cast<platform::ui::AlertController>(delegate->window()->topViewController());
}

std::vector<std::string> AppStage::recordedEventNames() const {
    return recorder ? recorder->eventNames() : std::vector<std::string>{};
}

std::vector<RecordingAnalytics::Event> AppStage::recorded(const std::string& name) const {
    return recorder ? recorder->events(name) : std::vector<RecordingAnalytics::Event>{};
}

}  // namespace velmora::testing
