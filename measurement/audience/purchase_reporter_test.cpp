// Tests of the purchase reporter: a table of purchases with the events each gives.
#include <doctest/doctest.h>

#include "measurement/audience/purchase_codes.h"
#include "measurement/audience/purchase_parameters.h"
#include "measurement/audience/purchase_reporter.h"
#include "measurement/audience/purchase_test_support.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/json_codec.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using namespace measurement::purchase_test;
using Dictionary = platform::Value::Dictionary;

namespace {

struct Logged {
    std::string origin;
    std::string name;
    Dictionary parameters;
};

struct Fixture {
    Fixture() {
        auto& catalogue = platform::ProductCatalogue::shared();
        catalogue.reset();
        catalogue.setProduct(product("coins", "0.99", "Coins"));
        catalogue.setProduct(product("pro", "4.99", "Pro"));
        catalogue.setProduct(product("monthly", "2.99", "Monthly", platform::ProductDiscount{"0.49"}));
        catalogue.setProduct(product("weekly", "1.99", "Weekly",
                                     platform::ProductDiscount{"0", platform::ProductDiscountPaymentMode::freeTrial}));
        APMPurchaseReporterOptions options;
        options.productCache = cache;
        options.receiptPath = [this] { return receiptPath(); };
        options.logInternalEvent = [this](const std::string& origin, const std::string& name, const Dictionary& p) {
            logged.push_back({origin, name, p});
        };
        reporter = std::make_shared<APMInAppPurchaseTransactionReporter>(options);
    }
    ~Fixture() {
        time.settle();
        platform::ProductCatalogue::shared().reset();
    }
    std::filesystem::path receiptPath() const { return dir.path() / "Store" / "receipt"; }
    void writeReceipt(const std::vector<Bought>& purchases) {
        REQUIRE(platform::ReceiptWriter::writeBytes(receiptBytes(purchases), receiptPath()));
    }

    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    std::shared_ptr<APMInAppPurchaseProductCache> cache = std::make_shared<APMInAppPurchaseProductCache>();
    std::shared_ptr<APMInAppPurchaseTransactionReporter> reporter;
    std::vector<Logged> logged;
    APMMonitorCapture capture;
};

platform::PaymentTransaction purchased(const std::string& product, const std::string& id,
                                       const std::optional<std::string>& original, double date, std::int64_t quantity = 1) {
    platform::PaymentTransaction transaction;
    transaction.transactionIdentifier = id;
    transaction.transactionState = platform::PaymentTransactionState::purchased;
    transaction.payment = {product, quantity};
    // The platform's dates have fractions; the receipt's do not.
    transaction.transactionDate = date + 0.375;
    if (original) {
        auto first = std::make_shared<platform::PaymentTransaction>();
        first->transactionIdentifier = original;
        transaction.originalTransaction = first;
    }
    return transaction;
}

Dictionary base(const std::string& id, const std::string& title, long long price, long long quantity) {
    return {{"product_id", id},      {"price", price * 10000}, {"value", price * 10000 * quantity},
            {"quantity", quantity},  {"currency", "USD"},      {"product_name", title}};
}

Dictionary with(Dictionary parameters, const Dictionary& more) {
    for (const auto& [key, value] : more) parameters.insert_or_assign(key, value);
    return parameters;
}

long long did(const std::string& original, std::optional<std::uint64_t> lineItem, const std::string& product) {
    return APMPurchaseDedupID(original, lineItem, product);
}

}  // namespace

