// The persisted settings file: reads, delayed writes and damage.
#include "measurement/store/persisted_config.h"

#include <map>
#include <mutex>
#include <system_error>
#include <utility>

#include "measurement/foundation/first_use_queue.h"
#include "measurement/foundation/monitor.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/files.h"
#include "measurement/store/set_aside_copies.h"
#include "platform/foundation/atomic_file.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"

namespace measurement {

namespace pk = persisted_key;
using platform::Value;

struct APMPersistedConfig::State {
    explicit State(std::filesystem::path path)
        : file(std::move(path)),
          queue(APMMakeSerialQueueOnFirstUse("APMPersistedConfig")),
          timers(platform::dispatch::timers()) {}

    const std::filesystem::path file;
    const std::shared_ptr<platform::dispatch::Queue> queue;
    const std::shared_ptr<platform::dispatch::TimerService> timers;

    // A change: the new value, or none for a removal.
    using Changes = std::map<std::string, std::optional<Value>>;

    mutable std::mutex mutex;  // values, changes, timer
    Value::Dictionary values;
    // What this process changed since its last write. Other processes
    // write the same file: a write lays these over the file as it finds
    // it, so that what they wrote meanwhile stays.
    Changes changes;
    std::shared_ptr<platform::dispatch::Timer> timer;

    // Taken around a whole write, so that files reach the disk in the order
    // their contents were taken.
    std::mutex writeMutex;

    // The file's values; none when there is no file, or when it is damaged
    // (it is then set aside and reported).
    std::optional<Value::Dictionary> read();
    static void apply(const Changes& changes, Value::Dictionary& values);
    void scheduleWriteLocked(const std::weak_ptr<State>& self);
    void writeNow();
};

void APMPersistedConfig::State::apply(const Changes& changes, Value::Dictionary& values) {
    for (const auto& [key, value] : changes) {
        if (value) {
            values[key] = *value;
        } else {
            values.erase(key);
        }
    }
}

namespace {

// A damaged settings file renamed aside as the databases' copies are
// (".corrupt", then the number after the newest copy's), of which the
// newest few are kept: a file damaged again and again leaves no pile of
// copies. The copy's path, none (with why) when it could not be renamed.
std::optional<std::filesystem::path> setSettingsAside(const std::filesystem::path& file, std::string* why) {
    const auto name = APMNextSetAsideName(file.string(), why);
    if (!name) return std::nullopt;
    std::error_code ec;
    std::filesystem::rename(file, *name, ec);
    if (ec) {
        *why = ec.message();
        return std::nullopt;
    }
    APMDeleteOlderSetAsideCopies(file.string());
    return std::filesystem::path(*name);
}

}  // namespace

std::optional<Value::Dictionary> APMPersistedConfig::State::read() {
    std::error_code ec;
    // A link at the path is not followed: set aside as damage, another
    // file's contents are never taken for these settings.
    const auto status = std::filesystem::symlink_status(file, ec);
    if (!std::filesystem::exists(status)) return std::nullopt;
    std::string why = std::filesystem::is_symlink(status)      ? "it is a link, which is not followed"
                      : std::filesystem::is_regular_file(status) ? "the file cannot be read"
                                                                 : "it is no regular file";
    if (auto bytes = platform::readOwnFile(file)) {
        auto parsed = platform::parsePropertyList(*bytes, &why);
        if (parsed && parsed->isDictionary()) return std::move(parsed->asDictionary());
        if (parsed) why = "its root is no dictionary";
    }
    std::string asideWhy;
    auto aside = setSettingsAside(file, &asideWhy);
    if (!aside) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMPersistedConfigSetAsideFailedCode,
                                          "Persisted settings file is damaged and could not be set aside. File, reason",
                                          file.string(), why + "; " + asideWhy);
        return std::nullopt;
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMPersistedConfigCorruptFileCode,
                                      "Persisted settings file is damaged. Starting empty. Set aside as, reason",
                                      aside->string(), why);
    return std::nullopt;
}

