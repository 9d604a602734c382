// The parameters of a purchase event: the purchase's classification from its receipt records, the amounts in micros and the "_did" value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/purchase_item.h"
#include "measurement/foundation/parameter_value.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"

namespace measurement {

// The records of the product (when given) whose purchase date is the date
// (when given), oldest purchase first; none when there are no records or
// neither criterion is given.
std::optional<std::vector<APMInAppPurchaseItem>> APMFilterPurchaseItems(
    const std::vector<APMInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    const std::optional<double>& date);

// quantity × price × 1,000,000, computed exactly, then converted to a
// double and truncated toward zero into the 64-bit range. None when the
// price is no decimal number.
std::optional<std::int64_t> APMPurchaseAmountMicros(const std::string& price, std::int64_t quantity);

// -1 when the original transaction identifier or the product identifier is
// empty; else the last eight bytes (big-endian) of the MD5 digest of
// original identifier, line-item decimal text (when there is one) and
// product identifier.
std::int64_t APMPurchaseDedupID(const std::string& originalTransactionID, const std::optional<std::uint64_t>& webOrderLineItemID,
                                const std::string& productID);

// Adds "sub_convert" (the period before was a free trial) or "sub_renew"
// when the record is a later period of its subscription. `itemIndex` is the
// record's position in the product's records.
void APMMarkSubscriptionRenewal(APMParameters& parameters, const std::vector<APMInAppPurchaseItem>& productItems,
                                std::size_t itemIndex);

// The event parameters of one purchase, none when it is not to be logged
// (no product, no product identifier, or a required value missing).
// "invalid", "sub_renew" and "sub_convert" are left for the caller to turn
// into the event's name.
std::optional<APMParameters> APMBuildPurchaseEventParameters(const std::optional<platform::StoreProduct>& product,
                                                             std::int64_t quantity, const std::string& transactionID,
                                                             const std::optional<std::string>& originalTransactionID,
                                                             const std::optional<double>& transactionDate,
                                                             const std::vector<APMInAppPurchaseItem>& items);

}  // namespace measurement
