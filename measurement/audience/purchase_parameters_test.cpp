// Tests of purchase amounts, "_did", record filtering, receipt dates and required parameters.
#include <doctest/doctest.h>

#include <limits>

#include "measurement/audience/purchase_parameters.h"
#include "measurement/audience/purchase_test_support.h"

using namespace measurement;
using namespace measurement::purchase_test;

TEST_CASE("amounts in micros are exact: quantity x price x 1,000,000, truncated toward zero") {
    struct Case {
        std::string price;
        std::int64_t quantity;
        std::optional<std::int64_t> micros;
    };
    const std::vector<Case> cases = {
        {"0.99", 1, 990000},
        {"0.99", 3, 2970000},
        {"0.29", 7, 2030000},
        {"1.005", 1, 1005000},
        {"0.0000019", 1, 1},
        {"-0.5", 2, -1000000},
        {"19.99", 0, 0},
        {"12345678901234.99", 1000000, std::numeric_limits<std::int64_t>::max()},
        {"abc", 1, std::nullopt},
        {"", 1, std::nullopt},
        {"1.2.3", 1, std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.price);
        CAPTURE(c.quantity);
        CHECK(APMPurchaseAmountMicros(c.price, c.quantity) == c.micros);
    }
}

TEST_CASE("_did is the last eight bytes of the MD5 of original identifier, line item and product") {
    // md5("abc") = 900150983cd24fb0 d6963f7d28e17f72
    CHECK(APMPurchaseDedupID("a", std::nullopt, "bc") == static_cast<std::int64_t>(0xd6963f7d28e17f72ull));
    // md5("t1" "1000000002" "weekly") ends in 7046883b373dbc52.
    CHECK(APMPurchaseDedupID("t1", 1000000002, "weekly") == 0x7046883b373dbc52);
    CHECK(APMPurchaseDedupID("", 5, "weekly") == -1);
    CHECK(APMPurchaseDedupID("t1", std::nullopt, "") == -1);
}

TEST_CASE("records are filtered by product and date and sorted oldest first") {
    std::vector<APMInAppPurchaseItem> items;
    for (const auto& [id, date] : std::vector<std::pair<std::string, double>>{
             {"b", kDay3}, {"a", kDay2}, {"b", kDay1}, {"b", kDay2}}) {
        APMInAppPurchaseItem item;
        item.productID = id;
        item.purchaseDateIA5String = APMIAPDateString(date);
        items.push_back(item);
    }
    const auto dates = [](const std::optional<std::vector<APMInAppPurchaseItem>>& found) {
        std::vector<std::string> out;
        for (const auto& item : *found) out.push_back(*item.productID + "@" + *item.purchaseDateIA5String);
        return out;
    };
    CHECK(dates(APMFilterPurchaseItems(items, "b", std::nullopt)) ==
          std::vector<std::string>{"b@" + APMIAPDateString(kDay1), "b@" + APMIAPDateString(kDay2),
                                   "b@" + APMIAPDateString(kDay3)});
    CHECK(dates(APMFilterPurchaseItems(items, std::nullopt, kDay2)) ==
          std::vector<std::string>{"a@" + APMIAPDateString(kDay2), "b@" + APMIAPDateString(kDay2)});
    CHECK(dates(APMFilterPurchaseItems(items, "a", kDay2)).size() == 1);
    CHECK_FALSE(APMFilterPurchaseItems(items, std::nullopt, std::nullopt));
    CHECK_FALSE(APMFilterPurchaseItems({}, "a", std::nullopt));
}

TEST_CASE("receipt dates: GMT text of whole seconds, read back with Z or an offset") {
    CHECK(APMIAPDateString(kDay1) == "2023-11-14T22:13:20Z");
    CHECK(APMIAPDateString(kDay1 + 0.9) == "2023-11-14T22:13:20Z");
    CHECK(APMIAPDateFromString("2023-11-14T22:13:20Z") == kDay1);
    CHECK(APMIAPDateFromString("2023-11-14T23:13:20+01:00") == kDay1);
    CHECK(APMIAPDateFromString("2023-11-14T21:13:20-01:00") == kDay1);
    CHECK_FALSE(APMIAPDateFromString("2023-02-30T00:00:00Z"));
    CHECK_FALSE(APMIAPDateFromString("2023-11-14 22:13:20Z"));
    CHECK_FALSE(APMIAPDateFromString(""));
}

TEST_CASE("no product, an empty product identifier or a missing required value give no parameters") {
    const std::vector<APMInAppPurchaseItem> none;
    CHECK_FALSE(APMBuildPurchaseEventParameters(std::nullopt, 1, "t", std::nullopt, kDay1, none));
    CHECK_FALSE(APMBuildPurchaseEventParameters(product("", "1", "x"), 1, "t", std::nullopt, kDay1, none));
    auto noCurrency = product("coins", "0.99", "Coins");
    noCurrency.currencyCode.reset();
    CHECK_FALSE(APMBuildPurchaseEventParameters(noCurrency, 1, "t", std::nullopt, kDay1, none));
    CHECK_FALSE(APMBuildPurchaseEventParameters(product("coins", "0.99", "Coins"), 0, "t", std::nullopt, kDay1, none));
    auto noPrice = product("coins", "0.99", "Coins");
    noPrice.price.reset();
    CHECK_FALSE(APMBuildPurchaseEventParameters(noPrice, 1, "t", std::nullopt, kDay1, none));
}
