// The remote-configuration client: fetching from a file or loopback address, activation, and the shared client.
#include "platform/frameworks/remote_config/vez_remote_config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/url.h"
#include "platform/frameworks/remote_config/remote_values_document.h"
#include "platform/frameworks/remote_config/remote_values_store.h"
#include "platform/frameworks/remote_config/vez_remote_config_shared_state.h"
#include "platform/frameworks/utilities/reachability.h"

namespace platform {

detail::SharedRemoteConfig& detail::sharedRemoteConfig() {
    static SharedRemoteConfig instance;
    return instance;
}

namespace {

constexpr const char* kStateFileName = "remote_values_state.json";

bool isLoopbackHost(std::string host) {
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    if (host == "localhost" || host == "::1" || host == "[::1]") return true;
    // Any 127.a.b.c: the whole block is this machine.
    if (host.rfind("127.", 0) != 0) return false;
    int dots = 0;
    for (char c : host) {
        if (c == '.') {
            ++dots;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return dots == 3;
}

bool isHTTPSource(const std::string& source) {
    const auto colon = source.find("://");
    return colon != std::string::npos && colon > 0 && source.find('/') > colon;
}

// The http address on this machine that an http source must be.
bool isLoopbackHTTP(const std::string& source) {
    const auto url = URL::parse(source);
    return url && url->scheme() == "http" && isLoopbackHost(url->host());
}

std::string notLoopbackHTTP(const std::string& source) { return source + " is not an http address on this machine"; }

VEZRemoteConfigError error(VEZRemoteConfigErrorCode code, std::string message) {
    return VEZRemoteConfigError{code, std::move(message)};
}

detail::SharedRemoteConfig& shared() { return detail::sharedRemoteConfig(); }

}  // namespace

const char* fetchStatusName(VEZRemoteConfigFetchStatus status) {
    switch (status) {
        case VEZRemoteConfigFetchStatus::noFetchYet: return "noFetchYet";
        case VEZRemoteConfigFetchStatus::success: return "success";
        case VEZRemoteConfigFetchStatus::failure: return "failure";
        case VEZRemoteConfigFetchStatus::throttled: return "throttled";
    }
    return "unknown";
}

std::string VEZRemoteConfigError::description() const {
    return std::string(kVEZRemoteConfigErrorDomain) + " " + std::to_string(static_cast<int>(code)) + ": " + message;
}

Data VEZRemoteConfigValue::dataValue() const {
    const std::string text = stringValue();
    return Data{std::vector<std::uint8_t>(text.begin(), text.end())};
}

std::optional<std::string> unusableRemoteConfigSource(const std::string& source) {
    if (source.empty()) return std::nullopt;
    if (isHTTPSource(source)) return isLoopbackHTTP(source) ? std::nullopt : std::optional(notLoopbackHTTP(source));
    const auto text = readFile(source);
    if (!text) return source + " cannot be read";
    std::string reason;
    if (!parseRemoteValuesDocument(*text, &reason)) return source + ": " + reason;
    return std::nullopt;
}

VEZRemoteConfigOptions VEZRemoteConfigOptions::fromLaunchOptions() {
    VEZRemoteConfigOptions options;
    options.dataDirectory = ProcessInfo::applicationSupportDirectory() / "RemoteConfig";
    options.source = LaunchOptions::current().remoteConfigSource.value_or("");
    return options;
}

struct VEZRemoteConfig::State {
    std::string source;
    std::filesystem::path stateFile;
    std::shared_ptr<HTTPClient> httpClient;
    std::shared_ptr<Reachability> reachability;
    std::shared_ptr<dispatch::Queue> queue;

    mutable std::mutex mutex;
    VEZRemoteConfigSettings settings;
    RemoteValuesRecord record;
    SourceFailureObserver sourceFailure;

    // Writes the record as it is now. A failure is reported and the
    // values stay in memory: this launch goes on with them.
    void persist() {
        RemoteValuesRecord copy;
        {
            std::lock_guard lock(mutex);
            copy = record;
        }
        std::string why;
        if (!saveRemoteValuesRecord(stateFile, copy, &why)) {
            std::cerr << "VEZRemoteConfig: cannot keep the values for the next launch: " << why << '\n';
        }
    }

    std::optional<std::string> readHTTP(double timeout, VEZRemoteConfigError& failure) const {
        if (!isLoopbackHTTP(source)) {
            failure = error(VEZRemoteConfigErrorCode::sourceUnavailable, notLoopbackHTTP(source));
            return std::nullopt;
        }
        if (!reachability->isReachable()) {
            failure = error(VEZRemoteConfigErrorCode::sourceUnavailable, source + ": the network is unreachable");
            return std::nullopt;
        }
        HTTPRequest request;
        request.url = source;
        request.headers["Accept"] = "application/json";
        request.timeoutSeconds = timeout;
        const HTTPResponse response = httpClient->send(request);
        if (response.failed()) {
            failure = error(VEZRemoteConfigErrorCode::sourceUnavailable, source + ": " + response.errorMessage);
            return std::nullopt;
        }
        if (response.statusCode != 200) {
            failure = error(VEZRemoteConfigErrorCode::sourceUnavailable,
                            source + " answered HTTP " + std::to_string(response.statusCode));
            return std::nullopt;
        }
        return std::string(response.body.begin(), response.body.end());
    }

    std::optional<RemoteValues> readSource(double timeout, VEZRemoteConfigError& failure) const {
        std::optional<std::string> text;
        if (isHTTPSource(source)) {
            text = readHTTP(timeout, failure);
        } else if (!(text = readFile(source))) {
            failure = error(VEZRemoteConfigErrorCode::sourceUnavailable, source + " cannot be read");
        }
        if (!text) return std::nullopt;
        std::string reason;
        auto values = parseRemoteValuesDocument(*text, &reason);
        if (!values) failure = error(VEZRemoteConfigErrorCode::badDocument, source + ": " + reason);
        return values;
    }

    // Decides, under the lock, whether this fetch may ask the source; an
    // answer without asking is given back at once.
    std::optional<std::pair<VEZRemoteConfigFetchStatus, std::optional<VEZRemoteConfigError>>> answerWithoutSource(
        double expiration, double now) {
        std::lock_guard lock(mutex);
        if (source.empty()) {
            record.lastFetchStatus = VEZRemoteConfigFetchStatus::failure;
            return std::pair{record.lastFetchStatus,
                             std::optional(error(VEZRemoteConfigErrorCode::noSource, "no source is configured"))};
        }
        // NaN and negative expirations ask the source every time.
        if (record.lastFetchTime && expiration > 0 && now - *record.lastFetchTime < expiration &&
            now >= *record.lastFetchTime) {
            record.lastFetchStatus = VEZRemoteConfigFetchStatus::success;
            return std::pair{record.lastFetchStatus, std::optional<VEZRemoteConfigError>()};
        }
        const double interval = settings.minimumFetchInterval();
        if (record.lastSourceContact && interval > 0 && now - *record.lastSourceContact < interval &&
            now >= *record.lastSourceContact) {
            record.lastFetchStatus = VEZRemoteConfigFetchStatus::throttled;
            const double wait = std::ceil(interval - (now - *record.lastSourceContact));
            return std::pair{record.lastFetchStatus,
                             std::optional(error(VEZRemoteConfigErrorCode::throttled,
                                                 "fetches are throttled for another " +
                                                     std::to_string(static_cast<long long>(wait)) + " s"))};
        }
        // A source over a network that is not there is not asked: the
        // fetch fails, and the throttle does not count it.
        if (!isHTTPSource(source) || reachability->isReachable()) record.lastSourceContact = now;
        return std::nullopt;
    }

    void fetch(double expiration, const FetchCompletion& completion) {
        const double now = dispatch::currentClock()->now();
        auto answer = answerWithoutSource(expiration, now);
        if (!answer) {
            double timeout = 0;
            {
                std::lock_guard lock(mutex);
                timeout = settings.fetchTimeout();
            }
            VEZRemoteConfigError failure;
            auto values = readSource(timeout, failure);
            SourceFailureObserver observer;
            {
                std::lock_guard lock(mutex);
                if (values) {
                    record.pending = std::move(*values);
                    record.lastFetchTime = now;
                    record.lastFetchStatus = VEZRemoteConfigFetchStatus::success;
                    answer = std::pair{record.lastFetchStatus, std::optional<VEZRemoteConfigError>()};
                } else {
                    record.lastFetchStatus = VEZRemoteConfigFetchStatus::failure;
                    answer = std::pair{record.lastFetchStatus, std::optional(failure)};
                    observer = sourceFailure;
                }
            }
            if (observer) observer(failure);
        }
        persist();
        if (completion) completion(answer->first, answer->second);
    }

    void activate(const ActivateCompletion& completion) {
        bool changed = false;
        bool hadPending = false;
        {
            std::lock_guard lock(mutex);
            if (record.pending) {
                hadPending = true;
                changed = *record.pending != record.active;
                record.active = std::move(*record.pending);
                record.pending.reset();
            }
        }
        if (hadPending) persist();
        if (completion) completion(changed, std::nullopt);
    }
};

VEZRemoteConfig::VEZRemoteConfig(VEZRemoteConfigOptions options) : state_(std::make_shared<State>()) {
    state_->source = std::move(options.source);
    state_->stateFile = options.dataDirectory / kStateFileName;
    state_->httpClient = options.httpClient ? std::move(options.httpClient) : defaultHTTPClient();
    state_->reachability = Reachability::shared();
    state_->queue = options.queue ? std::move(options.queue) : dispatch::makeSerialQueue("com.velmora.remoteconfig");
    std::string note;
    state_->record = loadRemoteValuesRecord(state_->stateFile, &note);
    if (!note.empty()) std::cerr << "VEZRemoteConfig: " << note << '\n';
}

VEZRemoteConfig::~VEZRemoteConfig() = default;

std::shared_ptr<VEZRemoteConfig> VEZRemoteConfig::remoteConfig() {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    if (!s.client) s.client = std::make_shared<VEZRemoteConfig>(s.options.value_or(VEZRemoteConfigOptions::fromLaunchOptions()));
    return s.client;
}

void VEZRemoteConfig::setSourceFailureObserver(SourceFailureObserver observer) {
    std::lock_guard lock(state_->mutex);
    state_->sourceFailure = std::move(observer);
}

void VEZRemoteConfig::setSharedOptions(VEZRemoteConfigOptions options) {
    auto& s = shared();
    std::lock_guard lock(s.mutex);
    s.options = std::move(options);
}

VEZRemoteConfigSettings VEZRemoteConfig::configSettings() const {
    std::lock_guard lock(state_->mutex);
    return state_->settings;
}

void VEZRemoteConfig::setConfigSettings(const VEZRemoteConfigSettings& settings) {
    std::lock_guard lock(state_->mutex);
    state_->settings = settings;
}

VEZRemoteConfigValue VEZRemoteConfig::configValue(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->record.active.find(key);
    if (found == state_->record.active.end()) return VEZRemoteConfigValue();
    return VEZRemoteConfigValue(found->second);
}

void VEZRemoteConfig::fetch(double expirationDuration, FetchCompletion completion) {
    state_->queue->async([state = state_, expirationDuration, completion = std::move(completion)] {
        state->fetch(expirationDuration, completion);
    });
}

void VEZRemoteConfig::activate(ActivateCompletion completion) {
    state_->queue->async([state = state_, completion = std::move(completion)] { state->activate(completion); });
}

VEZRemoteConfigFetchStatus VEZRemoteConfig::lastFetchStatus() const {
    std::lock_guard lock(state_->mutex);
    return state_->record.lastFetchStatus;
}

std::optional<Date> VEZRemoteConfig::lastFetchTime() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->record.lastFetchTime) return std::nullopt;
    return Date{*state_->record.lastFetchTime};
}

std::filesystem::path VEZRemoteConfig::stateFile() const {
    return state_->stateFile;
}

}  // namespace platform
