// Purchase event parameters: classification from the receipt records, discounts, micros and "_did".
#include "measurement/audience/purchase_parameters.h"

#include <gmpxx.h>

#include <algorithm>
#include <cmath>

#include "measurement/audience/purchase_codes.h"
#include "measurement/foundation/hashing.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

void note(long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelVerbose, code, message);
}
void note(long code, const std::string& message, const platform::Value& context) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelVerbose, code, message, context);
}

const APMValue kOne(std::int64_t{1});

bool isFlagSet(const APMParameters& parameters, const char* name) {
    const auto found = parameters.find(name);
    return found != parameters.end() && found->second.isInt64() && found->second.int64Value() == 1;
}

// An optional sign, digits, and an optional fraction: the store's prices.
std::optional<mpq_class> exactDecimal(const std::string& text) {
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    std::string digits;
    std::size_t fraction = 0;
    bool sawPoint = false;
    for (; at < text.size(); ++at) {
        if (text[at] == '.' && !sawPoint) {
            sawPoint = true;
        } else if (text[at] >= '0' && text[at] <= '9') {
            digits += text[at];
            if (sawPoint) ++fraction;
        } else {
            return std::nullopt;
        }
    }
    if (digits.empty() || digits.size() > 60) return std::nullopt;
    mpz_class scale;
    mpz_ui_pow_ui(scale.get_mpz_t(), 10, fraction);
    mpq_class value(mpz_class(digits, 10), scale);
    value.canonicalize();
    return negative ? mpq_class(-value) : value;
}

bool samePurchaseDate(const APMInAppPurchaseItem& item, double date) {
    if (!item.purchaseDateIA5String) return false;
    const auto parsed = APMIAPDateFromString(*item.purchaseDateIA5String);
    return parsed && *parsed == date;
}

double purchaseTimeOf(const APMInAppPurchaseItem& item) {
    const auto parsed = item.purchaseDateIA5String ? APMIAPDateFromString(*item.purchaseDateIA5String) : std::nullopt;
    return parsed.value_or(-INFINITY);
}

bool hasDifferentIdentifiers(const std::string& transactionID, const std::optional<std::string>& originalTransactionID) {
    return !transactionID.empty() && originalTransactionID && !originalTransactionID->empty() &&
           transactionID != *originalTransactionID;
}

bool isFirstPeriod(const APMInAppPurchaseItem& item) { return item.transactionID == item.originalTransactionID; }

std::int64_t dedupOf(const APMInAppPurchaseItem& item, bool withLineItem) {
    return APMPurchaseDedupID(item.originalTransactionID.value_or(""),
                              withLineItem ? item.webOrderLineItemID : std::nullopt, item.productID.value_or(""));
}

// Base parameters of the product and quantity.
APMParameters baseParameters(const platform::StoreProduct& product, std::int64_t quantity) {
    APMParameters parameters{{"product_id", APMValue(product.productIdentifier)}};
    if (product.price) {
        if (const auto price = APMPurchaseAmountMicros(*product.price, 1)) {
            parameters.insert_or_assign("price", APMValue(*price));
            if (quantity != 0) {
                if (const auto value = APMPurchaseAmountMicros(*product.price, quantity)) {
                    parameters.insert_or_assign("value", APMValue(*value));
                }
                parameters.insert_or_assign("quantity", APMValue(quantity));
            }
        }
    }
    if (product.currencyCode && !product.currencyCode->empty()) {
        parameters.insert_or_assign("currency", APMValue(*product.currencyCode));
    }
    if (!product.localizedTitle.empty()) parameters.insert_or_assign("product_name", APMValue(product.localizedTitle));
    return parameters;
}

// The consumable or non-consumable purchase (no subscription): "_did" of
// its own record when that record is a first purchase.
void classifyOneTimePurchase(APMParameters& parameters, const std::vector<APMInAppPurchaseItem>& productItems,
                             const std::string& transactionID, const std::optional<double>& transactionDate) {
    const auto& latest = productItems.back();
    const APMInAppPurchaseItem* record = nullptr;
    if (productItems.size() == 1) {
        record = &latest;
    } else {
        // A product bought more than once: the record of this purchase, by
        // its date, else by its identifier.
        std::vector<const APMInAppPurchaseItem*> atDate;
        for (const auto& item : productItems) {
            if (transactionDate && samePurchaseDate(item, *transactionDate)) atDate.push_back(&item);
        }
        if (atDate.size() == 1) record = atDate.front();
        for (const auto& item : productItems) {
            if (!record && !transactionID.empty() && item.transactionID == transactionID) record = &item;
        }
    }
    // The record of another purchase of the product (this one not yet in
    // the receipt) must not lend it its "_did": the two purchases would be
    // taken for one.
    if (record && !transactionID.empty() && record->transactionID != transactionID &&
        !(transactionDate && samePurchaseDate(*record, *transactionDate))) {
        record = nullptr;
    }
    if (record && !isFirstPeriod(*record)) {
        note(kAPMPurchaseMismatchedIDsCode,
             "Transaction with mismatched transaction ID and original transaction ID will be reported as consumable");
        return;
    }
    if (latest.purchaseType == kAPMPurchaseTypeNonConsumable) {
        note(kAPMPurchaseNonConsumableCode, "Transaction of non-consumable item will be reported");
    } else {
        note(kAPMPurchaseConsumableCode, "Transaction of consumable item will be reported");
    }
    if (record) parameters.insert_or_assign("_did", APMValue(dedupOf(*record, false)));
}

