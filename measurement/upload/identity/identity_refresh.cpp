// The identifier refresh: the advertising identifier and tracking status,
// the app instance ID it rotates, and the reads that depend on it.
#include "measurement/foundation/hashing.h"
#include "measurement/upload/identity/identity.h"
#include "measurement/upload/identity/identity_state.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/process_info.h"

namespace measurement {

namespace {

double now() { return platform::dispatch::currentClock()->now(); }

int trackingCodeOfPlatformStatus(long status) {
    switch (status) {
        case 0: return tracking_code::kNotDetermined;
        case 1: return tracking_code::kRestricted;
        case 2: return tracking_code::kDenied;
        case 3: return tracking_code::kAuthorized;
        default: return tracking_code::kUnavailable;
    }
}

}  // namespace

void APMIdentity::updateIdentifiers() {
    std::weak_ptr<APMIdentity> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->refreshOnQueue();
    });
}

void APMIdentity::updateIdentifiersAndWait() {
    updateIdentifiers();
    waitForQueue();
}

template <class Result, class Read>
Result APMIdentity::readAfterRefresh(Read&& reader) {
    updateIdentifiers();
    Result result{};
    queue_->sync([&] { result = reader(); });
    return result;
}

bool APMIdentity::isRefreshFresh(const std::optional<std::string>& persistedInstanceID) const {
    const auto& last = state_->lastAppInstanceIDUpdateTimestamp;
    if (!APMHasText(persistedInstanceID) || !last) return false;
    const double current = now();
    return *last <= current && current - *last < config()->adIDCacheTime();
}

// The status code of the platform's answers, and the advertising identifier
// they allow. What they do not allow is also dropped from the cache, so that
// a revoked authorisation or a denied storage stops the identifier at once.
int APMIdentity::trackingStatusAndCandidate(bool adStorageDenied, std::optional<std::string>& candidate) {
    auto& support = *inputs_.support;
    candidate.reset();
    if (!iOS14OrAbove()) {
        if (adStorageDenied) {
            state_->resettableDeviceID.reset();
        } else {
            candidate = support.resettableDeviceID();
        }
        return tracking_code::kUnknown;
    }
    int code = tracking_code::kUnknown;
    if (!support.hasLimitedAdTracking()) {
        code = tracking_code::kUnknown;
    } else if (!support.hasAppDataConsentStatus()) {
        code = tracking_code::kUnavailable;
    } else {
        code = trackingCodeOfPlatformStatus(support.appDataConsentStatus());
    }
    const bool authorized = code == tracking_code::kAuthorized;
    if (adStorageDenied || (!authorized && config()->gateIDFAOnATTMASEnabled())) {
        state_->resettableDeviceID.reset();
    } else {
        candidate = support.resettableDeviceID();
    }
    return code;
}

void APMIdentity::refreshOnQueue() {
    auto& persisted = *inputs_.persistedConfig;
    const auto instanceID = persisted.appInstanceID();
    if (isRefreshFresh(instanceID)) return;
    bool mustWrite = !APMHasText(instanceID);
    auto hash = persisted.hashedResettableDeviceID();
    const bool limited = inputs_.support->limitedAdTracking();
    const bool adStorageDenied = isAdStorageDenied();
    const bool analyticsStorageDenied = isAnalyticsStorageDenied();

    std::optional<std::string> candidate;
    const int status = trackingStatusAndCandidate(adStorageDenied, candidate);
    std::optional<std::string> rotatedInstanceID;
    if (APMHasText(candidate) && *candidate != kAPMZeroAdvertisingIdentifier) {
        const auto candidateHash = apm_MD5String(*candidate);
        // A new identifier while analytics storage is denied is left for a
        // refresh under granted storage: the new app instance ID it calls
        // for could not be kept now, and the reset must not be recorded
        // without it.
        if (candidateHash && candidateHash != hash && !analyticsStorageDenied) {
            if (APMHasText(hash)) {
                rotatedInstanceID = randomAppInstanceID();
                persisted.setShouldSetLastAdvertisingIDResetUserProperty(true);
            }
            mustWrite = true;
            hash = candidateHash;
        }
        state_->resettableDeviceID = candidate;
    } else if (candidate && *candidate == kAPMZeroAdvertisingIdentifier) {
        state_->resettableDeviceID.reset();
    }
    if (mustWrite) {
        // A new ID (a rotation, or the first under granted storage) is one
        // every process of the folder must take.
        if (!analyticsStorageDenied) {
            const auto replacing = APMHasText(instanceID) ? instanceID : std::nullopt;
            if (rotatedInstanceID) {
                persistNewAppInstanceID(replacing, *rotatedInstanceID);
            } else if (replacing) {
                persisted.setAppInstanceID(*replacing);
            } else {
                persistNewAppInstanceID(std::nullopt, randomAppInstanceID());
            }
        }
        if (!adStorageDenied && APMHasText(hash)) persisted.setHashedResettableDeviceID(hash);
    }
    state_->lastAppInstanceIDUpdateTimestamp = now();
    state_->limitedAdTracking = limited;
    state_->appleConsentStatus = status;
}