void APMPersistedConfig::State::scheduleWriteLocked(const std::weak_ptr<State>& self) {
    if (timer && timer->isActive()) return;  // the pending write takes this change too
    timer = timers->schedule(queue, kWriteDelaySeconds, [self] {
        if (auto state = self.lock()) state->writeNow();
    });
}

// Processes take turns under an exclusive lock beside the file: each reads
// the file and lays its own changes over it. What lies at the lock file's
// place that is no regular file is set aside first (34070); where the lock
// file cannot be opened, or another process holds it past the wait,
// nothing is written and the changes wait for the next write, so that no
// process's values are lost. Only where the folder takes no write at all
// (no lock file can be made there) does the write go ahead without it,
// and fails as every write there does.
// Once one wait for the lock has run out, later writes of the process (the
// one at exit, most often, which may have waited behind it) only try.
void APMPersistedConfig::State::writeNow() {
    std::lock_guard writeLock(writeMutex);
    Changes written;
    Value::Dictionary own;
    {
        std::lock_guard lock(mutex);
        if (changes.empty()) return;
        written.swap(changes);
        own = values;
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    APMFileLock turn(file.string() + kLockSuffix);
    std::string why;
    if (!turn.openOrSetAside(&why) ||
        (turn.isOpen() && !turn.lockOrGiveUp(APMFileLock::Kind::exclusive, "the engine's settings", &why))) {
        {
            std::lock_guard lock(mutex);
            for (auto& [key, value] : written) changes.try_emplace(key, std::move(value));
        }
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMPersistedConfigWriteFailedCode,
                                          "Failed to write persisted settings. File, error", file.string(), why);
        return;
    }
    // Without a file to go by (none yet, or one set aside as damaged), this
    // process's own values are what there is.
    Value::Dictionary merged = read().value_or(std::move(own));
    apply(written, merged);
    const bool stored =
        platform::writeFileAtomically(file, platform::writePropertyListBinary(Value(merged)), 0600, &why);
    {
        std::lock_guard lock(mutex);
        if (stored) {
            // What the others wrote is taken in; changes made since stay on top.
            values = std::move(merged);
            apply(changes, values);
        } else {
            // Kept for the next write, under the changes made since.
            for (auto& [key, value] : written) changes.try_emplace(key, std::move(value));
        }
    }
    if (!stored) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMPersistedConfigWriteFailedCode,
                                          "Failed to write persisted settings. File, error", file.string(), why);
    }
}

std::filesystem::path APMPersistedConfig::defaultFilePath() {
    return APMApplicationSupportPath(kFileName);
}

APMPersistedConfig::APMPersistedConfig(std::filesystem::path filePath)
    : state_(std::make_shared<State>(std::move(filePath))) {
    state_->values = state_->read().value_or(Value::Dictionary{});
}

APMPersistedConfig::~APMPersistedConfig() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->timer) state_->timer->cancel();
    }
    state_->writeNow();
}

const std::filesystem::path& APMPersistedConfig::filePath() const { return state_->file; }

void APMPersistedConfig::writeChangesNow() { state_->writeNow(); }

std::optional<Value> APMPersistedConfig::objectForKey(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    auto found = state_->values.find(key);
    if (found == state_->values.end()) return std::nullopt;
    return found->second;
}

std::int64_t APMPersistedConfig::integerForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && value->isNumber() ? value->intValue() : 0;
}

double APMPersistedConfig::doubleForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && value->isNumber() ? value->realValue() : 0.0;
}

std::optional<std::string> APMPersistedConfig::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isString()) return std::nullopt;
    return value->asString();
}

bool APMPersistedConfig::setObject(const std::optional<Value>& value, const std::string& key) {
    const bool removing = !value || value->isNull();
    if (!removing && platform::propertyListProblem(*value)) return false;
    std::lock_guard lock(state_->mutex);
    auto found = state_->values.find(key);
    if (removing) {
        if (found == state_->values.end()) return true;
        state_->values.erase(found);
        state_->changes[key] = std::nullopt;
    } else {
        if (found != state_->values.end() && found->second == *value) return true;
        state_->values[key] = *value;
        state_->changes[key] = *value;
    }
    state_->scheduleWriteLocked(state_);
    return true;
}

