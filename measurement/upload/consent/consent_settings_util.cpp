// The consent state's layers, priority rule, signals and diagnostics.
#include "measurement/upload/consent/consent_settings_util.h"

#include <algorithm>
#include <cctype>

#include "measurement/store/remote_config.h"

namespace measurement {

using Settings = APMConsentSettingsUtil::Settings;

namespace {

// A layer's value for a type; a value that is not a string reads as unset.
std::optional<std::string> valueOf(const std::optional<Settings>& layer, const std::string& type) {
    if (!layer) return std::nullopt;
    auto found = layer->find(type);
    if (found == layer->end() || !found->second.isString()) return std::nullopt;
    return found->second.asString();
}

bool is(const std::optional<std::string>& value, const char* word) {
    if (!value) return false;
    std::string lowered = *value;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered == word;
}

bool isStorageType(const std::string& type) {
    const std::string suffix = "_storage";
    return type.size() >= suffix.size() && type.compare(type.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool mayBeEUPolicy(const std::string& type) {
    return type == kAPMConsentTypeAdUserData || type == kAPMConsentTypeAdPersonalization;
}

bool isConsentType(const std::string& type) {
    const auto& types = APMConsentSettingsUtil::consentTypes();
    return std::find(types.begin(), types.end(), type) != types.end();
}

char signalOf(const std::optional<std::string>& value) {
    if (is(value, kAPMConsentDenied)) return '0';
    if (is(value, kAPMConsentGranted)) return '1';
    return '-';
}

}  // namespace

struct APMConsentSettingsUtil::State {
    std::optional<Settings> current;
    std::optional<Settings> defaults;
    std::optional<Settings> delegated;
    std::optional<Settings> regional;
    int source = kAPMConsentSourceUnset;
    int version = 1;
    // Made with a 0 for every type when first needed.
    std::optional<std::map<std::string, int>> diagnostics;

    std::string resolvedEUPolicy(const std::string& type) const {
        return valueOf(regional, type).value_or(kAPMConsentDenied);
    }

    // The current value, "eu_consent_policy" resolved, then (for
    // "ad_user_data") the delegated type's current value, then the default.
    std::optional<std::string> effectiveValue(const std::string& type) const {
        auto value = valueOf(current, type);
        if (value && mayBeEUPolicy(type) && is(value, kAPMConsentEUPolicy)) value = resolvedEUPolicy(type);
        if (value) return value;
        if (type == kAPMConsentTypeAdUserData) {
            if (auto delegate = valueOf(delegated, type)) {
                if (auto delegatedValue = valueOf(current, *delegate)) return delegatedValue;
            }
        }
        return valueOf(defaults, type);
    }

    // TCF and third-party settings are peers.
    bool isEqualPriority(int candidate) const {
        return candidate == source ||
               (std::min(candidate, source) == kAPMConsentSourceTCF && std::max(candidate, source) == kAPMConsentSource3P);
    }

    bool isHigherPriority(int candidate) const {
        // The application's own write replaces the Info.plist defaults:
        // those stand only until the application says otherwise.
        const bool replacesInfoPlist = source == kAPMConsentSourceInfoPlist && candidate == kAPMConsentSourceAPI;
        return isEqualPriority(candidate) || source >= candidate || replacesInfoPlist;
    }

    std::map<std::string, int>& diagnosticTable() {
        if (!diagnostics) {
            diagnostics.emplace();
            for (const auto& type : consentTypes()) (*diagnostics)[type] = kAPMConsentDiagnosticNone;
        }
        return *diagnostics;
    }

    // With fromSource the types of the current layer take the current
    // source's code; otherwise they keep their recorded one.
    void refreshDiagnostics(bool fromSource) {
        auto& table = diagnosticTable();
        for (const auto& type : consentTypes()) {
            int& code = table[type];
            const auto value = valueOf(current, type);
            if (value) {
                if (fromSource) code = diagnosticCodeForSource(source);
                if (mayBeEUPolicy(type) && is(value, kAPMConsentEUPolicy)) code = kAPMConsentDiagnosticEUPolicy;
            } else if (type == kAPMConsentTypeAdUserData && valueOf(delegated, type)) {
                code = kAPMConsentDiagnosticDelegated;
            } else if (valueOf(defaults, type) && !isStorageType(type)) {
                code = kAPMConsentDiagnosticServerDefault;
            } else {
                code = kAPMConsentDiagnosticUnset;
            }
        }
    }

    void resetDiagnostics() {
        diagnostics.reset();
        diagnosticTable();
    }

    void merge(const Settings& settings) {
        if (!current) current.emplace();
        for (const auto& [type, value] : settings) (*current)[type] = value;
    }

    // "ad_storage is granted. analytics_storage is denied." and the two
    // advertising types when the current layer has them.
    std::string describe() const {
        auto storage = [&](const char* type) { return valueOf(current, type).value_or(kAPMConsentGranted); };
        std::string text = std::string(kAPMConsentTypeAdStorage) + " is " + storage(kAPMConsentTypeAdStorage) + ". " +
                           kAPMConsentTypeAnalyticsStorage + " is " + storage(kAPMConsentTypeAnalyticsStorage) + ".";
        for (const char* type : {kAPMConsentTypeAdUserData, kAPMConsentTypeAdPersonalization}) {
            auto value = valueOf(current, type);
            if (!value) continue;
            if (is(value, kAPMConsentEUPolicy)) value = resolvedEUPolicy(type) + " (eu_consent_policy)";
            text += std::string(" ") + type + " is " + *value + ".";
        }
        return text;
    }
};

// The storage denials as the queue last published them, with the number of
// writes run before.
struct APMConsentSettingsUtil::Published {
    mutable std::mutex mutex;
    std::uint64_t writesRun = 0;
    bool adStorageDenied = false;
    bool analyticsStorageDenied = false;

    void publish(std::uint64_t writes, const State& state) {
        const bool ad = is(valueOf(state.current, kAPMConsentTypeAdStorage), kAPMConsentDenied);
        const bool analytics = is(valueOf(state.current, kAPMConsentTypeAnalyticsStorage), kAPMConsentDenied);
        std::lock_guard lock(mutex);
        writesRun = writes;
        adStorageDenied = ad;
        analyticsStorageDenied = analytics;
    }
};

// ---- Class operations --------------------------------------------------------

const std::vector<std::string>& APMConsentSettingsUtil::consentTypes() {
    static const std::vector<std::string> types = {kAPMConsentTypeAdStorage, kAPMConsentTypeAnalyticsStorage,
                                                   kAPMConsentTypeAdUserData, kAPMConsentTypeAdPersonalization};
    return types;
}

std::optional<std::string> APMConsentSettingsUtil::consentTypeName(std::int64_t index) {
    return APMConsentTypeName(index);
}

std::optional<std::string> APMConsentSettingsUtil::consentStatusName(std::int64_t status) {
    return APMConsentStatusName(status);
}

int APMConsentSettingsUtil::diagnosticCodeForSource(int source) {
    switch (source) {
        case kAPMConsentSourceTCF: return kAPMConsentDiagnosticTCF;
        case kAPMConsentSource3P:
        case kAPMConsentSourceAPI: return kAPMConsentDiagnosticInterface;
        case kAPMConsentSourceInfoPlist: return kAPMConsentDiagnosticInfoPlist;
        case kAPMConsentSourceOnStart: return kAPMConsentDiagnosticOnStart;
        default: return kAPMConsentDiagnosticNone;
    }
}

Settings APMConsentSettingsUtil::consentSettingsFromDictionary(const Settings& dictionary) {
    Settings settings;
    for (const auto& type : consentTypes()) {
        if (auto found = dictionary.find(type); found != dictionary.end()) settings.emplace(type, found->second);
    }
    return settings;
}

// ---- Queue -------------------------------------------------------------------

APMConsentSettingsUtil::APMConsentSettingsUtil()
    : APMConsentSettingsUtil(platform::dispatch::makeSerialQueue("com.rozeda.measurement.consent")) {}

APMConsentSettingsUtil::APMConsentSettingsUtil(std::shared_ptr<platform::dispatch::Queue> queue)
    : queue_(std::move(queue)), state_(std::make_shared<State>()), published_(std::make_shared<Published>()) {}

template <class Result, class Read>
Result APMConsentSettingsUtil::read(Read&& reader) const {
    std::optional<Result> result;
    queue_->sync([&] { result.emplace(reader(*state_)); });
    return std::move(*result);
}

template <class Write>
void APMConsentSettingsUtil::write(Write&& writer) {
    std::lock_guard lock(postMutex_);
    const auto number = writesPosted_.load(std::memory_order_relaxed) + 1;
    queue_->async([state = state_, published = published_, number, writer = std::forward<Write>(writer)] {
        writer(*state);
        published->publish(number, *state);
    });
    // After the post: a read that sees the new count is queued behind it.
    writesPosted_.store(number, std::memory_order_release);
}

// A reader that counts as many writes run as it saw posted reads what a
// read on the queue would: every write posted before it has run.
std::optional<bool> APMConsentSettingsUtil::publishedAnswer(bool (*field)(const Published&)) const {
    const auto posted = writesPosted_.load(std::memory_order_acquire);
    std::lock_guard lock(published_->mutex);
    if (published_->writesRun < posted) return std::nullopt;
    return field(*published_);
}

// Posting order makes the texts exact: a reader that sees the count of an
// earlier read knows no write was posted since; one that sees a new count
// reads on the queue, behind every write counted.
std::string APMConsentSettingsUtil::cachedRead(CachedText& cache,
                                               const std::function<std::string()>& readOnQueue) const {
    const auto writes = writesPosted_.load(std::memory_order_acquire);
    {
        std::lock_guard lock(cacheMutex_);
        if (cache.read && cache.writes == writes) return cache.text;
    }
    std::string text = readOnQueue();
    std::lock_guard lock(cacheMutex_);
    cache = {true, writes, text};
    return text;
}

// ---- Reads -------------------------------------------------------------------

std::optional<Settings> APMConsentSettingsUtil::consentSettings() const {
    return read<std::optional<Settings>>([](const State& s) { return s.current; });
}
std::optional<Settings> APMConsentSettingsUtil::defaultSettings() const {
    return read<std::optional<Settings>>([](const State& s) { return s.defaults; });
}
std::optional<Settings> APMConsentSettingsUtil::delegatedSettings() const {
    return read<std::optional<Settings>>([](const State& s) { return s.delegated; });
}
std::optional<Settings> APMConsentSettingsUtil::regionalDefaults() const {
    return read<std::optional<Settings>>([](const State& s) { return s.regional; });
}
int APMConsentSettingsUtil::consentSource() const {
    return read<int>([](const State& s) { return s.source; });
}
int APMConsentSettingsUtil::version() const {
    return read<int>([](const State& s) { return s.version; });
}

bool APMConsentSettingsUtil::isAdStorageDenied() const {
    if (const auto answer = publishedAnswer([](const Published& p) { return p.adStorageDenied; })) return *answer;
    return read<bool>([](const State& s) { return is(valueOf(s.current, kAPMConsentTypeAdStorage), kAPMConsentDenied); });
}
bool APMConsentSettingsUtil::isAnalyticsStorageDenied() const {
    if (const auto answer = publishedAnswer([](const Published& p) { return p.analyticsStorageDenied; })) return *answer;
    return read<bool>(
        [](const State& s) { return is(valueOf(s.current, kAPMConsentTypeAnalyticsStorage), kAPMConsentDenied); });
}
bool APMConsentSettingsUtil::isAdUserDataDenied() const {
    return read<bool>([](const State& s) { return is(s.effectiveValue(kAPMConsentTypeAdUserData), kAPMConsentDenied); });
}

std::optional<bool> APMConsentSettingsUtil::adPersonalization() const {
    return read<std::optional<bool>>([](const State& s) -> std::optional<bool> {
        const auto value = s.effectiveValue(kAPMConsentTypeAdPersonalization);
        if (is(value, kAPMConsentGranted)) return true;
        if (is(value, kAPMConsentDenied)) return false;
        return std::nullopt;
    });
}

bool APMConsentSettingsUtil::didAdUserDataConsentChange(bool wasAdUserDataDenied) const {
    return isAdUserDataDenied() != wasAdUserDataDenied;
}

bool APMConsentSettingsUtil::isConsentSourceEqualPriority(int source) const {
    return read<bool>([source](const State& s) { return s.isEqualPriority(source); });
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(int source) const {
    return read<bool>([source](const State& s) { return s.isHigherPriority(source); });
}

std::string APMConsentSettingsUtil::consentSignals() const {
    return cachedRead(signalsCache_, [this] {
        return read<std::string>([](const State& s) {
            return std::string("G1") + signalOf(valueOf(s.current, kAPMConsentTypeAdStorage)) +
                   signalOf(valueOf(s.current, kAPMConsentTypeAnalyticsStorage));
        });
    });
}

std::string APMConsentSettingsUtil::consentDiagnostics() const {
    // A read that refreshes: the state is only ever touched on the queue.
    // The refresh depends on the state alone, so an unchanged state gives
    // the same text.
    return cachedRead(diagnosticsCache_, [this] {
        std::string diagnostics = "1";
        queue_->sync([&] {
            state_->refreshDiagnostics(false);
            for (const auto& type : consentTypes()) diagnostics += std::to_string(state_->diagnosticTable()[type]);
        });
        return diagnostics;
    });
}

std::string APMConsentSettingsUtil::description() const {
    return read<std::string>([](const State& s) { return s.describe(); });
}

// ---- Writes ------------------------------------------------------------------

void APMConsentSettingsUtil::setConsentSettings(const std::optional<Settings>& settings) {
    write([settings](State& s) {
        s.current = settings;
        if (settings) return;
        s.source = kAPMConsentSourceUnset;
        s.refreshDiagnostics(true);
    });
}

void APMConsentSettingsUtil::setConsentSource(int source) {
    write([source](State& s) {
        s.source = source;
        s.refreshDiagnostics(true);
    });
}

void APMConsentSettingsUtil::updateSettings(const Settings& settings) {
    write([settings](State& s) { s.merge(settings); });
}

void APMConsentSettingsUtil::updateSettings(const Settings& settings, int source) {
    write([settings, source](State& s) {
        s.merge(settings);
        s.source = source;
        auto& table = s.diagnosticTable();
        for (const auto& entry : settings) {
            if (isConsentType(entry.first)) table[entry.first] = diagnosticCodeForSource(source);
        }
    });
}

void APMConsentSettingsUtil::setDefaultSettings(const std::optional<Settings>& settings) {
    write([settings](State& s) { s.defaults = settings; });
}

void APMConsentSettingsUtil::setDelegatedSettings(const std::optional<Settings>& settings) {
    write([settings](State& s) { s.delegated = settings; });
}

void APMConsentSettingsUtil::setRegionalDefaults(const std::optional<Settings>& settings) {
    write([settings](State& s) { s.regional = settings; });
}

void APMConsentSettingsUtil::setDiagnosticSource(int code, const std::string& consentType) {
    write([code, consentType](State& s) {
        if (isConsentType(consentType)) s.diagnosticTable()[consentType] = code;
    });
}

void APMConsentSettingsUtil::unsetAdPersonalization() {
    write([](State& s) {
        if (!s.current || !s.current->erase(kAPMConsentTypeAdPersonalization)) return;
        s.diagnosticTable()[kAPMConsentTypeAdPersonalization] = kAPMConsentDiagnosticNone;
    });
}

void APMConsentSettingsUtil::clearAllSettings() {
    write([](State& s) {
        s.source = kAPMConsentSourceUnset;
        s.current.reset();
        s.defaults.reset();
        s.delegated.reset();
        s.regional.reset();
        s.resetDiagnostics();
    });
}

void APMConsentSettingsUtil::setVersion(int version) {
    write([version](State& s) {
        if (version == 1 || version == 2) s.version = version;
    });
}

}  // namespace measurement