TEST_CASE("purchases and the events they give") {
    struct Case {
        const char* label;
        std::optional<std::vector<Bought>> receipt;  // none: no receipt on the device
        std::function<void(APMInAppPurchaseTransactionReporter&)> report;
        std::string event;
        Dictionary parameters;
    };
    const std::vector<Case> cases = {
        {"first consumable, 0.99 x 3", std::vector<Bought>{{"coins", "c1", "c1", kDay1, 1}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("coins", "c1", std::nullopt, kDay1, 3)}); },
         "_iap", with(base("coins", "Coins", 99, 3), {{"_did", did("c1", std::nullopt, "coins")}})},
        {"repeat consumable", std::vector<Bought>{{"coins", "c1", "c1", kDay1, 1}, {"coins", "c2", "c2", kDay2, 1}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("coins", "c2", std::nullopt, kDay2)}); },
         "_iap", with(base("coins", "Coins", 99, 1), {{"_did", did("c2", std::nullopt, "coins")}})},
        {"consumable whose receipt shows only an earlier purchase", std::vector<Bought>{{"coins", "c1", "c1", kDay1, 1}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("coins", "c2", std::nullopt, kDay2)}); },
         "_iap", base("coins", "Coins", 99, 1)},
        {"non-consumable repurchase", std::vector<Bought>{{"pro", "p2", "p1", kDay2, 0}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("pro", "p2", "p1", kDay2)}); }, "_iapx",
         base("pro", "Pro", 499, 1)},
        {"free trial through a transaction record, no receipt", std::nullopt,
         [](auto& r) {
             r.reportTransaction("weekly", "w1", "w1", "1000000001", 3, true, false, 1, kDay1 + 0.5, kDay1,
                                 kDay1 + 7 * 86400, std::nullopt);
         },
         "_iap",
         with(base("weekly", "Weekly", 199, 1),
              {{"price", 0}, {"value", 0}, {"original_price", 1990000}, {"subscription", 1}, {"free_trial", 1},
               {"price_is_discounted", 1}, {"_did", did("w1", 1000000001, "weekly")}})},
        {"conversion after a free trial",
         std::vector<Bought>{{"weekly", "w1", "w1", kDay1, 3, 1000000001, true},
                             {"weekly", "w2", "w1", kDay2, 3, 1000000002}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("weekly", "w2", "w1", kDay2)}); }, "_assc",
         with(base("weekly", "Weekly", 199, 1), {{"_did", did("w1", 1000000002, "weekly")}})},
        {"renewal after a paid period",
         std::vector<Bought>{{"monthly", "m1", "m1", kDay1, 3, 500}, {"monthly", "m2", "m1", kDay2, 3, 501}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("monthly", "m2", "m1", kDay2)}); }, "_assr",
         with(base("monthly", "Monthly", 299, 1), {{"_did", did("m1", 501, "monthly")}})},
        {"introductory price, quantity 2", std::vector<Bought>{{"monthly", "m1", "m1", kDay1, 3, 700, false, true}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("monthly", "m1", std::nullopt, kDay1, 2)}); },
         "_iap",
         with(base("monthly", "Monthly", 299, 2),
              {{"price", 490000}, {"value", 980000}, {"original_price", 2990000}, {"subscription", 1},
               {"price_is_discounted", 1}, {"_did", did("m1", 700, "monthly")}})},
        {"missing receipt", std::nullopt,
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("coins", "c9", std::nullopt, kDay1)}); },
         "_iapx", base("coins", "Coins", 99, 1)},
        {"subscription period not in the receipt", std::vector<Bought>{{"monthly", "m1", "m1", kDay1, 3, 500}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("monthly", "m2", "m1", kDay3)}); }, "_iapx",
         with(base("monthly", "Monthly", 299, 1), {{"subscription", 1}})},
        {"two periods on the transaction's date",
         std::vector<Bought>{{"monthly", "m1", "m1", kDay1, 3, 500}, {"monthly", "m2", "m1", kDay1, 3, 501}},
         [](auto& r) { r.paymentQueueUpdatedFilteredTransactions({purchased("monthly", "m2", "m1", kDay1)}); }, "_iapx",
         with(base("monthly", "Monthly", 299, 1), {{"subscription", 1}})},
        {"a transaction record already in the receipt is not added twice",
         std::vector<Bought>{{"pro", "p1", "p1", kDay1, 0}},
         [](auto& r) { r.reportTransaction("pro", "p1", "p1", std::nullopt, 0, false, false, 1, kDay1, kDay1, {}, {}); },
         "_iap", with(base("pro", "Pro", 499, 1), {{"_did", did("p1", std::nullopt, "pro")}})},
    };
    for (const auto& c : cases) {
        SUBCASE(c.label) {
            Fixture f;
            if (c.receipt) f.writeReceipt(*c.receipt);
            c.report(*f.reporter);
            f.time.settle();
            REQUIRE(f.logged.size() == 1);
            CHECK(f.logged[0].origin == "auto");
            CHECK(f.logged[0].name == c.event);
            INFO(platform::writeJSON(platform::Value(f.logged[0].parameters)));
            CHECK(f.logged[0].parameters == c.parameters);
        }
    }
}

