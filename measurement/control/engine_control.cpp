// The measurement engine driven from outside the public interface, in plain
// values.
#include "measurement/control/engine_control.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "measurement/core/codes.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/core/stored_data.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "measurement/experiments/experiments_database.h"
#include "measurement/store/database.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/uploader.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement::control {

namespace {

using platform::Value;

// Runs a block on the engine's worker queue and waits for it.
void onWorkerQueue(const std::function<void(APMMeasurement&)>& block) {
    auto engine = APMMeasurement::sharedInstance();
    engine->scheduler().workerQueue()->sync([&] { block(*engine); });
}

// The rule a name the engine refused broke, in words, for the failure code
// it recorded ("_err").
std::string nameRule(const std::string& name, long long code) {
    if (code == kAPMReservedEventName) {
        for (const auto& prefix : APMReservedNamePrefixes()) {
            if (name.rfind(prefix, 0) == 0) return "the name begins with the reserved prefix \"" + prefix + "\"";
        }
        const auto internal = APMInternalName(APMPublicToInternalEventNames(), name);
        return "the name is reserved for the engine's own event" +
               (internal ? " \"" + *internal + "\"" : std::string());
    }
    if (name.empty()) return "the name is empty";
    if (name.size() > static_cast<std::size_t>(kAPMMaxPublicEventNameLength)) {
        return "the name is longer than " + std::to_string(kAPMMaxPublicEventNameLength) + " characters";
    }
    if (!std::isalpha(static_cast<unsigned char>(name[0]))) return "the name does not begin with a letter";
    return "the name holds more than letters, digits and \"_\"";
}

// What happened to the parameter the engine named ("_ev") for a failure code
// recorded on a stored event.
std::string parameterRule(long long code, const std::string& parameter, const Value& length,
                          std::int64_t maxValueLength) {
    const std::string quoted = "\"" + parameter + "\"";
    const APMEventParameterLimits limits;
    switch (code) {
        case kAPMInvalidParameterName:
            return "parameter " + quoted + " was dropped: a parameter name begins with a letter and holds at most " +
                   std::to_string(kAPMMaxPublicParameterNameLength) + " letters, digits and \"_\"";
        case kAPMReservedParameterName:
            return "parameter " + quoted + " was dropped: its name begins with a reserved prefix";
        case kAPMParameterValueTooLong:
            return "the value of " + quoted +
                   (length.isNumber() ? " had " + std::to_string(length.intValue()) + " characters and" : "") +
                   " was cut to " + std::to_string(maxValueLength);
        case kAPMTooManyParameters:
            return "the event had more than " + std::to_string(limits.maxPublicParameters) + " parameters: " + quoted +
                   " and those after it in name order were dropped";
        case kAPMInvalidValue:
            return "parameter " + quoted + " was dropped: its value is of a kind an event cannot carry";
        case kAPMListTooLong:
            return "the list " + quoted + " was cut to " + std::to_string(limits.maxListLength) + " entries";
        default: return "parameter " + quoted + " was refused";
    }
}

long long refusalCode(const Value::Dictionary& refusal) {
    const auto code = refusal.find(kAPMErrorCodeParameter);
    return code == refusal.end() ? 0 : code->second.intValue();
}

std::string refusalValue(const Value::Dictionary& refusal) {
    const auto value = refusal.find(kAPMErrorValueParameter);
    return value == refusal.end() ? std::string() : value->second.stringValue();
}

struct RawOutcome {
    std::optional<std::string> failure;
    std::string storedName;
    Value::Dictionary refusal;
};

// What became of the event of that name, which the engine stores under its
// internal name when it has one ("screen_view" as "_vs").
RawOutcome rawOutcome(const std::string& name, const std::vector<EventWrite>& writes) {
    const std::string stored =
        APMInternalName(APMPublicToInternalEventNames(), name).value_or(name);
    RawOutcome outcome{std::nullopt, stored, {}};
    bool written = false;
    for (const auto& write : writes) {
        if (write.name != name && write.name != stored) continue;
        if (write.failure) return {write.failure, write.name, {}};
        written = true;
        outcome.storedName = write.name;
        outcome.refusal = write.refusal;
    }
    if (written) return outcome;
    // The error event that names this event, else (a name cut to the
    // engine's length limit) any error event.
    const EventWrite* refused = nullptr;
    for (const auto& write : writes) {
        if (write.name != kAPMErrorCodeParameter || write.failure) continue;
        if (!refused || refusalValue(write.refusal) == name) refused = &write;
    }
    if (refused) {
        const long long code = refusalCode(refused->refusal);
        outcome.failure = "the engine refused the name: " + nameRule(name, code) + " (code " + std::to_string(code) +
                          "); an error event \"_err\" was stored instead";
        return outcome;
    }
    // A configuration's event-editing program may rename the event: the
    // application's own write under another name is then this event.
    for (const auto& write : writes) {
        if (write.origin == "app" && write.name != kAPMErrorCodeParameter && !write.failure) {
            return {std::nullopt, write.name, write.refusal};
        }
    }
    outcome.failure = name == "screen_view"
                          ? "the engine wrote no screen view: screen_name and screen_class must be text within the "
                            "engine's length limit"
                          : "the engine did not write an event of that name";
    return outcome;
}

Value describeHeader(const APMPBMeasurementBundle& header) {
    namespace tag = bundle_tag;
    auto text = [&](int field) {
        return Value(NANOGetString(header, bundleFieldIndex(field)).value_or(""));
    };
    Value::Array properties;
    for (const auto& property : NANOGetArray<APMPBUserAttribute>(
             header, bundleFieldIndex(tag::kUserAttributes))) {
        properties.push_back(
            Value(NANOGetString(property, user_attribute_field::kName).value_or("")));
    }
    return Value::Dictionary{{"platform", text(tag::kPlatform)},
                             {"os_version", text(tag::kOSVersion)},
                             {"device_model", text(tag::kDeviceModel)},
                             {"language", text(tag::kUserDefaultLanguage)},
                             {"app_id", text(tag::kAppID)},
                             {"app_version", text(tag::kAppVersion)},
                             {"measurement_app_id", text(tag::kMeasurementAppID)},
                             {"consent_signals", text(tag::kConsentSignals)},
                             {"consent_diagnostics", text(tag::kConsentDiagnostics)},
                             {"session_stitching_token", text(tag::kSessionStitchingToken)},
                             {"user_properties", properties}};
}

Value optionalText(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }

}  // namespace

