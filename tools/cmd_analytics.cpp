// `velmora analytics log NAME [key=value ...]`: logs one event through the
// public analytics interface and returns once it is stored, or says why it
// was not and exits 1.
// `velmora analytics purchase PRODUCT --price 0.99 [--quantity 3]
// [--receipt]`: the store reports one purchased transaction of the product,
// which the engine turns into a purchase event; returns once it is stored.
// `velmora analytics dump`: the stored raw events, queued bundles and user
// properties as JSON read from the measurement database, and the rows that
// do not read back, each with its table, row ID and reason. It only reads:
// a read-only data folder is read as it is, and one that does not exist is
// reported (status 1), never made.
// `velmora analytics consent [TYPE=granted|denied ...]`: sets consent through
// the public interface and prints the consent state the engine then holds.
// `velmora analytics open URL`: hands a link the application was opened with
// to the public interface; returns once its campaign event is stored.
// `velmora analytics identity`: the identifiers the engine's identity hands
// out now, consent applied.
// `velmora analytics config`: fetches the measurement configuration from the
// service, as the engine does when it is due, and prints what it then holds.
// The application's own commands (`velmora calc`) configure the default
// application as start-up does, so their events are stored too. The engine
// uploads what it stores to the measurement service named by the service
// property list or by $VELMORA_MEASUREMENT_SERVICE_URL; without one nothing
// is sent.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "measurement/core/arurerudo.h"
#include "measurement/core/facade.h"
#include "measurement/core/stored_data.h"
#include "measurement/core/measurement.h"
#include "measurement/upload/uploader.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/app_store_receipt/receipt_writer.h"
#include "platform/frameworks/payment_queue/payment_queue.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"
#include "tools/command_registry.h"
#include "velmora/shell/measurement_analytics.h"

namespace {

using platform::Value;

// The data folder's option, "--data-dir" kept as another name for it.
constexpr const char* kDataOption = "--data,--data-dir";
// The commands that run the application's code and so log its events.
const std::set<std::string> kApplicationCommands = {"calc"};
constexpr double kStoreTimeoutSeconds = 60;
// The upload that follows, as when the application resigns active, is
// given this long; its data stays stored for a later run either way.
constexpr double kUploadGraceSeconds = 10;

// The default data folder: "velmora" under the user's data home, holding
// "Application Support" and "Preferences" as the platform defaults do.
std::filesystem::path defaultDataFolder() {
    return platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path();
}

std::filesystem::path dataFolderFromEnvironment() {
    const char* folder = std::getenv("VELMORA_DATA");
    return folder && *folder ? std::filesystem::path(folder) : defaultDataFolder();
}

void useDataFolder(const std::filesystem::path& folder) {
    platform::ProcessInfo::setApplicationSupportDirectory(folder / "Application Support");
    platform::UserDefaults::setDataDirectory(folder / "Preferences");
}

// Every event write of the engine while it lives: the name, the origin,
// and why it was not stored (none when it was).
class EventWrites {
public:
    struct Write {
        std::string name;
        std::string origin;
        std::optional<std::string> failure;
        // What the engine recorded of a refused input ("_err", "_ev", "_el"):
        // on an error event for a refused name, on the event itself for a
        // parameter dropped or cut.
        Value::Dictionary refusal;
    };

    EventWrites()
        : identifier_(measurement::APMAnalytics::addEventWriteListener(
              [state = state_](const measurement::APMEvent& event, const std::optional<std::string>& failure) {
                  Write write{event.name(), event.origin(), failure, {}};
                  for (const char* key : {measurement::kAPMErrorCodeParameter, measurement::kAPMErrorValueParameter,
                                          measurement::kAPMErrorLengthParameter}) {
                      if (auto found = event.parameters().find(key); found != event.parameters().end()) {
                          write.refusal[key] = found->second.objectValue();
                      }
                  }
                  std::lock_guard lock(state->mutex);
                  state->writes.push_back(std::move(write));
              })) {}
    ~EventWrites() { measurement::APMAnalytics::removeEventWriteListener(identifier_); }
    EventWrites(const EventWrites&) = delete;
    EventWrites& operator=(const EventWrites&) = delete;

