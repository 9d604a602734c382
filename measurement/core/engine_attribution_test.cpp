// Tests of the engine's purchase reporting, conditional user properties and search-ad reporter end to end.
#include <chrono>
#include <doctest/doctest.h>

#include <atomic>
#include <thread>

#include "measurement/audience/purchase_codes.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/connector.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "platform/frameworks/ad_services/aa_attribution.h"
#include "platform/frameworks/app_store_receipt/receipt_writer.h"
#include "platform/frameworks/payment_queue/payment_queue.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"

using namespace measurement;
using measurement::testing::EngineFixture;
using measurement::testing::intParameter;
using measurement::testing::stringParameter;

namespace {

constexpr double kBought = 1700000000;

std::vector<APMEvent> eventsNamed(EngineFixture& engine, const std::string& prefix) {
    std::vector<APMEvent> events;
    for (const auto& raw : engine.rawEvents()) {
        if (raw.event().name().rfind(prefix, 0) == 0) events.push_back(raw.event());
    }
    return events;
}

platform::PaymentTransaction purchased(const std::string& product, const std::string& id, std::int64_t quantity) {
    platform::PaymentTransaction transaction;
    transaction.transactionIdentifier = id;
    transaction.transactionState = platform::PaymentTransactionState::purchased;
    transaction.payment = {product, quantity};
    transaction.transactionDate = kBought;
    return transaction;
}

struct Store {
    Store() {
        auto& catalogue = platform::ProductCatalogue::shared();
        catalogue.reset();
        for (const auto& [id, price] : std::vector<std::pair<std::string, std::string>>{{"coins", "0.99"}, {"gems", "2.49"}}) {
            platform::StoreProduct product;
            product.productIdentifier = id;
            product.price = price;
            product.currencyCode = "EUR";
            product.localizedTitle = id;
            catalogue.setProduct(product);
        }
        platform::Receipt receipt;
        platform::ReceiptPurchase coins;
        coins.productID = "coins";
        coins.transactionID = coins.originalTransactionID = "c1";
        coins.purchaseDate = kBought;
        coins.productType = 1;
        receipt.purchases.push_back(coins);
        REQUIRE(platform::ReceiptWriter::write(receipt));
    }
    ~Store() {
        platform::ProductCatalogue::shared().reset();
        platform::PaymentQueue::defaultQueue().reset();
    }
};

// Whether the search-ad reporter's try failed: the refusal arrives on the
// network's thread, then hops to the worker queue, so the engine is settled
// until the failure is logged (twenty seconds at most).
bool searchAdTryFailed(EngineFixture& engine) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!engine.monitor().hasCode(kAPMSearchAdRequestFailedCode) && std::chrono::steady_clock::now() < giveUp) {
        engine.settle();
        std::this_thread::yield();
    }
    return engine.monitor().hasCode(kAPMSearchAdRequestFailedCode);
}

}  // namespace

TEST_CASE("purchases the payment queue reports are stored as events once; duplicates are dropped") {
    EngineFixture engine;
    Store store;
    engine.configure();
    auto failed = purchased("coins", "c0", 1);
    failed.transactionState = platform::PaymentTransactionState::failed;
    platform::PaymentQueue::defaultQueue().deliverTransactions(
        {purchased("coins", "c1", 3), purchased("gems", "0000-0000", 1), failed});
    engine.settle();
    auto events = eventsNamed(engine, "_iap");
    REQUIRE(events.size() == 2);
    CHECK(events[0].name() == "_iap");
    CHECK(events[0].origin() == "auto");
    CHECK(intParameter(events[0], "price") == 990000);
    CHECK(intParameter(events[0], "value") == 2970000);
    CHECK(stringParameter(events[0], "currency") == "EUR");
    // Not in the receipt: reported, as not counting.
    CHECK(events[1].name() == "_iapx");
    CHECK(stringParameter(events[1], "product_id") == "gems");
    CHECK(engine.monitor().hasCode(kAPMPurchaseEmptyFingerprintCode));

    platform::PaymentQueue::defaultQueue().deliverTransactions({purchased("coins", "c1", 3)});
    engine.settle();
    CHECK(eventsNamed(engine, "_iap").size() == 2);
    CHECK(engine.monitor().hasCode(kAPMPurchaseDuplicateCode));

    SUBCASE("the duplicate table survives a restart") {
        engine.restart();
        Store again;
        engine.configure();
        platform::PaymentQueue::defaultQueue().deliverTransactions({purchased("coins", "c1", 3)});
        engine.settle();
        CHECK(eventsNamed(engine, "_iap").size() == 2);
    }
    SUBCASE("a newer transaction record is reported through the public interface") {
        platform::StoreTransaction record;
        record.productID = "coins";
        record.id = record.originalID = "c1";
        record.productType = platform::StoreProductType::consumable;
        record.purchasedQuantity = 2;
        record.purchaseDate = kBought + 0.25;
        VEZArurerudo::logTransaction(record);
        engine.settle();
        events = eventsNamed(engine, "_iap");
        REQUIRE(events.size() == 3);
        CHECK(events[2].name() == "_iap");
        CHECK(intParameter(events[2], "value") == 1980000);
    }
    SUBCASE("nothing is reported while collection is off") {
        VEZArurerudo::setAnalyticsCollectionEnabled(false);
        engine.settle();
        platform::PaymentQueue::defaultQueue().deliverTransactions({purchased("gems", "g2", 1)});
        engine.settle();
        VEZArurerudo::setAnalyticsCollectionEnabled(true);
        engine.settle();
        CHECK(eventsNamed(engine, "_iap").size() == 2);
    }
}

