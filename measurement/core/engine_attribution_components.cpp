// The engine's conditional user properties, search-ad reporter and purchase reporter, and the adapters through which they reach the engine.
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "platform/frameworks/ad_services/aa_attribution.h"
#include "platform/frameworks/app_store_receipt/receipt_writer.h"

namespace measurement {

namespace {

// The engine as its conditional user properties see it. It does not keep
// the engine alive: once the engine has gone, nothing is scheduled and
// there is no database.
class EngineConditionalPropertyHost : public APMConditionalUserPropertyHost {
public:
    explicit EngineConditionalPropertyHost(std::weak_ptr<APMMeasurement> engine) : engine_(std::move(engine)) {}

    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override {
        if (auto engine = engine_.lock()) engine->scheduleOnWorkerQueue(blockID, std::move(block));
    }
    bool isOnWorkerQueue() const override {
        auto engine = engine_.lock();
        return engine && engine->scheduler().workerQueue()->isCurrent();
    }
    APMDatabase* database() override {
        auto engine = engine_.lock();
        return engine ? engine->database() : nullptr;
    }
    bool isAnalyticsEnabled() const override {
        auto engine = engine_.lock();
        return engine && engine->isEnabled();
    }
    void writeEventOnWorkerQueue(const APMEvent& event) override {
        if (auto engine = engine_.lock()) engine->writeEventOnWorkerQueue(event);
    }
    void writeFilteredEventOnWorkerQueue(const APMEvent& event) override {
        if (auto engine = engine_.lock()) engine->writeFilteredEventOnWorkerQueue(event);
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
};

// The facade's observer of the payment queue.
class PaymentQueueForwarder : public platform::PaymentTransactionObserver {
public:
    void paymentQueueUpdatedTransactions(platform::PaymentQueue&,
                                         const std::vector<platform::PaymentTransaction>& transactions) override {
        APMAnalytics::paymentQueueUpdatedTransactions(transactions);
    }
};

void logInternalEvent(const std::string& origin, const std::string& name, const platform::Value::Dictionary& parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

}  // namespace

std::shared_ptr<APMConditionalUserPropertyController> APMMeasurement::conditionalUserPropertyController() {
    std::lock_guard lock(componentsMutex_);
    if (!conditionalUserPropertyController_) {
        conditionalUserPropertyController_ = std::make_shared<APMConditionalUserPropertyController>(
            std::make_shared<EngineConditionalPropertyHost>(weak_from_this()));
    }
    return conditionalUserPropertyController_;
}

std::shared_ptr<APMInAppPurchaseProductCache> APMMeasurement::productCache() {
    std::lock_guard lock(componentsMutex_);
    if (!productCache_) productCache_ = std::make_shared<APMInAppPurchaseProductCache>();
    return productCache_;
}

std::shared_ptr<APMInAppPurchaseTransactionReporter> APMMeasurement::purchaseReporter() {
    auto cache = productCache();
    std::lock_guard lock(componentsMutex_);
    if (!purchaseReporter_) {
        APMPurchaseReporterOptions options;
        options.productCache = std::move(cache);
        options.logInternalEvent = logInternalEvent;
        options.receiptPath = [] { return platform::appStoreReceiptPath(); };
        purchaseReporter_ = std::make_shared<APMInAppPurchaseTransactionReporter>(std::move(options));
    }
    return purchaseReporter_;
}

// The reporter starts enabled whatever the collection switch says: its one
// try at start belongs to the launch, and only a later switch of collection
// turns it off or on again.
void APMMeasurement::makeSearchAdReporter() {
    if (searchAdReporter_) return;
    APMSearchAdReporterOptions options;
    // The platform's service, not the measurement service: its address is
    // the attribution framework's.
    options.serviceBaseURL = platform::AAAttribution::serviceBaseURL();
    options.transport = APMMakeSearchAdNetworkTransport(
        std::make_shared<platform::RULNetwork>(options.serviceBaseURL.value_or("attribution.invalid")));
    options.logInternalEvent = logInternalEvent;
    searchAdReporter_ = APMSearchAdReporter::make(scheduler_->workerQueue(), persistedConfig_, std::move(options));
    if (!searchAdReporter_) return;
    searchAdReporter_->setSearchAdReporterEnabled(true);
    searchAdReporter_->start();
}

void APMMeasurement::observePaymentQueue() {
    if (paymentObserver_) return;
    paymentObserver_ = std::make_shared<PaymentQueueForwarder>();
    platform::PaymentQueue::defaultQueue().addTransactionObserver(paymentObserver_);
}

}  // namespace measurement
