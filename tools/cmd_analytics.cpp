// `velmora analytics log NAME [key=value ...]`: logs one event through the
// public analytics interface and returns once it is stored, or says why it
// was not and exits 1. Plain decimal values are numbers, values in double
// quotes and all others text; a value that would be no finite number, or an
// integer past 64 bits, is refused (status 2).
// `velmora analytics purchase PRODUCT --price 0.99 [--quantity 3]
// [--transaction ID] [--receipt]`: the store reports one purchased
// transaction of the product, under an identifier of its own unless one is
// given, which the engine turns into a purchase event; returns once it is
// stored, or at once when the engine drops it as a duplicate.
// `velmora analytics dump`: the stored raw events, queued bundles and user
// properties as JSON read from the measurement database, and the rows that
// do not read back, each with its table, row ID and reason; in a damaged
// file, the stretches of rows that no longer read, and every row that does.
// It only reads: a damaged file is neither marked nor set aside, a
// read-only data folder is read as it is, and one that does not exist is
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
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/control/engine_control.h"
#include "measurement/control/store_control.h"
#include "measurement/core/arurerudo.h"
#include "measurement/foundation/printable_text.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/url.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_store_receipt/receipt_writer.h"
#include "platform/frameworks/payment_queue/payment_queue.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"
#include "tools/command_registry.h"
#include "tools/data_folder.h"
#include "tools/fetch_network.h"
#include "tools/kept_preferences.h"
#include "tools/lock_waits.h"
#include "tools/option_values.h"
#include "tools/path_options.h"
#include "velmora/analytics/measurement_analytics.h"

namespace {

using platform::Value;

// The data folder's option, "--data-dir" kept as another name for it.
constexpr const char* kDataOption = "--data,--data-dir";
// The commands that run the application's code and so log its events.
const std::set<std::string> kApplicationCommands = {"calc"};
constexpr double kStoreTimeoutSeconds = 60;
// The event the engine tracks as a screen view rather than logs at once.
constexpr const char* kScreenViewEvent = "screen_view";

bool waitUntilHandled() { return measurement::control::waitUntilHandled(kStoreTimeoutSeconds); }

// As the application does when it resigns active: the engine uploads what
// it holds and ends its background task once that attempt is over. A
// failing service ends the attempt at once. Batches start only while their
// answer can still come before the command's time is up, and the answer of
// the one sent is waited for, so that the command never ends with a batch
// the service may take and the next run would send again.
void uploadAsOnResignation() {
    const auto upload = measurement::control::uploadBeforeExit();
    if (!upload.ended) {
        std::cerr << "velmora: the upload did not end within " << upload.seconds << " s"
                  << (upload.requestOut ? "; a request had no answer within its own timeout, and the next run may "
                                          "send its batch again"
                                        : "")
                  << "; what was not sent stays stored for the next run\n";
    }
}

// Every command that ran the engine ends with it: the worker block that
// ended the upload's task returns and the engine goes (its settings
// written), before the process ends and takes what that block still uses;
// a batch still out, from the engine's own timer when the command ends
// early, is answered first.
void endEngine() { measurement::control::shutdown(); }

// Says, under the command's name, why the engine could not open its
// measurement database; true when it could not, so that nothing the command
// was to store or read there was.
bool reportDatabaseFailure(const std::string& command) {
    const auto failure = measurement::control::databaseFailure();
    if (failure) tools::sayError(command, "the measurement database could not be opened: " + *failure);
    return failure.has_value();
}

// Digits with an optional minus and an optional point followed by digits:
// "7", "-3", "0.5"; not "1e3", "0x10", ".5" or "NaN".
bool isPlainDecimal(const std::string& text) {
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    const auto point = text.find('.', start);
    auto digits = [&](std::size_t from, std::size_t to) {
        return to > from && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                                        text.begin() + static_cast<std::ptrdiff_t>(to),
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    if (point == std::string::npos) return digits(start, text.size());
    return digits(start, point) && digits(point + 1, text.size());
}

// "nan", "-Infinity", "INF"...: what would be read as a number that is none.
bool namesNonFiniteNumber(std::string text) {
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.erase(0, 1);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text == "nan" || text == "inf" || text == "infinity";
}

// How a value is typed: a plain decimal number is an integer ("7", "-3")
// or a real ("0.5"); a value in double quotes is the text inside them
// ("\"1e5\""); anything else is text. None, with the reason in `why`, for
// a value that would be NaN or infinite, or an integer past 64 bits.
std::optional<Value> parameterValue(const std::string& key, const std::string& text, std::string* why) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return Value(text.substr(1, text.size() - 2));
    const std::string quoted = key + "='\"" + text + "\"'";
    if (namesNonFiniteNumber(text)) {
        *why = "the value of \"" + key + "\" is not a finite number, which no event carries; to keep it as text, "
               "give it in double quotes: " + quoted;
        return std::nullopt;
    }
    if (!isPlainDecimal(text)) return Value(text);
    const char* end = text.data() + text.size();
    if (text.find('.') == std::string::npos) {
        // A real in its place would keep another number than the one given.
        long long integer = 0;
        if (std::from_chars(text.data(), end, integer).ec == std::errc()) return Value(integer);
        *why = "the value of \"" + key + "\" is a whole number past 64 bits, which no event carries (its integers "
               "are -9223372036854775808 to 9223372036854775807); to keep it as text, give it in double quotes: " +
               quoted;
        return std::nullopt;
    }
    double real = 0;
    if (std::from_chars(text.data(), end, real).ec != std::errc()) {
        *why = "the value of \"" + key + "\" is beyond the range of a number; to keep it as text, give it in double "
               "quotes: " + quoted;
        return std::nullopt;
    }
    return Value(real);
}

// The parameters of the key=value pairs; why they cannot be, when a pair is
// no key=value, a value no event carries, or a key is given twice.
std::optional<std::string> readParameters(const std::vector<std::string>& pairs, Value::Dictionary& parameters) {
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) return "parameters are key=value, not \"" + pair + "\"";
        std::string why;
        const std::string key = pair.substr(0, equals);
        auto value = parameterValue(key, pair.substr(equals + 1), &why);
        if (!value) return why;
        // An event holds one value a key: the second would replace the
        // first without a word.
        if (parameters.count(key) > 0) return "the parameter \"" + key + "\" is given more than once: give each key once";
        parameters[key] = std::move(*value);
    }
    return std::nullopt;
}

