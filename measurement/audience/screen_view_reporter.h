#pragma once

// The process's record of the screen the user is on: screen views ("_vs"),
// the current screen's parameters for every other event, whether the
// application is active, and the relay of activation, resignation and
// screen changes to the session and ad-exposure reporters.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/audience/ad_exposure_reporter.h"
#include "measurement/audience/reporter_host.h"
#include "measurement/audience/screen.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/ui/view_controller.h"

namespace measurement {

class APMViewControllerStack;

// An observer of every controller transition (a performance component):
// both calls must be given, or it is refused.
struct APMScreenTransitionObserver {
    std::function<void(platform::ui::ViewController& controller, bool trackedByAnalytics)> viewControllerDidAppear;
    std::function<void(platform::ui::ViewController& controller)> viewControllerDidDisappear;
};

// The current screen and the current controller change only on the
// reporter's serial queue ("APMScreenViewReporter"). The lifecycle handlers,
// setScreenName and the controller tracking run on the main thread;
// trackScreenWithParameters and screenParameters on any thread.
class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
public:
    // Observes the application's activation, resignation and entering the
    // background, and key windows resigning, on the default notification
    // centre.
    static std::shared_ptr<APMScreenViewReporter> make(std::shared_ptr<APMReporterHost> host,
                                                       std::shared_ptr<APMAdExposureReporter> adExposureReporter);
    ~APMScreenViewReporter();
    APMScreenViewReporter(const APMScreenViewReporter&) = delete;
    APMScreenViewReporter& operator=(const APMScreenViewReporter&) = delete;

    // Active from activation until the application enters the background.
    bool isAppActive() const { return isAppActive_.load(); }
    // Set at the first activation, never cleared.
    bool appHasBeenInitialized() const { return appHasBeenInitialized_.load(); }

    // A "screen_view" the application logged (its time in seconds).
    void trackScreenWithParameters(const platform::Value::Dictionary& parameters, double timestamp);
    // The application names the current screen (main thread).
    void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);
    // "_si", "_sc", "_sn" of the current screen, for other events.
    platform::Value::Dictionary screenParameters() const;
    // Copies of the current screen's name and class.
    void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass) const;

    void postScreenDidChangeNotification(const APMScreenRef& previous, const APMScreenRef& next);
    void logViewScreenEvent(const APMScreenRef& previous, const APMScreenRef& next,
                            const platform::Value::Dictionary& parameters);
    // The next instance ID; the counter starts at a random value and wraps.
    std::int64_t incrementScreenInstanceID();

    void handleApplicationDidBecomeActive();
    void handleApplicationWillResignActive();
    void handleApplicationDidEnterBackground();

    // Automatic tracking (main thread): the intercepted transitions, making
    // a controller's screen current, and the key window changing.
    void viewControllerDidAppear(platform::ui::ViewController& controller);
    void viewControllerDidDisappear(platform::ui::ViewController& controller);
    void setCurrentViewController(const std::shared_ptr<platform::ui::ViewController>& controller);
    void handleWindowDidResign();
    // Held weakly; a second observer does not replace the first.
    void setRerudodoPerfDelegate(const std::shared_ptr<APMScreenTransitionObserver>& observer);
    std::shared_ptr<APMScreenTransitionObserver> rerudodoPerfDelegate() const;

    // Read on the queue.
    APMScreenRef currentScreen() const;
    APMScreenRef previousScreen() const;
    std::shared_ptr<platform::ui::ViewController> currentViewController() const;
    const std::shared_ptr<platform::dispatch::Queue>& queue() const { return queue_; }

private:
    APMScreenViewReporter(std::shared_ptr<APMReporterHost> host,
                          std::shared_ptr<APMAdExposureReporter> adExposureReporter);
    void observeApplication();
    std::size_t maxValueLength() const;
    bool allowsScreenViews() const { return isAppActive() || !appHasBeenInitialized(); }
    std::optional<std::string> classOfUnclassedScreen() const;
    // Makes the visible controller of the stack current, when it is tracked.
    void makeVisibleControllerCurrent(APMViewControllerStack& stack);
    // On the queue: the current screen changes, and other threads see it.
    void setCurrentScreenOnQueue(APMScreenRef screen);

    std::shared_ptr<APMReporterHost> host_;
    std::shared_ptr<APMAdExposureReporter> adExposureReporter_;
    std::shared_ptr<platform::dispatch::Queue> queue_;
    // On the queue.
    std::weak_ptr<platform::ui::ViewController> currentViewController_;
    APMScreenRef currentScreen_;
    APMScreenRef previousScreen_;
    // Screens logged by the application whose report is still queued.
    std::set<const APMScreen*> awaitingReport_;
    // The current screen as every event reads it: written with
    // currentScreen_ (on the queue, which callers wait for), read under a
    // short lock instead of a hop to the queue for every event.
    mutable std::mutex publishedScreenMutex_;  // publishedScreen_
    APMScreenRef publishedScreen_;

    std::atomic<bool> allowScreenParameters_{true};
    std::atomic<bool> isAppActive_{false};
    std::atomic<bool> appHasBeenInitialized_{false};
    std::atomic<std::uint64_t> currentScreenInstanceID_;
    mutable std::mutex delegateMutex_;  // perfDelegate_
    std::weak_ptr<APMScreenTransitionObserver> perfDelegate_;
    std::vector<platform::ObserverToken> observers_;
};

}  // namespace measurement
