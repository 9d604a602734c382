// The payment queue's observers and deliveries.
#include "platform/frameworks/payment_queue/payment_queue.h"

#include <algorithm>

namespace platform {

PaymentQueue& PaymentQueue::defaultQueue() {
    // Never destroyed: process-wide observers (the measurement engine's
    // shared instance) leave it from their own destructors at exit, which may
    // run after a function-local static would have gone.
    static auto* const queue = new PaymentQueue;
    return *queue;
}

void PaymentQueue::addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer) {
    if (!observer) return;
    std::lock_guard lock(mutex_);
    for (const auto& held : observers_) {
        if (held.lock() == observer) return;
    }
    observers_.push_back(observer);
}

void PaymentQueue::removeTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [&](const auto& held) {
        auto live = held.lock();
        return !live || live == observer;
    });
}

std::size_t PaymentQueue::observerCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(observers_.begin(), observers_.end(), [](const auto& held) { return !held.expired(); }));
}

// The observers are called outside the lock, so that one may add or remove
// observers while it is told.
void PaymentQueue::deliverTransactions(const std::vector<PaymentTransaction>& transactions) {
    std::vector<std::shared_ptr<PaymentTransactionObserver>> live;
    {
        std::lock_guard lock(mutex_);
        ++deliveries_;
        for (const auto& held : observers_) {
            if (auto observer = held.lock()) live.push_back(std::move(observer));
        }
    }
    for (const auto& observer : live) observer->paymentQueueUpdatedTransactions(*this, transactions);
}

std::size_t PaymentQueue::deliveryCount() const {
    std::lock_guard lock(mutex_);
    return deliveries_;
}

void PaymentQueue::reset() {
    std::lock_guard lock(mutex_);
    observers_.clear();
    deliveries_ = 0;
}

}  // namespace platform