int logOne(const std::string& name, const std::vector<std::string>& pairs) {
    // The command line's check has taken the pairs.
    Value::Dictionary parameters;
    readParameters(pairs, parameters);
    measurement::control::EventWriteRecorder writes;
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics log: the application could not be configured\n";
        return 1;
    }
    measurement::VEZArurerudo::logEventWithName(name, parameters);
    // A screen view goes through the screen-view reporter's queue before it
    // reaches the engine's: it takes a second round. Other events are in
    // the engine's queues at once.
    const bool handled =
        waitUntilHandled() &&
        (name != kScreenViewEvent || measurement::control::waitUntilScreenViewsHandled(kStoreTimeoutSeconds));
    if (!handled) {
        std::cerr << "velmora analytics log: the event was not stored within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
    const auto outcome = measurement::control::outcomeOfEvent(name, writes.writes());
    if (outcome.failure) {
        tools::sayError("velmora analytics log", "the event was not stored: " + *outcome.failure);
        return 1;
    }
    if (outcome.storedName != name) std::cout << "stored " << name << " as \"" << outcome.storedName << "\"\n";
    if (outcome.parameterRefusal) tools::sayError("velmora analytics log", "stored, but " + *outcome.parameterRefusal);
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

// The engine keeps a purchase's value in millionths of the currency, in a
// 64-bit integer: the most a unit price times the quantity may come to.
constexpr const char* kLargestPurchaseValue = "9223372036854.775807";
// Whole currency units beyond this many digits are past that already.
constexpr std::size_t kMostWholeDigits = 13;
// The engine keeps millionths: a finer price would be stored as another.
constexpr std::size_t kMostPriceDecimals = 6;
// A currency code as the store gives it and purchase events carry it, three
// capital letters ("USD"); the engine stores no purchase of any other.
CLI::Validator currencyCode() {
    return CLI::Validator(
        [](std::string& text) {
            constexpr std::size_t kLetters = 3;
            const bool letters = text.size() == kLetters &&
                                 std::all_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
            return letters ? std::string()
                           : "\"" + text + "\" is not a currency code: three capital letters, such as USD";
        },
        "CODE");
}

// A purchase the engine neither stores nor drops as a duplicate is not
// waited for long.
constexpr double kPurchaseTimeoutSeconds = 15;

// The price times the quantity in millionths, as the engine stores it; none
// beyond what it stores. The price is a plain non-negative decimal of at
// most six decimals.
std::optional<std::int64_t> purchaseMicros(const std::string& price, std::int64_t quantity) {
    const auto point = price.find('.');
    std::string whole = price.substr(0, point);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    std::string fraction = point == std::string::npos ? "" : price.substr(point + 1);
    fraction = (fraction + "000000").substr(0, 6);
    if (whole.size() > kMostWholeDigits) return std::nullopt;
    std::int64_t unit = 0, total = 0;
    if (__builtin_mul_overflow(whole.empty() ? 0 : std::stoll(whole), 1'000'000, &unit) ||
        __builtin_add_overflow(unit, std::stoll(fraction), &unit) || __builtin_mul_overflow(unit, quantity, &total)) {
        return std::nullopt;
    }
    return total;
}

// Why the store could not report this purchase: an empty product, a price
// that is no plain non-negative decimal, one finer than the engine keeps, or
// a value beyond what it stores; none when it can. Only what was given is
// judged (help may be asked for before the rest); the quantity is read as
// the option's.
std::optional<std::string> purchaseRefusal(const PurchaseOptions& options, bool productGiven, bool priceGiven) {
    if (productGiven && options.product.empty()) {
        return "product: the product identifier is empty, and the engine reports no purchase without one: give the "
               "identifier the store sells it under";
    }
    if (!priceGiven) return std::nullopt;
    if (!isPlainDecimal(options.price) || options.price[0] == '-') {
        return "--price: the price \"" + options.price + "\" is not a number as the store gives prices: a "
               "non-negative decimal such as 0.99 (digits, and a point followed by digits)";
    }
    const auto point = options.price.find('.');
    if (point != std::string::npos && options.price.size() - point - 1 > kMostPriceDecimals) {
        return "--price: the price " + options.price + " has more decimals than the engine keeps: at most " +
               std::to_string(kMostPriceDecimals) + " (it keeps millionths)";
    }
    if (!purchaseMicros(options.price, options.quantity)) {
        return "--price: the price " + options.price + " times the quantity " + std::to_string(options.quantity) +
               " is more than the engine stores: at most " + kLargestPurchaseValue;
    }
    return std::nullopt;
}

// A transaction identifier as the store makes them, a decimal number, drawn
// at random: the engine drops a purchase whose identifier it has seen before
// as a duplicate, so no two purchases may share one.
std::string newTransactionIdentifier() {
    std::random_device source;
    const std::uint64_t drawn = (std::uint64_t{source()} << 32) | source();
    return std::to_string(1'000'000'000'000'000'000ULL + drawn % 9'000'000'000'000'000'000ULL);
}

// What the engine made of the purchase, as the command's status.
int purchaseStatus(const measurement::control::PurchaseWatch::Result& result, const std::string& transaction) {
    using Outcome = measurement::control::PurchaseWatch::Outcome;
    switch (result.outcome) {
        case Outcome::stored: return 0;
        case Outcome::duplicate:
            std::cerr << "velmora analytics purchase: the engine dropped the purchase as a duplicate: transaction "
                      << transaction << " was reported before (give another --transaction, or none for a new one)\n";
            return 1;
        case Outcome::refused:
            tools::sayError("velmora analytics purchase", "the purchase event was not stored: " + result.detail);
            return 1;
        case Outcome::none: break;
    }
    std::cerr << "velmora analytics purchase: no purchase event was stored within " << kPurchaseTimeoutSeconds
              << " s\n";
    return 1;
}

// The purchase is reported on queues of its own, after the store's product
// request: what the engine made of it is waited for.
int purchaseOne(PurchaseOptions options) {
    const double now = static_cast<double>(std::time(nullptr));
    if (options.transaction.empty()) options.transaction = newTransactionIdentifier();
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
        std::string why;
        if (!platform::ReceiptWriter::write(receipt, platform::appStoreReceiptPath(), &why)) {
            tools::sayError("velmora analytics purchase", "the receipt cannot be written: " + why);
            return 1;
        }
    }
    measurement::control::PurchaseWatch watch;
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
    const int status = purchaseStatus(watch.wait(kPurchaseTimeoutSeconds), options.transaction);
    uploadAsOnResignation();
    return status;
}

