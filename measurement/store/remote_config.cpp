// The server configuration: parsing, storage, URLs and experiments.
#include "measurement/store/remote_config.h"

#include <cctype>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/clock.h"

namespace measurement {

using platform::Value;

namespace {

APMMonitor& monitor() { return APMMonitor::shared(); }

std::string textOf(const char* text) { return text ? std::string(text) : std::string(); }

using Settings = std::map<std::string, std::string>;

std::optional<std::string> settingIn(const Settings& settings, const std::string& key) {
    auto found = settings.find(key);
    if (found == settings.end()) return std::nullopt;
    return found->second;
}

}  // namespace

std::optional<std::string> APMConsentTypeName(std::int64_t type) {
    switch (type) {
        case 1: return "ad_storage";
        case 2: return "analytics_storage";
        case 3: return "ad_user_data";
        case 4: return "ad_personalization";
        default: return std::nullopt;
    }
}

std::optional<std::string> APMConsentStatusName(std::int64_t status) {
    switch (status) {
        case 1: return "granted";
        case 2: return "denied";
        default: return std::nullopt;
    }
}

APMRemoteConfigEnvironment APMRemoteConfigEnvironment::fromMainBundle() {
    APMRemoteConfigEnvironment environment;
    if (auto plist = APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist()) {
        auto found = plist->find(kAPMRozedaAppIDKey);
        if (found != plist->end() && found->second.isString()) environment.appID = found->second.asString();
    }
    environment.serviceBaseURL = APMMeasurementServiceBaseURL();
    environment.bundleIdentifier = APMBundleIdentifier();
    environment.appVersion = []() -> std::optional<std::string> {
        auto version = APMBundleShortVersion();
        if (version.empty()) return std::nullopt;
        return version;
    };
    return environment;
}

// One configuration as the engine reads it. Immutable once made, so readers
// on any thread share it.
struct APMRemoteConfig::Parsed {
    struct EventEntry {
        std::optional<bool> blocked;
        bool customConversion = false;
        std::optional<std::int32_t> samplingRate;
    };

    bool isDefault = true;
    std::int64_t version = -1;
    std::shared_ptr<const Settings> settings = std::make_shared<const Settings>();
    std::map<std::string, EventEntry> events;
    std::string uploadSubdomain;
    bool dmaRegion = false;
    std::vector<std::string> dataControls;
    std::set<std::string> corePlatformServices;
    Value::Dictionary consentDefaults;
    Value::Dictionary consentDelegations;
    Value::Dictionary regionalDefaults;
    std::shared_ptr<APMEventEditingHost> eventEditing;
};

struct APMRemoteConfig::State {
    std::shared_ptr<APMMeasurementConfigStorage> storage;
    APMRemoteConfigEnvironment environment;
    std::shared_ptr<APMEventEditingFactory> eventEditingFactory;
    std::shared_ptr<APMExperimentsManagerInterface> experiments;
    std::shared_ptr<platform::dispatch::Clock> clock;

    mutable std::mutex mutex;  // current
    std::shared_ptr<const Parsed> current = std::make_shared<const Parsed>();

    // The experiments client, set once at construction.
    std::shared_ptr<APMExperimentsClient> client;
    mutable std::mutex experimentsMutex;  // snapshotWaiting, regionalFlag
    bool snapshotWaiting = false;
    std::optional<Value> regionalFlag;

    std::shared_ptr<const Parsed> snapshot() const {
        std::lock_guard lock(mutex);
        return current;
    }
    void apply(std::shared_ptr<const Parsed> parsed) {
        std::lock_guard lock(mutex);
        current = std::move(parsed);
    }

