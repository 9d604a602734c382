// The controllers' screens, the windows' stacks, the visible controller and
// the interception of every controller's transitions; the screen-view
// reporter's side of automatic tracking.
#include "measurement/audience/view_controller_tracking.h"

#include <cstdio>
#include <mutex>

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/screen_view_reporter.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/text.h"
#include "platform/frameworks/utilities/os_log.h"
#include "platform/ui/application.h"
#include "platform/ui/navigation_controller.h"
#include "platform/ui/runtime_class.h"
#include "platform/ui/tab_bar_controller.h"

namespace measurement {

namespace {

using platform::ui::ViewController;
using ControllerRef = std::shared_ptr<ViewController>;

constexpr const char* kScreenKey = "apmScreen";
constexpr const char* kStackKey = "apmStack";
constexpr const char* kOlderFrameworkClass = "REDADiriveri";
// Containers nest only so deep; a longer chain is a cycle.
constexpr int kMaxContainerDepth = 64;

// A value stored under the key, when it is of the expected type; any other
// value is cleared and reported under the code.
template <class T>
T associated(platform::ui::Responder& object, const char* key, long code) {
    const std::any stored = object.associatedValue(key);
    if (!stored.has_value()) return T();
    if (const auto* value = std::any_cast<T>(&stored)) return *value;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, code, "Found unknown associated object",
                                      platform::Value(platform::ui::shortTypeName(stored.type())));
    object.setAssociatedObject(key, std::any());
    return T();
}

bool beginsWithUnderscore(const std::string& className) {
    const auto name = APMDefaultScreenClassName(className);
    return !name.empty() && name[0] == '_';
}

bool isLoadedInWindow(const ViewController& controller) {
    const auto view = controller.viewIfLoaded();
    return view && view->window();
}

bool isContainer(const ControllerRef& controller) {
    return std::dynamic_pointer_cast<platform::ui::NavigationController>(controller) ||
           std::dynamic_pointer_cast<platform::ui::TabBarController>(controller) ||
           std::dynamic_pointer_cast<platform::ui::PageViewController>(controller);
}

// One step down from a controller to what it shows.
ControllerRef shownBy(const ControllerRef& controller) {
    if (auto navigation = std::dynamic_pointer_cast<platform::ui::NavigationController>(controller)) {
        return navigation->visibleViewController();
    }
    if (auto tabs = std::dynamic_pointer_cast<platform::ui::TabBarController>(controller)) {
        return tabs->selectedViewController();
    }
    if (auto pages = std::dynamic_pointer_cast<platform::ui::PageViewController>(controller)) {
        return pages->viewControllers().empty() ? nullptr : pages->viewControllers().front();
    }
    if (auto presented = controller->presentedViewController()) return presented;
    return controller->isBeingPresented() ? controller : nullptr;
}

// A controller whose siblings are off screen stands for its parent, which
// is the result when it has a screen.
ControllerRef standInForParent(const ControllerRef& controller, bool& parentHasScreen) {
    parentHasScreen = false;
    auto parent = controller->parent();
    if (!parent || parent->children().size() < 2) return controller;
    for (const auto& sibling : parent->children()) {
        if (sibling != controller && !isLoadedInWindow(*sibling)) {
            parentHasScreen = APMViewControllerScreen(*parent) != nullptr;
            return parent;
        }
    }
    return controller;
}

// What the entry shows, or none.
ControllerRef visibleThrough(const ControllerRef& entry) {
    if (APMViewControllerScreen(*entry)) return entry;
    bool parentHasScreen = false;
    auto candidate = standInForParent(entry, parentHasScreen);
    if (parentHasScreen) return candidate;
    auto next = shownBy(candidate);
    for (int depth = 0; next && isContainer(next) && depth < kMaxContainerDepth; ++depth) next = shownBy(next);
    return next && isLoadedInWindow(*next) ? next : nullptr;
}

// A controller's class name as a screen class: cut to the value length
// between characters, never inside one (code 31007); none when it is still
// no valid value (code 31008).
std::optional<std::string> screenClassWithin(const std::string& className, std::size_t maxLength) {
    auto name = className;
    if (APMUTF16Length(name) > maxLength) {
        name = APMTruncatedToUTF16Length(className, maxLength);
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelDebug, kAPMTrimmedScreenClassCode,
            "Trimmed name of default screen class. Original screen class, trimmed screen class",
            platform::Value(className), platform::Value(name));
    }
    if (!APMDataTypeValidator::isValidScreenParameterValue(platform::Value(name), nullptr, maxLength)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMInvalidDefaultScreenClassCode,
                                          "Received invalid default screen class", platform::Value(name));
        return std::nullopt;
    }
    return name;
}

