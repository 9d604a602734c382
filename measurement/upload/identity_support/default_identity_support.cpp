// The default identity support: the platform support found by name, and the
// advertising identifier fetched with a bounded wait.
#include "measurement/upload/identity_support/default_identity_support.h"

#include <condition_variable>
#include <cstdlib>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

constexpr int kFirstOSWithTrackingAuthorization = 14;

// The platform support, when the optional part is linked and answers as one.
std::shared_ptr<APMIdentitySupport> linkedPlatformSupport() {
    auto supportClass = platform::ClassRegistry::classNamed(APMPlatformIdentitySupport::kClassName);
    if (!supportClass || !supportClass->respondsToSelector("sharedInstance")) return nullptr;
    return std::dynamic_pointer_cast<APMIdentitySupport>(supportClass->performObjectSelector("sharedInstance"));
}

// One fetch's end, for the caller that waits on it.
struct FetchDone {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;

    void signal() {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        finished.notify_all();
    }
    void waitFor(std::chrono::nanoseconds limit) {
        std::unique_lock lock(mutex);
        finished.wait_for(lock, limit, [this] { return done; });
    }
};

void log(int level, long code, const char* message) { APMMonitor::shared().logWithLevel(level, code, message); }

}  // namespace

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
    static const auto instance = std::make_shared<APMDefaultIdentitySupport>();
    return instance;
}

bool APMDefaultIdentitySupport::iOS14OrAbove() {
    const std::string version = APMAEU::systemVersion();
    const auto end = version.find_first_not_of("0123456789");
    const std::string major = version.substr(0, end);
    // A version without a leading number, or one too long to be one, is no
    // version we can compare.
    if (major.empty() || major.size() > 6) return false;
    return std::atoi(major.c_str()) >= kFirstOSWithTrackingAuthorization;
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport()
    : platformIdentitySupport_(linkedPlatformSupport()),
      queue_(platform::dispatch::makeSerialQueue("APMDefaultIdentitySupport")) {
    if (!platformIdentitySupport_) {
        log(kAPMMonitorLevelWarning, kAPMIdentitySupportMissingCode,
            "RozedaDozUrerizaroriIdentitySupport dependency is not currently linked. IDFA will not be accessible.");
        return;
    }
    log(kAPMMonitorLevelDebug, kAPMIdentitySupportLinkedCode, "RozedaDozUrerizaroriIdentitySupport dependency is linked.");
    if (platformIdentitySupport_->hasLimitedAdTracking()) {
        log(kAPMMonitorLevelDebug, kAPMAdvertisingFrameworkLinkedCode, "The AdSupport Framework is linked.");
    } else {
        log(kAPMMonitorLevelWarning, kAPMAdvertisingFrameworkMissingCode,
            "The AdSupport Framework is not currently linked. Some features will not function properly.");
    }
}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
    return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

long APMDefaultIdentitySupport::appDataConsentStatus() {
    return platformIdentitySupport_ ? platformIdentitySupport_->appDataConsentStatus() : -1;
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
    return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
    if (iOS14OrAbove()) {
        const auto identifier = resettableDeviceID();
        return !identifier || *identifier == kAPMZeroAdvertisingIdentifier;
    }
    return platformIdentitySupport_ && platformIdentitySupport_->limitedAdTracking();
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
    if (!platformIdentitySupport_) return std::nullopt;
    auto done = std::make_shared<FetchDone>();
    std::weak_ptr<Cache> weakCache = cache_;
    queue_->async([platform = platformIdentitySupport_, weakCache, done] {
        auto identifier = platform->resettableDeviceID();
        if (auto cache = weakCache.lock()) {
            std::lock_guard lock(cache->mutex);
            cache->resettableDeviceID = std::move(identifier);
        }
        done->signal();
    });
    done->waitFor(kFetchWait);
    std::lock_guard lock(cache_->mutex);
    return cache_->resettableDeviceID;
}

void APMDefaultIdentitySupport::waitForPendingFetches() { queue_->sync([] {}); }

}  // namespace measurement