void reloadLaunchArguments() { APMMonitor::shared().reloadLaunchArguments(); }

bool waitUntilHandled(double timeoutSeconds) {
    auto handled = std::make_shared<std::promise<void>>();
    APMAnalytics::performAfterQueuedOperations("velmora:handled", [handled] { handled->set_value(); });
    return handled->get_future().wait_for(std::chrono::duration<double>(timeoutSeconds)) == std::future_status::ready;
}

bool waitUntilScreenViewsHandled(double timeoutSeconds) {
    // A screen view goes through the screen-view reporter's queue before it
    // is written: once that queue has run, its write is queued too.
    APMMeasurement::sharedInstance()->screenViewReporter()->queue()->sync([] {});
    return waitUntilHandled(timeoutSeconds);
}

bool waitUntilLinksHandled(double timeoutSeconds) {
    // A link goes through the interface's serial queue before it is queued
    // for the engine: once that queue has run, it is queued too.
    APMAnalytics::serialQueue()->sync([] {});
    return waitUntilHandled(timeoutSeconds);
}

namespace {

// Once the block under way on the worker queue has returned, none that runs
// later starts a batch (the time granted has passed), and a request already
// out ends within its own timeout: it is waited for, so that its answer is
// taken rather than cut short by the engine's going. True when none is out
// any more.
bool waitForRequestsOut(double requestTimeout) {
    onWorkerQueue([](APMMeasurement&) {});
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(requestTimeout + kAPMUploadAnswerSeconds);
    while (platform::RULNetwork::requestsInProgress() > 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool answered = platform::RULNetwork::requestsInProgress() == 0;
    // The completion that took the answer has returned.
    onWorkerQueue([](APMMeasurement&) {});
    return answered;
}

}  // namespace

void shutdown() {
    if (APMMeasurement::hasSharedInstance()) {
        platform::BackgroundTasks::shared().grantBackgroundTime(0);
        waitForRequestsOut(APMMeasurement::remoteConfig()->networkTimeout());
    }
    APMMeasurement::shutdown();
}

double uploadTimeBeforeExit(double windowSeconds) {
    return APMUploadTimeBeforeExit(windowSeconds, APMMeasurement::remoteConfig()->networkTimeout());
}

UploadBeforeExit uploadBeforeExit(double windowSeconds) {
    UploadBeforeExit upload;
    const double timeout = APMMeasurement::remoteConfig()->networkTimeout();
    upload.seconds = APMUploadTimeBeforeExit(windowSeconds, timeout);
    auto& tasks = platform::BackgroundTasks::shared();
    tasks.grantBackgroundTime(upload.seconds);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    upload.ended = tasks.waitUntilNoActiveTask(upload.seconds);
    // Held up past its time (stopped, or slowed): the batch out is still
    // answered.
    if (!upload.ended) upload.requestOut = !waitForRequestsOut(timeout);
    return upload;
}

namespace {

// The shared file whose lock file that is, by its name.
SharedFile sharedFileOfLock(const std::string& lockFile) {
    const std::string name = std::filesystem::path(lockFile).filename().string();
    if (name == std::string(kAPMDatabaseFileName) + kAPMSqliteStoreLockSuffix) return SharedFile::measurementDatabase;
    if (name == std::string(kAPMEDatabaseFileName) + kAPMSqliteStoreLockSuffix) return SharedFile::experimentsDatabase;
    if (name == std::string(APMPersistedConfig::kFileName) + APMPersistedConfig::kLockSuffix) {
        return SharedFile::settings;
    }
    return SharedFile::other;
}

}  // namespace

std::vector<LockWaitGivenUp> lockWaitsGivenUp() {
    std::vector<LockWaitGivenUp> waits;
    for (const auto& wait : APMFileLock::givenUpWaits()) {
        waits.push_back({sharedFileOfLock(wait.lockFile), wait.purpose, wait.reason});
    }
    return waits;
}

struct EventWriteRecorder::State {
    std::mutex mutex;
    std::vector<EventWrite> writes;
};

EventWriteRecorder::EventWriteRecorder()
    : state_(std::make_shared<State>()),
      identifier_(APMAnalytics::addEventWriteListener(
          [state = state_](const APMEvent& event, const std::optional<std::string>& failure) {
              EventWrite write{event.name(), event.origin(), failure, {},
                               failure == std::optional<std::string>(kAPMEventNotWrittenDisabledReason)};
              for (const char* key : {kAPMErrorCodeParameter, kAPMErrorValueParameter, kAPMErrorLengthParameter}) {
                  if (auto found = event.parameters().find(key); found != event.parameters().end()) {
                      write.refusal[key] = found->second.objectValue();
                  }
              }
              std::lock_guard lock(state->mutex);
              state->writes.push_back(std::move(write));
          })) {}

EventWriteRecorder::~EventWriteRecorder() { APMAnalytics::removeEventWriteListener(identifier_); }

std::vector<EventWrite> EventWriteRecorder::writes() const {
    std::lock_guard lock(state_->mutex);
    return state_->writes;
}

std::vector<EventWrite> writesNotStored(const std::vector<EventWrite>& writes) {
    std::vector<EventWrite> failed;
    std::copy_if(writes.begin(), writes.end(), std::back_inserter(failed),
                 [](const EventWrite& write) { return write.failure && !write.disabled; });
    return failed;
}

EventOutcome outcomeOfEvent(const std::string& name, const std::vector<EventWrite>& writes) {
    auto raw = rawOutcome(name, writes);
    EventOutcome outcome{raw.failure, raw.storedName, std::nullopt};
    if (const long long code = refusalCode(raw.refusal); code != 0 && !raw.failure) {
        std::int64_t maxValueLength = 0;
        onWorkerQueue([&](APMMeasurement& engine) {
            maxValueLength = engine.remoteConfigInstance()->maxPublicEventParameterValueLength();
        });
        const auto length = raw.refusal.find(kAPMErrorLengthParameter);
        outcome.parameterRefusal = parameterRule(code, refusalValue(raw.refusal),
                                                 length == raw.refusal.end() ? Value() : length->second,
                                                 maxValueLength) +
                                   " (code " + std::to_string(code) + ")";
    }
    return outcome;
}

struct PurchaseWatch::State : APMMonitorSink {
    std::mutex mutex;
    std::condition_variable settled;
    std::optional<Result> result;

