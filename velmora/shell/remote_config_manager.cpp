// Loading, fallback, lists and lookups of the remotely configured content.
#include "velmora/shell/remote_config_manager.h"

#include <algorithm>

#include "platform/foundation/plist_codec.h"
#include "platform/foundation/process_info.h"
#include "velmora/engine/console_line.h"
#include "velmora/shell/property_list_json.h"

namespace velmora {

namespace {

constexpr const char* kDefaultsResource = "RemoteConfigDefaults";

bool runsAs(const AppMetaData& app, const std::string& bundleIdentifier) {
    return std::find(app.appIdentifiers.begin(), app.appIdentifiers.end(), bundleIdentifier) !=
           app.appIdentifiers.end();
}

// Every entry but the running application's, order kept.
std::vector<AppMetaData> removingRunningApp(std::vector<AppMetaData> apps, const std::string& bundleIdentifier) {
    apps.erase(std::remove_if(apps.begin(), apps.end(),
                              [&](const AppMetaData& app) { return runsAs(app, bundleIdentifier); }),
               apps.end());
    return apps;
}

}  // namespace

std::shared_ptr<RemoteConfigManager> RemoteConfigManager::make(std::shared_ptr<platform::VEZRemoteConfig> client,
                                                               const platform::Bundle& bundle,
                                                               platform::NotificationCenter& center) {
    return std::make_shared<RemoteConfigManager>(Passkey(), std::move(client), bundle, center);
}

RemoteConfigManager::RemoteConfigManager(Passkey, std::shared_ptr<platform::VEZRemoteConfig> client,
                                         const platform::Bundle& bundle, platform::NotificationCenter& center)
    : client_(std::move(client)), bundle_(&bundle), center_(&center) {
    auto settings = client_->configSettings();
    settings.setMinimumFetchInterval(0);
    client_->setConfigSettings(settings);
}

template <class T, class Assign>
void RemoteConfigManager::loadValue(const platform::VEZRemoteConfig& config, const char* key,
                                    const char* notification, Assign assign) {
    std::string error;
    auto value = decodeConfigRecord<T>(config.configValue(key).stringValue(), &error);
    if (!value) {
        consoleLine(error);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        assign(std::move(*value));
    }
    // Outside the lock: an observer may read the manager at once.
    center_->post(notification);
}

void RemoteConfigManager::replaceApps(std::vector<AppMetaData> apps) {
    std::lock_guard lock(mutex_);
    // The running application's entry, once found, is kept for the rest of
    // the process: the rating link stays the one first read, whatever list
    // comes later.
    apps_ = std::move(apps);
}

std::optional<std::vector<AppMetaData>> RemoteConfigManager::appsFromBundle() const {
    const auto path = bundle_->pathForResource(kDefaultsResource, "plist");
    if (!path) return std::nullopt;
    const auto bytes = platform::readFile(*path);
    if (!bytes) {
        consoleLine(path->string() + " cannot be read");
        return std::nullopt;
    }
    std::string error;
    const auto plist = platform::parsePropertyList(*bytes, &error);
    if (!plist) {
        consoleLine(path->string() + " is no property list: " + error);
        return std::nullopt;
    }
    const auto json = jsonFromPropertyList(*plist, &error);
    if (!json) {
        consoleLine(path->string() + " cannot be converted to JSON: " + error);
        return std::nullopt;
    }
    auto all = decodeConfigRecord<AllAppMetaData>(*json);
    if (!all) return std::nullopt;
    return std::move(all->apps);
}

void RemoteConfigManager::loadApps(const platform::VEZRemoteConfig& config) {
    auto all = decodeConfigRecord<AllAppMetaData>(config.configValue("apps").stringValue());
    std::optional<std::vector<AppMetaData>> apps;
    if (all) {
        apps = std::move(all->apps);
    } else {
        apps = appsFromBundle();
    }
    if (!apps) return;
    replaceApps(std::move(*apps));
    center_->post(kDidLoadMenuNotification);
}

void RemoteConfigManager::loadAds(const platform::VEZRemoteConfig& config) {
    loadValue<KuvoAdsByKey>(config, "ads", kDidLoadKuvoAdsNotification,
                            [this](KuvoAdsByKey value) { ads_ = std::move(value); });
}

void RemoteConfigManager::loadOffers(const platform::VEZRemoteConfig& config) {
    loadValue<OffersByKey>(config, "offers", kDidLoadOffersNotification,
                           [this](OffersByKey value) { offers_ = std::move(value); });
}

void RemoteConfigManager::loadUmpReferenceData(const platform::VEZRemoteConfig& config) {
    loadValue<UmpReferenceData>(config, "umpReferenceData", kDidLoadUmpReferenceDataNotification,
                                [this](UmpReferenceData value) { umpReferenceData_ = std::move(value); });
}

void RemoteConfigManager::loadVideoTutorials(const platform::VEZRemoteConfig& config) {
    loadValue<VideoTutorialsByCode>(config, "videoTutorials", kDidLoadVideoTutorialsDataNotification,
                                    [this](VideoTutorialsByCode value) { videoTutorials_ = std::move(value); });
}

void RemoteConfigManager::loadAllConfigValues(const platform::VEZRemoteConfig& config) {
    loadApps(config);
    loadAds(config);
    loadOffers(config);
    loadUmpReferenceData(config);
    loadVideoTutorials(config);
}

void RemoteConfigManager::fetchConfig(double expirationDuration) {
    std::weak_ptr<RemoteConfigManager> weak = weak_from_this();
    client_->fetch(expirationDuration, [weak](platform::VEZRemoteConfigFetchStatus status,
                                              const std::optional<platform::VEZRemoteConfigError>& error) {
        if (auto self = weak.lock()) self->handleFetchResult(status, error);
    });
}

void RemoteConfigManager::handleFetchResult(platform::VEZRemoteConfigFetchStatus status,
                                            const std::optional<platform::VEZRemoteConfigError>& error) {
    if (error) {
        loadAllConfigValues(*client_);
        return;
    }
    if (status == platform::VEZRemoteConfigFetchStatus::success) {
        std::weak_ptr<RemoteConfigManager> weak = weak_from_this();
        client_->activate([weak](bool changed, const std::optional<platform::VEZRemoteConfigError>& activateError) {
            if (auto self = weak.lock()) self->applyAllConfigValues(changed, activateError);
        });
        return;
    }
    consoleLine("Config not fetched");
    consoleLine("Error: No error available.");
}

void RemoteConfigManager::applyAllConfigValues(bool, const std::optional<platform::VEZRemoteConfigError>&) {
    loadAllConfigValues(*client_);
}

std::vector<AppMetaData> RemoteConfigManager::apps() const {
    std::lock_guard lock(mutex_);
    return apps_;
}

KuvoAdsByKey RemoteConfigManager::ads() const {
    std::lock_guard lock(mutex_);
    return ads_;
}

OffersByKey RemoteConfigManager::offers() const {
    std::lock_guard lock(mutex_);
    return offers_;
}

std::optional<UmpReferenceData> RemoteConfigManager::umpReferenceData() const {
    std::lock_guard lock(mutex_);
    return umpReferenceData_;
}

std::optional<VideoTutorialsByCode> RemoteConfigManager::videoTutorials() const {
    std::lock_guard lock(mutex_);
    return videoTutorials_;
}

std::vector<AppMetaData> RemoteConfigManager::shownApps(bool multi) const {
    const std::string bundleIdentifier = bundle_->bundleIdentifier();
    if (bundleIdentifier.empty()) return {};
    std::vector<AppMetaData> shown;
    for (const auto& app : apps()) {
        if (app.shouldShow && app.isMultiApp.value_or(false) == multi) shown.push_back(app);
    }
    return removingRunningApp(std::move(shown), bundleIdentifier);
}

std::vector<AppMetaData> RemoteConfigManager::singleApps() const {
    return shownApps(false);
}

std::vector<AppMetaData> RemoteConfigManager::multiApps() const {
    return shownApps(true);
}

std::vector<AppSection> RemoteConfigManager::appSections() const {
    auto multi = multiApps();
    auto single = singleApps();
    if (multi.empty() || single.empty()) return {};
    std::vector<AppSection> sections;
    sections.push_back({true, "All in one:", std::move(multi)});
    sections.push_back({false, "Other apps:", std::move(single)});
    return sections;
}

std::optional<AppMetaData> RemoteConfigManager::currentApp() const {
    const std::string bundleIdentifier = bundle_->bundleIdentifier();
    std::lock_guard lock(mutex_);
    if (currentApp_) return currentApp_;
    if (bundleIdentifier.empty()) return std::nullopt;
    for (const auto& app : apps_) {
        if (runsAs(app, bundleIdentifier)) {
            currentApp_ = app;
            return currentApp_;
        }
    }
    return std::nullopt;
}

std::vector<std::string> RemoteConfigManager::videoTutorialAddresses(std::optional<CalculatorType> type) const {
    if (!type) return {};
    const std::string code = calculatorShortCode(*type);
    std::map<std::string, std::vector<std::string>> byLanguage;
    {
        std::lock_guard lock(mutex_);
        if (!videoTutorials_) return {};
        const auto found = videoTutorials_->find(code);
        if (found == videoTutorials_->end()) return {};
        byLanguage = found->second;
    }
    const std::string language = supportedLanguageCode();
    std::vector<std::string> addresses;
    if (const auto own = byLanguage.find(language); own != byLanguage.end()) addresses = own->second;
    if (language != "en") {
        if (const auto english = byLanguage.find("en"); english != byLanguage.end()) {
            addresses.insert(addresses.end(), english->second.begin(), english->second.end());
        }
    }
    return addresses;
}

std::string RemoteConfigManager::supportedLanguageCode() {
    const auto language = platform::ProcessInfo::languageCode();
    if (language) {
        for (const char* code : kSupportedLanguageCodes) {
            if (*language == code) return *language;
        }
    }
    return "en";
}

RemoteConfigManager& sharedRemoteConfigManager() {
    // Never released: completions on the client's queue may still reach it
    // while the process ends.
    static auto* const manager = new std::shared_ptr<RemoteConfigManager>(
        RemoteConfigManager::make(platform::VEZRemoteConfig::remoteConfig()));
    return **manager;
}

}  // namespace velmora
