// The identifiers facade over the engine's or the process's identity.
#include "measurement/upload/identity/identifiers.h"

#include <atomic>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric_util.h"

namespace measurement {

namespace {

struct Provider {
    std::mutex mutex;
    std::function<std::shared_ptr<APMIdentity>()> engineIdentity;
};

Provider& provider() {
    static Provider p;
    return p;
}

void logError(long code, const char* message) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, code, message);
}

bool hasText(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

APMIdentifiers& APMIdentifiers::sharedInstance() {
    static APMIdentifiers instance;
    return instance;
}

void APMIdentifiers::setEngineIdentityProvider(std::function<std::shared_ptr<APMIdentity>()> engineIdentity) {
    std::lock_guard lock(provider().mutex);
    provider().engineIdentity = std::move(engineIdentity);
}

std::pair<std::shared_ptr<APMIdentity>, bool> APMIdentifiers::identity() const {
    std::function<std::shared_ptr<APMIdentity>()> engineIdentity;
    {
        std::lock_guard lock(provider().mutex);
        engineIdentity = provider().engineIdentity;
    }
    if (engineIdentity) {
        if (auto identity = engineIdentity()) return {identity, true};
    }
    return {APMIdentity::sharedInstance(), false};
}

std::optional<std::string> APMIdentifiers::rozedaAppID() {
    const auto [found, fromEngine] = identity();
    auto appID = found ? found->appIDFromRUZ() : std::nullopt;
    if (!appID) {
        fromEngine ? logError(kAPMNoAppIDFromIdentityCode, "Unable to fetch Rozeda App ID from identity")
                   : logError(kAPMNoAppIDFromDefaultOptionsCode, "Unable to fetch Rozeda App ID from default options");
    }
    return appID;
}

std::optional<std::string> APMIdentifiers::analyticsAppID() {
    if (const auto found = identity().first) {
        if (auto measurementID = found->appIDFromRUZ(); hasText(measurementID)) return measurementID;
        if (auto advertisingID = found->appIDFromDoZud(); hasText(advertisingID)) return advertisingID;
    }
    logError(kAPMNoEffectiveAppIDCode, "Unable to fetch effective App ID from identity");
    return std::nullopt;
}

std::optional<std::string> APMIdentifiers::appInstanceID() {
    const auto [found, fromEngine] = identity();
    auto instanceID = found ? found->appInstanceID() : std::nullopt;
    if (!instanceID) {
        fromEngine ? logError(kAPMNoAppInstanceIDFromIdentityCode, "Unable to fetch App Instance ID from identity")
                   : logError(kAPMNoAppInstanceIDFromSharedIdentityCode,
                              "Unable to fetch App Instance ID from identity shared instance");
    }
    return instanceID;
}

std::string APMIdentifiers::adEventID() {
    // Atomic arithmetic wraps around rather than overflowing.
    static std::atomic<std::int64_t> counter{APMNumericUtil::randomInt64()};
    return std::to_string(counter.fetch_add(1));
}

std::string APMIdentifiers::libraryVersion() const { return std::to_string(APMIdentity::dozUrerizaroriLibraryVersion()); }

void APMIdentifiers::setOrigin(const std::string& origin) {
    if (origin.empty()) {
        logError(kAPMEmptyOriginCode, "Cannot set the data collection origin. Origin cannot be empty");
        return;
    }
    std::lock_guard lock(mutex_);
    origin_ = origin;
}

std::string APMIdentifiers::origin() const {
    std::lock_guard lock(mutex_);
    return origin_;
}

}  // namespace measurement