std::string messageCode(long code) {
    char text[32];
    std::snprintf(text, sizeof text, "I-ACS%06ld", code);
    return text;
}

}  // namespace

// ---- Screens and stacks -------------------------------------------------------------

APMScreenRef APMViewControllerScreen(ViewController& controller) {
    return associated<APMScreenRef>(controller, kScreenKey, kAPMUnknownViewControllerObjectCode);
}

void APMSetViewControllerScreen(ViewController& controller, APMScreenRef screen) {
    controller.setAssociatedObject(kScreenKey, screen ? std::any(std::move(screen)) : std::any());
}

ControllerRef APMViewControllerStack::at(std::size_t index) const {
    return index < entries_.size() ? entries_[index].lock() : nullptr;
}

std::optional<std::size_t> APMViewControllerStack::indexOf(const ViewController& controller) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].lock().get() == &controller) return i;
    }
    return std::nullopt;
}

void APMViewControllerStack::append(const ControllerRef& controller) { entries_.push_back(controller); }

void APMViewControllerStack::removeAt(std::size_t index) {
    if (index < entries_.size()) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
}

void APMViewControllerStack::compact() {
    std::erase_if(entries_, [](const auto& entry) { return entry.expired(); });
}

std::shared_ptr<APMViewControllerStack> APMWindowViewControllerStack(platform::ui::Window& window) {
    return associated<std::shared_ptr<APMViewControllerStack>>(window, kStackKey, kAPMUnknownWindowObjectCode);
}

void APMSetWindowViewControllerStack(platform::ui::Window& window, std::shared_ptr<APMViewControllerStack> stack) {
    window.setAssociatedObject(kStackKey, stack ? std::any(std::move(stack)) : std::any());
}

std::shared_ptr<platform::ui::Window> APMKeyWindow() {
    if (APMAEU::isAppExtension()) return nullptr;
    return platform::ui::Application::shared().keyWindow();
}

std::shared_ptr<APMViewControllerStack> APMKeyWindowViewControllerStack() {
    auto window = APMKeyWindow();
    if (!window) return nullptr;
    auto stack = APMWindowViewControllerStack(*window);
    if (!stack) {
        stack = std::make_shared<APMViewControllerStack>();
        APMSetWindowViewControllerStack(*window, stack);
    }
    return stack;
}

ControllerRef APMKeyWindowRootViewController() {
    auto window = APMKeyWindow();
    return window ? window->rootViewController() : nullptr;
}

// ---- Which controller is seen ---------------------------------------------------------

bool APMShouldTrackViewController(ViewController& controller) {
    const auto description = platform::ui::runtimeClassOf(controller);
    if (!description.inMainBundle &&
        (beginsWithUnderscore(description.name) || beginsWithUnderscore(description.superclassName))) {
        return false;
    }
    const auto view = controller.viewIfLoaded();
    const auto window = APMKeyWindow();
    return view && window && view->isDescendantOf(window.get());
}

