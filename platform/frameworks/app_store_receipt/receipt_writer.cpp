// Writing the store receipt's DER attribute layout.
#include "platform/frameworks/app_store_receipt/receipt_writer.h"

#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/foundation/atomic_file.h"
#include "platform/foundation/process_info.h"

namespace platform {

namespace {

std::mutex gPathMutex;
std::optional<std::filesystem::path> gPath;

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kUTF8String = 0x0C;
constexpr std::uint8_t kIA5String = 0x16;
constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;

void append(DERBytes& to, const DERBytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

DERBytes attribute(int type, int version, const DERBytes& value) {
    DERBytes contents = derInteger(type);
    append(contents, derInteger(version));
    append(contents, derElement(kOctetString, value));
    return derElement(kSequence, contents);
}

DERBytes purchaseSet(const ReceiptPurchase& purchase, int version) {
    DERBytes contents;
    const auto add = [&](int type, const DERBytes& value) { append(contents, attribute(type, version, value)); };
    const auto addDate = [&](int type, const std::optional<double>& date) {
        if (date) add(type, derIA5String(receiptDateText(*date)));
    };
    add(1701, derInteger(purchase.quantity));
    add(1702, derUTF8String(purchase.productID));
    add(1703, derUTF8String(purchase.transactionID));
    addDate(1704, purchase.purchaseDate);
    add(1705, derUTF8String(purchase.originalTransactionID));
    addDate(1706, purchase.originalPurchaseDate);
    if (purchase.productType) add(1707, derInteger(*purchase.productType));
    addDate(1708, purchase.expirationDate);
    if (purchase.webOrderLineItemID) add(1711, derUnsignedInteger(*purchase.webOrderLineItemID));
    addDate(1712, purchase.cancellationDate);
    add(1713, derInteger(purchase.freeTrial ? 1 : 0));
    add(1719, derInteger(purchase.introductoryOffer ? 1 : 0));
    return derElement(kSet, contents);
}

}  // namespace

std::filesystem::path appStoreReceiptPath() {
    {
        std::lock_guard lock(gPathMutex);
        if (gPath) return *gPath;
    }
    return ProcessInfo::applicationSupportDirectory() / "Store" / "receipt";
}

void setAppStoreReceiptPath(std::optional<std::filesystem::path> path) {
    std::lock_guard lock(gPathMutex);
    gPath = std::move(path);
}

DERBytes derLength(std::size_t length) {
    if (length < 0x80) return {static_cast<std::uint8_t>(length)};
    DERBytes digits;
    for (std::size_t rest = length; rest > 0; rest >>= 8) digits.insert(digits.begin(), static_cast<std::uint8_t>(rest));
    digits.insert(digits.begin(), static_cast<std::uint8_t>(0x80 | digits.size()));
    return digits;
}

DERBytes derElement(std::uint8_t tag, const DERBytes& contents) {
    DERBytes element{tag};
    append(element, derLength(contents.size()));
    append(element, contents);
    return element;
}

// Two's complement, big-endian, without redundant leading bytes.
DERBytes derInteger(std::int64_t value) {
    DERBytes bytes;
    const auto raw = static_cast<std::uint64_t>(value);
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(raw >> shift));
    while (bytes.size() > 1 && ((bytes[0] == 0x00 && !(bytes[1] & 0x80)) || (bytes[0] == 0xFF && (bytes[1] & 0x80)))) {
        bytes.erase(bytes.begin());
    }
    return derElement(kInteger, bytes);
}

DERBytes derUnsignedInteger(std::uint64_t value) {
    DERBytes bytes;
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    while (bytes.size() > 1 && bytes[0] == 0x00 && !(bytes[1] & 0x80)) bytes.erase(bytes.begin());
    if (bytes[0] & 0x80) bytes.insert(bytes.begin(), 0x00);
    return derElement(kInteger, bytes);
}

DERBytes derUTF8String(const std::string& text) { return derElement(kUTF8String, DERBytes(text.begin(), text.end())); }
DERBytes derIA5String(const std::string& text) { return derElement(kIA5String, DERBytes(text.begin(), text.end())); }

std::string receiptDateText(double secondsSince1970) {
    const auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

DERBytes ReceiptWriter::encode(const Receipt& receipt) {
    DERBytes contents;
    append(contents, attribute(2, receipt.attributeVersion, derUTF8String(receipt.bundleIdentifier)));
    append(contents, attribute(3, receipt.attributeVersion, derUTF8String(receipt.applicationVersion)));
    for (const auto& purchase : receipt.purchases) {
        append(contents, attribute(17, receipt.attributeVersion, purchaseSet(purchase, receipt.attributeVersion)));
    }
    return derElement(kSet, contents);
}

bool ReceiptWriter::write(const Receipt& receipt, const std::filesystem::path& path, std::string* why) {
    return writeBytes(encode(receipt), path, why);
}

bool ReceiptWriter::writeBytes(const DERBytes& bytes, const std::filesystem::path& path, std::string* why) {
    return writeFileAtomically(path, std::string(bytes.begin(), bytes.end()), 0644, why);
}

void ReceiptWriter::remove(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::remove(path, error);
}

}  // namespace platform