// Fetches the configuration and waits for its answer to be taken, within
// the request's own timeout, then prints the version and whether a program
// was loaded.
int fetchConfig() {
    if (!velmora::configureMeasurementAnalytics() || !waitUntilHandled()) {
        std::cerr << "velmora analytics config: the application could not be configured\n";
        return 1;
    }
    if (reportDatabaseFailure("velmora analytics config")) return 1;
    const auto fetch = measurement::control::fetchConfiguration();
    if (!fetch.answered) {
        std::cerr << "velmora analytics config: no answer within " << fetch.seconds << " s\n";
        return 1;
    }
    // What the engine holds after a failed fetch, or with none made, is not
    // what was asked for.
    if (!fetch.sent) {
        std::cerr << "velmora analytics config: no measurement service address to fetch from\n";
    } else if (fetch.failure) {
        tools::sayError("velmora analytics config", "the fetch failed: " + *fetch.failure);
    } else {
        std::cout << "configuration version " << fetch.version
                  << (fetch.eventEditingLoaded ? ", event editing loaded" : "") << '\n';
    }
    uploadAsOnResignation();
    return fetch.sent && !fetch.failure ? 0 : 1;
}

// "ad_storage=granted" ... as consent settings; why they cannot be, for
// anything else.
std::optional<std::string> readConsent(const std::vector<std::string>& pairs, Value::Dictionary& settings) {
    const auto& types = measurement::control::consentTypes();
    for (const auto& pair : pairs) {
        const auto equals = pair.find('=');
        const std::string type = pair.substr(0, equals);
        const std::string status = equals == std::string::npos ? "" : pair.substr(equals + 1);
        if (std::find(types.begin(), types.end(), type) == types.end()) {
            return "\"" + pair + "\" names no consent type (ad_storage, analytics_storage, ad_user_data, "
                   "ad_personalization)";
        }
        if (!measurement::control::isConsentStatus(status)) {
            return type + " is granted or denied, not \"" + status + "\"";
        }
        if (settings.count(type) > 0) return type + " is given more than once: give each consent type once";
        settings[type] = status;
    }
    return std::nullopt;
}

