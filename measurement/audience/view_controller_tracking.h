#pragma once

// Automatic screen tracking: the screen attached to each controller, each
// window's stack of the controllers that appeared in it, the visible
// controller chosen from the key window's stack, and the after-hooks that
// follow every controller's appearance and disappearance. All of it runs on
// the main thread, where the platform runs controllers' lifecycles.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/screen.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace measurement {

class APMScreenViewReporter;

// The screen attached to a controller; none when it has none. Another kind
// of object stored under the key is cleared (code 36000).
APMScreenRef APMViewControllerScreen(platform::ui::ViewController& controller);
void APMSetViewControllerScreen(platform::ui::ViewController& controller, APMScreenRef screen);

// The controllers that appeared in a window, in the order they appeared
// (index 0 the bottom, normally the root), held weakly: a freed controller
// leaves an empty entry until the stack is compacted.
class APMViewControllerStack {
public:
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    // None for an entry whose controller was freed.
    std::shared_ptr<platform::ui::ViewController> at(std::size_t index) const;
    // The first index holding the controller.
    std::optional<std::size_t> indexOf(const platform::ui::ViewController& controller) const;
    void append(const std::shared_ptr<platform::ui::ViewController>& controller);
    void removeAt(std::size_t index);
    // Removes every empty entry.
    void compact();

private:
    std::vector<std::weak_ptr<platform::ui::ViewController>> entries_;
};

// A window's stack; none when it has none. Another kind of object stored
// under the key is cleared (code 38000).
std::shared_ptr<APMViewControllerStack> APMWindowViewControllerStack(platform::ui::Window& window);
void APMSetWindowViewControllerStack(platform::ui::Window& window, std::shared_ptr<APMViewControllerStack> stack);
// The shared application's key window; none inside an application
// extension or when no window is key.
std::shared_ptr<platform::ui::Window> APMKeyWindow();
// The key window's stack, made empty and stored on the window when it has
// none; none without a key window.
std::shared_ptr<APMViewControllerStack> APMKeyWindowViewControllerStack();
std::shared_ptr<platform::ui::ViewController> APMKeyWindowRootViewController();

// A controller of a framework whose class (or superclass) name begins with
// "_" is not tracked; any other is tracked while its view is loaded and in
// the key window.
bool APMShouldTrackViewController(platform::ui::ViewController& controller);
// The controller the user sees, chosen from the stack (see the .cpp); none
// for an empty stack (code 31011).
std::shared_ptr<platform::ui::ViewController> APMVisibleViewController(APMViewControllerStack& stack);

// The process as the interception reads it; the defaults read the real one.
struct APMViewControllerInterceptionEnvironment {
    // The Info.plist's switch of automatic screen reporting.
    std::function<bool()> screenReportingEnabled;
    // Whether a class of that name is in the process.
    std::function<bool(const std::string&)> classExists;
    // The controller's handler of a selector.
    std::function<std::optional<platform::ui::LifecycleHandler>(const std::string&)> handlerNamed;

    static APMViewControllerInterceptionEnvironment process();
};

// Where the hooks find the reporter at each transition; none drops it.
using APMScreenViewReporterProvider = std::function<std::shared_ptr<APMScreenViewReporter>()>;

// Follows viewDidAppear: and viewDidDisappear: of every controller with the
// reporter's handlers, after the controller's own. Answers the two hook
// identifiers, or none when nothing was installed (screen reporting off, an
// older framework present, a handler missing), which the platform logger
// says.
std::optional<std::pair<std::uint64_t, std::uint64_t>> APMInterceptViewControllerTransitions(
    APMScreenViewReporterProvider provider,
    const APMViewControllerInterceptionEnvironment& environment = APMViewControllerInterceptionEnvironment::process());
// The same, once per process: later calls do nothing. Answers whether this
// call was the first.
bool APMInterceptViewControllerTransitionsOnce(APMScreenViewReporterProvider provider);

}  // namespace measurement