TEST_CASE("what is not reported: other states, no product, a failed product request") {
    Fixture f;
    f.writeReceipt({{"coins", "c1", "c1", kDay1, 1}});
    SUBCASE("only failed and restored transactions") {
        auto failed = purchased("coins", "c1", std::nullopt, kDay1);
        failed.transactionState = platform::PaymentTransactionState::failed;
        auto restored = purchased("coins", "c1", std::nullopt, kDay1);
        restored.transactionState = platform::PaymentTransactionState::restored;
        f.reporter->paymentQueueUpdatedFilteredTransactions({failed, restored});
        f.time.settle();
        CHECK(platform::ProductCatalogue::shared().startedRequests().empty());
    }
    SUBCASE("a product request that fails without products") {
        platform::ProductCatalogue::shared().failNextRequests(1, {4, "offline"});
        f.reporter->paymentQueueUpdatedFilteredTransactions({purchased("coins", "c1", std::nullopt, kDay1)});
        f.time.settle();
        CHECK(f.capture.hasCode(kAPMPurchaseProductRequestFailedCode));
    }
    SUBCASE("a product the store does not know") {
        f.reporter->paymentQueueUpdatedFilteredTransactions({purchased("unknown", "u1", std::nullopt, kDay1)});
        f.time.settle();
        CHECK(f.capture.hasCode(kAPMPurchaseNilProductCode));
    }
    SUBCASE("a transaction record whose product cannot be had") {
        platform::ProductCatalogue::shared().failNextRequests(1, {4, "offline"});
        f.reporter->reportTransaction("coins", "c1", "c1", std::nullopt, 1, false, false, 1, kDay1, kDay1, {}, {});
        f.time.settle();
        CHECK(f.capture.hasCode(kAPMPurchaseProductRequestFailedCode));
    }
    CHECK(f.logged.empty());
}

TEST_CASE("each report reads its own records: a transaction record is not carried into later reports") {
    Fixture f;
    // No receipt: the first report knows its record only from its arguments.
    f.reporter->reportTransaction("monthly", "m1", "m1", "500", 3, false, false, 1, kDay1, kDay1, {}, {});
    f.time.settle();
    REQUIRE(f.logged.size() == 1);
    CHECK(f.logged[0].name == "_iap");
    // A later payment-queue report of the next period finds no record of the
    // subscription, as the device has none.
    f.reporter->paymentQueueUpdatedFilteredTransactions({purchased("monthly", "m2", "m1", kDay2)});
    f.time.settle();
    REQUIRE(f.logged.size() == 2);
    CHECK(f.logged[1].name == "_iapx");
    CHECK_FALSE(f.logged[1].parameters.contains("subscription"));
    CHECK(f.capture.hasCode(kAPMPurchaseMissingInReceiptCode));
}

TEST_CASE("transaction fingerprints") {
    APMMonitorCapture capture;
    struct Case {
        std::optional<std::string> identifier;
        platform::PaymentTransactionState state;
        std::optional<std::string> fingerprint;
        long code;
    };
    const std::vector<Case> cases = {
        {"abc", platform::PaymentTransactionState::purchased, "900150983cd24fb0d6963f7d28e17f72", 0},
        {"abc", platform::PaymentTransactionState::restored, std::nullopt, 0},
        {std::nullopt, platform::PaymentTransactionState::purchased, std::nullopt, kAPMPurchaseNilIdentifierCode},
        {"", platform::PaymentTransactionState::purchased, std::nullopt, kAPMPurchaseEmptyIdentifierCode},
        {"0000-0000", platform::PaymentTransactionState::purchased, std::nullopt, kAPMPurchaseZeroIdentifierCode},
    };
    for (const auto& c : cases) {
        platform::PaymentTransaction transaction;
        transaction.transactionIdentifier = c.identifier;
        transaction.transactionState = c.state;
        CHECK(APMInAppPurchaseTransactionReporter::transactionFingerprint(&transaction) == c.fingerprint);
        if (c.code) CHECK(capture.hasCode(c.code));
    }
    CHECK_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
    CHECK(capture.hasCode(kAPMPurchaseNilTransactionCode));
}
