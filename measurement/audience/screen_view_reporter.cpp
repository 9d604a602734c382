// Manual screen tracking and naming, screen parameters, screen views, and
// the application's lifecycle as the reporters see it.
#include "measurement/audience/screen_view_reporter.h"

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/session_reporter.h"
#include "measurement/audience/view_controller_tracking.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric_util.h"
#include "measurement/foundation/scheduler.h"
#include "platform/ui/application.h"
#include "platform/ui/runtime_class.h"
#include "platform/ui/window.h"

namespace measurement {

namespace {

void logEntry(int level, long code, const std::string& message, std::vector<platform::Value> contexts = {}) {
    APMMonitor::shared().logWithLevel(level, code, message, std::move(contexts));
}

platform::Value optionalText(const std::optional<std::string>& text) {
    return text ? platform::Value(*text) : platform::Value();
}

// A present value that is no valid screen parameter value.
bool isInvalidIfPresent(const platform::Value* value, std::size_t maxLength) {
    return value && !APMDataTypeValidator::isValidScreenParameterValue(*value, nullptr, maxLength);
}

bool isInvalidIfPresent(const std::optional<std::string>& text, std::size_t maxLength) {
    return text && !APMDataTypeValidator::isValidScreenParameterValue(platform::Value(*text), nullptr, maxLength);
}

const platform::Value* find(const platform::Value::Dictionary& parameters, const std::string& key) {
    auto it = parameters.find(key);
    return it == parameters.end() ? nullptr : &it->second;
}

// The application's own parameters of a "screen_view", checked as those of
// a public event.
platform::Value::Dictionary applicationParameters(platform::Value::Dictionary parameters, std::size_t maxLength) {
    parameters.erase("screen_name");
    parameters.erase("screen_class");
    APMEventParameterLimits limits;
    limits.maxValueLength = maxLength;
    platform::Value::Dictionary sanitized;
    for (const auto& [key, value] : APMSanitizedEventParameters(parameters, "screen_view", true, true, limits)) {
        sanitized.emplace(key, value.objectValue());
    }
    return sanitized;
}

}  // namespace

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::make(
    std::shared_ptr<APMReporterHost> host, std::shared_ptr<APMAdExposureReporter> adExposureReporter) {
    std::shared_ptr<APMScreenViewReporter> reporter(
        new APMScreenViewReporter(std::move(host), std::move(adExposureReporter)));
    reporter->observeApplication();
    // Made once the application is active already (an engine configured
    // late): it has been activated, as if it had heard so.
    if (platform::ui::Application::shared().applicationState() == platform::ui::ApplicationState::active) {
        reporter->isAppActive_ = true;
        reporter->appHasBeenInitialized_ = true;
    }
    return reporter;
}

APMScreenViewReporter::APMScreenViewReporter(std::shared_ptr<APMReporterHost> host,
                                             std::shared_ptr<APMAdExposureReporter> adExposureReporter)
    : host_(std::move(host)),
      adExposureReporter_(std::move(adExposureReporter)),
      queue_(platform::dispatch::makeSerialQueue("APMScreenViewReporter")),
      currentScreenInstanceID_(static_cast<std::uint64_t>(APMNumericUtil::randomInt64())) {
    APMScheduler::registerBackgroundQueue(queue_);
}

APMScreenViewReporter::~APMScreenViewReporter() { observers_.clear(); }

void APMScreenViewReporter::observeApplication() {
    auto& center = platform::NotificationCenter::defaultCenter();
    std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
    auto observe = [&](const char* name, void (APMScreenViewReporter::*handler)()) {
        observers_.push_back(center.addObserver(name, nullptr, [weak, handler](const platform::Notification&) {
            if (auto self = weak.lock()) ((*self).*handler)();
        }));
    };
    observe(platform::ui::Window::didResignKeyNotification, &APMScreenViewReporter::handleWindowDidResign);
    observe(platform::ui::Application::didBecomeActiveNotification,
            &APMScreenViewReporter::handleApplicationDidBecomeActive);
    observe(platform::ui::Application::willResignActiveNotification,
            &APMScreenViewReporter::handleApplicationWillResignActive);
    observe(platform::ui::Application::didEnterBackgroundNotification,
            &APMScreenViewReporter::handleApplicationDidEnterBackground);
}

std::size_t APMScreenViewReporter::maxValueLength() const {
    return static_cast<std::size_t>(host_->remoteConfig()->maxPublicEventParameterValueLength());
}

std::int64_t APMScreenViewReporter::incrementScreenInstanceID() {
    // Unsigned, so that the counter wraps instead of overflowing.
    return static_cast<std::int64_t>(currentScreenInstanceID_.fetch_add(1) + 1);
}

APMScreenRef APMScreenViewReporter::currentScreen() const {
    APMScreenRef screen;
    queue_->sync([&] { screen = currentScreen_; });
    return screen;
}

APMScreenRef APMScreenViewReporter::previousScreen() const {
    APMScreenRef screen;
    queue_->sync([&] { screen = previousScreen_; });
    return screen;
}

std::shared_ptr<platform::ui::ViewController> APMScreenViewReporter::currentViewController() const {
    std::shared_ptr<platform::ui::ViewController> controller;
    queue_->sync([&] { controller = currentViewController_.lock(); });
    return controller;
}

// ---- Manual tracking and naming ----------------------------------------------

void APMScreenViewReporter::trackScreenWithParameters(const platform::Value::Dictionary& parameters,
                                                      double timestamp) {
    if (!isAppActive() && appHasBeenInitialized()) {
        logEntry(kAPMMonitorLevelWarning, kAPMTrackScreenAppInactiveCode,
                 "Cannot log screen view event when the app is not active");
        return;
    }
    const auto maxLength = maxValueLength();
    const auto* nameValue = find(parameters, "screen_name");
    const auto* classValue = find(parameters, "screen_class");
    if (isInvalidIfPresent(nameValue, maxLength)) {
        logEntry(kAPMMonitorLevelWarning, kAPMInvalidTrackedScreenNameCode, "Received invalid name for screen",
                 {*nameValue});
        return;
    }
    if (isInvalidIfPresent(classValue, maxLength)) {
        logEntry(kAPMMonitorLevelWarning, kAPMInvalidTrackedScreenClassCode, "Received invalid class for screen",
                 {*classValue});
        return;
    }
    std::optional<std::string> name = nameValue ? std::optional(nameValue->asString()) : std::nullopt;
    std::optional<std::string> screenClass = classValue ? std::optional(classValue->asString()) : std::nullopt;
    if (!screenClass) screenClass = classOfUnclassedScreen();
    auto screen = std::make_shared<APMScreen>(name, screenClass, incrementScreenInstanceID());
    screen->setManuallyTracked(true);
    screen->setEventTimestamp(timestamp);
    logEntry(kAPMMonitorLevelDebug, kAPMLoggingScreenViewCode, "Logging screen view with screen name and screen class",
             {optionalText(name), optionalText(screenClass)});
    const auto own = applicationParameters(parameters, maxLength);
    std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
    // Replaced and its report queued in one step, so that screen views
    // logged at once are reported in order, each naming the one before.
    // Until its report has run, an activation that slipped in between does
    // not report the screen as well.
    queue_->sync([&] {
        APMScreenRef previous = currentScreen_;
        APMScreenRef next = screen;
        setCurrentScreenOnQueue(screen);
        awaitingReport_.insert(screen.get());
        queue_->async([weak, previous, next, own] {
            auto self = weak.lock();
            if (!self) return;
            self->awaitingReport_.erase(next.get());
            self->postScreenDidChangeNotification(previous, next);
            self->logViewScreenEvent(previous, next, own);
        });
    });
}

// A screen view without a class: on the main thread the class of the key
// window's root controller; elsewhere the current screen's, when automatic
// reporting is on.
std::optional<std::string> APMScreenViewReporter::classOfUnclassedScreen() const {
    if (APMScheduler::isOnMainThread()) {
        auto root = APMKeyWindowRootViewController();
        if (!root) return std::nullopt;
        return APMDefaultScreenClassName(platform::ui::runtimeClassOf(*root).name);
    }
    std::optional<std::string> screenClass;
    if (APMIsScreenReportingEnabled()) {
        queue_->sync([&] {
            if (currentScreen_) screenClass = currentScreen_->className();
        });
    }
    return screenClass;
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
    if (!APMIsScreenReportingEnabled()) {
        logEntry(kAPMMonitorLevelWarning, kAPMScreenNameReportingDisabledCode,
                 "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
        return;
    }
    const auto maxLength = maxValueLength();
    if (isInvalidIfPresent(screenName, maxLength)) {
        logEntry(kAPMMonitorLevelWarning, kAPMInvalidScreenNameCode, "Received invalid screen name");
        return;
    }
    if (isInvalidIfPresent(screenClass, maxLength)) {
        logEntry(kAPMMonitorLevelWarning, kAPMInvalidScreenClassCode, "Received invalid screen class");
        return;
    }
    // The stack is the main thread's; the caller is on it.
    auto stack = APMKeyWindowViewControllerStack();
    if (stack) stack->compact();
    auto top = stack && !stack->empty() ? stack->at(stack->size() - 1) : nullptr;
    if (!top) {
        logEntry(kAPMMonitorLevelWarning, kAPMNoViewControllerAppearedCode,
                 "setScreenName:screenClass: must be called after a view controller has appeared");
        return;
    }
    const auto className = screenClass ? *screenClass : APMDefaultScreenClassName(platform::ui::runtimeClassOf(*top).name);
    queue_->sync([&] {
        const auto currentName = currentScreen_ ? currentScreen_->name() : std::nullopt;
        const auto currentClass = currentScreen_ ? currentScreen_->className() : std::nullopt;
        if (currentName == screenName && currentClass == std::optional(className)) {
            logEntry(kAPMMonitorLevelDebug, kAPMDuplicateScreenCode, "Ignoring duplicate screen name and screen class",
                     {optionalText(screenName), platform::Value(className)});
            return;
        }
        auto screen = std::make_shared<APMScreen>(screenName, className, incrementScreenInstanceID());
        screen->setManuallySet(true);
        APMSetViewControllerScreen(*top, screen);
        currentViewController_ = top;
        logEntry(kAPMMonitorLevelDebug, kAPMSetScreenNameCode, "Set screen name and screen class",
                 {optionalText(screenName), platform::Value(className)});
        const auto previous = currentScreen_;
        setCurrentScreenOnQueue(screen);
        postScreenDidChangeNotification(previous, screen);
        if (APMIsScreenReportingEnabled()) logViewScreenEvent(previous, screen, {});
    });
}

// ---- Screen parameters ---------------------------------------------------------

void APMScreenViewReporter::setCurrentScreenOnQueue(APMScreenRef screen) {
    currentScreen_ = screen;
    std::lock_guard lock(publishedScreenMutex_);
    publishedScreen_ = std::move(screen);
}

// Every change of the current screen runs synchronously on the queue, so a
// caller that changed it reads its own change here.
platform::Value::Dictionary APMScreenViewReporter::screenParameters() const {
    platform::Value::Dictionary parameters;
    if (!allowsScreenViews() || !allowScreenParameters_) return parameters;
    APMScreenRef screen;
    {
        std::lock_guard lock(publishedScreenMutex_);
        screen = publishedScreen_;
    }
    if (!screen) return parameters;
    parameters.emplace("_si", static_cast<long long>(screen->instanceID()));
    const auto& className = screen->className();
    if (className && !className->empty()) parameters.emplace("_sc", *className);
    const auto& name = screen->name();
    if (name && !name->empty()) parameters.emplace("_sn", *name);
    return parameters;
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) const {
    if (!screenName && !screenClass) return;
    queue_->sync([&] {
        if (screenName) *screenName = currentScreen_ ? currentScreen_->name() : std::nullopt;
        if (screenClass) *screenClass = currentScreen_ ? currentScreen_->className() : std::nullopt;
    });
}

// ---- Screen changes and screen views ---------------------------------------------

void APMScreenViewReporter::postScreenDidChangeNotification(const APMScreenRef& previous, const APMScreenRef& next) {
    if (!isAppActive()) return;
    if (previous && host_->hasInitializedComponents()) {
        if (auto sessions = host_->sessionReporter()) sessions->handleScreenDidChangeFromScreen(previous, next);
    }
    if (adExposureReporter_) adExposureReporter_->handleScreenDidChangeFromScreen(previous, next);
}

void APMScreenViewReporter::logViewScreenEvent(const APMScreenRef& previous, const APMScreenRef& next,
                                               const platform::Value::Dictionary& parameters) {
    if (!next) return;
    if (!isAppActive() && appHasBeenInitialized()) {
        logEntry(kAPMMonitorLevelDebug, kAPMScreenViewAppInactiveCode, "Screen view event not logged. App is not active.");
        return;
    }
    const auto maxLength = maxValueLength();
    auto event = parameters;
    for (auto& [key, value] : APMScreenEventParameters(*next, maxLength)) event.insert_or_assign(key, value);
    if (previous) {
        for (auto& [key, value] : APMPreviousScreenEventParameters(*previous, maxLength)) {
            event.insert_or_assign(key, value);
        }
        if (host_->hasInitializedComponents() && host_->remoteConfig()->efficientEngagementReportingEnabled()) {
            const auto sessions = host_->sessionReporter();
            const auto milliseconds = sessions ? sessions->cutFreerideEngagementTimeMillis() : 0;
            if (milliseconds >= 1) event.insert_or_assign("_et", static_cast<long long>(milliseconds));
        }
    }
    if (!APMIsScreenReportingEnabled()) event.insert_or_assign("_mst", 1);
    const bool manual = next->isManuallyTracked();
    if (!APMHasScreenParameters(event)) {
        logEntry(kAPMMonitorLevelError, kAPMEmptyScreenParametersCode,
                 "Screen view event not logged. Screen parameters were empty");
        return;
    }
    previousScreen_ = next;
    host_->logInternalEvent(manual ? "app" : "auto", "_vs", event,
                            manual ? std::optional(next->eventTimestamp()) : std::nullopt);
}

// ---- Application lifecycle ---------------------------------------------------------

void APMScreenViewReporter::handleApplicationDidBecomeActive() {
    isAppActive_ = true;
    appHasBeenInitialized_ = true;
    if (host_->hasInitializedComponents()) {
        if (auto sessions = host_->sessionReporter()) sessions->handleAppDidBecomeActive();
    }
    if (adExposureReporter_) adExposureReporter_->handleAppDidBecomeActive();
    std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
    // A screen that changed while the application was inactive.
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self || self->previousScreen_ == self->currentScreen_ || !APMIsScreenReportingEnabled()) return;
        if (self->currentScreen_ && self->awaitingReport_.count(self->currentScreen_.get())) return;
        self->logViewScreenEvent(self->previousScreen_, self->currentScreen_, {});
    });
}

void APMScreenViewReporter::handleApplicationWillResignActive() {
    APMScreenRef screen;
    if (APMIsScreenReportingEnabled() && isAppActive()) {
        queue_->sync([&] {
            if (allowScreenParameters_) screen = currentScreen_;
        });
    }
    if (host_->hasInitializedComponents()) {
        if (auto sessions = host_->sessionReporter()) sessions->handleAppWillResignActiveWithScreen(screen);
    }
    if (adExposureReporter_) adExposureReporter_->handleAppWillResignActiveWithScreen(screen);
}

void APMScreenViewReporter::handleApplicationDidEnterBackground() { isAppActive_ = false; }

}  // namespace measurement