// From the top of the stack down: first a controller the application named
// that is still on screen; then the first entry on screen that has a screen,
// or that leads (through its parent when its siblings are off screen, and
// down through containers and presentations) to a controller on screen;
// else the bottom entry.
ControllerRef APMVisibleViewController(APMViewControllerStack& stack) {
    for (std::size_t i = stack.size(); i-- > 0;) {
        auto entry = stack.at(i);
        if (!entry || !entry->isViewLoaded()) continue;
        auto screen = APMViewControllerScreen(*entry);
        if (screen && screen->isManuallySet() && isLoadedInWindow(*entry)) return entry;
    }
    for (std::size_t i = stack.size(); i-- > 0;) {
        auto entry = stack.at(i);
        if (!entry || !isLoadedInWindow(*entry)) continue;
        if (auto visible = visibleThrough(entry)) return visible;
    }
    if (!stack.empty()) {
        stack.compact();
        if (!stack.empty()) return stack.at(0);
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMRootViewControllerNotFoundCode,
                                      "Root view controller not found");
    return nullptr;
}

// ---- The reporter's side ---------------------------------------------------------------

void APMScreenViewReporter::makeVisibleControllerCurrent(APMViewControllerStack& stack) {
    auto top = APMVisibleViewController(stack);
    if (top && APMShouldTrackViewController(*top)) setCurrentViewController(top);
}

void APMScreenViewReporter::viewControllerDidAppear(ViewController& controller) {
    bool tracked = false;
    if (auto stack = APMKeyWindowViewControllerStack()) {
        auto window = APMKeyWindow();
        if (window && window->rootViewController().get() == &controller && !stack->empty() &&
            stack->at(0).get() != &controller) {
            // The root reappearing: whatever sat above it has gone.
            stack = std::make_shared<APMViewControllerStack>();
            APMSetWindowViewControllerStack(*window, stack);
        }
        if (auto index = stack->indexOf(controller)) stack->removeAt(*index);
        tracked = APMShouldTrackViewController(controller);
        if (auto shared = controller.sharedAs<ViewController>(); tracked && shared) stack->append(shared);
        stack->compact();
        makeVisibleControllerCurrent(*stack);
    }
    if (auto observer = rerudodoPerfDelegate()) observer->viewControllerDidAppear(controller, tracked);
}

void APMScreenViewReporter::viewControllerDidDisappear(ViewController& controller) {
    if (auto stack = APMKeyWindowViewControllerStack()) {
        // The bottom entry stays: the window's root outlives its pages.
        if (auto index = stack->indexOf(controller); index && *index != 0) stack->removeAt(*index);
        stack->compact();
        makeVisibleControllerCurrent(*stack);
    }
    if (auto observer = rerudodoPerfDelegate()) observer->viewControllerDidDisappear(controller);
}

void APMScreenViewReporter::handleWindowDidResign() {
    auto stack = APMKeyWindowViewControllerStack();
    if (stack && !stack->empty()) makeVisibleControllerCurrent(*stack);
}

void APMScreenViewReporter::setCurrentViewController(const ControllerRef& controller) {
    if (!controller) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMNilViewControllerCode,
                                          "Received nil view controller");
        return;
    }
    const auto maxLength = maxValueLength();
    const bool engineEnabled = host_->hasInitializedComponents() && host_->isEnabled();
    const auto defaultName = APMDefaultScreenClassName(platform::ui::runtimeClassOf(*controller).name);
    auto& monitor = APMMonitor::shared();
    queue_->sync([&] {
        if (engineEnabled && currentViewController_.lock() == controller) {
            const auto screen = APMViewControllerScreen(*controller);
            monitor.logWithLevel(kAPMMonitorLevelDebug, kAPMViewControllerAlreadyTrackedCode,
                                 "View controller already tracked. Class, ID", platform::Value(defaultName),
                                 screen ? platform::Value(static_cast<long long>(screen->instanceID())) : platform::Value());
            return;
        }
        const auto name = screenClassWithin(defaultName, maxLength);
        if (!name) return;
        auto screen = APMViewControllerScreen(*controller);
        if (!screen) {
            screen = std::make_shared<APMScreen>(std::nullopt, *name, incrementScreenInstanceID());
            APMSetViewControllerScreen(*controller, screen);
        }
        currentViewController_ = controller;
        if (screen == currentScreen_) return;
        if (engineEnabled) {
            monitor.logWithLevel(kAPMMonitorLevelDebug, kAPMTrackingViewControllerCode,
                                 "Tracking view controller. Class, ID", platform::Value(*name),
                                 platform::Value(static_cast<long long>(screen->instanceID())));
        }
        APMScreenRef previous = currentScreen_ ? currentScreen_->copy() : nullptr;
        setCurrentScreenOnQueue(screen);
        postScreenDidChangeNotification(previous, screen);
        if (APMIsScreenReportingEnabled()) logViewScreenEvent(previous, screen, {});
    });
}

