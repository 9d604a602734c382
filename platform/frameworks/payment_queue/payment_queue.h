// The store's payment queue: purchase transactions handed to the observers the process registered, and the newer transaction records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class PaymentTransactionState : int {
    purchasing = 0,
    purchased = 1,
    failed = 2,
    restored = 3,
    deferred = 4,
};

struct Payment {
    std::string productIdentifier;
    std::int64_t quantity = 1;
};

// One transaction as the payment queue reports it. The original
// transaction is there for restores and renewals.
struct PaymentTransaction {
    std::optional<std::string> transactionIdentifier;
    PaymentTransactionState transactionState = PaymentTransactionState::purchasing;
    Payment payment;
    // Seconds since 1970.
    std::optional<double> transactionDate;
    std::shared_ptr<const PaymentTransaction> originalTransaction;
    // The store's error code of a failed transaction; 0 otherwise.
    long errorCode = 0;
};

class PaymentQueue;

class PaymentTransactionObserver {
public:
    virtual ~PaymentTransactionObserver() = default;
    virtual void paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                                 const std::vector<PaymentTransaction>& transactions) = 0;
};

// The default payment queue. Off the platform no one pays: the store's side
// is `deliverTransactions`, which tests and tools call with what the store
// would report, and which every observer hears synchronously on the calling
// thread (the platform calls on the main thread; callers here choose).
// Observers are held weakly. Safe to use from any thread.
class PaymentQueue {
public:
    static PaymentQueue& defaultQueue();

    void addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer);
    void removeTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer);
    std::size_t observerCount() const;

    void deliverTransactions(const std::vector<PaymentTransaction>& transactions);
    // Batches delivered so far.
    std::size_t deliveryCount() const;
    // No observers, count 0.
    void reset();

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<PaymentTransactionObserver>> observers_;
    std::size_t deliveries_ = 0;
};

// The product types of the newer transaction records.
enum class StoreProductType {
    consumable,
    nonConsumable,
    nonRenewable,
    autoRenewable,
    // A type this process does not know.
    other,
};

// A transaction record of the newer purchase interface, which the
// application hands to the analytics interface itself.
struct StoreTransaction {
    std::string productID;
    std::string id;
    std::string originalID;
    std::optional<std::string> webOrderLineItemID;
    StoreProductType productType = StoreProductType::consumable;
    bool isFreeTrial = false;
    bool isIntroductoryOffer = false;
    std::int64_t purchasedQuantity = 1;
    // Seconds since 1970.
    std::optional<double> purchaseDate;
    std::optional<double> originalPurchaseDate;
    std::optional<double> expirationDate;
    std::optional<double> revocationDate;
};

}  // namespace platform