namespace {

std::optional<Value> optionalString(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return Value(*text);
}

}  // namespace

// Upload.
double APMPersistedConfig::lastSuccessfulUploadTimestamp() const { return doubleForKey(pk::kLastSuccessfulUpload); }
void APMPersistedConfig::setLastSuccessfulUploadTimestamp(double s) { setObject(Value(s), pk::kLastSuccessfulUpload); }
double APMPersistedConfig::lastFailedUploadTimestamp() const { return doubleForKey(pk::kLastFailedUpload); }
void APMPersistedConfig::setLastFailedUploadTimestamp(double s) { setObject(Value(s), pk::kLastFailedUpload); }
double APMPersistedConfig::lastBackoffTimestamp() const { return doubleForKey(pk::kLastBackoff); }
void APMPersistedConfig::setLastBackoffTimestamp(double s) { setObject(Value(s), pk::kLastBackoff); }
std::int64_t APMPersistedConfig::lastUploadedEventTimestampMillis() const {
    return integerForKey(pk::kLastUploadedEventMillis);
}
void APMPersistedConfig::setLastUploadedEventTimestampMillis(std::int64_t ms) {
    setObject(Value(static_cast<long long>(ms)), pk::kLastUploadedEventMillis);
}
double APMPersistedConfig::midnightOffset() const { return doubleForKey(pk::kMidnightOffset); }
void APMPersistedConfig::setMidnightOffset(double s) { setObject(Value(s), pk::kMidnightOffset); }
std::optional<std::string> APMPersistedConfig::previousBundledConsentSignals() const {
    return stringForKey(pk::kPreviousBundledConsentSignals);
}
void APMPersistedConfig::setPreviousBundledConsentSignals(const std::optional<std::string>& signals) {
    setObject(optionalString(signals), pk::kPreviousBundledConsentSignals);
}
double APMPersistedConfig::lastMonitoringSampleTimestamp() const { return doubleForKey(pk::kLastMonitoringSample); }
void APMPersistedConfig::setLastMonitoringSampleTimestamp(double s) { setObject(Value(s), pk::kLastMonitoringSample); }
std::optional<std::string> APMPersistedConfig::remoteConfigLastModified() const {
    return stringForKey(pk::kConfigLastModified);
}
void APMPersistedConfig::setRemoteConfigLastModified(const std::optional<std::string>& text) {
    setObject(optionalString(text), pk::kConfigLastModified);
}
std::optional<std::string> APMPersistedConfig::remoteConfigETag() const { return stringForKey(pk::kConfigETag); }
void APMPersistedConfig::setRemoteConfigETag(const std::optional<std::string>& tag) {
    setObject(optionalString(tag), pk::kConfigETag);
}

// Identity.
std::optional<std::string> APMPersistedConfig::appInstanceID() const { return stringForKey(pk::kAppInstanceID); }
void APMPersistedConfig::setAppInstanceID(const std::optional<std::string>& id) {
    setObject(optionalString(id), pk::kAppInstanceID);
}
std::optional<std::string> APMPersistedConfig::hashedResettableDeviceID() const {
    return stringForKey(pk::kHashedIDFA);
}
void APMPersistedConfig::setHashedResettableDeviceID(const std::optional<std::string>& hash) {
    setObject(optionalString(hash), pk::kHashedIDFA);
}
std::optional<std::string> APMPersistedConfig::diversionKey() const { return stringForKey(pk::kDiversionKey); }
void APMPersistedConfig::setDiversionKey(const std::optional<std::string>& key) {
    setObject(optionalString(key), pk::kDiversionKey);
}
bool APMPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() const {
    return integerForKey(pk::kSetLastAdvertisingIDReset) != 0;
}
void APMPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    setObject(Value(value ? 1 : 0), pk::kSetLastAdvertisingIDReset);
}
std::int64_t APMPersistedConfig::firstOpenTimestampMilliseconds() const {
    return integerForKey(pk::kFirstOpenTimestampMs);
}
void APMPersistedConfig::setFirstOpenTimestampMilliseconds(std::int64_t ms) {
    setObject(Value(static_cast<long long>(ms)), pk::kFirstOpenTimestampMs);
}
std::optional<std::string> APMPersistedConfig::lastAppVersion() const { return stringForKey(pk::kLastAppVersion); }
void APMPersistedConfig::setLastAppVersion(const std::optional<std::string>& version) {
    setObject(optionalString(version), pk::kLastAppVersion);
}