void printConsent(const Value::Dictionary& state, bool json) {
    if (json) {
        std::cout << platform::writeJSON(Value(state), true) << '\n';
        return;
    }
    std::cout << "consent signals: " << state.at("signals").stringValue() << '\n'
              << "consent diagnostics: " << state.at("diagnostics").stringValue() << '\n'
              << "consent source: " << state.at("source").intValue() << '\n'
              << state.at("description").stringValue() << '\n';
}

int consent(const std::vector<std::string>& pairs, bool json) {
    // The command line's check has taken the pairs.
    Value::Dictionary settings;
    readConsent(pairs, settings);
    const measurement::control::ConsentKeeping keeping;
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
    // What was set would hold in this run only: not shown as set.
    if (const auto why = settings.empty() ? std::nullopt : keeping.notKept()) {
        tools::sayError("velmora analytics consent", "the consent given was not kept: " + *why);
        return 1;
    }
    printConsent(measurement::control::consentState(), json);
    uploadAsOnResignation();
    return 0;
}

// Says each event the engine could not store under the command's name;
// true when there was one.
bool reportNotStored(const std::string& command, const std::vector<measurement::control::EventWrite>& writes) {
    const auto failed = measurement::control::writesNotStored(writes);
    for (const auto& write : failed) {
        tools::sayError(command, "event " + write.name + " was not stored: " + *write.failure);
    }
    return !failed.empty();
}