    std::shared_ptr<const Parsed> parse(const APMPBMeasurementConfig& config) const;
    void parseSettings(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const;
    void parseEvents(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const;
    void parseConsent(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const;
    bool loadProgram(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const;
    void loadStoredConfig();
    bool isForThisApp(const APMPBMeasurementConfig& config) const;

    void registerWithExperiments(const std::shared_ptr<APMExperimentsClientDelegate>& delegate);
    void refreshRegionalFlag();
    void clientDidReceiveNewSnapshot();
    void activateNewSnapshot();
    bool shouldFetchExperiments() const {
        return environment.isMeasurementEnabled && environment.isMeasurementEnabled();
    }
    bool trackingAuthorized() const {
        return environment.trackingAuthorizationStatus && environment.trackingAuthorizationStatus() == 3;
    }
};

// ---- parsing ----

void APMRemoteConfig::State::parseSettings(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const {
    auto settings = std::make_shared<Settings>();
    for (pb_size_t i = 0; i < message.settings_count; ++i) {
        const auto& setting = message.settings[i];
        if (!setting.name || !setting.value) continue;
        (*settings)[setting.name] = setting.value;  // a later entry of a name wins
    }
    parsed.settings = std::move(settings);
}

void APMRemoteConfig::State::parseEvents(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const {
    for (pb_size_t i = 0; i < message.event_configs_count; ++i) {
        const auto& entry = message.event_configs[i];
        if (!entry.name || !*entry.name) continue;
        Parsed::EventEntry event;
        if (entry.has_blocked) event.blocked = entry.blocked;
        event.customConversion = entry.has_custom_conversion && entry.custom_conversion;
        if (entry.has_sampling_rate) event.samplingRate = entry.sampling_rate;
        parsed.events[entry.name] = event;
    }
}

void APMRemoteConfig::State::parseConsent(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const {
    if (!message.consent) return;
    const auto& consent = *message.consent;
    auto statuses = [](const nano_APMPBConsentDefault* entries, pb_size_t count) {
        Value::Dictionary result;
        for (pb_size_t i = 0; i < count; ++i) {
            auto type = APMConsentTypeName(entries[i].has_type ? entries[i].type : 0);
            auto status = APMConsentStatusName(entries[i].has_status ? entries[i].status : 0);
            if (type && status) result[*type] = *status;
        }
        return result;
    };
    parsed.consentDefaults = statuses(consent.defaults, consent.defaults_count);
    parsed.regionalDefaults = statuses(consent.regional_defaults, consent.regional_defaults_count);
    for (pb_size_t i = 0; i < consent.delegations_count; ++i) {
        const auto& entry = consent.delegations[i];
        auto type = APMConsentTypeName(entry.has_type ? entry.type : 0);
        auto delegated = APMConsentTypeName(entry.has_delegated_type ? entry.delegated_type : 0);
        if (type && delegated) parsed.consentDelegations[*type] = *delegated;
    }
}

namespace {

Value::Dictionary appMetadataFor(const APMRemoteConfigEnvironment& environment) {
    Value::Dictionary metadata{
        {"platform", "ios"},
        {"package_name", environment.bundleIdentifier},
        {"ruz_version", static_cast<long long>(environment.libraryVersion)},
    };
    if (environment.appVersion) {
        if (auto version = environment.appVersion()) metadata["app_version"] = *version;
    }
    return metadata;
}

}  // namespace

// Only the first program is loaded. False when it fails to load: the
// configuration then has no event editing, and what comes after the
// programs is not taken from it.
bool APMRemoteConfig::State::loadProgram(const nano_APMPBMeasurementConfig& message, Parsed& parsed) const {
    if (message.programs_count == 0 || !eventEditingFactory) return true;
    auto program = APMPBProgram::initWithMessageInfo(&message.programs[0]);
    APMEventEditingModules modules;
    modules.remoteConfigValue = [settings = parsed.settings](const std::string& key) {
        return settingIn(*settings, key);
    };
    // The host may outlive this object, so the module holds its own copy.
    modules.appMetadata = [environment = environment] { return appMetadataFor(environment); };
    std::optional<APMError> error;
    parsed.eventEditing = eventEditingFactory->makeEventEditingWithProgram(program, modules, &error);
    if (parsed.eventEditing) {
        monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMRemoteConfigEventEditingLoadedCode,
                               "Loading Event Modification and Creation programs",
                               static_cast<long long>(message.programs_count));
    } else if (error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMRemoteConfigEventEditingFailedCode,
                               "Failed to initiate event editing instance", error->asContext());
        return false;
    }
    return true;
}

std::shared_ptr<const APMRemoteConfig::Parsed> APMRemoteConfig::State::parse(
    const APMPBMeasurementConfig& config) const {
    auto parsed = std::make_shared<Parsed>();
    const auto* message = config.message();
    if (!message) return parsed;
    parsed->isDefault = false;
    if (message->has_version) parsed->version = message->version;
    parseSettings(*message, *parsed);
    parseEvents(*message, *parsed);
    parsed->uploadSubdomain = textOf(message->upload_subdomain);
    if (!loadProgram(*message, *parsed)) return parsed;
    parsed->dmaRegion = message->has_dma_region && message->dma_region;
    for (pb_size_t i = 0; i < message->data_controls_count; ++i) {
        if (message->data_controls[i]) parsed->dataControls.emplace_back(message->data_controls[i]);
    }
    for (pb_size_t i = 0; i < message->core_platform_services_count; ++i) {
        if (message->core_platform_services[i]) parsed->corePlatformServices.emplace(message->core_platform_services[i]);
    }
    parseConsent(*message, *parsed);
    return parsed;
}

bool APMRemoteConfig::State::isForThisApp(const APMPBMeasurementConfig& config) const {
    const auto* message = config.message();
    return message && message->app_id && !environment.appID.empty() && environment.appID == message->app_id;
}

void APMRemoteConfig::State::loadStoredConfig() {
    std::optional<APMError> error;
    auto data = storage->measurementConfigData(&error);
    if (!data) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMRemoteConfigStoredConfigUnreadableCode,
                               "Failed to read the stored configuration. Using default configuration. Error",
                               error ? error->asContext() : Value());
        return;
    }
    if (data->empty()) return;
    auto config = APMPBMeasurementConfig::initWithBuffer(*data);
    if (!config || !isForThisApp(*config)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMRemoteConfigStoredConfigUnusableCode,
                               "Stored configuration is invalid or for another app. Using default configuration");
        return;
    }
    apply(parse(*config));
}

// ---- experiments ----

namespace {

void logFetchError(const APMError& error) {
    monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMRemoteConfigExperimentFetchFailedCode,
                           "Cannot fetch experiment. Error", error.asContext());
}

}  // namespace

// The client holds its delegate weakly; the delegate reaches the state only
// while the configuration lives.
class APMRemoteConfig::ExperimentsDelegate : public APMExperimentsClientDelegate {
public:
    explicit ExperimentsDelegate(std::weak_ptr<State> state) : state_(std::move(state)) {}
    void clientDidReceiveNewSnapshot() override {
        if (auto state = state_.lock()) state->clientDidReceiveNewSnapshot();
    }
    void clientDidReceiveFetchError(const APMError& error) override { logFetchError(error); }
    bool shouldFetchExperimentsForClient() override {
        auto state = state_.lock();
        return state && state->shouldFetchExperiments();
    }

private:
    std::weak_ptr<State> state_;
};

void APMRemoteConfig::State::clientDidReceiveNewSnapshot() {
    std::lock_guard lock(experimentsMutex);
    snapshotWaiting = true;
}

void APMRemoteConfig::State::activateNewSnapshot() {
    {
        std::lock_guard lock(experimentsMutex);
        if (!snapshotWaiting || !client) return;
    }
    std::optional<APMError> error;
    if (!client->activateLatestSnapshot(&error)) {
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMRemoteConfigSnapshotActivationFailedCode,
                               "Cannot activate snapshot. Error", error ? error->asContext() : Value());
        return;
    }
    refreshRegionalFlag();
    std::lock_guard lock(experimentsMutex);
    snapshotWaiting = false;
}

void APMRemoteConfig::State::refreshRegionalFlag() {
    auto value = client->objectForKeyedSubscript(kAPMRegionalDefaultsExperimentFlag);
    std::lock_guard lock(experimentsMutex);
    regionalFlag = std::move(value);
}

void APMRemoteConfig::State::registerWithExperiments(const std::shared_ptr<APMExperimentsClientDelegate>& delegate) {
    if (!experiments) return;
    client = experiments->registerSDKProperty(kAPMExperimentsSDKName, environment.libraryVersion, delegate);
    if (!client) return;
    std::optional<APMError> error;
    if (!client->activateLatestSnapshot(&error)) {
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMRemoteConfigStaleSnapshotActivationFailedCode,
                               "Cannot activate stale snapshot. Error", error ? error->asContext() : Value());
    }
    refreshRegionalFlag();
}

