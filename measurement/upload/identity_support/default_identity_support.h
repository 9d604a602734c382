#pragma once

// The engine's only way to the platform's identity support: safe answers
// when it is not linked, and a bounded wait for the advertising identifier.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/upload/identity_support/identity_support.h"
#include "platform/dispatch/queue.h"

namespace measurement {

class APMDefaultIdentitySupport : public APMIdentitySupport {
public:
    // How long a caller waits for the advertising identifier.
    static constexpr std::chrono::milliseconds kFetchWait{10};

    static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
    // The OS version is 14.0 or later.
    static bool iOS14OrAbove();

    // Finds "APMPlatformIdentitySupport" in the class registry and logs
    // whether it and the advertising framework are linked.
    APMDefaultIdentitySupport();

    bool hasAppDataConsentStatus() override;
    long appDataConsentStatus() override;
    bool hasLimitedAdTracking() override;
    // On OS 14 or later: no usable advertising identifier.
    bool limitedAdTracking() override;
    // Asks the platform on the support queue and waits at most kFetchWait:
    // a late answer is kept for the next call, which answers it meanwhile.
    std::optional<std::string> resettableDeviceID() override;

    // Waits until every fetch queued so far has finished; for tests and tools.
    void waitForPendingFetches();

private:
    struct Cache {
        std::mutex mutex;
        std::optional<std::string> resettableDeviceID;
    };

    std::shared_ptr<APMIdentitySupport> platformIdentitySupport_;
    std::shared_ptr<Cache> cache_ = std::make_shared<Cache>();
    std::shared_ptr<platform::dispatch::Queue> queue_;
};

}  // namespace measurement
