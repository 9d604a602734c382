// The application's remotely configured content: promoted applications, ads, offers, consent data and video tutorials.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"
#include "velmora/shell/calculator_type.h"
#include "velmora/shell/config_records.h"

namespace velmora {

// Posted on the default notification centre, with no object and no user
// info, each time the matching field has been replaced by a value that
// decoded. They are posted on the thread that ran the loader: the main
// thread at start-up, the client's queue after a fetch. Observers that
// touch the screen move to the main queue themselves.
inline constexpr const char* kDidLoadMenuNotification = "didLoadMenu";                  // apps
inline constexpr const char* kDidLoadKuvoAdsNotification = "didLoadKuvoAds";            // ads
inline constexpr const char* kDidLoadOffersNotification = "didLoadOffers";              // offers
inline constexpr const char* kDidLoadUmpReferenceDataNotification = "didLoadUmpReferenceData";
inline constexpr const char* kDidLoadVideoTutorialsDataNotification = "didLoadVideoTutorialsData";

// The expiry of the fetch made each time the application becomes active.
inline constexpr double kRemoteConfigFetchExpiration = 21600;

// The eleven language codes remote content is localised for, in order.
inline constexpr std::array<const char*, 11> kSupportedLanguageCodes{"de", "zh", "ja", "en", "es", "ko",
                                                                     "pt", "ru", "fr", "id", "hi"};

// One application section of the drawer: its header's localisation key and
// the applications under it.
struct AppSection {
    bool isMultiApp = false;
    std::string headerKey;  // "All in one:" or "Other apps:"
    std::vector<AppMetaData> apps;
};

// Holds the last good value of the five remote values "apps", "ads",
// "offers", "umpReferenceData" and "videoTutorials", decoded from the
// remote-configuration client, with the bundle's "RemoteConfigDefaults"
// property list standing in for "apps" when it does not decode. The
// loaders run where they are called (the main thread at start-up, the
// client's queue after a fetch) while the screens read on the main thread:
// every field is guarded, and every reader gets a copy.
class RemoteConfigManager : public std::enable_shared_from_this<RemoteConfigManager> {
public:
    // Sets the client's minimum fetch interval to 0: fetches are never
    // refused for being too frequent on this side.
    static std::shared_ptr<RemoteConfigManager> make(std::shared_ptr<platform::VEZRemoteConfig> client,
                                                     const platform::Bundle& bundle = platform::Bundle::main(),
                                                     platform::NotificationCenter& center =
                                                         platform::NotificationCenter::defaultCenter());

    std::shared_ptr<platform::VEZRemoteConfig> remoteConfig() const { return client_; }

    // Each reads its key's active value and, when it decodes, replaces the
    // field and posts the notification; otherwise the field keeps its value,
    // nothing is posted, and (but for "apps") the decoding error is printed.
    // "apps" that does not decode falls back to the bundle's list.
    void loadApps(const platform::VEZRemoteConfig& config);
    void loadAds(const platform::VEZRemoteConfig& config);
    void loadOffers(const platform::VEZRemoteConfig& config);
    void loadUmpReferenceData(const platform::VEZRemoteConfig& config);
    void loadVideoTutorials(const platform::VEZRemoteConfig& config);
    // The five loaders in their order: apps, ads, offers,
    // umpReferenceData, videoTutorials.
    void loadAllConfigValues(const platform::VEZRemoteConfig& config);

    // Fetches with the given expiry; the result goes to handleFetchResult on
    // the client's queue. The completions hold the manager weakly: a manager
    // gone by then is left alone.
    void fetchConfig(double expirationDuration = kRemoteConfigFetchExpiration);
    // An error: reload from the active values. Success: activate, then
    // applyAllConfigValues. Anything else: print "Config not fetched" and
    // "Error: No error available." and change nothing.
    void handleFetchResult(platform::VEZRemoteConfigFetchStatus status,
                           const std::optional<platform::VEZRemoteConfigError>& error);
    // The activation's completion: reloads all five whatever it reports.
    void applyAllConfigValues(bool changed, const std::optional<platform::VEZRemoteConfigError>& error);

    std::vector<AppMetaData> apps() const;
    KuvoAdsByKey ads() const;
    OffersByKey offers() const;
    std::optional<UmpReferenceData> umpReferenceData() const;
    std::optional<VideoTutorialsByCode> videoTutorials() const;

    // Shown entries that are not multi-applications (isMultiApp false or
    // absent), and those that are; both without the running application.
    // Empty without a bundle identifier.
    std::vector<AppMetaData> singleApps() const;
    std::vector<AppMetaData> multiApps() const;
    // The two lists, multi-applications first, each under its own header,
    // when both hold an application; otherwise none: the drawer shows its
    // application sections as a pair or not at all.
    std::vector<AppSection> appSections() const;

    // The running application's own entry: the first whose identifiers hold
    // the bundle identifier. Remembered once found, for the rest of the
    // process: a later list of applications does not replace it.
    std::optional<AppMetaData> currentApp() const;

    // The video addresses of the calculator's tutorials: the device
    // language's list, then the English one, each as it is listed (an
    // address in both lists comes twice). Empty without a type or without a
    // list for it.
    std::vector<std::string> videoTutorialAddresses(std::optional<CalculatorType> type) const;

    // The device's language code when remote content is localised for it,
    // else "en".
    static std::string supportedLanguageCode();

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    RemoteConfigManager(Passkey, std::shared_ptr<platform::VEZRemoteConfig> client, const platform::Bundle& bundle,
                        platform::NotificationCenter& center);

private:
    template <class T, class Assign>
    void loadValue(const platform::VEZRemoteConfig& config, const char* key, const char* notification,
                   Assign assign);
    std::optional<std::vector<AppMetaData>> appsFromBundle() const;
    void replaceApps(std::vector<AppMetaData> apps);
    std::vector<AppMetaData> shownApps(bool multi) const;

    std::shared_ptr<platform::VEZRemoteConfig> client_;
    const platform::Bundle* bundle_;
    platform::NotificationCenter* center_;

    mutable std::mutex mutex_;
    mutable std::optional<AppMetaData> currentApp_;
    std::vector<AppMetaData> apps_;
    KuvoAdsByKey ads_;
    OffersByKey offers_;
    std::optional<UmpReferenceData> umpReferenceData_;
    std::optional<VideoTutorialsByCode> videoTutorials_;
};

// The shared manager, made on first use with the shared client, the main
// bundle and the default centre, and kept for the life of the process.
RemoteConfigManager& sharedRemoteConfigManager();

}  // namespace velmora
