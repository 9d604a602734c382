// The remote-configuration client: settings, values per key, fetch with expiry and activation, state kept across launches.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/value.h"

namespace platform {

// How the last fetch ended. The raw values are the ones callers compare
// with (1 is success).
enum class VEZRemoteConfigFetchStatus { noFetchYet = 0, success = 1, failure = 2, throttled = 3 };

const char* fetchStatusName(VEZRemoteConfigFetchStatus status);

inline constexpr const char* kVEZRemoteConfigErrorDomain = "platform.remoteconfig";

enum class VEZRemoteConfigErrorCode {
    noSource = 1,           // no source configured
    sourceUnavailable = 2,  // the file or address could not be read
    badDocument = 3,        // the source answered something that is no document
    throttled = 4,          // asked again sooner than the minimum fetch interval
};

struct VEZRemoteConfigError {
    VEZRemoteConfigErrorCode code = VEZRemoteConfigErrorCode::sourceUnavailable;
    std::string message;

    // "platform.remoteconfig <code>: <message>".
    std::string description() const;
    bool operator==(const VEZRemoteConfigError&) const = default;
};

class VEZRemoteConfigSettings {
public:
    // A fetch that would ask the source sooner than this many seconds after
    // it was last asked is refused as throttled. 12 hours by default.
    double minimumFetchInterval() const { return minimumFetchInterval_; }
    void setMinimumFetchInterval(double seconds) { minimumFetchInterval_ = seconds; }
    // How long one request to an HTTP source may take. 60 s by default.
    double fetchTimeout() const { return fetchTimeout_; }
    void setFetchTimeout(double seconds) { fetchTimeout_ = seconds; }

private:
    double minimumFetchInterval_ = 43200;
    double fetchTimeout_ = 60;
};

// One key's active value. A key without one reads as empty data and text.
class VEZRemoteConfigValue {
public:
    VEZRemoteConfigValue() = default;
    explicit VEZRemoteConfigValue(std::optional<std::string> text) : text_(std::move(text)) {}

    // The UTF-8 bytes of the text.
    Data dataValue() const;
    std::string stringValue() const { return text_.value_or(std::string()); }
    bool hasValue() const { return text_.has_value(); }

private:
    std::optional<std::string> text_;
};

struct VEZRemoteConfigOptions {
    // Where the state is kept between launches.
    std::filesystem::path dataDirectory;
    // A file holding the document, or an http address on this machine
    // (127.x.x.x, localhost, [::1]) that serves it. Empty: no source, and
    // every fetch fails.
    std::string source;
    // For an http source; the process's client when none. Without a
    // network (the process's Reachability switch), a fetch from such a
    // source fails at once, asking nothing.
    std::shared_ptr<HTTPClient> httpClient;
    // Where fetches and activations run and their completions are called;
    // a serial queue of the client's own when none.
    std::shared_ptr<dispatch::Queue> queue;

    // The data directory "RemoteConfig" in the application-support folder,
    // the source the launch options name ($VELMORA_REMOTE_CONFIG_SOURCE).
    static VEZRemoteConfigOptions fromLaunchOptions();
};

// Why no fetch from the source can succeed, found without asking an
// address: an address that is not http on this machine, or a file that
// cannot be read or holds no document. None for a source a fetch may
// succeed from, and for none (empty).
std::optional<std::string> unusableRemoteConfigSource(const std::string& source);

// The remote-configuration client. Values are fetched from the source into
// a pending set and become the active ones, which configValue answers, only
// on activate(). Active values, pending values and the fetch record are
// written to "<data directory>/remote_values_state.json" after every change,
// so the next launch starts from them. Any thread may call any operation;
// fetches and activations run one at a time on the client's queue, and their
// completions are called there.
class VEZRemoteConfig {
public:
    using FetchCompletion =
        std::function<void(VEZRemoteConfigFetchStatus status, const std::optional<VEZRemoteConfigError>& error)>;
    using ActivateCompletion = std::function<void(bool changed, const std::optional<VEZRemoteConfigError>& error)>;

    explicit VEZRemoteConfig(VEZRemoteConfigOptions options);
    ~VEZRemoteConfig();
    VEZRemoteConfig(const VEZRemoteConfig&) = delete;
    VEZRemoteConfig& operator=(const VEZRemoteConfig&) = delete;

    // The process's client, made on first use with the shared options.
    static std::shared_ptr<VEZRemoteConfig> remoteConfig();
    // Options for the shared client; they apply when it is next made.
    static void setSharedOptions(VEZRemoteConfigOptions options);

    VEZRemoteConfigSettings configSettings() const;
    void setConfigSettings(const VEZRemoteConfigSettings& settings);

    VEZRemoteConfigValue configValue(const std::string& key) const;

    // Fetches unless values fetched less than expirationDuration seconds ago
    // are at hand, in which case it succeeds without asking the source. No
    // source: failure with noSource. Asked sooner than the minimum fetch
    // interval after the source was last asked: throttled. A source that
    // cannot be read or answers no document: failure, pending values kept.
    void fetch(double expirationDuration, FetchCompletion completion);
    // Makes the pending values the active ones; changed tells whether any
    // active value differs. Without pending values nothing changes.
    void activate(ActivateCompletion completion);

    // Told, on the client's queue, of every fetch that asked the source and
    // got nothing it could use (the source could not be read, or answered
    // no document), with why: the application goes on with what it held,
    // as it must, and a program that named the source can say so.
    using SourceFailureObserver = std::function<void(const VEZRemoteConfigError& error)>;
    void setSourceFailureObserver(SourceFailureObserver observer);

    VEZRemoteConfigFetchStatus lastFetchStatus() const;
    // When values were last fetched from the source; none before.
    std::optional<Date> lastFetchTime() const;

    // Where the state is written.
    std::filesystem::path stateFile() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