// ---- APMRemoteConfig ----

APMRemoteConfig::APMRemoteConfig(std::shared_ptr<APMMeasurementConfigStorage> storage,
                                 APMRemoteConfigEnvironment environment,
                                 std::shared_ptr<APMEventEditingFactory> eventEditingFactory,
                                 std::shared_ptr<APMExperimentsManagerInterface> experiments)
    : state_(std::make_shared<State>()), delegate_(std::make_shared<ExperimentsDelegate>(state_)) {
    state_->storage = std::move(storage);
    state_->environment = std::move(environment);
    state_->eventEditingFactory = std::move(eventEditingFactory);
    state_->experiments = std::move(experiments);
    state_->clock = platform::dispatch::currentClock();
    if (state_->storage) state_->loadStoredConfig();
    state_->registerWithExperiments(delegate_);
}

APMRemoteConfig::~APMRemoteConfig() = default;

std::shared_ptr<const APMRemoteConfig::Parsed> APMRemoteConfig::current() const { return state_->snapshot(); }

double APMRemoteConfig::flagValue(APMRemoteConfigFlag flag) const {
    const auto& spec = APMRemoteConfigFlagSpecFor(flag);
    auto parsed = current();
    double fallback = spec.defaultValue;
    if (flag == APMRemoteConfigFlag::kMaxPSMStartCount && monitor().isDebugModeEnabled()) fallback = 10;
    if (spec.preferredKey) {
        if (auto preferred = settingIn(*parsed->settings, spec.preferredKey)) {
            return APMResolveRemoteConfigFlag(spec, preferred, fallback);
        }
    }
    return APMResolveRemoteConfigFlag(spec, settingIn(*parsed->settings, spec.key), fallback);
}

