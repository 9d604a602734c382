// The shell pages' test stage.
#include "velmora/shell/shell_pages_test_support.h"

#include "platform/gfx/image.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/shell/manual_view_controller.h"
#include "velmora/shell/video_tutorial_cells.h"

namespace velmora::testing {

ShellStage::ShellStage(platform::gfx::Rect windowFrame) : preferences_(folder_.path()), frame_(windowFrame) {
    // The calculations' store keeps the preferences of the folder it was
    // made in: an earlier stage's, gone with it, would be written again.
    CalcManager::resetShared();
    registerManualPageNib();
    registerVideoTutorialNibs();
    VideoCollectionTableViewCell::forgetRootViewWidth();
    launch();
}

ShellStage::~ShellStage() {
    if (window_) window_->setRootViewController(nullptr);
    window_.reset();
    root_.reset();
    time_.settle();
    platform::ui::Application::shared().reset();
    platform::gfx::Image::unregisterAll();
    VideoCollectionTableViewCell::forgetRootViewWidth();
    CalcManager::resetShared();
}

void ShellStage::launch() {
    if (window_) window_->setRootViewController(nullptr);
    time_.settle();
    platform::ui::Application::shared().reset();
    platform::ui::clearLoggedMessages();
    window_ = std::make_shared<platform::ui::Window>(frame_);
    root_ = std::make_shared<platform::ui::ViewController>();
    window_->setRootViewController(root_);
    window_->makeKeyAndVisible();
    time_.settle();
}

std::shared_ptr<platform::ui::AlertController> ShellStage::shownAlert() const {
    auto top = window_->topViewController();
    return std::dynamic_pointer_cast<platform::ui::AlertController>(top);
}

bool ShellStage::answerAlert(const std::string& title) {
    auto alert = shownAlert();
    if (!alert || !alert->tapAction(title)) return false;
    time_.advance(1);
    return true;
}

}  // namespace velmora::testing