    void settle(Result outcome) {
        std::lock_guard lock(mutex);
        if (!result) result = std::move(outcome);
        settled.notify_all();
    }
    // Called under the monitor's lock: it only records.
    void receive(const APMMonitorEntry& entry) override {
        if (entry.messageCode != kAPMPurchaseDuplicateCode) return;
        settle({Outcome::duplicate, entry.contexts.empty() ? std::string() : entry.contexts[0].stringValue()});
    }
};

PurchaseWatch::PurchaseWatch()
    : state_(std::make_shared<State>()),
      listener_(APMAnalytics::addEventWriteListener(
          [state = state_](const APMEvent& event, const std::optional<std::string>& failure) {
              static const std::set<std::string> kPurchaseEvents = {"_iap", "_iapx", "_assr", "_assc"};
              if (kPurchaseEvents.count(event.name()) == 0) return;
              state->settle(failure ? Result{Outcome::refused, *failure} : Result{Outcome::stored, event.name()});
          })) {
    APMMonitor::shared().addSink(state_);
}

PurchaseWatch::~PurchaseWatch() {
    APMMonitor::shared().removeSink(state_);
    APMAnalytics::removeEventWriteListener(listener_);
}

PurchaseWatch::Result PurchaseWatch::wait(double timeoutSeconds) const {
    std::unique_lock lock(state_->mutex);
    state_->settled.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return state_->result.has_value(); });
    return state_->result.value_or(Result{});
}