    std::vector<Write> writes() const {
        std::lock_guard lock(state_->mutex);
        return state_->writes;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<Write> writes;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::uint64_t identifier_;
};

// Waits until everything the public interface accepted so far has reached
// the engine and been handled there (which first waits for the engine to
// start).
bool waitUntilHandled() {
    auto handled = std::make_shared<std::promise<void>>();
    measurement::APMAnalytics::performAfterQueuedOperations("velmora:handled", [handled] { handled->set_value(); });
    return handled->get_future().wait_for(std::chrono::duration<double>(kStoreTimeoutSeconds)) ==
           std::future_status::ready;
}

// As the application does when it resigns active: the engine uploads what
// it holds and ends its background task once that attempt is over. A
// failing service ends the attempt at once; a slow one is not waited for.
// Then the worker block that ended the task returns and the engine goes (its
// settings written), before the process ends and takes what that block
// still uses; a late network completion finds no engine.
void uploadAsOnResignation() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    if (!platform::BackgroundTasks::shared().waitUntilNoActiveTask(kUploadGraceSeconds)) {
        std::cerr << "velmora: the upload did not finish within " << kUploadGraceSeconds
                  << " s; the data stays stored for the next run\n";
    }
    measurement::APMMeasurement::resetSharedInstanceForTesting();
}

// Runs a block on the engine's worker queue and waits for it.
void onWorkerQueue(const std::function<void(measurement::APMMeasurement&)>& block) {
    auto engine = measurement::APMMeasurement::sharedInstance();
    engine->scheduler().workerQueue()->sync([&] { block(*engine); });
}

// The rule a name the engine refused broke, in words, for the failure code
// it recorded ("_err").
std::string nameRule(const std::string& name, long long code) {
    if (code == measurement::kAPMReservedEventName) {
        for (const auto& prefix : measurement::APMReservedNamePrefixes()) {
            if (name.rfind(prefix, 0) == 0) return "the name begins with the reserved prefix \"" + prefix + "\"";
        }
        const auto internal = measurement::APMInternalName(measurement::APMPublicToInternalEventNames(), name);
        return "the name is reserved for the engine's own event" +
               (internal ? " \"" + *internal + "\"" : std::string());
    }
    if (name.empty()) return "the name is empty";
    if (name.size() > static_cast<std::size_t>(measurement::kAPMMaxPublicEventNameLength)) {
        return "the name is longer than " + std::to_string(measurement::kAPMMaxPublicEventNameLength) + " characters";
    }
    if (!std::isalpha(static_cast<unsigned char>(name[0]))) return "the name does not begin with a letter";
    return "the name holds more than letters, digits and \"_\"";
}

// What happened to the parameter the engine named ("_ev") for a failure code
// recorded on a stored event.
std::string parameterRule(long long code, const std::string& parameter, const Value& length,
                          std::int64_t maxValueLength) {
    const std::string quoted = "\"" + parameter + "\"";
    const measurement::APMEventParameterLimits limits;
    switch (code) {
        case measurement::kAPMInvalidParameterName:
            return "parameter " + quoted + " was dropped: a parameter name begins with a letter and holds at most " +
                   std::to_string(measurement::kAPMMaxPublicParameterNameLength) + " letters, digits and \"_\"";
        case measurement::kAPMReservedParameterName:
            return "parameter " + quoted + " was dropped: its name begins with a reserved prefix";
        case measurement::kAPMParameterValueTooLong:
            return "the value of " + quoted +
                   (length.isNumber() ? " had " + std::to_string(length.intValue()) + " characters and" : "") +
                   " was cut to " + std::to_string(maxValueLength);
        case measurement::kAPMTooManyParameters:
            return "the event had more than " + std::to_string(limits.maxPublicParameters) + " parameters: " + quoted +
                   " and those after it in name order were dropped";
        case measurement::kAPMInvalidValue:
            return "parameter " + quoted + " was dropped: its value is of a kind an event cannot carry";
        case measurement::kAPMListTooLong:
            return "the list " + quoted + " was cut to " + std::to_string(limits.maxListLength) + " entries";
        default: return "parameter " + quoted + " was refused";
    }
}

long long refusalCode(const Value::Dictionary& refusal) {
    const auto code = refusal.find(measurement::kAPMErrorCodeParameter);
    return code == refusal.end() ? 0 : code->second.intValue();
}

std::string refusalValue(const Value::Dictionary& refusal) {
    const auto value = refusal.find(measurement::kAPMErrorValueParameter);
    return value == refusal.end() ? std::string() : value->second.stringValue();
}

struct LogOutcome {
    // Why the event was not stored; none when it was.
    std::optional<std::string> failure;
    // The name the engine stored it under, and what it dropped or cut of
    // its parameters, when it was.
    std::string storedName;
    Value::Dictionary refusal;
};

// What became of the event of that name, which the engine stores under its
// internal name when it has one ("screen_view" as "_vs").
LogOutcome outcomeOf(const std::string& name, const std::vector<EventWrites::Write>& writes) {
    const std::string stored =
        measurement::APMInternalName(measurement::APMPublicToInternalEventNames(), name).value_or(name);
    LogOutcome outcome{std::nullopt, stored, {}};
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
    const EventWrites::Write* refused = nullptr;
    for (const auto& write : writes) {
        if (write.name != measurement::kAPMErrorCodeParameter || write.failure) continue;
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
        if (write.origin == "app" && write.name != measurement::kAPMErrorCodeParameter && !write.failure) {
            return {std::nullopt, write.name, write.refusal};
        }
    }
    outcome.failure = name == "screen_view"
                          ? "the engine wrote no screen view: screen_name and screen_class must be text within the "
                            "engine's length limit"
                          : "the engine did not write an event of that name";
    return outcome;
}

// "7" and "-3" are integers, "0.5" and "1e3" reals, anything else text.
Value parameterValue(const std::string& text) {
    if (!text.empty()) {
        std::size_t used = 0;
        try {
            const long long integer = std::stoll(text, &used);
            if (used == text.size()) return Value(integer);
        } catch (const std::exception&) {
        }
        try {
            const double real = std::stod(text, &used);
            if (used == text.size()) return Value(real);
        } catch (const std::exception&) {
        }
    }
    return Value(text);
}

int logOne(const std::string& name, const std::vector<std::string>& pairs) {
    Value::Dictionary parameters;
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "velmora analytics log: parameters are key=value, not \"" << pair << "\"\n";
            return 2;
        }
        parameters[pair.substr(0, equals)] = parameterValue(pair.substr(equals + 1));
    }
    EventWrites writes;
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics log: the application could not be configured\n";
        return 1;
    }
    measurement::VEZArurerudo::logEventWithName(name, parameters);
    // A screen view goes through the screen-view reporter's queue before it
    // is written: once that queue has run, its write is queued too.
    bool handled = waitUntilHandled();
    if (handled) {
        measurement::APMMeasurement::sharedInstance()->screenViewReporter()->queue()->sync([] {});
        handled = waitUntilHandled();
    }
    if (!handled) {
        std::cerr << "velmora analytics log: the event was not stored within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
    const auto outcome = outcomeOf(name, writes.writes());
    if (outcome.failure) {
        std::cerr << "velmora analytics log: the event was not stored: " << *outcome.failure << '\n';
        return 1;
    }
    if (outcome.storedName != name) std::cout << "stored " << name << " as \"" << outcome.storedName << "\"\n";
    if (const long long code = refusalCode(outcome.refusal); code != 0) {
        std::int64_t maxValueLength = 0;
        onWorkerQueue([&](measurement::APMMeasurement& engine) {
            maxValueLength = engine.remoteConfigInstance()->maxPublicEventParameterValueLength();
        });
        const auto length = outcome.refusal.find(measurement::kAPMErrorLengthParameter);
        std::cerr << "velmora analytics log: stored, but "
                  << parameterRule(code, refusalValue(outcome.refusal),
                                   length == outcome.refusal.end() ? Value() : length->second, maxValueLength)
                  << " (code " << code << ")\n";
    }
    uploadAsOnResignation();
    return 0;
}