TEST_CASE("conditional user properties through the connector: set, triggered by a logged event, queried, cleared") {
    EngineFixture engine;
    engine.configure();
    VEZArurerudoConnector::setConditionalUserProperty({});
    VEZArurerudoConnector::setConditionalUserProperty(
        {{"name", "plan"},
         {"origin", "partner"},
         {"value", "gold"},
         {"triggerEventName", "kuvo_calculate"},
         {"triggerTimeout", 60},
         {"timeToLive", 3600},
         {"active", true},
         {"triggeredEvent", platform::Value::Dictionary{{"name", "plan_on"},
                                                        {"parameters", platform::Value::Dictionary{{"k", "v"}}}}}});
    engine.settle();
    CHECK(eventsNamed(engine, "plan").empty());

    VEZArurerudo::logEventWithName("kuvo_calculate");
    engine.settle();
    const auto names = engine.rawEventNames();
    REQUIRE(names.size() >= 2);
    CHECK(std::vector<std::string>(names.end() - 2, names.end()) == std::vector<std::string>{"kuvo_calculate", "plan_on"});
    const auto triggered = eventsNamed(engine, "plan_on");
    CHECK(triggered[0].origin() == "partner");
    CHECK(stringParameter(triggered[0], "k") == "v");
    const auto hasPlan = [&] {
        for (const auto& attribute : engine.userAttributes()) {
            if (attribute.name() == "plan") return attribute.value() == APMValue("gold");
        }
        return false;
    };
    CHECK(hasPlan());

    // The query waits for the worker queue, which this thread runs.
    std::atomic<bool> done{false};
    std::vector<platform::Value::Dictionary> listed;
    std::thread caller([&] {
        listed = VEZArurerudoConnector::conditionalUserProperties("partner", "pl");
        done = true;
    });
    while (!done) {
        engine.settle();
        std::this_thread::yield();
    }
    caller.join();
    CHECK(listed == std::vector<platform::Value::Dictionary>{{{"name", "plan"}, {"value", "gold"}}});

    VEZArurerudoConnector::clearConditionalUserProperty("plan", "partner", "plan_cleared", {{{"reason", "x"}}});
    engine.settle();
    const auto cleared = eventsNamed(engine, "plan_cleared");
    REQUIRE(cleared.size() == 1);
    CHECK(stringParameter(cleared[0], "reason") == "x");
    CHECK_FALSE(hasPlan());
}

TEST_CASE("the engine's search-ad reporter tries at start and follows the collection switch") {
    EngineFixture engine;
    platform::AAAttribution::reset();
    // A service that refuses every connection: the try fails and the next is a day on.
    platform::AAAttribution::setServiceBaseURL("http://127.0.0.1:1");
    engine.configure();
    auto reporter = APMMeasurement::sharedInstance()->searchAdReporter();
    REQUIRE(reporter);
    CHECK(searchAdTryFailed(engine));
    CHECK(platform::AAAttribution::tokenRequestCount() == 1);
    CHECK(reporter->scheduledTimestamp() == engine.time().now() + 86400);

    VEZArurerudo::setAnalyticsCollectionEnabled(false);
    engine.settle();
    engine.time().advance(2 * 86400);
    CHECK(platform::AAAttribution::tokenRequestCount() == 1);
    platform::AAAttribution::reset();
}

TEST_CASE("the engine's search-ad reporter starts enabled and tries even when collection was left off") {
    EngineFixture engine;
    platform::AAAttribution::reset();
    engine.configure();
    VEZArurerudo::setAnalyticsCollectionEnabled(false);
    engine.settle();
    engine.restart();
    platform::AAAttribution::setServiceBaseURL("http://127.0.0.1:1");
    engine.configure();
    REQUIRE_FALSE(APMMeasurement::sharedInstance()->isEnabled());
    auto reporter = APMMeasurement::sharedInstance()->searchAdReporter();
    REQUIRE(reporter);
    CHECK(reporter->isSearchAdReporterEnabled());
    CHECK(searchAdTryFailed(engine));
    CHECK(platform::AAAttribution::tokenRequestCount() == 1);
    platform::AAAttribution::reset();
}

TEST_CASE("without an attribution service the search-ad reporter stays idle and keeps its tries") {
    EngineFixture engine;
    platform::AAAttribution::reset();
    // More launches, a day apart, than the installation has tries.
    for (int launch = 0; launch < 12; ++launch) {
        engine.configure();
        engine.time().advance(86400);
        engine.settle();
        if (launch == 11) break;
        engine.restart();
    }
    CHECK(platform::AAAttribution::tokenRequestCount() == 0);
    CHECK_FALSE(engine.monitor().hasCode(kAPMSearchAdRequestFailedCode));
    CHECK(engine.monitor().hasCode(kAPMSearchAdFrameworkMissingCode));
    CHECK(APMMeasurement::sharedInstance()->persistedConfig()->searchAdRetryCount() == 0);
}