namespace {

Value describeRawEvent(const APMStoredRawEvent& stored) {
    const auto& event = stored.raw.event();
    Value::Dictionary parameters;
    for (const auto& [key, value] : event.parameters()) parameters.emplace(key, value.objectValue());
    return Value::Dictionary{{"rowid", static_cast<long long>(stored.raw.rowID())},
                             {"name", event.name()},
                             {"origin", event.origin()},
                             {"public", event.isPublic()},
                             {"timestamp", event.timestamp()},
                             {"realtime", event.isRealtime()},
                             {"parameters", parameters},
                             {"metadata_fingerprint", static_cast<long long>(stored.raw.metadataFingerprint())},
                             {"metadata", stored.metadata ? describeHeader(*stored.metadata) : Value()}};
}

Value describeBundle(const APMPBMeasurementBundle& bundle) {
    Value::Dictionary entry = describeHeader(bundle).asDictionary();
    Value::Array names;
    for (const auto& event : NANOGetArray<APMPBEvent>(bundle, bundleFieldIndex(bundle_tag::kEvents))) {
        names.push_back(Value(NANOGetString(event, event_field::kName).value_or("")));
    }
    entry.emplace("events", names);
    return entry;
}

Value describeStretch(const APMUnreadableStretch& stretch) {
    auto rowID = [](const std::optional<std::int64_t>& id) { return id ? Value(static_cast<long long>(*id)) : Value(); };
    return Value::Dictionary{{"table", stretch.table},
                             {"after_rowid", rowID(stretch.afterRowID)},
                             {"before_rowid", rowID(stretch.beforeRowID)},
                             {"error", stretch.error}};
}

}  // namespace

bool readStoredData(const StoredDataSink& sink, std::string* failure) {
    // The raw events follow the bundles, the first of them after the last
    // bundle; without any, the list begins empty.
    bool rawEventsBegun = false;
    auto beginRawEvents = [&] {
        if (!std::exchange(rawEventsBegun, true)) sink.list("raw_events");
    };
    const APMStoredDataReceiver receiver{
        [&](const std::vector<APMUnreadableStretch>& damage) {
            sink.list("damage");
            for (const auto& stretch : damage) sink.entry(describeStretch(stretch));
            sink.list("queued_bundles");
        },
        [&](const std::vector<std::string>& tables) {
            if (sink.missingTables) sink.missingTables(tables);
        },
        [&](APMPBMeasurementBundle bundle) { sink.entry(describeBundle(bundle)); },
        [&](APMStoredRawEvent stored) {
            beginRawEvents();
            sink.entry(describeRawEvent(stored));
        },
        [&](const std::vector<APMUnreadableRow>& rows) {
            beginRawEvents();
            sink.list("unreadable_rows");
            for (const auto& row : rows) {
                sink.entry(Value::Dictionary{
                    {"table", row.table}, {"rowid", static_cast<long long>(row.rowID)}, {"reason", row.reason}});
            }
        },
        [&](const std::vector<APMUserAttribute>& properties) {
            sink.list("user_properties");
            for (const auto& property : properties) {
                sink.entry(Value::Dictionary{{"name", property.name()},
                                             {"origin", property.origin()},
                                             {"value", property.value().objectValue()},
                                             {"set_timestamp", property.lastSetTimestamp()}});
            }
        }};
    std::optional<APMError> error;
    if (APMReadStoredDataInTurn(receiver, &error)) return true;
    if (failure) {
        *failure = error ? error->localizedDescription() : "cannot read the database";
        // What the error is about: the file, and why (such as a lock
        // another process kept).
        if (const auto context = error ? error->monitorContext() : Value(); context.isString()) {
            *failure += ": " + context.asString();
        }
    }
    return false;
}