struct PurchaseOptions {
    std::string product;
    std::string price;
    std::string currency = "USD";
    std::int64_t quantity = 1;
    std::string transaction;
    std::string original;
    // 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable.
    int type = 1;
    bool receipt = false;
};

// The store gives prices as decimal text: digits, and a point followed by
// digits.
bool isDecimalPrice(const std::string& text) {
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "0" : text.substr(point + 1);
    auto digits = [](const std::string& part) {
        return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return digits(whole) && digits(fraction);
}

std::size_t storedPurchaseEvents() {
    const auto data = measurement::APMReadStoredData(nullptr);
    if (!data) return 0;
    std::size_t count = 0;
    for (const auto& stored : data->rawEvents) {
        const auto& name = stored.raw.event().name();
        count += name == "_iap" || name == "_iapx" || name == "_assr" || name == "_assc";
    }
    return count;
}

// The purchase is reported on queues of its own, after the store's product
// request: its event is waited for in the database.
int purchaseOne(PurchaseOptions options) {
    const double now = static_cast<double>(std::time(nullptr));
    if (options.transaction.empty()) options.transaction = std::to_string(static_cast<long long>(now));
    if (options.original.empty()) options.original = options.transaction;
    platform::StoreProduct product;
    product.productIdentifier = options.product;
    product.price = options.price;
    product.currencyCode = options.currency;
    product.localizedTitle = options.product;
    platform::ProductCatalogue::shared().setProduct(product);
    if (options.receipt) {
        platform::ReceiptPurchase purchase;
        purchase.productID = options.product;
        purchase.transactionID = options.transaction;
        purchase.originalTransactionID = options.original;
        purchase.purchaseDate = now;
        purchase.productType = options.type;
        purchase.quantity = options.quantity;
        platform::Receipt receipt;
        receipt.purchases.push_back(purchase);
        if (!platform::ReceiptWriter::write(receipt)) {
            std::cerr << "velmora analytics purchase: the receipt cannot be written\n";
            return 1;
        }
    }
    const std::size_t before = storedPurchaseEvents();
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics purchase: the application could not be configured\n";
        return 1;
    }
    platform::PaymentTransaction transaction;
    transaction.transactionIdentifier = options.transaction;
    transaction.transactionState = platform::PaymentTransactionState::purchased;
    transaction.payment = {options.product, options.quantity};
    transaction.transactionDate = now;
    if (options.original != options.transaction) {
        auto original = std::make_shared<platform::PaymentTransaction>();
        original->transactionIdentifier = options.original;
        transaction.originalTransaction = original;
    }
    platform::PaymentQueue::defaultQueue().deliverTransactions({transaction});
    // A duplicate or an unpriced product gives no event: do not wait long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (storedPurchaseEvents() == before) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "velmora analytics purchase: no purchase event was stored (a duplicate, or a product without "
                         "price?)\n";
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    uploadAsOnResignation();
    return 0;
}

