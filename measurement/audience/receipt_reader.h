// The receipt scan: purchase records found by their byte patterns in the store receipt, without general DER parsing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/audience/purchase_item.h"

namespace measurement {

using APMReceiptBytes = std::vector<std::uint8_t>;

// The purchase fields the scan looks for, in the order it tries them.
enum class APMReceiptField {
    productID,
    transactionID,
    originalTransactionID,
    expirationDate,
    freeTrial,
    introductoryOffer,
    purchaseType,
    webOrderLineItemID,
    purchaseDate,
    originalPurchaseDate,
    cancellationDate,
};

// A field found at an offset: where its content lies, and how far the scan
// moves on.
struct APMReceiptMatch {
    std::size_t contentOffset = 0;
    std::size_t contentLength = 0;
    std::size_t advance = 0;
};

// Whether a purchase record (attribute 17) starts at the offset: the bytes
// 02 01 11 02 01 xx 04 with xx not 0 and at least xx bytes after them.
// Answers how far the scan moves on (xx + 1).
std::optional<std::size_t> APMReceiptPurchaseItemStartsAt(const APMReceiptBytes& receipt, std::size_t offset);
// Whether the field's attribute starts at the offset: INTEGER type, INTEGER
// version, OCTET STRING holding one element of the field's kind (UTF8String
// for identifiers, IA5String for dates, INTEGER for numbers) with a content
// of at least one byte, all inside the data. Lengths of 128 and more are
// read in DER's long form.
std::optional<APMReceiptMatch> APMMatchReceiptBytePattern(APMReceiptField field, const APMReceiptBytes& receipt,
                                                          std::size_t offset);
// The purchase records of a receipt, in receipt order; records without a
// product identifier are dropped. Empty when none is found, none for empty
// data.
std::optional<std::vector<APMInAppPurchaseItem>> APMReadReceiptPurchaseItems(const APMReceiptBytes& receipt);

}  // namespace measurement