std::optional<Value> storedData(std::string* failure) {
    Value::Dictionary lists;
    Value::Array* current = nullptr;
    const StoredDataSink sink{[&](const std::string& list) { current = &(lists[list] = Value::Array{}).asArray(); },
                              [&](const Value& entry) { current->push_back(entry); }, {}};
    if (!readStoredData(sink, failure)) return std::nullopt;
    return Value(std::move(lists));
}

// The fetch's own answer is waited for, not every request of the engine: a
// batch that the fetched configuration let go out may hang for its whole
// timeout. A fetch ends within its request's timeout, and its answer is
// taken on the worker queue.
ConfigurationFetch fetchConfiguration() {
    ConfigurationFetch fetch;
    std::shared_ptr<APMUploader> uploader;
    std::uint64_t awaited = 0;
    onWorkerQueue([&](APMMeasurement& engine) {
        uploader = engine.uploader();
        if (!uploader) return;
        const auto before = uploader->configFetchesSent();
        uploader->fetchRemoteConfig();
        awaited = uploader->configFetchesSent();
        fetch.sent = awaited != before;
        fetch.seconds = engine.config()->networkTimeout() + kAPMUploadAnswerSeconds;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(fetch.seconds);
    while (fetch.sent && uploader->configFetchesEnded() < awaited) {
        if (std::chrono::steady_clock::now() > deadline) return fetch;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fetch.answered = true;
    onWorkerQueue([&](APMMeasurement& engine) {
        // An engine that could not open its database has no configuration of
        // its own: the defaults stand in.
        const auto config = engine.config();
        fetch.version = config->version();
        fetch.eventEditingLoaded = config->eventEditing() != nullptr;
        if (fetch.sent) fetch.failure = uploader->lastConfigFetchFailure();
    });
    return fetch;
}

const std::vector<std::string>& consentTypes() { return APMConsentSettingsUtil::consentTypes(); }

bool isConsentStatus(const std::string& status) {
    return status == kAPMConsentGranted || status == kAPMConsentDenied;
}

Value::Dictionary consentState() {
    const auto& state = *APMMeasurement::sharedInstance()->consentState();
    return Value::Dictionary{{"signals", state.consentSignals()},
                             {"diagnostics", state.consentDiagnostics()},
                             {"source", state.consentSource()},
                             {"settings", state.consentSettings().value_or(Value::Dictionary{})},
                             {"description", state.description()}};
}

ConsentKeeping::ConsentKeeping() : suite_(std::make_shared<platform::UserDefaults>(kAPMAnalyticsSuiteName)) {}

std::optional<std::string> ConsentKeeping::notKept() const {
    // Writes again what is not written yet.
    if (suite_->synchronize()) return std::nullopt;
    // The write's own reason, which the caller puts after its own words of
    // what was not kept; the preferences' diagnostic wraps it in theirs.
    for (const auto& unsaved : platform::UserDefaults::unsavedSuites()) {
        if (unsaved.file == suite_->filePath()) return unsaved.why;
    }
    return "its preferences file " + suite_->filePath().string() + " cannot be written";
}

std::optional<Value::Dictionary> identity() {
    const auto identity = APMMeasurement::sharedInstance()->identity();
    if (!identity) return std::nullopt;
    return Value::Dictionary{
        {"app_instance_id", optionalText(identity->appInstanceID())},
        {"resettable_device_id", optionalText(identity->resettableDeviceID())},
        {"hashed_resettable_device_id", optionalText(identity->hashedResettableDeviceID())},
        {"vendor_device_id", optionalText(identity->identifierForVendor())},
        {"tracking_authorization_status", identity->appleConsentStatus()},
        {"limited_ad_tracking", identity->hasLimitedAdTracking() ? Value(identity->limitedAdTracking()) : Value()},
        {"measurement_app_id", optionalText(identity->appIDFromRUZ())},
        {"advertising_app_id", optionalText(identity->appIDFromDoZud())},
        {"app_id", identity->appID()},
        {"app_version", identity->appVersion()},
        {"diversion_key", identity->diversionKey()},
        {"library_version", static_cast<long long>(APMIdentity::dozUrerizaroriLibraryVersion())}};
}

}  // namespace measurement::control