// Steps for a subscription record R found at the transaction's date.
// Answers false when the purchase turned out invalid.
bool classifySubscriptionPeriod(APMParameters& parameters, const std::vector<APMInAppPurchaseItem>& productItems,
                                std::size_t recordIndex, const std::string& transactionID,
                                const std::optional<std::string>& originalTransactionID) {
    const auto& latest = productItems.back();
    const auto& record = productItems[recordIndex];
    if (latest.purchaseType == kAPMPurchaseTypeNonRenewing) {
        parameters.insert_or_assign("subscription", kOne);
        parameters.insert_or_assign("_did", APMValue(dedupOf(record, false)));
        note(kAPMPurchaseNonRenewingCode, "Transaction of non-renewing subscription will be reported");
        return true;
    }
    if (isFirstPeriod(record)) parameters.insert_or_assign("subscription", kOne);
    parameters.insert_or_assign("_did", APMValue(dedupOf(record, true)));
    if (!record.isFreeTrial() && !record.isIntroductoryOffer()) {
        note(kAPMPurchaseSubscriptionCode, "Transaction of auto-renewable subscription will be reported");
        APMMarkSubscriptionRenewal(parameters, productItems, recordIndex);
    }
    if (record.isFreeTrial()) {
        parameters.insert_or_assign("free_trial", kOne);
        if (hasDifferentIdentifiers(transactionID, originalTransactionID)) {
            note(kAPMPurchaseFreeTrialRepurchaseCode,
                 "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
            parameters.insert_or_assign("invalid", kOne);
            return false;
        }
        note(kAPMPurchaseFreeTrialCode, "Transaction of free-trial auto-renewable subscription will be reported");
    }
    if (record.isIntroductoryOffer()) {
        parameters.insert_or_assign("price_is_discounted", kOne);
        APMMarkSubscriptionRenewal(parameters, productItems, recordIndex);
        note(kAPMPurchaseIntroductoryOfferCode, "Transaction of introductory offer will be reported");
    }
    if (record.isFreeTrial() || record.isIntroductoryOffer()) {
        note(kAPMPurchaseRenewalCode, "Transaction of auto-renewable subscription renewal will be reported");
    }
    return true;
}

// The classification from the receipt records of the product.
void classify(APMParameters& parameters, const std::string& productID, const std::string& transactionID,
              const std::optional<std::string>& originalTransactionID, const std::optional<double>& transactionDate,
              const std::vector<APMInAppPurchaseItem>& items) {
    const auto productItems = APMFilterPurchaseItems(items, productID, std::nullopt);
    if (!productItems || productItems->empty()) {
        note(kAPMPurchaseMissingInReceiptCode, "Transaction missing in receipt will be reported as invalid",
             platform::Value(productID));
        parameters.insert_or_assign("invalid", kOne);
        return;
    }
    const auto& latest = productItems->back();
    if (latest.purchaseType == kAPMPurchaseTypeNonConsumable &&
        hasDifferentIdentifiers(transactionID, originalTransactionID)) {
        note(kAPMPurchaseNonConsumableRepurchaseCode,
             "Restore/repurchase of non-consumable item will be reported as invalid");
        parameters.insert_or_assign("invalid", kOne);
        return;
    }
    const bool subscriptionLike = latest.purchaseType == kAPMPurchaseTypeNonRenewing ||
                                  latest.purchaseType == kAPMPurchaseTypeAutoRenewable || latest.webOrderLineItemID;
    if (!subscriptionLike) {
        classifyOneTimePurchase(parameters, *productItems, transactionID, transactionDate);
        return;
    }
    std::vector<std::size_t> atDate;
    for (std::size_t i = 0; i < productItems->size(); ++i) {
        if (transactionDate && samePurchaseDate((*productItems)[i], *transactionDate)) atDate.push_back(i);
    }
    if (atDate.size() != 1) {
        if (atDate.empty()) {
            note(kAPMPurchaseSubscriptionMissingCode, "Subscription transaction missing in receipt will be reported as invalid",
                 platform::Value(productID));
        } else {
            APMMonitor::shared().logWithLevel(
                kAPMMonitorLevelVerbose, kAPMPurchaseDuplicateDateCode,
                "Subscription transaction with duplicate transaction date will be reported as invalid",
                platform::Value(productID), platform::Value(static_cast<long long>(atDate.size())));
        }
        parameters.insert_or_assign("invalid", kOne);
        parameters.insert_or_assign("subscription", kOne);
        return;
    }
    classifySubscriptionPeriod(parameters, *productItems, atDate.front(), transactionID, originalTransactionID);
}

// Free trials cost nothing; introductory offers cost their own price.
void applyDiscount(APMParameters& parameters, const platform::StoreProduct& product, std::int64_t quantity) {
    const auto freeOf = [&parameters] {
        if (const auto price = parameters.find("price"); price != parameters.end()) {
            parameters.insert_or_assign("original_price", price->second);
        }
        parameters.insert_or_assign("price_is_discounted", kOne);
        parameters.insert_or_assign("price", APMValue(std::int64_t{0}));
        parameters.insert_or_assign("value", APMValue(std::int64_t{0}));
    };
    if (isFlagSet(parameters, "free_trial")) {
        freeOf();
        return;
    }
    if (!isFlagSet(parameters, "price_is_discounted") || !product.introductoryPrice) return;
    const auto& offer = *product.introductoryPrice;
    if (offer.paymentMode == platform::ProductDiscountPaymentMode::freeTrial) {
        freeOf();
        return;
    }
    const auto offerPrice = APMPurchaseAmountMicros(offer.price, 1);
    if (!offerPrice) return;
    if (const auto price = parameters.find("price"); price != parameters.end()) {
        parameters.insert_or_assign("original_price", price->second);
    }
    parameters.insert_or_assign("price", APMValue(*offerPrice));
    if (quantity != 0) {
        if (const auto value = APMPurchaseAmountMicros(offer.price, quantity)) {
            parameters.insert_or_assign("value", APMValue(*value));
        }
    }
}

}  // namespace

