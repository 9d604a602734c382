// The purchase reporter's two paths, each report on its own serial queue with its own records.
#include "measurement/audience/purchase_reporter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "measurement/audience/purchase_codes.h"
#include "measurement/audience/purchase_parameters.h"
#include "measurement/audience/receipt_reader.h"
#include "measurement/foundation/hashing.h"
#include "measurement/foundation/monitor.h"
#include "platform/foundation/bundle.h"

namespace measurement {

namespace {

void logEntry(int level, long code, const std::string& message, const platform::Value& context) {
    APMMonitor::shared().logWithLevel(level, code, message, context);
}

bool onlyZeroesAndDashes(const std::string& text) { return text.find_first_not_of("0-") == std::string::npos; }

bool takeFlag(APMParameters& parameters, const char* name) {
    const auto found = parameters.find(name);
    if (found == parameters.end() || !found->second.isInt64() || found->second.int64Value() != 1) return false;
    parameters.erase(found);
    return true;
}

// Whole seconds: receipt dates carry no fraction, and a purchase is found
// in the receipt by its date.
std::optional<double> wholeSeconds(const std::optional<double>& date) {
    if (!date) return std::nullopt;
    return APMIAPDateFromString(APMIAPDateString(*date));
}

std::optional<std::uint64_t> lineItemNumber(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->find_first_not_of("0123456789") != std::string::npos || text->size() > 20) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text->c_str(), nullptr, 10);
    if (errno != 0 || value == 0) return std::nullopt;
    return value;
}

}  // namespace

APMInAppPurchaseTransactionReporter::APMInAppPurchaseTransactionReporter(APMPurchaseReporterOptions options)
    : options_(std::move(options)),
      reportQueue_(platform::dispatch::makeSerialQueue("APMInAppPurchaseTransactionReporter")) {}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const platform::PaymentTransaction* transaction) {
    if (!transaction) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMPurchaseNilTransactionCode, "Transaction is nil");
        return std::nullopt;
    }
    if (transaction->transactionState != platform::PaymentTransactionState::purchased) return std::nullopt;
    const platform::Value code(static_cast<long long>(transaction->errorCode));
    const auto& identifier = transaction->transactionIdentifier;
    if (!identifier) {
        logEntry(kAPMMonitorLevelSilentError, kAPMPurchaseNilIdentifierCode, "Transaction identifier is nil. Code", code);
        return std::nullopt;
    }
    if (identifier->empty()) {
        logEntry(kAPMMonitorLevelSilentError, kAPMPurchaseEmptyIdentifierCode, "Transaction identifier is empty. Code", code);
        return std::nullopt;
    }
    if (onlyZeroesAndDashes(*identifier)) {
        logEntry(kAPMMonitorLevelSilentError, kAPMPurchaseZeroIdentifierCode, "Transaction identifier is only zeroes. Code",
                 code);
        return std::nullopt;
    }
    return apm_MD5String(*identifier);
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::ia5StringFromDate(const std::optional<double>& date) {
    if (!date) return std::nullopt;
    return APMIAPDateString(*date);
}

std::vector<APMInAppPurchaseItem> APMInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() const {
    if (!options_.receiptPath) return {};
    const auto text = platform::readFile(options_.receiptPath());
    if (!text || text->empty()) return {};
    auto items = APMReadReceiptPurchaseItems(APMReceiptBytes(text->begin(), text->end()));
    logEntry(kAPMMonitorLevelDebug, kAPMPurchaseReceiptParsedCode, "Parsed purchase items from receipt",
             platform::Value(static_cast<long long>(items ? items->size() : 0)));
    return items ? std::move(*items) : std::vector<APMInAppPurchaseItem>{};
}

// ---- The payment-queue path -------------------------------------------------------------

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::vector<platform::PaymentTransaction>& transactions) {
    std::vector<platform::PaymentTransaction> kept;
    std::set<std::string> uncached;
    for (const auto& transaction : transactions) {
        if (transaction.transactionState != platform::PaymentTransactionState::purchased) continue;
        const auto& productID = transaction.payment.productIdentifier;
        if (productID.empty()) continue;
        kept.push_back(transaction);
        if (!options_.productCache->cachedProductForProductIdentifier(productID)) uncached.insert(productID);
    }
    if (kept.empty()) return;
    std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
    if (uncached.empty()) {
        reportQueue_->async([weak, kept] {
            if (auto reporter = weak.lock()) reporter->reportTransactionsFromArray(kept);
        });
        return;
    }
    options_.productCache->requestProductsWithProductIdentifiers(
        uncached, reportQueue_, [weak, kept](const auto& products, const auto&, const auto& error) {
            auto reporter = weak.lock();
            if (!reporter) return;
            if (error && products.empty()) {
                logEntry(kAPMMonitorLevelError, kAPMPurchaseProductRequestFailedCode,
                         "Cannot request product information. Error", error->asContext());
                return;
            }
            reporter->reportTransactionsFromArray(kept);
        });
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<platform::PaymentTransaction>& transactions) {
    const auto items = parsePurchasedItemsFromReceipt();
    for (const auto& transaction : transactions) {
        const auto product = options_.productCache->cachedProductForProductIdentifier(transaction.payment.productIdentifier);
        std::optional<std::string> original;
        if (transaction.originalTransaction) original = transaction.originalTransaction->transactionIdentifier;
        reportTransactionWithProduct(product, transaction.payment.quantity,
                                     transaction.transactionIdentifier.value_or(""), original,
                                     wholeSeconds(transaction.transactionDate), items);
    }
}