bool APMPersistedConfig::measurementEnabled() const {
    auto value = objectForKey(pk::kMeasurementEnabled);
    return !value || value->boolValue(true);
}
void APMPersistedConfig::setMeasurementEnabled(bool enabled) { setObject(Value(enabled), pk::kMeasurementEnabled); }

// Sessions.
std::int64_t APMPersistedConfig::sessionNumber() const { return integerForKey(pk::kSessionNumber); }
void APMPersistedConfig::setSessionNumber(std::int64_t n) {
    setObject(Value(static_cast<long long>(n)), pk::kSessionNumber);
}
double APMPersistedConfig::lastSessionActivityClockTime() const { return doubleForKey(pk::kLastEngagementEnd); }
void APMPersistedConfig::setLastSessionActivityClockTime(double s) { setObject(Value(s), pk::kLastEngagementEnd); }

// Attribution.
std::int64_t APMPersistedConfig::SKANEvaluationEventTimeMillis() const {
    return integerForKey(pk::kSKANEvaluationEventTimeMillis);
}
void APMPersistedConfig::setSKANEvaluationEventTimeMillis(std::int64_t ms) {
    setObject(Value(static_cast<long long>(ms)), pk::kSKANEvaluationEventTimeMillis);
}
std::int64_t APMPersistedConfig::SKANEvaluationUpdateBackoffMillis() const {
    return integerForKey(pk::kSKANEvaluationUpdateBackoffMillis);
}
void APMPersistedConfig::setSKANEvaluationUpdateBackoffMillis(std::int64_t ms) {
    setObject(Value(static_cast<long long>(ms)), pk::kSKANEvaluationUpdateBackoffMillis);
}
std::int64_t APMPersistedConfig::deferredDeepLinkRetryCount() const { return integerForKey(pk::kDeepLinkRetryCount); }
void APMPersistedConfig::setDeferredDeepLinkRetryCount(std::int64_t n) {
    setObject(Value(static_cast<long long>(n)), pk::kDeepLinkRetryCount);
}
std::optional<Value> APMPersistedConfig::deferredDeepLinkRetrievalComplete() const {
    return objectForKey(pk::kDeepLinkRetrievalComplete);
}
void APMPersistedConfig::setDeferredDeepLinkRetrievalComplete(const std::optional<Value>& value) {
    setObject(value, pk::kDeepLinkRetrievalComplete);
}
std::optional<Value> APMPersistedConfig::searchAdCampaignValue() const { return objectForKey(pk::kIsSearchAdCampaign); }
void APMPersistedConfig::setSearchAdCampaignValue(const std::optional<Value>& value) {
    setObject(value, pk::kIsSearchAdCampaign);
}
double APMPersistedConfig::lastSearchAdLookUpTimestamp() const { return doubleForKey(pk::kSearchAdLastAttempt); }
void APMPersistedConfig::setLastSearchAdLookUpTimestamp(double s) { setObject(Value(s), pk::kSearchAdLastAttempt); }
std::int64_t APMPersistedConfig::searchAdRetryCount() const { return integerForKey(pk::kSearchAdRetries); }
void APMPersistedConfig::setSearchAdRetryCount(std::int64_t n) {
    setObject(Value(static_cast<long long>(n)), pk::kSearchAdRetries);
}

}  // namespace measurement
