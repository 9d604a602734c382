// A headless stage for the shell pages' tests: temporary preferences, manual time, a fresh application and a window.
#pragma once

#include <memory>
#include <optional>

#include "platform/dispatch/timer.h"
#include "platform/foundation/user_defaults.h"
#include "platform/gfx/geometry.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/window.h"
#include "testsupport/temp_dir.h"

namespace velmora::testing {

// Test code only. Preferences outlive launch() so that a test can launch
// the same installation again.
class ShellStage {
public:
    explicit ShellStage(platform::gfx::Rect windowFrame = {0, 0, 390, 844});
    ~ShellStage();
    ShellStage(const ShellStage&) = delete;
    ShellStage& operator=(const ShellStage&) = delete;

    // A fresh application with a window showing a new plain root page.
    void launch();
    void advance(double seconds) { time_.advance(seconds); }
    void settle() { time_.settle(); }

    platform::ui::Window& window() { return *window_; }
    const std::shared_ptr<platform::ui::ViewController>& root() const { return root_; }
    // The last controller the window presents, if it is an alert.
    std::shared_ptr<platform::ui::AlertController> shownAlert() const;
    // Taps the shown alert's action and lets its dismissal finish.
    bool answerAlert(const std::string& title);

private:
    testsupport::TempDir folder_;
    platform::ScopedDataDirectory preferences_;
    platform::dispatch::ManualTime time_;
    platform::gfx::Rect frame_;
    std::shared_ptr<platform::ui::Window> window_;
    std::shared_ptr<platform::ui::ViewController> root_;
};

}  // namespace velmora::testing