int openLink(const std::string& url) {
    measurement::control::EventWriteRecorder writes;
    if (!velmora::configureMeasurementAnalytics()) {
        std::cerr << "velmora analytics open: the application could not be configured\n";
        return 1;
    }
    measurement::VEZArurerudo::handleOpenURL(url);
    if (!measurement::control::waitUntilLinksHandled(kStoreTimeoutSeconds)) {
        std::cerr << "velmora analytics open: the engine did not answer within " << kStoreTimeoutSeconds << " s\n";
        return 1;
    }
    // An engine without its database writes no event at all: none is
    // reported lost, and none was stored.
    const bool lost = reportDatabaseFailure("velmora analytics open") ||
                      reportNotStored("velmora analytics open", writes.writes());
    uploadAsOnResignation();
    return lost ? 1 : 0;
}

int identity(bool json) {
    if (!velmora::configureMeasurementAnalytics() || !waitUntilHandled()) {
        std::cerr << "velmora analytics identity: the engine did not start\n";
        return 1;
    }
    // The app instance ID that every process shares is kept there.
    if (reportDatabaseFailure("velmora analytics identity")) return 1;
    const auto fields = measurement::control::identity();
    if (!fields) {
        std::cerr << "velmora analytics identity: the engine has no identity\n";
        return 1;
    }
    if (json) {
        std::cout << platform::writeJSON(Value(*fields), true) << '\n';
    } else {
        for (const auto& [name, value] : *fields) {
            std::cout << name << ": " << (value.isNull() ? "(none)" : platform::writeJSON(value)) << '\n';
        }
    }
    uploadAsOnResignation();
    return 0;
}

// Why the file read as no database at all, when the damage says so: its
// schema's table, the whole of it, as a file that does not read as a
// database (a schema read only in part is damage to that table too, and the
// rest of the file was read).
std::optional<std::string> unreadableFile(const Value::Array& damage) {
    constexpr std::string_view kNoDatabase = "the file does not read as a database";
    for (const auto& stretch : damage) {
        if (!stretch.isDictionary()) continue;
        const auto& fields = stretch.asDictionary();
        auto field = [&](const char* key) { return fields.count(key) ? fields.at(key) : Value(); };
        if (field("table") == Value("sqlite_master") && field("after_rowid").isNull() &&
            field("before_rowid").isNull() && field("error").isString() &&
            field("error").asString().rfind(kNoDatabase, 0) == 0) {
            return field("error").asString();
        }
    }
    return std::nullopt;
}

// The dump's JSON exactly as writeJSON prints the whole document (its keys
// in order, two spaces a level), written list by list and entry by entry
// as they are read. JSON text holds no line break but between its tokens,
// so an entry printed alone is indented by prefixing each of its lines.
class DumpWriter {
public:
    explicit DumpWriter(std::ostream& out) : out_(out) {}

    void list(const std::string& key) {
        endList();
        out_ << (lists_++ == 0 ? "{\n" : ",\n") << kListIndent << platform::writeJSON(Value(key)) << ": [";
        entries_ = 0;
        listOpen_ = true;
    }

    void entry(const Value& entry) {
        // An output that failed takes nothing more: the entry is not made.
        if (!out_) return;
        std::string text = entries_++ == 0 ? "\n" : ",\n";
        text += kEntryIndent;
        for (const char c : platform::writeJSON(entry, true)) {
            text += c;
            if (c == '\n') text += kEntryIndent;
        }
        out_ << text;
    }

    void finish() {
        endList();
        out_ << (lists_ == 0 ? "{}" : "\n}") << '\n';
    }

private:
    static constexpr const char* kListIndent = "  ";
    static constexpr const char* kEntryIndent = "    ";

    void endList() {
        if (!std::exchange(listOpen_, false)) return;
        out_ << (entries_ == 0 ? "]" : std::string("\n") + kListIndent + "]");
    }

    std::ostream& out_;
    std::size_t lists_ = 0;
    std::size_t entries_ = 0;
    bool listOpen_ = false;
};

