// One purchase record of the store receipt (or made from a newer transaction record), with the receipt's date texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace measurement {

// Product types, shared with the receipt.
enum APMPurchaseType : int {
    kAPMPurchaseTypeNonConsumable = 0,
    kAPMPurchaseTypeConsumable = 1,
    kAPMPurchaseTypeNonRenewing = 2,
    kAPMPurchaseTypeAutoRenewable = 3,
};

// The receipt field of each member is noted beside it.
struct APMInAppPurchaseItem {
    bool freeTrial = false;                                     // 1713
    bool introductoryOffer = false;                             // 1719
    std::optional<std::string> subscriptionExpirationDateIA5String;  // 1708
    std::optional<std::string> productID;                       // 1702
    std::optional<std::string> originalTransactionID;           // 1705
    std::optional<std::string> transactionID;                   // 1703
    // Never 0: a 0 leaves it unset.
    std::optional<std::uint64_t> webOrderLineItemID;            // 1711
    std::optional<std::string> originalPurchaseDateIA5String;   // 1706
    std::optional<std::string> purchaseDateIA5String;           // 1704
    std::optional<std::string> cancellationDateIA5String;       // 1712
    std::optional<std::int64_t> purchaseType;                   // 1707

    bool isFreeTrial() const { return freeTrial; }
    bool isIntroductoryOffer() const { return introductoryOffer; }
    bool operator==(const APMInAppPurchaseItem&) const = default;
};

// The receipt's date texts: "yyyy-MM-dd'T'HH:mm:ssZZZZZ" in GMT, so
// "2024-03-01T12:00:00Z"; whole seconds (truncated toward the past).
std::string APMIAPDateString(double secondsSince1970);
// Reads that form, with "Z" or a "+hh:mm" / "-hh:mm" offset; none for
// anything else.
std::optional<double> APMIAPDateFromString(const std::string& text);

}  // namespace measurement