std::int64_t APMRemoteConfig::countFlag(APMRemoteConfigFlag flag) const {
    // Counts lie within their bounds, so the conversion cannot overflow; a
    // count sent in thousandths drops its fraction.
    return static_cast<std::int64_t>(flagValue(flag));
}

bool APMRemoteConfig::boolFlag(APMRemoteConfigFlag flag) const { return flagValue(flag) != 0; }

bool APMRemoteConfig::regionalDefaultsEnabled() const {
    std::optional<Value> cached;
    {
        std::lock_guard lock(state_->experimentsMutex);
        cached = state_->regionalFlag;
    }
    if (cached && (cached->isBool() || cached->isNumber())) return cached->realValue() != 0;
    if (cached && cached->isString()) {
        auto spec = APMRemoteConfigFlagSpecFor(APMRemoteConfigFlag::kRegionalDefaultsEnabled);
        constexpr double kUnreadable = -1;
        double value = APMResolveRemoteConfigFlag(spec, cached->asString(), kUnreadable);
        if (value != kUnreadable) return value != 0;
    }
    return boolFlag(APMRemoteConfigFlag::kRegionalDefaultsEnabled);
}

// ---- per-event configuration ----

bool APMRemoteConfig::isEventBlocklisted(const std::string& name) const {
    auto parsed = current();
    auto found = parsed->events.find(name);
    if (found != parsed->events.end() && found->second.blocked) return *found->second.blocked;
    const bool internal = !name.empty() && name.front() == '_';
    return internal ? blocklistInternal() : blocklistPublic();
}

bool APMRemoteConfig::isEventCustomConversion(const std::string& name) const {
    auto parsed = current();
    auto found = parsed->events.find(name);
    return found != parsed->events.end() && found->second.customConversion;
}

bool APMRemoteConfig::eventHasSamplingRate(const std::string& name) const {
    auto parsed = current();
    auto found = parsed->events.find(name);
    return found != parsed->events.end() && found->second.samplingRate.has_value();
}

int APMRemoteConfig::samplingRateForEvent(const std::string& name) const {
    auto parsed = current();
    auto found = parsed->events.find(name);
    if (found == parsed->events.end() || !found->second.samplingRate) return 1;
    const std::int32_t rate = *found->second.samplingRate;
    return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- configuration state ----

bool APMRemoteConfig::isExpired() const {
    if (current()->isDefault) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMRemoteConfigDefaultConfigTimestampCode,
                               "Cannot fetch the last update timestamp from the default configuration");
        return false;
    }
    std::optional<APMError> error;
    auto lastUpdate = state_->storage ? state_->storage->remoteConfigSuccessfulTimestamp(&error) : std::nullopt;
    if (!lastUpdate) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMRemoteConfigLastUpdateUnreadableCode,
                               "Cannot read the last configuration update time. Treating configuration as expired",
                               error ? error->asContext() : Value());
        return true;
    }
    return std::fabs(state_->clock->now() - *lastUpdate) >= remoteConfigCacheTimeInterval();
}

std::int64_t APMRemoteConfig::version() const { return current()->version; }

std::vector<std::int64_t> APMRemoteConfig::experimentIDs() const {
    return state_->experiments ? state_->experiments->experimentIDs() : std::vector<std::int64_t>{};
}

std::vector<std::string> APMRemoteConfig::dataControls() const { return current()->dataControls; }
std::set<std::string> APMRemoteConfig::corePlatformServices() const { return current()->corePlatformServices; }
bool APMRemoteConfig::isDMARegion() const { return current()->dmaRegion; }
Value::Dictionary APMRemoteConfig::consentDefaults() const { return current()->consentDefaults; }
Value::Dictionary APMRemoteConfig::consentDelegations() const { return current()->consentDelegations; }
Value::Dictionary APMRemoteConfig::regionalDefaults() const { return current()->regionalDefaults; }
std::shared_ptr<APMEventEditingHost> APMRemoteConfig::eventEditing() const { return current()->eventEditing; }