// "raw_events", "queue and user_attributes", "a, b and c".
std::string listedTables(const std::vector<std::string>& tables) {
    std::string text;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == tables.size() ? " and " : ", ") + tables[i];
    }
    return text;
}

int dump() {
    std::string error;
    DumpWriter writer(std::cout);
    // The damage comes first and is kept for the summary below.
    Value::Array damage;
    bool inDamage = false;
    std::vector<std::string> missing;
    const measurement::control::StoredDataSink sink{
        [&](const std::string& list) {
            inDamage = list == "damage";
            writer.list(list);
        },
        [&](const Value& entry) {
            if (inDamage) damage.push_back(entry);
            writer.entry(entry);
        },
        [&](const std::vector<std::string>& tables) { missing = tables; }};
    // What SQLite says of a damaged file may quote its bytes (a name in its
    // schema): printed escaped.
    if (!measurement::control::readStoredData(sink, &error)) {
        std::cout.flush();
        std::cerr << "velmora analytics dump: " << measurement::printable(error) << '\n';
        return 1;
    }
    writer.finish();
    // Not damage: the engine makes what its file lacks at its next start.
    if (!missing.empty()) {
        tools::sayError("velmora analytics dump", "the database holds no table " + listedTables(missing) +
                                                      " (read as holding no row); nothing was changed");
    }
    // Reported, never repaired: the next process that stores an event sets
    // the file aside and carries what still reads.
    if (const auto unread = damage.empty() ? std::nullopt : unreadableFile(damage)) {
        std::cerr << "velmora analytics dump: nothing could be read: " << measurement::printable(*unread)
                  << "; nothing was changed, and the next process that stores an event sets the file aside\n";
    } else if (!damage.empty()) {
        std::cerr << "velmora analytics dump: the database is damaged: " << damage.size()
                  << " stretch(es) of rows could not be read (listed under \"damage\"); the rest is printed, and "
                     "nothing was changed\n";
    }
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
void storeApplicationEvents(CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    static std::unique_ptr<measurement::control::EventWriteRecorder> writes;
    app.parse_complete_callback([&app, launch] {
        const CLI::App* application = nullptr;
        for (const auto* command : app.get_subcommands()) {
            if (kApplicationCommands.count(command->get_name()) > 0) application = command;
        }
        if (!application) return;
        // The command's own data-folder option, else the environment's.
        const std::string name = "velmora " + application->get_name();
        const auto* given = application->get_option_no_throw("--data");
        tools::useDataFolder(
            tools::requireDataFolder(name, given && given->count() > 0 ? given->as<std::string>() : "", launch));
        tools::requireBundle(name, launch);
        writes = std::make_unique<measurement::control::EventWriteRecorder>();
        velmora::configureMeasurementAnalytics();
    });
    app.final_callback([&status] {
        if (!writes) return;
        if (!platform::VEZApp::isDefaultAppConfigured()) {
            std::cerr << "velmora: the application could not be configured; no analytics event was stored\n";
        } else if (!waitUntilHandled()) {
            std::cerr << "velmora: the analytics events were not stored within " << kStoreTimeoutSeconds << " s\n";
        } else {
            for (const auto& write : writes->writes()) {
                if (!write.disabled) continue;
                tools::sayError("velmora", "event " + write.name + " was not stored: " + *write.failure);
            }
            // What the command did stands; it fails all the same when what
            // it logged was not stored.
            if (reportNotStored("velmora", writes->writes()) && status == 0) status = 1;
            uploadAsOnResignation();
        }
        writes.reset();
        endEngine();
        // After the engine has gone, its settings written.
        status = tools::reportGivenUpLockWaits("velmora calc", status, {tools::SharedFile::measurementDatabase});
        status = tools::reportUnkeptPreferences("velmora calc", status);
    });
}

// How `analytics log` types its parameters, for its help.
constexpr const char* kParameterHelp =
    "Parameters as key=value. A plain decimal number is stored as a number: an integer (7, -3) or a real (0.5); "
    "anything else (1e5, 0x10, abc) as text. A value in double quotes is text: 'code=\"42\"' stores the text 42. "
    "NaN, infinities and integers past 64 bits are refused";

const tools::CommandRegistration registration([](CLI::App& app, int& status, const platform::LaunchOptions& launch) {
    // Launch arguments such as "-VEZArurerudoDebugEnabled" (debug mode: the
    // shortest upload interval) reach the engine's monitor, which may have
    // been made before main() recorded them.
    measurement::control::reloadLaunchArguments();
    auto options = std::make_shared<Options>();
    // A subcommand's body, run in the data folder once its name and the
    // application bundle are checked; `holdingWork`, the shared files that
    // what it is asked to store goes to.
    auto inDataFolder = [options, launch, &status](const std::string& command,
                                                   std::vector<tools::SharedFile> holdingWork,
                                                   std::function<int()> body) {
        return [options, launch, &status, name = "velmora analytics " + command, holdingWork = std::move(holdingWork),
                body = std::move(body)] {
            tools::useDataFolder(tools::requireDataFolder(name, options->data, launch));
            tools::requireBundle(name, launch);
            status = body();
            endEngine();
            // After the engine has gone, its settings written.
            status = tools::reportGivenUpLockWaits(name, status, holdingWork);
            status = tools::reportUnkeptPreferences(name, status);
        };
    };
    // Events, the fetched configuration and the app instance ID that every
    // process on the folder shares are kept in the measurement database;
    // consent in the preferences.
    const std::vector<tools::SharedFile> measurementDatabase{tools::SharedFile::measurementDatabase};
    auto* analytics = app.add_subcommand("analytics", "Log events through the measurement engine and read its database");
    analytics->require_subcommand(1);
    const std::string dataHelp = "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)";
    const auto dataFolderGiven = tools::pathGiven("a folder (or leave the option out for the default)");
    analytics->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    // What every subcommand refuses, help asked for or not, after what its
    // own words check refuses: a data folder given to `analytics` and to it
    // as well (one would be dropped in silence), and a data folder, or for
    // those that run the engine a bundle, that cannot serve.
    auto checkedInFolder = [options, launch, analytics](const CLI::App* command, tools::DataFolderUse use,
                                                        tools::WordsCheck words) -> tools::WordsCheck {
        return [options, launch, analytics, command, use, words = std::move(words)]() -> std::optional<std::string> {
            if (auto why = words ? words() : std::nullopt) return why;
            const std::string name = "velmora analytics " + command->get_name();
            if (analytics->count("--data") > 0 && command->count("--data") > 0) {
                return "--data is given to velmora analytics and to " + name + ": give it once, to either";
            }
            tools::requireDataFolder(name, options->data, launch, use);
            if (use == tools::DataFolderUse::store) tools::requireBundle(name, launch);
            return std::nullopt;
        };
    };
    const auto stores = tools::DataFolderUse::store;

    auto* log = analytics->add_subcommand("log", "Log one event and return once it is stored");
    log->add_option("name", options->name, "Event name")->required();
    log->add_option("parameters", options->parameters, kParameterHelp);
    log->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(
        *log,
        checkedInFolder(log, stores,
                        [options] {
                            Value::Dictionary parameters;
                            return readParameters(options->parameters, parameters);
                        }),
        inDataFolder("log", measurementDatabase, [options] { return logOne(options->name, options->parameters); }));

    auto purchase = std::make_shared<PurchaseOptions>();
    auto* purchaseCommand = analytics->add_subcommand(
        "purchase", "Have the store report one purchased transaction and return once its event is stored");
    purchaseCommand->add_option("product", purchase->product, "Product identifier")->required();
    purchaseCommand
        ->add_option("--price", purchase->price,
                     std::string("Unit price as the store gives it: a non-negative decimal (\"0.99\") of at most six "
                                 "decimals; the price times the quantity at most ") + kLargestPurchaseValue)
        ->required();
    purchaseCommand->add_option("--quantity", purchase->quantity, "Quantity: a whole number, at least 1")
        ->transform(tools::wholeNumber(1, std::numeric_limits<std::int64_t>::max()))
        ->default_str("1");
    purchaseCommand->add_option("--currency", purchase->currency, "Currency code: three capital letters")
        ->check(currencyCode())
        ->default_str("USD");
    purchaseCommand->add_option("--transaction", purchase->transaction,
                                "Transaction identifier (default: a new one); one the engine has seen is dropped as "
                                "a duplicate");
    purchaseCommand->add_option("--original", purchase->original, "Original transaction identifier");
    purchaseCommand->add_option("--type", purchase->type, "0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable")
        ->transform(tools::wholeNumber(0, 3, "0 (non-consumable), 1 (consumable), 2 (non-renewing) or 3 (auto-renewable)"))
        ->default_str("1");
    purchaseCommand->add_flag("--receipt", purchase->receipt, "Write a receipt holding this purchase first");
    purchaseCommand->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(
        *purchaseCommand,
        checkedInFolder(purchaseCommand, stores,
                        [purchase, purchaseCommand] {
                            return purchaseRefusal(*purchase, purchaseCommand->count("product") > 0,
                                                   purchaseCommand->count("--price") > 0);
                        }),
        inDataFolder("purchase", measurementDatabase, [purchase] { return purchaseOne(*purchase); }));

    auto* dumpCommand = analytics->add_subcommand("dump", "Print stored raw events, queued bundles and user properties");
    dumpCommand->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(
        *dumpCommand, checkedInFolder(dumpCommand, tools::DataFolderUse::read, {}), [options, launch, &status] {
            const auto folder =
                tools::requireDataFolder("velmora analytics dump", options->data, launch, tools::DataFolderUse::read);
            // The dump only reads: a folder that is not there is not made.
            std::error_code ec;
            if (!std::filesystem::is_directory(folder, ec)) {
                tools::sayError("velmora analytics dump", "no data folder at " + tools::shownPath(folder));
                status = 1;
                return;
            }
            tools::useDataFolder(folder);
            status = dump();
        });

    auto* consentCommand = analytics->add_subcommand(
        "consent", "Set consent through the public interface and print the consent state the engine holds");
    consentCommand->add_option("settings", options->parameters, "Consent as TYPE=granted or TYPE=denied");
    consentCommand->add_flag("--json", options->json, "Print the state as JSON");
    consentCommand->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(
        *consentCommand,
        checkedInFolder(consentCommand, stores,
                        [options] {
                            Value::Dictionary settings;
                            return readConsent(options->parameters, settings);
                        }),
        inDataFolder("consent", {}, [options] { return consent(options->parameters, options->json); }));

    auto* openCommand = analytics->add_subcommand(
        "open", "Hand a link the application was opened with to the engine; return once its campaign event is stored");
    openCommand->add_option("url", options->name, "The link, an absolute URL such as bern://open?utm_source=mail")
        ->required();
    openCommand->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(
        *openCommand,
        checkedInFolder(openCommand, stores,
                        [options, openCommand]() -> std::optional<std::string> {
                            std::string why;
                            // Help may be asked for before the link is given.
                            if (openCommand->count("url") == 0 || platform::URL::parse(options->name, &why)) {
                                return std::nullopt;
                            }
                            return "\"" + options->name + "\" is no URL: " + why;
                        }),
        inDataFolder("open", measurementDatabase, [options] { return openLink(options->name); }));

    auto* identityCommand = analytics->add_subcommand("identity", "Print the identifiers the engine hands out now");
    identityCommand->add_flag("--json", options->json, "Print them as JSON");
    identityCommand->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(
        *identityCommand, checkedInFolder(identityCommand, stores, {}),
        inDataFolder("identity", measurementDatabase, [options] { return identity(options->json); }));

    auto* configCommand = analytics->add_subcommand(
        "config", "Fetch the measurement configuration from the service and print what the engine holds then");
    configCommand->add_option(kDataOption, options->data, dataHelp)->check(dataFolderGiven);
    tools::runCheckedWords(*configCommand, checkedInFolder(configCommand, stores, {}),
                           inDataFolder("config", measurementDatabase, [] {
                               return tools::refuseFetchWithoutNetwork("velmora analytics config") ? 1
                                                                                                   : fetchConfig();
                           }));
    storeApplicationEvents(app, status, launch);
});

}  // namespace
