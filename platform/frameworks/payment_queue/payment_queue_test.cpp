// Tests of the payment queue stand-in.
#include <doctest/doctest.h>

#include "platform/frameworks/payment_queue/payment_queue.h"

using namespace platform;

namespace {

struct Recorder : PaymentTransactionObserver {
    std::vector<std::vector<PaymentTransaction>> heard;
    void paymentQueueUpdatedTransactions(PaymentQueue&, const std::vector<PaymentTransaction>& transactions) override {
        heard.push_back(transactions);
    }
};

}  // namespace

TEST_CASE("the payment queue tells each live observer once per delivery and holds them weakly") {
    PaymentQueue queue;
    auto first = std::make_shared<Recorder>();
    auto second = std::make_shared<Recorder>();
    queue.addTransactionObserver(first);
    queue.addTransactionObserver(first);
    queue.addTransactionObserver(second);
    CHECK(queue.observerCount() == 2);

    PaymentTransaction bought;
    bought.transactionIdentifier = "1000";
    bought.transactionState = PaymentTransactionState::purchased;
    bought.payment = {"pro", 2};
    queue.deliverTransactions({bought});
    REQUIRE(first->heard.size() == 1);
    CHECK(first->heard[0][0].payment.quantity == 2);
    CHECK(second->heard.size() == 1);

    second.reset();
    CHECK(queue.observerCount() == 1);
    queue.removeTransactionObserver(first);
    queue.deliverTransactions({bought});
    CHECK(first->heard.size() == 1);
    CHECK(queue.deliveryCount() == 2);
}
