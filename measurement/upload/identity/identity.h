#pragma once

// Who the application and the device are to the measurement engine: the
// service's application identifiers, the bundle identifier and version, the
// app instance ID, the advertising and vendor identifiers with the tracking
// status, the session stitching token, the experiment diversion key and the
// ephemeral app instance ID, each handed out under the consent in force.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity_support/identity_support.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace measurement {

struct APMIdentityQueueState;

// Monitor codes of the identity.
enum : long {
    kAPMAppVersionNonNumericCode = 20002,
    kAPMIdentitySharedInstanceNilCode = 20003,
    kAPMIdentityMissingPersistedConfigCode = 20004,
    kAPMEmptyRozedaAppIDCode = 20005,
    kAPMRozedaAppIDMissingInPlistCode = 20006,
    kAPMEmptyDozudAppIDCode = 20007,
    kAPMIDFVCollectionSettingCode = 20009,
};

// The library's version text; its number drops the last three digits.
inline constexpr const char* kAPMLibraryVersionString = "110100000";
inline constexpr const char* kAPMIDFVCollectionEnabledKey = "ROZEDA_ANALYTICS_IDFV_COLLECTION_ENABLED";
// The user property that holds the user ID, whose presence and changes the
// session stitching token follows.
inline constexpr const char* kAPMUserIDProperty = "_id";
// A session stitching token made without a user ID lapses after a day.
inline constexpr double kAPMSessionStitchingTokenLifetime = 86400;
inline constexpr std::size_t kAPMDiversionKeyLength = 5;

// What an identity works with besides its persisted settings.
struct APMIdentityInputs {
    std::shared_ptr<APMPersistedConfig> persistedConfig;
    // The consent applied to every identifier; a state of its own (nothing
    // set) when none.
    std::shared_ptr<const APMConsentSettingsUtil> consent;
    // The server configuration at each refresh (the advertising-identifier
    // cache time and the tracking-authorisation gate); the default flags when
    // none.
    std::function<std::shared_ptr<APMRemoteConfig>()> remoteConfig;
    // The platform's identity support; the default support when none.
    std::shared_ptr<APMIdentitySupport> support;
    // Where the processes that share the engine's folder agree on one app
    // instance ID (the engine's database). Asked whenever the identity makes
    // one, with the ID it replaces (none for a first one) and the new one;
    // it answers, at once or later on another queue, through `take`, with
    // the ID the folder holds, which the identity then keeps in place of its
    // own. None: the identity's own ID stands.
    using AppInstanceIDAgreement = std::function<void(const std::optional<std::string>& replacing,
                                                      const std::string& proposed,
                                                      std::function<void(const std::string& decided)> take)>;
    AppInstanceIDAgreement agreeOnAppInstanceID;
};

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
public:
    // The identity over the process's persisted settings, once one was made
    // (the engine registers its own); none, logged (20003), before.
    static std::shared_ptr<APMIdentity> sharedInstance();
    static void setSharedInstance(std::shared_ptr<APMIdentity> identity);
    // The number of the library's version text (110100).
    static std::int64_t dozUrerizaroriLibraryVersion();
    // A version text without its last three characters, as a number; 0 for
    // a text of fewer than 4 characters or one that is no number.
    static std::int64_t libraryVersionFromString(const std::string& version);
    // "1.2.3" gives 1, 2, 3; empty pieces are skipped, non-digits dropped
    // (logged, 20002), a piece without digits gives 0.
    static std::vector<std::int64_t> numericFieldsFromAppVersionNumeric(const std::string& version);
    static bool iOS14OrAbove();
    // A new app instance ID: a random UUID as 32 upper-case hexadecimal
    // digits.
    static std::string randomAppInstanceID();

    // None, logged (20004), without persisted settings. Reads the service
    // property list and the Info.plist of the main bundle, and persists a
    // first app instance ID unless analytics storage is denied.
    static std::shared_ptr<APMIdentity> makeWithPersistedConfig(APMIdentityInputs inputs);
    ~APMIdentity();
    APMIdentity(const APMIdentity&) = delete;
    APMIdentity& operator=(const APMIdentity&) = delete;

    // The service's identifiers: the first non-empty value of the process
    // holds; an empty one is refused and logged.
    std::optional<std::string> appIDFromRUZ() const;
    std::optional<std::string> appIDFromDoZud() const;
    void setAppIDFromRUZ(const std::string& appID);
    void setAppIDFromDoZud(const std::string& appID);

    // None while analytics storage is denied; refreshed first.
    std::optional<std::string> appInstanceID();
    void setAppInstanceID(const std::string& appInstanceID);
    // None while ad storage is denied; refreshed first.
    std::optional<std::string> resettableDeviceID();
    std::optional<std::string> hashedResettableDeviceID();
    // The tracking status code of the last refresh: 1 restricted, 2 denied,
    // 3 authorised, 4 not determined, 5 unavailable, 6 unknown.
    int appleConsentStatus();
    bool limitedAdTracking();
    bool hasLimitedAdTracking();
    // Only while there is no advertising identifier, analytics storage is
    // not denied and the Info.plist does not switch it off.
    std::optional<std::string> identifierForVendor();

    void updateIdentifiers();
    void updateIdentifiersAndWait();

    bool shouldSetLastAdvertisingIDResetUserProperty() const;
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

    // None while analytics storage is denied. A request like the last one,
    // whose token still holds, is answered from what the queue published,
    // without a hop to it.
    std::optional<std::string> sessionStitchingToken(std::int64_t sessionNumber, bool sessionExpired,
                                                     bool userIDAvailable);
    void resetSessionStitchingToken();
    std::string diversionKey();
    std::string ephemeralAppInstanceID();
    void resetEphemeralAppInstanceID();

    const std::string& appID() const { return appID_; }
    const std::string& appVersion() const { return appVersion_; }
    std::optional<std::int64_t> appVersionMajor() const { return appVersionNumbers_[0]; }
    std::optional<std::int64_t> appVersionMinor() const { return appVersionNumbers_[1]; }
    std::optional<std::int64_t> appVersionRelease() const { return appVersionNumbers_[2]; }
    // Nothing sets it.
    std::optional<std::string> devCertHash() const { return std::nullopt; }
    std::optional<std::string> rerudodoInstallationID() const;
    void setRerudodoInstallationID(const std::optional<std::string>& installationID);
    // Whether the Info.plist set vendor-identifier collection, and how.
    std::optional<bool> isIDFVCollectionEnabled() const { return idfvCollectionEnabled_; }

    // The identity queue has run everything queued so far.
    void waitForQueue();

