// The in-app purchase reporter: completed purchases from the payment queue and from newer transaction records turned into "_iap", "_iapx", "_assr" and "_assc" events.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/product_cache.h"
#include "measurement/audience/purchase_item.h"
#include "measurement/foundation/parameter_value.h"
#include "platform/dispatch/queue.h"
#include "platform/frameworks/payment_queue/payment_queue.h"

namespace measurement {

struct APMPurchaseReporterOptions {
    std::shared_ptr<APMInAppPurchaseProductCache> productCache;
    // How an event is logged: the engine's internal-event entry.
    std::function<void(const std::string& origin, const std::string& name, const platform::Value::Dictionary& parameters)>
        logInternalEvent;
    // Where the store receipt is read from at each report.
    std::function<std::filesystem::path()> receiptPath;
};

// Every report runs on the reporter's own serial queue, one at a time, and
// reads the receipt afresh into a list of records of its own: a report
// never sees records another report added or left behind.
class APMInAppPurchaseTransactionReporter : public std::enable_shared_from_this<APMInAppPurchaseTransactionReporter> {
public:
    explicit APMInAppPurchaseTransactionReporter(APMPurchaseReporterOptions options);

    // The MD5 text of a purchased transaction's identifier; none (21014 to
    // 21017 logged) for no transaction, an identifier that is missing,
    // empty or only "0" and "-", and silently for other states.
    static std::optional<std::string> transactionFingerprint(const platform::PaymentTransaction* transaction);

    // The transactions that passed the engine's duplicate filter.
    void paymentQueueUpdatedFilteredTransactions(const std::vector<platform::PaymentTransaction>& transactions);
    // One newer transaction record. productType: 0 non-consumable, 1
    // consumable, 2 non-renewing, 3 auto-renewable.
    void reportTransaction(const std::string& productID, const std::string& transactionID,
                           const std::string& originalTransactionID,
                           const std::optional<std::string>& webOrderLineItemID, int productType, bool isFreeTrial,
                           bool isIntroductoryOffer, std::int64_t paymentQuantity,
                           const std::optional<double>& purchaseDate, const std::optional<double>& originalPurchaseDate,
                           const std::optional<double>& subscriptionExpirationDate,
                           const std::optional<double>& cancellationDate);

    // ---- on the report queue ----

    // Reports each transaction with the cached details of its product.
    void reportTransactionsFromArray(const std::vector<platform::PaymentTransaction>& transactions);
    // Builds and logs the event of one purchase against the records.
    void reportTransactionWithProduct(const std::optional<platform::StoreProduct>& product, std::int64_t paymentQuantity,
                                      const std::string& transactionIdentifier,
                                      const std::optional<std::string>& originalTransactionIdentifier,
                                      const std::optional<double>& transactionDate,
                                      const std::vector<APMInAppPurchaseItem>& purchaseItems);
    // The receipt's records now: empty when there is no receipt.
    std::vector<APMInAppPurchaseItem> parsePurchasedItemsFromReceipt() const;

    static std::optional<std::string> ia5StringFromDate(const std::optional<double>& date);
    const std::shared_ptr<platform::dispatch::Queue>& reportQueue() const { return reportQueue_; }

private:
    void reportRecord(APMInAppPurchaseItem record, std::int64_t quantity, std::optional<double> purchaseDate);

    APMPurchaseReporterOptions options_;
    std::shared_ptr<platform::dispatch::Queue> reportQueue_;
};

// The event name of a purchase's parameters ("_iap", "_iapx", "_assr",
// "_assc"), with the marks that chose it taken out.
std::string APMPurchaseEventName(APMParameters& parameters);

}  // namespace measurement