// ---- Reads after a refresh ----------------------------------------------------------

std::optional<std::string> APMIdentity::appInstanceID() {
    if (isAnalyticsStorageDenied()) return std::nullopt;
    return readAfterRefresh<std::optional<std::string>>([this] {
        auto identifier = inputs_.persistedConfig->appInstanceID();
        return APMHasText(identifier) ? identifier : std::nullopt;
    });
}

// Consent is checked at the read as well: within the cache time no refresh
// runs, and a denial or a revoked authorisation must hold at once.
std::optional<std::string> APMIdentity::resettableDeviceID() {
    return readAfterRefresh<std::optional<std::string>>([this]() -> std::optional<std::string> {
        const bool gated = iOS14OrAbove() && config()->gateIDFAOnATTMASEnabled() &&
                           !(inputs_.support->hasLimitedAdTracking() && inputs_.support->hasAppDataConsentStatus() &&
                             inputs_.support->appDataConsentStatus() == kAPMPlatformTrackingAuthorized);
        if (isAdStorageDenied() || gated) {
            state_->resettableDeviceID.reset();
            return std::nullopt;
        }
        return state_->resettableDeviceID;
    });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
    if (isAdStorageDenied()) return std::nullopt;
    return readAfterRefresh<std::optional<std::string>>([this] {
        auto hash = inputs_.persistedConfig->hashedResettableDeviceID();
        return APMHasText(hash) ? hash : std::nullopt;
    });
}

int APMIdentity::appleConsentStatus() {
    return readAfterRefresh<int>([this] { return state_->appleConsentStatus; });
}

bool APMIdentity::limitedAdTracking() {
    return readAfterRefresh<bool>([this] { return state_->limitedAdTracking; });
}

bool APMIdentity::hasLimitedAdTracking() {
    return readAfterRefresh<bool>([this] { return inputs_.support->hasLimitedAdTracking(); });
}

// The platform's vendor identifier is safe to read from any thread here, so
// it is read on the caller's: a hop to the main queue from a queue that the
// main thread waits on would never return.
std::optional<std::string> APMIdentity::identifierForVendor() {
    if (APMHasText(resettableDeviceID())) return std::nullopt;
    if (idfvCollectionEnabled_ == false) return std::nullopt;
    if (isAnalyticsStorageDenied()) return std::nullopt;
    std::optional<std::string> cached;
    queue_->sync([&] { cached = state_->identifierForVendorString; });
    if (cached) return cached;
    auto identifier = platform::ProcessInfo::identifierForVendor();
    if (!APMHasText(identifier)) return std::nullopt;
    std::weak_ptr<APMIdentity> weak = weak_from_this();
    queue_->async([weak, identifier] {
        if (auto self = weak.lock()) self->state_->identifierForVendorString = identifier;
    });
    return identifier;
}

}  // namespace measurement