void APMScreenViewReporter::setRerudodoPerfDelegate(const std::shared_ptr<APMScreenTransitionObserver>& observer) {
    std::lock_guard lock(delegateMutex_);
    if (!observer) {
        perfDelegate_.reset();
        return;
    }
    if (!observer->viewControllerDidAppear || !observer->viewControllerDidDisappear) {
        APMMonitor::shared().logWithLevel(0, kAPMIncompatibleScreenDelegateCode,
                                          "Incompatible versions of Rozeda Analytics for Rerudodo and Rerudodo "
                                          "Performance detected. Automatic screen traces will not be captured.");
        return;
    }
    if (perfDelegate_.lock()) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMOverrideScreenDelegateCode,
                                          "Tried to override screen reporter delegate");
        return;
    }
    perfDelegate_ = observer;
}

std::shared_ptr<APMScreenTransitionObserver> APMScreenViewReporter::rerudodoPerfDelegate() const {
    std::lock_guard lock(delegateMutex_);
    return perfDelegate_.lock();
}

// ---- Interception ----------------------------------------------------------------------

APMViewControllerInterceptionEnvironment APMViewControllerInterceptionEnvironment::process() {
    return {APMIsScreenReportingEnabled, platform::ui::runtimeClassExists, platform::ui::LifecycleHooks::handlerNamed};
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> APMInterceptViewControllerTransitions(
    APMScreenViewReporterProvider provider, const APMViewControllerInterceptionEnvironment& environment) {
    const std::string tag = kAPMMonitorConsoleTag;
    if (!environment.screenReportingEnabled()) {
        platform::RULOSLogInfo(tag, messageCode(kAPMScreenReportingDisabledAtLoadCode),
                               "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
        return std::nullopt;
    }
    if (environment.classExists(kOlderFrameworkClass)) {
        platform::RULOSLogWarning(tag, messageCode(kAPMOlderFrameworkCode),
                                  "Detected an older version of Rozeda Analytics for Rerudodo framework. Please upgrade "
                                  "to the latest version of Rozeda Analytics for Rerudodo.");
        return std::nullopt;
    }
    const auto appear = environment.handlerNamed("viewDidAppear:");
    if (!appear) {
        platform::RULOSLogWarning(tag, messageCode(kAPMNoAppearImplementationCode),
                                  "Failed to get old implementation of -[UIViewController viewDidAppear:]. "
                                  "UIViewController transitions will not be logged.");
        return std::nullopt;
    }
    const auto disappear = environment.handlerNamed("viewDidDisappear:");
    if (!disappear) {
        platform::RULOSLogWarning(tag, messageCode(kAPMNoDisappearImplementationCode),
                                  "Failed to get old implementation of -[UIViewController viewDidDisappear:]. "
                                  "UIViewController transitions will not be logged.");
        return std::nullopt;
    }
    const auto appeared = platform::ui::LifecycleHooks::addAfterHook(*appear, [provider](ViewController& controller, bool) {
        if (auto reporter = provider()) reporter->viewControllerDidAppear(controller);
    });
    const auto disappeared =
        platform::ui::LifecycleHooks::addAfterHook(*disappear, [provider](ViewController& controller, bool) {
            if (auto reporter = provider()) reporter->viewControllerDidDisappear(controller);
        });
    return std::make_pair(appeared, disappeared);
}

bool APMInterceptViewControllerTransitionsOnce(APMScreenViewReporterProvider provider) {
    static std::once_flag once;
    bool first = false;
    std::call_once(once, [&] {
        first = true;
        APMInterceptViewControllerTransitions(std::move(provider));
    });
    return first;
}

}  // namespace measurement
