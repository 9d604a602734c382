// The pages' test fixture.
#include "velmora/screens/page_test_support.h"

#include <doctest/doctest.h>

#include <fstream>

#include "platform/gfx/utf8_text.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/ui_log.h"
#include "velmora/charts/screenshot_flag.h"
#include "velmora/engine/error_manager.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/calculating_flag.h"
#include "velmora/screens/rating_view_controller.h"
#include "velmora/screens/screen_scenes.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/shell/page_factory.h"

namespace velmora::testing {

std::vector<std::string> keys(const std::string& text) {
    std::vector<std::string> out;
    for (char32_t c : platform::gfx::decodeUTF8(text)) out.push_back(platform::gfx::encodeUTF8(std::u32string(1, c)));
    return out;
}

UnwritableFolder::UnwritableFolder(std::filesystem::path folder)
    : folder_(std::move(folder)), away_(folder_.string() + ".away") {
    std::filesystem::rename(folder_, away_);
    std::ofstream(folder_) << "in place of a folder";
}

UnwritableFolder::~UnwritableFolder() {
    std::error_code ec;
    std::filesystem::remove(folder_, ec);
    std::filesystem::rename(away_, folder_, ec);
}

PageFixture::PageFixture() : PageFixture(Options{}) {}

PageFixture::PageFixture(Options options) : options_(options) {
    if (options_.ownTimeAndPreferences) {
        folder_.emplace();
        preferences_.emplace(folder_->path());
        time_.emplace();
    }
    if (options_.recordEvents) {
        recorder = std::make_shared<RecordingAnalytics>();
        setAnalytics(recorder);
    }
    platform::ui::clearLoggedMessages();
    resetProcessState();
}

PageFixture::~PageFixture() {
    if (window_) window_->setRootViewController(nullptr);
    window_.reset();
    drawer_.reset();
    resetProcessState();
    shellHooks() = ShellHooks{};
    setConnectionProbeClient(nullptr);
    setConnectionProbeURL("");
    if (options_.recordEvents) setAnalytics(nullptr);
}

// What a new run of the process starts without.
void PageFixture::resetProcessState() {
    platform::ui::Application::shared().reset();
    CalcManager::resetShared();
    RatingViewController::resetShared();
    ErrorManager::shared().allFields.clear();
    ErrorManager::shared().requiredAmountOfFields = 0;
    KuvoStringOutput::shared().clear();
    KuvoMathOperation::shared().withFraction = false;
    isCalculating = false;
    setIsTakingScreenshot(false);
    auto& hooks = shellHooks();
    hooks = ShellHooks{};
    hooks.showToast = [this](const std::string& message) { toasts.push_back(message); };
    hooks.makeAppToolbarController = [] { return PageFactory::makeAppToolbarController(); };
    registerScreenScenes();
}

void PageFixture::launch() {
    drawer_ = std::make_shared<platform::material::NavigationDrawerController>(
        makeAppToolbarController(), std::make_shared<platform::ui::ViewController>());
    window_ = std::make_shared<platform::ui::Window>();
    window_->setRootViewController(drawer_);
    window_->makeKeyAndVisible();
    settle();
}

void PageFixture::relaunch() {
    if (window_) window_->setRootViewController(nullptr);
    window_.reset();
    drawer_.reset();
    settle();
    resetProcessState();
    launch();
}

void PageFixture::advance(double seconds) {
    if (time_) {
        time_->advance(seconds);
    } else if (options_.time) {
        options_.time->advance(seconds);
    }
}

std::shared_ptr<platform::material::ToolbarController> PageFixture::toolbar() const {
    return std::dynamic_pointer_cast<platform::material::ToolbarController>(drawer_->rootViewController());
}

std::shared_ptr<platform::material::TabsController> PageFixture::tabs() const {
    auto bar = toolbar();
    return bar ? std::dynamic_pointer_cast<platform::material::TabsController>(bar->rootViewController()) : nullptr;
}

std::shared_ptr<CalculateViewController> PageFixture::calculatePage() const {
    auto t = tabs();
    return t ? std::dynamic_pointer_cast<CalculateViewController>(t->viewControllers().at(0)) : nullptr;
}

std::shared_ptr<SolutionViewController> PageFixture::solutionPage() const {
    auto t = tabs();
    return t ? std::dynamic_pointer_cast<SolutionViewController>(t->viewControllers().at(1)) : nullptr;
}

void PageFixture::typeOnKeypad(const std::string& fieldId, const std::vector<std::string>& keys) {
    auto page = calculatePage();
    REQUIRE(page);
    auto field = platform::ui::findView(*window_, fieldId);
    REQUIRE(field);
    REQUIRE(platform::ui::tap(*field));
    for (const auto& key : keys) {
        auto button = findFlatButton(key, *page->keypadStackView);
        REQUIRE(button);
        CHECK(platform::ui::tap(*button));
    }
}

void PageFixture::calculate(const std::string& k, const std::string& n, const std::string& p) {
    typeOnKeypad("kTextField", keys(k));
    typeOnKeypad("nTextField", keys(n));
    typeOnKeypad("pTextField", keys(p));
    REQUIRE(platform::ui::tap(*calculatePage()->calculateButton));
    settle();
}

std::vector<std::string> PageFixture::eventNames() const {
    return recorder ? recorder->eventNames() : std::vector<std::string>{};
}

std::vector<RecordingAnalytics::Event> PageFixture::events(const std::string& name) const {
    return recorder ? recorder->events(name) : std::vector<RecordingAnalytics::Event>{};
}

}  // namespace velmora::testing
