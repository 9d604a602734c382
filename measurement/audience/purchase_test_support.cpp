// Products and receipts for the purchase tests.
#include "measurement/audience/purchase_test_support.h"

namespace measurement::purchase_test {

namespace {

void append(platform::DERBytes& to, const platform::DERBytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

}  // namespace

platform::StoreProduct product(const std::string& identifier, const std::string& price, const std::string& title,
                               std::optional<platform::ProductDiscount> introductoryPrice) {
    platform::StoreProduct p;
    p.productIdentifier = identifier;
    p.price = price;
    p.priceLocaleIdentifier = "en_US@currency=USD";
    p.currencyCode = "USD";
    p.localizedTitle = title;
    p.introductoryPrice = std::move(introductoryPrice);
    return p;
}

platform::ReceiptPurchase receiptPurchase(const Bought& bought) {
    platform::ReceiptPurchase purchase;
    purchase.productID = bought.productID;
    purchase.transactionID = bought.transactionID;
    purchase.originalTransactionID = bought.originalTransactionID;
    purchase.purchaseDate = bought.date;
    purchase.originalPurchaseDate = bought.date;
    purchase.productType = bought.type;
    purchase.webOrderLineItemID = bought.lineItem;
    purchase.freeTrial = bought.freeTrial;
    purchase.introductoryOffer = bought.introductoryOffer;
    if (bought.type == 3) purchase.expirationDate = bought.date + 30 * 86400;
    return purchase;
}

APMReceiptBytes receiptBytes(const std::vector<Bought>& purchases) {
    platform::Receipt receipt;
    receipt.bundleIdentifier = "com.velmora.bernoulli";
    receipt.applicationVersion = "1.0";
    for (const auto& bought : purchases) receipt.purchases.push_back(receiptPurchase(bought));
    return platform::ReceiptWriter::encode(receipt);
}

platform::DERBytes attribute(int type, const platform::DERBytes& value) {
    platform::DERBytes contents = platform::derInteger(type);
    append(contents, platform::derInteger(1));
    append(contents, platform::derElement(0x04, value));
    return platform::derElement(0x30, contents);
}

platform::DERBytes purchaseAttribute(const std::vector<platform::DERBytes>& attributes) {
    platform::DERBytes set;
    for (const auto& a : attributes) append(set, a);
    return attribute(17, platform::derElement(0x31, set));
}

}  // namespace measurement::purchase_test
