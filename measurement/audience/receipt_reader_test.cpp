// Tests of the receipt scan, with a fuzz test over random, truncated and damaged receipts.
#include <doctest/doctest.h>

#include <random>

#include "measurement/audience/purchase_codes.h"
#include "measurement/audience/purchase_test_support.h"
#include "measurement/foundation/monitor.h"

using namespace measurement;
using namespace measurement::purchase_test;

namespace {

platform::DERBytes utf8(const std::string& text) { return platform::derUTF8String(text); }

}  // namespace

TEST_CASE("the receipt scan reads back every field the receipt writer wrote") {
    const std::vector<Bought> bought = {
        {"coins", "1000", "1000", kDay1, 1},
        {"monthly", "2001", "2000", kDay2, 3, 1000000077, false, true},
        {"weekly", "3000", "3000", kDay3, 3, 0xFFFFFFFFFFFFFFFFull, true, false},
        {"pro", "4000", "4000", kDay1, 0, 0},
    };
    const auto items = APMReadReceiptPurchaseItems(receiptBytes(bought));
    REQUIRE(items);
    REQUIRE(items->size() == bought.size());
    for (std::size_t i = 0; i < bought.size(); ++i) {
        const auto& item = (*items)[i];
        const auto& b = bought[i];
        CAPTURE(i);
        CHECK(item.productID == b.productID);
        CHECK(item.transactionID == b.transactionID);
        CHECK(item.originalTransactionID == b.originalTransactionID);
        CHECK(item.purchaseDateIA5String == APMIAPDateString(b.date));
        CHECK(item.originalPurchaseDateIA5String == APMIAPDateString(b.date));
        CHECK(item.purchaseType == b.type);
        CHECK(item.freeTrial == b.freeTrial);
        CHECK(item.introductoryOffer == b.introductoryOffer);
        // A line item of 0 is no line item.
        CHECK(item.webOrderLineItemID == (b.lineItem == 0u ? std::nullopt : b.lineItem));
        CHECK(item.subscriptionExpirationDateIA5String.has_value() == (b.type == 3));
        CHECK_FALSE(item.cancellationDateIA5String);
    }
    CHECK(APMIAPDateFromString(*(*items)[1].purchaseDateIA5String) == kDay2);
}

TEST_CASE("the receipt scan: long lengths, odd flag bytes, records without product, empty data") {
    APMMonitorCapture capture;
    SUBCASE("identifiers of 200 bytes use DER's long form and are read whole") {
        const std::string longID(200, 'x');
        const auto items = APMReadReceiptPurchaseItems(receiptBytes({{longID, "1", "1"}}));
        REQUIRE(items);
        REQUIRE(items->size() == 1);
        CHECK((*items)[0].productID == longID);
        CHECK((*items)[0].transactionID == "1");
        CHECK(capture.hasCode(kAPMReceiptLongLengthCode));
    }
    SUBCASE("a free-trial byte of 2 leaves the flag off and is noted; 1 turns it on") {
        const auto set = purchaseAttribute({attribute(1702, utf8("p")), attribute(1713, platform::derInteger(2)),
                                            attribute(1719, platform::derInteger(1))});
        const auto items = APMReadReceiptPurchaseItems(platform::derElement(0x31, set));
        REQUIRE(items->size() == 1);
        CHECK_FALSE((*items)[0].freeTrial);
        CHECK((*items)[0].introductoryOffer);
        CHECK(capture.hasCode(kAPMReceiptFreeTrialValueCode));
    }
    SUBCASE("an introductory-offer byte of 7 is noted") {
        const auto set = purchaseAttribute({attribute(1702, utf8("p")), attribute(1719, platform::derInteger(7))});
        const auto items = APMReadReceiptPurchaseItems(platform::derElement(0x31, set));
        REQUIRE(items->size() == 1);
        CHECK_FALSE((*items)[0].introductoryOffer);
        CHECK(capture.hasCode(kAPMReceiptIntroductoryOfferValueCode));
    }
    SUBCASE("a record without product identifier is dropped when the next one starts") {
        platform::DERBytes receipt = purchaseAttribute({attribute(1703, utf8("lost"))});
        const auto second = purchaseAttribute({attribute(1702, utf8("kept")), attribute(1703, utf8("t2"))});
        receipt.insert(receipt.end(), second.begin(), second.end());
        const auto items = APMReadReceiptPurchaseItems(platform::derElement(0x31, receipt));
        REQUIRE(items->size() == 1);
        CHECK((*items)[0].productID == "kept");
        CHECK((*items)[0].transactionID == "t2");
    }
    SUBCASE("fields of the wrong kind or empty are not taken") {
        const auto set = purchaseAttribute({attribute(1702, utf8("p")), attribute(1703, platform::derIA5String("t")),
                                            attribute(1705, utf8(""))});
        const auto items = APMReadReceiptPurchaseItems(platform::derElement(0x31, set));
        REQUIRE(items->size() == 1);
        CHECK_FALSE((*items)[0].transactionID);
        CHECK_FALSE((*items)[0].originalTransactionID);
    }
    SUBCASE("empty data gives none, data without records an empty list") {
        CHECK_FALSE(APMReadReceiptPurchaseItems({}));
        const auto items = APMReadReceiptPurchaseItems(platform::derElement(0x31, attribute(2, utf8("bundle"))));
        REQUIRE(items);
        CHECK(items->empty());
    }
}

TEST_CASE("fuzz: random, truncated and damaged receipts never crash or read past their end") {
    APMMonitorCapture capture;
    std::mt19937 random(20240517);
    const auto full = receiptBytes({{"coins", "1", "1", kDay1, 1},
                                    {std::string(300, 'm'), "2", "2", kDay2, 3, 99, true, false},
                                    {"pro", "3", "3", kDay3, 0}});
    const auto fullItems = APMReadReceiptPurchaseItems(full);
    REQUIRE(fullItems->size() == 3);

    for (std::size_t length = 1; length < full.size(); ++length) {
        // Each case in a buffer of its own exact size, so that a read past
        // the end is a read outside the allocation.
        const APMReceiptBytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        const auto items = APMReadReceiptPurchaseItems(prefix);
        REQUIRE(items);
        CHECK(items->size() <= fullItems->size());
        for (const auto& item : *items) CHECK(item.productID);
    }
    for (int round = 0; round < 2000; ++round) {
        APMReceiptBytes damaged = full;
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
        damaged.resize(1 + random() % damaged.size());
        damaged.shrink_to_fit();
        const auto items = APMReadReceiptPurchaseItems(damaged);
        REQUIRE(items);
        for (const auto& item : *items) CHECK(item.productID);
    }
    // Random bytes seeded with the patterns, so that matches are attempted.
    const std::vector<std::uint8_t> seeds = {0x02, 0x01, 0x11, 0x04, 0x06, 0xA6, 0x0C, 0x16, 0x81, 0x82, 0xFF};
    for (int round = 0; round < 2000; ++round) {
        APMReceiptBytes noise(1 + random() % 512);
        for (auto& byte : noise) {
            byte = random() % 2 ? seeds[random() % seeds.size()] : static_cast<std::uint8_t>(random());
        }
        CHECK(APMReadReceiptPurchaseItems(noise).has_value());
    }
}
