// What the purchase tests share: store products, receipts written by the platform's own receipt writer, and receipt pieces built by hand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measurement/audience/receipt_reader.h"
#include "platform/frameworks/app_store_receipt/receipt_writer.h"
#include "platform/frameworks/product_catalogue/product_catalogue.h"

namespace measurement::purchase_test {

// Whole seconds, so that receipt dates match them exactly.
inline constexpr double kDay1 = 1700000000;
inline constexpr double kDay2 = kDay1 + 30 * 86400;
inline constexpr double kDay3 = kDay2 + 30 * 86400;

platform::StoreProduct product(const std::string& identifier, const std::string& price, const std::string& title,
                               std::optional<platform::ProductDiscount> introductoryPrice = std::nullopt);

struct Bought {
    Bought(std::string product, std::string transaction, std::string original, double when = kDay1, int kind = 1,
           std::optional<std::uint64_t> webOrderLineItem = std::nullopt, bool trial = false, bool introductory = false)
        : productID(std::move(product)),
          transactionID(std::move(transaction)),
          originalTransactionID(std::move(original)),
          date(when),
          type(kind),
          lineItem(webOrderLineItem),
          freeTrial(trial),
          introductoryOffer(introductory) {}

    std::string productID;
    std::string transactionID;
    std::string originalTransactionID;
    double date = kDay1;
    int type = 1;
    std::optional<std::uint64_t> lineItem;
    bool freeTrial = false;
    bool introductoryOffer = false;
};
platform::ReceiptPurchase receiptPurchase(const Bought& bought);
APMReceiptBytes receiptBytes(const std::vector<Bought>& purchases);

// One attribute SEQUENCE {type, version 1, OCTET STRING value}, and a
// purchase (attribute 17) made of such attributes.
platform::DERBytes attribute(int type, const platform::DERBytes& value);
platform::DERBytes purchaseAttribute(const std::vector<platform::DERBytes>& attributes);

}  // namespace measurement::purchase_test
