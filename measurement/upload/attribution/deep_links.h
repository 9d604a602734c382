#pragma once

// Campaign attribution from links: the campaign event of an opened link,
// and the deferred deep link asked for once after install from the
// advertising-conversion service and handed to the application.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/event.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/attribution/campaign_parameters.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity/identity.h"
#include "platform/dispatch/queue.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

// Monitor codes of the campaign links.
enum : long {
    kAPMDeepLinkQueryEmptyCode = 23000,
    kAPMDeepLinkInvalidParamsCode = 23001,
    kAPMNonFirstOpenOnWorkerQueueCode = 23163,
    kAPMDeferredDeepLinkDisabledCode = 23193,
    kAPMDeferredDeepLinkAlreadyRetrievedCode = 23194,
    kAPMDeferredDeepLinkRetryLimitCode = 23195,
    kAPMDeferredDeepLinkNoIDFACode = 23196,
    kAPMDeferredDeepLinkEnabledCode = 23197,
    kAPMDeferredDeepLinkInvalidURLCode = 23198,
    kAPMDeferredDeepLinkFailedCode = 23199,
    kAPMDeferredDeepLinkRetrievedCode = 23200,
    kAPMDeferredDeepLinkEmptyResponseCode = 23201,
    kAPMDeferredDeepLinkParseFailedCode = 23202,
    kAPMDeferredDeepLinkSendingCode = 23203,
    kAPMDeferredDeepLinkNotHandledCode = 23204,
    kAPMDeferredDeepLinkAdStorageDeniedCode = 23252,
};

inline constexpr const char* kAPMDeferredDeepLinkEnabledKey = "ROZEDA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
inline constexpr const char* kAPMDeferredDeepLinkPath = "/pagead/conversion/app/deeplink";
inline constexpr const char* kAPMDebugDeferredDeepLinkArgument = "-DebugDeferredDeepLink";
// Where the advertising-conversion service is: the launch options' address,
// else this key of the service property list, else the measurement
// service's address.
inline constexpr const char* kAPMDeepLinkServiceBaseURLKey = "DEEP_LINK_SERVICE_BASE_URL";
std::optional<std::string> APMDeepLinkServiceBaseURL();

// What the campaign links reach of the engine that owns them. Calls come
// from the measurement worker queue.
class APMDeepLinkHost {
public:
    virtual ~APMDeepLinkHost() = default;
    virtual std::shared_ptr<platform::dispatch::Queue> workerQueue() const = 0;
    virtual void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) = 0;
    // The server configuration at the time of the call.
    virtual std::shared_ptr<APMRemoteConfig> remoteConfig() const = 0;
    // Stores the event and tells the event listeners.
    virtual void handleInternalEventOnWorkerQueue(const APMEvent& event) = 0;
    virtual bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) = 0;
    virtual platform::RULNetwork& network() = 0;
    virtual void setIsNetworkRequestPending(bool pending) = 0;
    virtual bool shouldUseBackgroundSession() const = 0;
    virtual void updateSchedule() = 0;
};

struct APMDeepLinkInputs {
    std::shared_ptr<APMDeepLinkHost> host;
    std::shared_ptr<APMPersistedConfig> persistedConfig;
    std::shared_ptr<const APMConsentSettingsUtil> consent;
    std::shared_ptr<APMIdentity> identity;
    // Hands a deferred link with its options to the application's delegate
    // (on the main queue): true when the delegate took it. None: the
    // platform's registered open-URL delegate.
    std::function<bool(const std::string& url, const platform::Value::Dictionary& options)> openURL;
};

class APMDeepLinks : public std::enable_shared_from_this<APMDeepLinks> {
public:
    explicit APMDeepLinks(APMDeepLinkInputs inputs);

    // The campaign event ("_cmp", or "_cmpx" for "_cc" = 1) of a link and
    // the extra string and number parameters handed with it. Worker queue.
    void handleOpenURLOnWorkerQueue(const std::optional<std::string>& url,
                                    std::optional<std::int64_t> clickTimestampMillis, double eventTimestamp,
                                    const platform::Value::Dictionary& extraParameters);
    // Before OS 14, with an advertising identifier, or with tracking
    // authorised.
    bool shouldAllowClickID();

    // The deferred deep link: whether it may be asked for, the request, the
    // reply and the hand-off to the application. Worker queue.
    bool shouldAllowRequestDeferredDeepLink();
    void requestDeferredDeepLink();
    // The request's address for the state now; none (logged) when it cannot
    // be made.
    std::optional<std::string> deferredDeepLinkRequestURL();
    void handleDeferredDeepLinkResponse(int status, const std::vector<std::uint8_t>& body,
                                        const std::optional<platform::RULError>& error);
    // The reply's object when its "deeplink" is a URL; none (logged) else.
    static std::optional<platform::Value::Dictionary> deepLinkInfoFromResponseData(
        const std::vector<std::uint8_t>& data);
    void handleDeferredDeepLinkInfo(const platform::Value::Dictionary& info);
    // Main queue. Whether the application's delegate took the link.
    bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                  const std::optional<platform::Value::Dictionary>& extraInfo);

private:
    std::shared_ptr<APMRemoteConfig> config() const { return inputs_.host->remoteConfig(); }
    std::string deferredDeepLinkConsentQuery() const;

    APMDeepLinkInputs inputs_;
};

}  // namespace measurement
