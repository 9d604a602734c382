#pragma once

// A headless application for the pages' tests: temporary preferences,
// manual time, a fresh platform application with the pages' scenes, the
// analytics events recorded, toasts caught, and the calculator tree in a
// drawer in the key window. Test code only.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/timer.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"
#include "platform/ui/window.h"
#include "testsupport/temp_dir.h"
#include "velmora/engine/analytics_sink.h"

namespace velmora {
class CalculateViewController;
class SolutionViewController;
}  // namespace velmora

namespace velmora::testing {

// The keys that type a text: one a character.
std::vector<std::string> keys(const std::string& text);

// A folder that cannot be written while this lives, whoever runs the test
// (permissions do not hold back the superuser): it is moved aside and a
// file takes its place, so every write into it fails ("Not a directory").
class UnwritableFolder {
public:
    explicit UnwritableFolder(std::filesystem::path folder);
    ~UnwritableFolder();
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

private:
    std::filesystem::path folder_;
    std::filesystem::path away_;
};

class PageFixture {
public:
    struct Options {
        // Time, queues and preferences of the fixture's own; off when the
        // test runs a measurement engine fixture that has them.
        bool ownTimeAndPreferences = true;
        // Events go to a recording sink; off when the test installs another.
        bool recordEvents = true;
        // The clock that advance() moves when the fixture has none of its own.
        platform::dispatch::ManualTime* time = nullptr;
    };

    PageFixture();
    explicit PageFixture(Options options);
    ~PageFixture();
    PageFixture(const PageFixture&) = delete;
    PageFixture& operator=(const PageFixture&) = delete;

    // The window with a drawer around a new calculator tree, shown and settled.
    void launch();
    // Ends this run as a process stop would (the preferences stay) and
    // launches again.
    void relaunch();
    // Fires what is due on the clock, draining the queues (manual time only).
    void advance(double seconds);
    void settle() { advance(0); }

    platform::ui::Window& window() { return *window_; }
    std::shared_ptr<platform::material::NavigationDrawerController> drawer() const { return drawer_; }
    std::shared_ptr<platform::material::ToolbarController> toolbar() const;
    std::shared_ptr<platform::material::TabsController> tabs() const;
    std::shared_ptr<CalculateViewController> calculatePage() const;
    std::shared_ptr<SolutionViewController> solutionPage() const;

    // Focuses the field by tapping it and presses the keys, one tap each.
    void typeOnKeypad(const std::string& fieldId, const std::vector<std::string>& keys);
    // Types k, n and p and taps the calculate key.
    void calculate(const std::string& k, const std::string& n, const std::string& p);

    std::vector<std::string> eventNames() const;
    std::vector<RecordingAnalytics::Event> events(const std::string& name) const;
    std::vector<std::string> toasts;
    std::shared_ptr<RecordingAnalytics> recorder;

private:
    void resetProcessState();

    Options options_;
    std::optional<testsupport::TempDir> folder_;
    std::optional<platform::ScopedDataDirectory> preferences_;
    std::optional<platform::dispatch::ManualTime> time_;
    std::shared_ptr<platform::ui::Window> window_;
    std::shared_ptr<platform::material::NavigationDrawerController> drawer_;
};

}  // namespace velmora::testing
