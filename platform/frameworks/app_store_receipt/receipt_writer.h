// The application's store receipt: where it lives and our own writer of its DER attribute layout.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using DERBytes = std::vector<std::uint8_t>;

// Where the receipt of the main bundle is: the path set here, else
// "Store/receipt" in the application-support folder.
std::filesystem::path appStoreReceiptPath();
void setAppStoreReceiptPath(std::optional<std::filesystem::path> path);

// One in-app purchase of the receipt. Dates are seconds since 1970,
// written as "yyyy-MM-ddTHH:mm:ssZ" (GMT, whole seconds).
struct ReceiptPurchase {
    std::int64_t quantity = 1;
    std::string productID;
    std::string transactionID;
    std::string originalTransactionID;
    std::optional<double> purchaseDate;
    std::optional<double> originalPurchaseDate;
    std::optional<double> expirationDate;
    std::optional<double> cancellationDate;
    // 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable.
    std::optional<int> productType;
    std::optional<std::uint64_t> webOrderLineItemID;
    bool freeTrial = false;
    bool introductoryOffer = false;
};

struct Receipt {
    std::string bundleIdentifier;
    std::string applicationVersion;
    std::vector<ReceiptPurchase> purchases;
    // The version each attribute carries.
    int attributeVersion = 1;
};

// DER pieces: tag, length (short form below 128, else long form) and
// contents.
DERBytes derLength(std::size_t length);
DERBytes derElement(std::uint8_t tag, const DERBytes& contents);
DERBytes derInteger(std::int64_t value);
// An unsigned value as a DER integer (a leading zero byte when the top bit
// is set).
DERBytes derUnsignedInteger(std::uint64_t value);
DERBytes derUTF8String(const std::string& text);
DERBytes derIA5String(const std::string& text);
// The receipt's date text of a time.
std::string receiptDateText(double secondsSince1970);

// The receipt's attributes as the store lays them out: a SET of SEQUENCEs
// {INTEGER type, INTEGER version, OCTET STRING value}; each purchase is
// attribute 17 whose value is the SET of its own attributes (1701 to 1719).
// Not wrapped in a signed container, and not signed.
class ReceiptWriter {
public:
    static DERBytes encode(const Receipt& receipt);
    // Writes the encoding to the path (its folder made when missing),
    // through a temporary file renamed over it. False when it cannot, with
    // why in `why` (when given), the system's reason included.
    static bool write(const Receipt& receipt, const std::filesystem::path& path = appStoreReceiptPath(),
                      std::string* why = nullptr);
    static bool writeBytes(const DERBytes& bytes, const std::filesystem::path& path = appStoreReceiptPath(),
                           std::string* why = nullptr);
    static void remove(const std::filesystem::path& path = appStoreReceiptPath());
};

}  // namespace platform