std::optional<std::vector<APMInAppPurchaseItem>> APMFilterPurchaseItems(const std::vector<APMInAppPurchaseItem>& items,
                                                                        const std::optional<std::string>& productID,
                                                                        const std::optional<double>& date) {
    if (items.empty() || (!productID && !date)) return std::nullopt;
    std::vector<APMInAppPurchaseItem> matching;
    for (const auto& item : items) {
        if (productID && item.productID != *productID) continue;
        if (date && !samePurchaseDate(item, *date)) continue;
        matching.push_back(item);
    }
    std::stable_sort(matching.begin(), matching.end(), [](const auto& a, const auto& b) {
        return purchaseTimeOf(a) < purchaseTimeOf(b);
    });
    return matching;
}

std::optional<std::int64_t> APMPurchaseAmountMicros(const std::string& price, std::int64_t quantity) {
    const auto unit = exactDecimal(price);
    if (!unit) return std::nullopt;
    const mpq_class micros = *unit * mpq_class(mpz_class(std::to_string(quantity), 10)) * 1000000;
    const double approximate = micros.get_d();
    return APMSaturatingInt64(std::trunc(approximate));
}

std::int64_t APMPurchaseDedupID(const std::string& originalTransactionID,
                                const std::optional<std::uint64_t>& webOrderLineItemID, const std::string& productID) {
    if (originalTransactionID.empty() || productID.empty()) return -1;
    std::string text = originalTransactionID;
    if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
    text += productID;
    return apm_64LSBMD5(APMBytes(text.begin(), text.end()));
}

void APMMarkSubscriptionRenewal(APMParameters& parameters, const std::vector<APMInAppPurchaseItem>& productItems,
                                std::size_t itemIndex) {
    if (productItems.empty() || itemIndex >= productItems.size() || isFirstPeriod(productItems[itemIndex])) return;
    const bool afterFreeTrial = itemIndex > 0 && productItems[itemIndex - 1].isFreeTrial();
    parameters.insert_or_assign(afterFreeTrial ? "sub_convert" : "sub_renew", kOne);
}

std::optional<APMParameters> APMBuildPurchaseEventParameters(const std::optional<platform::StoreProduct>& product,
                                                             std::int64_t quantity, const std::string& transactionID,
                                                             const std::optional<std::string>& originalTransactionID,
                                                             const std::optional<double>& transactionDate,
                                                             const std::vector<APMInAppPurchaseItem>& items) {
    if (!product) {
        note(kAPMPurchaseNilProductCode, "IAP Transaction cannot be created from nil product");
        return std::nullopt;
    }
    if (product->productIdentifier.empty()) {
        note(kAPMPurchaseEmptyProductIDCode, "IAP Transaction cannot be created from empty or nil product ID");
        return std::nullopt;
    }
    auto parameters = baseParameters(*product, quantity);
    if (transactionID.empty()) note(kAPMPurchaseEmptyTransactionIDCode, "Transaction ID cannot be nil or empty.");
    classify(parameters, product->productIdentifier, transactionID, originalTransactionID, transactionDate, items);
    applyDiscount(parameters, *product, quantity);
    for (const char* required : {"price", "value", "currency", "product_id"}) {
        if (!parameters.contains(required)) return std::nullopt;
    }
    return parameters;
}

}  // namespace measurement