// Fetches the configuration and waits for its answer to be taken (the
// completion runs on the worker queue once the request is no longer
// pending), then prints the version and whether a program was loaded.
int fetchConfig() {
    if (!velmora::configureMeasurementAnalytics() || !waitUntilHandled()) {
        std::cerr << "velmora analytics config: the application could not be configured\n";
        return 1;
    }
    bool sent = false;
    onWorkerQueue([&](measurement::APMMeasurement& engine) {
        if (!engine.uploader()) return;
        engine.uploader()->fetchRemoteConfig();
        sent = engine.isNetworkRequestPending();
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kStoreTimeoutSeconds);
    while (sent && measurement::APMMeasurement::sharedInstance()->isNetworkRequestPending()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "velmora analytics config: no answer within " << kStoreTimeoutSeconds << " s\n";
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::int64_t version = -1;
    bool editing = false;
    onWorkerQueue([&](measurement::APMMeasurement& engine) {
        const auto config = engine.remoteConfigInstance();
        version = config->version();
        editing = config->eventEditing() != nullptr;
    });
    if (!sent) std::cerr << "velmora analytics config: no measurement service address to fetch from\n";
    std::cout << "configuration version " << version << (editing ? ", event editing loaded" : "") << '\n';
    uploadAsOnResignation();
    return sent ? 0 : 1;
}

// "ad_storage=granted" ... as consent settings; false, with the reason on
// stderr, for anything else.
bool parseConsent(const std::vector<std::string>& pairs, Value::Dictionary& settings) {
    const auto& types = measurement::APMConsentSettingsUtil::consentTypes();
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        const std::string type = pair.substr(0, equals);
        const std::string status = equals == std::string::npos ? "" : pair.substr(equals + 1);
        if (std::find(types.begin(), types.end(), type) == types.end()) {
            std::cerr << "velmora analytics consent: \"" << pair
                      << "\" names no consent type (ad_storage, analytics_storage, ad_user_data, ad_personalization)\n";
            return false;
        }
        if (status != measurement::kAPMConsentGranted && status != measurement::kAPMConsentDenied) {
            std::cerr << "velmora analytics consent: " << type << " is granted or denied, not \"" << status << "\"\n";
            return false;
        }
        settings[type] = status;
    }
    return true;
}

void printConsent(const measurement::APMConsentSettingsUtil& state, bool json) {
    const auto settings = state.consentSettings().value_or(Value::Dictionary{});
    if (json) {
        std::cout << platform::writeJSON(Value::Dictionary{{"signals", state.consentSignals()},
                                                           {"diagnostics", state.consentDiagnostics()},
                                                           {"source", state.consentSource()},
                                                           {"settings", settings},
                                                           {"description", state.description()}},
                                         true)
                  << '\n';
        return;
    }
    std::cout << "consent signals: " << state.consentSignals() << '\n'
              << "consent diagnostics: " << state.consentDiagnostics() << '\n'
              << "consent source: " << state.consentSource() << '\n'
              << state.description() << '\n';
}

int consent(const std::vector<std::string>& pairs, bool json) {
    Value::Dictionary settings;
    if (!parseConsent(pairs, settings)) return 2;
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics consent: the application could not be configured\n";
        return 1;
    }
    // The engine has started, with the consent of earlier runs, before the
    // new settings go in.
    bool handled = waitUntilHandled();
    if (handled && !settings.empty()) {
        measurement::VEZArurerudo::setConsent(settings);
        handled = waitUntilHandled();
    }
    if (!handled) {
        std::cerr << "velmora analytics consent: the engine did not answer within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
    printConsent(*measurement::APMMeasurement::sharedInstance()->consentState(), json);
    uploadAsOnResignation();
    return 0;
}

int openLink(const std::string& url) {
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics open: the application could not be configured\n";
        return 1;
    }
    measurement::VEZArurerudo::handleOpenURL(url);
    if (!waitUntilHandled()) {
        std::cerr << "velmora analytics open: the engine did not answer within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
    uploadAsOnResignation();
    return 0;
}

Value optionalText(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }

int identity(bool json) {
    if (!velmora::configureMeasurementAnalytics() || !waitUntilHandled()) {
        std::cerr << "velmora analytics identity: the engine did not start\n";
        return 1;
    }
    const auto identity = measurement::APMMeasurement::sharedInstance()->identity();
    if (!identity) {
        std::cerr << "velmora analytics identity: the engine has no identity\n";
        return 1;
    }
    const Value::Dictionary fields{
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
        {"library_version", static_cast<long long>(measurement::APMIdentity::dozUrerizaroriLibraryVersion())}};
    if (json) {
        std::cout << platform::writeJSON(Value(fields), true) << '\n';
    } else {
        for (const auto& [name, value] : fields) {
            std::cout << name << ": " << (value.isNull() ? "(none)" : platform::writeJSON(value)) << '\n';
        }
    }
    uploadAsOnResignation();
    return 0;
}

Value describeHeader(const measurement::APMPBMeasurementBundle& header) {
    namespace tag = measurement::bundle_tag;
    auto text = [&](int field) {
        return Value(measurement::NANOGetString(header, measurement::bundleFieldIndex(field)).value_or(""));
    };
    Value::Array properties;
    for (const auto& property : measurement::NANOGetArray<measurement::APMPBUserAttribute>(
             header, measurement::bundleFieldIndex(tag::kUserAttributes))) {
        properties.push_back(
            Value(measurement::NANOGetString(property, measurement::user_attribute_field::kName).value_or("")));
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

int dump() {
    std::optional<measurement::APMError> error;
    const auto data = measurement::APMReadStoredData(&error);
    if (!data) {
        std::cerr << "velmora analytics dump: " << (error ? error->description() : "cannot read the database") << '\n';
        return 1;
    }
    Value::Array rawEvents;
    for (const auto& stored : data->rawEvents) {
        const auto& event = stored.raw.event();
        Value::Dictionary parameters;
        for (const auto& [key, value] : event.parameters()) parameters.emplace(key, value.objectValue());
        rawEvents.push_back(Value::Dictionary{
            {"rowid", static_cast<long long>(stored.raw.rowID())},
            {"name", event.name()},
            {"origin", event.origin()},
            {"public", event.isPublic()},
            {"timestamp", event.timestamp()},
            {"realtime", event.isRealtime()},
            {"parameters", parameters},
            {"metadata_fingerprint", static_cast<long long>(stored.raw.metadataFingerprint())},
            {"metadata", stored.metadata ? describeHeader(*stored.metadata) : Value()}});
    }
    Value::Array queue;
    for (const auto& bundle : data->queuedBundles) {
        Value::Dictionary entry = describeHeader(bundle).asDictionary();
        Value::Array names;
        for (const auto& event : measurement::NANOGetArray<measurement::APMPBEvent>(
                 bundle, measurement::bundleFieldIndex(measurement::bundle_tag::kEvents))) {
            names.push_back(Value(measurement::NANOGetString(event, measurement::event_field::kName).value_or("")));
        }
        entry.emplace("events", names);
        queue.push_back(entry);
    }
    Value::Array userProperties;
    for (const auto& property : data->userAttributes) {
        userProperties.push_back(Value::Dictionary{{"name", property.name()},
                                                   {"origin", property.origin()},
                                                   {"value", property.value().objectValue()},
                                                   {"set_timestamp", property.lastSetTimestamp()}});
    }
    Value::Array unreadable;
    for (const auto& row : data->unreadableRows) {
        unreadable.push_back(Value::Dictionary{
            {"table", row.table}, {"rowid", static_cast<long long>(row.rowID)}, {"reason", row.reason}});
    }
    std::cout << platform::writeJSON(Value::Dictionary{{"raw_events", rawEvents},
                                                       {"queued_bundles", queue},
                                                       {"user_properties", userProperties},
                                                       {"unreadable_rows", unreadable}},
                                     true)
              << '\n';
    return 0;
}

struct Options {
    std::string data;
    std::string name;
    std::vector<std::string> parameters;
    bool json = false;
};

// The application's commands configure the default application at their
// start, as the application does at launch, and wait at their end until the
// events they logged are stored; events that were not are reported (the
// command's own result stands).
void storeApplicationEvents(CLI::App& app) {
    static std::unique_ptr<EventWrites> writes;
    app.parse_complete_callback([&app] {
        const CLI::App* application = nullptr;
        for (const auto* command : app.get_subcommands()) {
            if (kApplicationCommands.count(command->get_name()) > 0) application = command;
        }
        if (!application) return;
        // The command's own data-folder option, else the environment's.
        const auto* given = application->get_option_no_throw("--data");
        useDataFolder(given && given->count() > 0 ? std::filesystem::path(given->as<std::string>())
                                                  : dataFolderFromEnvironment());
        writes = std::make_unique<EventWrites>();
        velmora::configureMeasurementAnalytics();
    });
    app.final_callback([] {
        if (!writes) return;
        if (!platform::VEZApp::isDefaultAppConfigured()) {
            std::cerr << "velmora: the application could not be configured; no analytics event was stored\n";
        } else if (!waitUntilHandled()) {
            std::cerr << "velmora: the analytics events were not stored within " << kStoreTimeoutSeconds << " s\n";
        } else {
            for (const auto& write : writes->writes()) {
                if (write.failure) std::cerr << "velmora: event " << write.name << " was not stored: " << *write.failure << '\n';
            }
            uploadAsOnResignation();
        }
        writes.reset();
    });
}

const tools::CommandRegistration registration([](CLI::App& app, int& status) {
    // Launch arguments such as "-VEZArurerudoDebugEnabled" (debug mode: the
    // shortest upload interval) reach the engine's monitor, which may have
    // been made before main() recorded them.
    measurement::APMMonitor::shared().reloadLaunchArguments();
    auto options = std::make_shared<Options>();
    auto* analytics = app.add_subcommand("analytics", "Log events through the measurement engine and read its database");
    analytics->require_subcommand(1);
    const std::string dataHelp = "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)";
    analytics->add_option(kDataOption, options->data, dataHelp);

    auto* log = analytics->add_subcommand("log", "Log one event and return once it is stored");
    log->add_option("name", options->name, "Event name")->required();
    log->add_option("parameters", options->parameters, "Parameters as key=value");
    log->add_option(kDataOption, options->data, dataHelp);
    log->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = logOne(options->name, options->parameters);
    });

    auto purchase = std::make_shared<PurchaseOptions>();
    auto* purchaseCommand = analytics->add_subcommand(
        "purchase", "Have the store report one purchased transaction and return once its event is stored");
    purchaseCommand->add_option("product", purchase->product, "Product identifier")->required();
    purchaseCommand->add_option("--price", purchase->price, "Unit price as decimal text (\"0.99\")")->required();
    purchaseCommand->add_option("--quantity", purchase->quantity, "Quantity")->default_str("1");
    purchaseCommand->add_option("--currency", purchase->currency, "Currency code")->default_str("USD");
    purchaseCommand->add_option("--transaction", purchase->transaction, "Transaction identifier (default: the time)");
    purchaseCommand->add_option("--original", purchase->original, "Original transaction identifier");
    purchaseCommand->add_option("--type", purchase->type, "0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable")
        ->default_str("1");
    purchaseCommand->add_flag("--receipt", purchase->receipt, "Write a receipt holding this purchase first");
    purchaseCommand->add_option(kDataOption, options->data, dataHelp);
    purchaseCommand->callback([options, purchase, &status] {
        if (!isDecimalPrice(purchase->price)) {
            std::cerr << "velmora analytics purchase: the price \"" << purchase->price
                      << "\" is not a number: give it as decimal text such as 0.99\n";
            status = 2;
            return;
        }
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = purchaseOne(*purchase);
    });

    auto* dumpCommand = analytics->add_subcommand("dump", "Print stored raw events, queued bundles and user properties");
    dumpCommand->add_option(kDataOption, options->data, dataHelp);
    dumpCommand->callback([options, &status] {
        const auto folder = options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data);
        // The dump only reads: a folder that is not there is not made.
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec)) {
            std::cerr << "velmora analytics dump: no data folder at " << folder.string() << '\n';
            status = 1;
            return;
        }
        useDataFolder(folder);
        status = dump();
    });

    auto* consentCommand = analytics->add_subcommand(
        "consent", "Set consent through the public interface and print the consent state the engine holds");
    consentCommand->add_option("settings", options->parameters, "Consent as TYPE=granted or TYPE=denied");
    consentCommand->add_flag("--json", options->json, "Print the state as JSON");
    consentCommand->add_option(kDataOption, options->data, dataHelp);
    consentCommand->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = consent(options->parameters, options->json);
    });

    auto* openCommand = analytics->add_subcommand(
        "open", "Hand a link the application was opened with to the engine; return once its campaign event is stored");
    openCommand->add_option("url", options->name, "The link, such as bern://open?utm_source=mail")->required();
    openCommand->add_option(kDataOption, options->data, dataHelp);
    openCommand->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = openLink(options->name);
    });

    auto* identityCommand = analytics->add_subcommand("identity", "Print the identifiers the engine hands out now");
    identityCommand->add_flag("--json", options->json, "Print them as JSON");
    identityCommand->add_option(kDataOption, options->data, dataHelp);
    identityCommand->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = identity(options->json);
    });

    auto* configCommand = analytics->add_subcommand(
        "config", "Fetch the measurement configuration from the service and print what the engine holds then");
    configCommand->add_option(kDataOption, options->data, dataHelp);
    configCommand->callback([options, &status] {
        useDataFolder(options->data.empty() ? dataFolderFromEnvironment() : std::filesystem::path(options->data));
        status = fetchConfig();
    });
    storeApplicationEvents(app);
});

}  // namespace
