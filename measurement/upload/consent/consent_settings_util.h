#pragma once

// The consent state of the measurement engine: four consent types, the
// layers that decide their effective values, the source that last wrote
// them and where each value came from.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace measurement {

inline constexpr const char* kAPMConsentTypeAdStorage = "ad_storage";
inline constexpr const char* kAPMConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* kAPMConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* kAPMConsentTypeAdPersonalization = "ad_personalization";
inline constexpr const char* kAPMConsentGranted = "granted";
inline constexpr const char* kAPMConsentDenied = "denied";
// Stands for "ad_user_data" and "ad_personalization" until the regional
// defaults resolve it; only the Info.plist defaults give it.
inline constexpr const char* kAPMConsentEUPolicy = "eu_consent_policy";

// Who wrote the current consent; a lower number is a stronger source.
inline constexpr int kAPMConsentSourceTCF = 5;
inline constexpr int kAPMConsentSource3P = 10;
inline constexpr int kAPMConsentSourceInfoPlist = 20;
inline constexpr int kAPMConsentSourceAPI = 30;
inline constexpr int kAPMConsentSourceOnStart = 40;
inline constexpr int kAPMConsentSourceUnset = 100;

// Where a type's effective value came from, one digit per type in the
// diagnostics string.
enum APMConsentDiagnosticCode : int {
    kAPMConsentDiagnosticNone = 0,
    kAPMConsentDiagnosticServerDefault = 1,
    kAPMConsentDiagnosticDelegated = 2,
    kAPMConsentDiagnosticInfoPlist = 3,
    kAPMConsentDiagnosticOnStart = 4,
    kAPMConsentDiagnosticInterface = 5,
    kAPMConsentDiagnosticTCF = 7,
    kAPMConsentDiagnosticEUPolicy = 8,
    kAPMConsentDiagnosticUnset = 9,
};

// The consent state. Its state is touched only on its own serial queue:
// every read runs synchronously there and answers a copy, every write is
// queued asynchronously, so writes keep their order and a read made after a
// write from the same thread sees it. The storage denials, which every
// stored event asks for, are published by the queue after each write and
// read without a hop while no write is still queued. No operation calls out
// while on the queue, so callers on any thread may use it. Nothing is
// persisted here.
class APMConsentSettingsUtil {
public:
    using Settings = platform::Value::Dictionary;

    // On a serial queue of its own.
    APMConsentSettingsUtil();
    explicit APMConsentSettingsUtil(std::shared_ptr<platform::dispatch::Queue> queue);
    APMConsentSettingsUtil(const APMConsentSettingsUtil&) = delete;
    APMConsentSettingsUtil& operator=(const APMConsentSettingsUtil&) = delete;

    // The four types, in their fixed order.
    static const std::vector<std::string>& consentTypes();
    // The server configuration's enumerations: types 1 to 4, statuses 1
    // "granted" and 2 "denied"; none for anything else.
    static std::optional<std::string> consentTypeName(std::int64_t index);
    static std::optional<std::string> consentStatusName(std::int64_t status);
    static int diagnosticCodeForSource(int source);

    // Only the four types of the dictionary, values unchanged.
    static Settings consentSettingsFromDictionary(const Settings& dictionary);
    // The consent defaults of an Info.plist dictionary; the main bundle's
    // without one.
    static Settings consentSettingsFromPlist();
    static Settings consentSettingsFromPlist(const platform::Value& infoDictionary);

    // Reads: the layers (none when unset), the source and version.
    std::optional<Settings> consentSettings() const;
    std::optional<Settings> defaultSettings() const;
    std::optional<Settings> delegatedSettings() const;
    std::optional<Settings> regionalDefaults() const;
    int consentSource() const;
    int version() const;

    // The storage types count only the current layer; unset is not denied.
    bool isAdStorageDenied() const;
    bool isAnalyticsStorageDenied() const;
    // The effective value of "ad_user_data" through every layer.
    bool isAdUserDataDenied() const;
    // The effective "ad_personalization": true granted, false denied.
    std::optional<bool> adPersonalization() const;
    bool didAdUserDataConsentChange(bool wasAdUserDataDenied) const;
    bool isConsentSourceEqualPriority(int source) const;
    // Whether a write from the source is taken.
    bool isConsentSourceHigherPriority(int source) const;

    // "G1" and one character each for "ad_storage" and "analytics_storage":
    // "1" granted, "0" denied, "-" anything else. Both texts are read on the
    // queue once per change: every stored event carries them.
    std::string consentSignals() const;
    // "1" and the four diagnostic codes in type order.
    std::string consentDiagnostics() const;
    std::string description() const;

    // Writes. Replacing the current layer with none also sets the source
    // back to 100.
    void setConsentSettings(const std::optional<Settings>& settings);
    void setConsentSource(int source);
    void updateSettings(const Settings& settings);
    // Also records the source as the origin of every type written.
    void updateSettings(const Settings& settings, int source);
    void setDefaultSettings(const std::optional<Settings>& settings);
    void setDelegatedSettings(const std::optional<Settings>& settings);
    void setRegionalDefaults(const std::optional<Settings>& settings);
    void setDiagnosticSource(int code, const std::string& consentType);
    void unsetAdPersonalization();
    void clearAllSettings();
    // Only 1 and 2 are kept.
    void setVersion(int version);

private:
    struct State;
    // What the queue published after the writes it has run (their count).
    struct Published;
    template <class Result, class Read>
    Result read(Read&& reader) const;
    // The published answer, when no write posted so far is still queued.
    std::optional<bool> publishedAnswer(bool (*field)(const Published&)) const;
    template <class Write>
    void write(Write&& writer);

    // A text read on the queue, with the number of writes posted before it.
    struct CachedText {
        bool read = false;
        std::uint64_t writes = 0;
        std::string text;
    };
    std::string cachedRead(CachedText& cache, const std::function<std::string()>& readOnQueue) const;

    std::shared_ptr<platform::dispatch::Queue> queue_;
    // Shared with the queued writes, so that one still queued when this
    // object goes has something to write to.
    std::shared_ptr<State> state_;
    // Shared with the queued writes, like the state.
    std::shared_ptr<Published> published_;
    // Counted once a write is posted: a reader that sees the count it read
    // a text at knows that no write has been posted since. Writes are
    // numbered and posted under the lock, so that they run in the order of
    // their numbers.
    std::mutex postMutex_;
    std::atomic<std::uint64_t> writesPosted_{0};
    mutable std::mutex cacheMutex_;  // signalsCache_, diagnosticsCache_
    mutable CachedText signalsCache_;
    mutable CachedText diagnosticsCache_;
};

}  // namespace measurement