// ---- The newer-record path ----------------------------------------------------------------

void APMInAppPurchaseTransactionReporter::reportTransaction(
    const std::string& productID, const std::string& transactionID, const std::string& originalTransactionID,
    const std::optional<std::string>& webOrderLineItemID, int productType, bool isFreeTrial, bool isIntroductoryOffer,
    std::int64_t paymentQuantity, const std::optional<double>& purchaseDate,
    const std::optional<double>& originalPurchaseDate, const std::optional<double>& subscriptionExpirationDate,
    const std::optional<double>& cancellationDate) {
    APMInAppPurchaseItem record;
    record.freeTrial = isFreeTrial;
    record.introductoryOffer = isIntroductoryOffer;
    record.subscriptionExpirationDateIA5String = ia5StringFromDate(subscriptionExpirationDate);
    record.originalPurchaseDateIA5String = ia5StringFromDate(originalPurchaseDate);
    record.purchaseDateIA5String = ia5StringFromDate(purchaseDate);
    record.cancellationDateIA5String = ia5StringFromDate(cancellationDate);
    record.productID = productID;
    record.originalTransactionID = originalTransactionID;
    record.transactionID = transactionID;
    record.webOrderLineItemID = lineItemNumber(webOrderLineItemID);
    record.purchaseType = productType;
    std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
    reportQueue_->async([weak, record, paymentQuantity, purchaseDate] {
        if (auto reporter = weak.lock()) reporter->reportRecord(record, paymentQuantity, purchaseDate);
    });
}

void APMInAppPurchaseTransactionReporter::reportRecord(APMInAppPurchaseItem record, std::int64_t quantity,
                                                       std::optional<double> purchaseDate) {
    auto items = parsePurchasedItemsFromReceipt();
    const bool inReceipt = std::any_of(items.begin(), items.end(), [&](const APMInAppPurchaseItem& item) {
        return item.transactionID == record.transactionID;
    });
    if (!inReceipt) items.insert(items.begin(), record);
    const auto date = wholeSeconds(purchaseDate);
    const std::string productID = record.productID.value_or("");
    const std::string transactionID = record.transactionID.value_or("");
    const auto original = record.originalTransactionID;
    if (auto product = options_.productCache->cachedProductForProductIdentifier(productID)) {
        reportTransactionWithProduct(product, quantity, transactionID, original, date, items);
        return;
    }
    std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
    options_.productCache->requestProductsWithProductIdentifiers(
        {productID}, reportQueue_,
        [weak, quantity, transactionID, original, date, items](const auto& products, const auto&, const auto& error) {
            auto reporter = weak.lock();
            if (!reporter) return;
            if (products.empty()) {
                logEntry(kAPMMonitorLevelError, kAPMPurchaseProductRequestFailedCode,
                         "Cannot request product information. Error",
                         error ? error->asContext() : platform::Value("no product"));
                return;
            }
            reporter->reportTransactionWithProduct(products.begin()->second, quantity, transactionID, original, date,
                                                   items);
        });
}

// ---- One purchase ---------------------------------------------------------------------------

void APMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const std::optional<platform::StoreProduct>& product, std::int64_t paymentQuantity,
    const std::string& transactionIdentifier, const std::optional<std::string>& originalTransactionIdentifier,
    const std::optional<double>& transactionDate, const std::vector<APMInAppPurchaseItem>& purchaseItems) {
    auto parameters = APMBuildPurchaseEventParameters(product, paymentQuantity, transactionIdentifier,
                                                      originalTransactionIdentifier, transactionDate, purchaseItems);
    if (!parameters) return;
    const std::string name = APMPurchaseEventName(*parameters);
    if (options_.logInternalEvent) options_.logInternalEvent("auto", name, APMObjectsFromParameters(*parameters));
}

std::string APMPurchaseEventName(APMParameters& parameters) {
    std::string name = takeFlag(parameters, "invalid") ? "_iapx" : "_iap";
    if (takeFlag(parameters, "sub_renew")) name = "_assr";
    if (takeFlag(parameters, "sub_convert")) name = "_assc";
    return name;
}

}  // namespace measurement