// ---- service addresses ----

namespace {

// A single DNS label: letters, digits and inner hyphens.
bool isHostLabel(const std::string& label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (unsigned char c : label) {
        if (!std::isalnum(c) && c != '-') return false;
    }
    return true;
}

// A host name that a label can be put in front of: not an address literal
// and not a single-label name such as "localhost".
bool acceptsSubdomain(const std::string& host) {
    if (host.find('.') == std::string::npos || host.find(':') != std::string::npos) return false;
    for (unsigned char c : host) {
        if (std::isalpha(c)) return true;
    }
    return false;
}

std::optional<platform::URL> serviceURL(const std::optional<std::string>& base, const std::string& path) {
    if (!base) return std::nullopt;
    auto url = platform::URL::parse(*base);
    if (!url || !url->hasAuthority() || url->host().empty()) return std::nullopt;
    std::string prefix = url->path();
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    url->setPath(prefix + "/" + path);
    url->setQueryItems(std::nullopt);
    url->setFragment(std::nullopt);
    return url;
}

}  // namespace

std::optional<platform::URL> APMRemoteConfig::uploadURL() const {
    auto url = serviceURL(state_->environment.serviceBaseURL, "a");
    if (!url) return std::nullopt;
    const std::string subdomain = current()->uploadSubdomain;
    if (isHostLabel(subdomain) && acceptsSubdomain(url->host()) && state_->trackingAuthorized()) {
        url->setHost(subdomain + "." + url->host());
    }
    return url;
}

std::optional<platform::URL> APMRemoteConfig::SKANConversionValueURL() const {
    return serviceURL(state_->environment.serviceBaseURL, "skan");
}

std::optional<platform::URL> APMRemoteConfig::remoteConfigURL(const std::string& platform, std::int64_t SDKVersion,
                                                              std::int64_t runtimeVersion) const {
    const std::string& appID = state_->environment.appID;
    if (appID.empty() || appID.find('/') != std::string::npos) return std::nullopt;
    auto url = serviceURL(state_->environment.serviceBaseURL, "config/app/" + appID);
    if (!url) return std::nullopt;
    url->setQueryItems(std::vector<platform::URLQueryItem>{
        {"platform", platform},
        {"ruz_version", std::to_string(SDKVersion)},
        {"runtime_version", std::to_string(runtimeVersion)},
    });
    return url;
}

// ---- taking a configuration ----

bool APMRemoteConfig::updateMeasurementConfig(const APMPBMeasurementConfig& config, APMErrorOut error) {
    const NANOBytes bytes = config.protoBuffer();
    if (bytes.empty()) {
        APMSetError(error, kAPMRemoteConfigEmptyConfigErrorCode, "Received empty configuration");
        return false;
    }
    if (!state_->isForThisApp(config)) {
        APMSetError(error, kAPMRemoteConfigWrongAppIDErrorCode, "Configuration is for another app ID");
        return false;
    }
    if (!state_->storage || !state_->storage->updateMeasurementConfigData(bytes, error)) return false;
    auto parsed = state_->parse(config);
    std::weak_ptr<State> weak = state_;
    const bool staged = state_->storage->whenTransactionEnds([weak, parsed](bool committed) {
        auto state = weak.lock();
        if (state && committed) state->apply(parsed);
    });
    if (!staged) state_->apply(std::move(parsed));
    return true;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config) {
    state_->apply(state_->parse(config));
}

// ---- as the experiments client's SDK ----

void APMRemoteConfig::clientDidReceiveNewSnapshot() { state_->clientDidReceiveNewSnapshot(); }
void APMRemoteConfig::activateNewSnapshot() { state_->activateNewSnapshot(); }
void APMRemoteConfig::clientDidReceiveFetchError(const APMError& error) { logFetchError(error); }
bool APMRemoteConfig::shouldFetchExperimentsForClient() const { return state_->shouldFetchExperiments(); }

void APMRemoteConfig::reset() {
    if (!state_->experiments) return;
    state_->experiments->reset();
    // The reset drops every snapshot: a flag cached from one of them must
    // not go on steering the regional defaults, nor a waiting mark activate
    // a snapshot that is gone.
    std::lock_guard lock(state_->experimentsMutex);
    state_->regionalFlag.reset();
    state_->snapshotWaiting = false;
}

}  // namespace measurement