private:
    explicit APMIdentity(APMIdentityInputs inputs);
    void readBundleSettings();

    // The refresh and its steps, on the identity queue.
    void refreshOnQueue();
    bool isRefreshFresh(const std::optional<std::string>& persistedInstanceID) const;
    // Persists a new app instance ID and asks the folder's agreement on it.
    void persistNewAppInstanceID(const std::optional<std::string>& replacing, const std::string& proposed);
    int trackingStatusAndCandidate(bool adStorageDenied, std::optional<std::string>& candidate);
    template <class Result, class Read>
    Result readAfterRefresh(Read&& reader);

    bool isAdStorageDenied() const;
    bool isAnalyticsStorageDenied() const;
    // The token of the last request, as the queue left it; none when the
    // request or a reset still queued may change it.
    std::optional<std::string> publishedSessionStitchingToken(std::int64_t sessionNumber, bool sessionExpired,
                                                              bool userIDAvailable) const;
    void publishSessionStitchingToken(std::uint64_t resetsRun);
    std::shared_ptr<APMRemoteConfig> config() const;

    APMIdentityInputs inputs_;
    std::shared_ptr<platform::dispatch::Queue> queue_;
    // Touched only on the queue.
    std::unique_ptr<APMIdentityQueueState> state_;
    std::string appID_;
    std::string appVersion_;
    std::optional<std::int64_t> appVersionNumbers_[3];
    std::optional<bool> idfvCollectionEnabled_;
    mutable std::mutex installationMutex_;  // installationID_
    std::optional<std::string> installationID_;
    // The session stitching token's fields as the queue last left them,
    // with the number of resets run before. Resets are numbered and posted
    // under resetPostMutex_, so that they run in the order of their numbers.
    struct PublishedToken {
        std::uint64_t resetsRun = 0;
        std::int64_t sessionNumber = 0;
        bool sessionExpired = false;
        std::optional<std::string> token;
        std::optional<double> expirationTime;
    };
    mutable std::mutex publishedTokenMutex_;  // publishedToken_
    std::optional<PublishedToken> publishedToken_;
    std::mutex resetPostMutex_;
    std::atomic<std::uint64_t> resetsPosted_{0};
    std::uint64_t resetsRun_ = 0;  // on the queue
};

}  // namespace measurement
