// The byte-pattern scan of the store receipt for purchase records.
#include "measurement/audience/receipt_reader.h"

#include <array>

#include "measurement/audience/purchase_codes.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/text.h"

namespace measurement {

namespace {

constexpr std::size_t kFieldCount = 11;
constexpr std::uint8_t kUTF8String = 0x0C;
constexpr std::uint8_t kIA5String = 0x16;
constexpr std::uint8_t kInteger = 0x02;

struct FieldPattern {
    APMReceiptField field;
    std::uint8_t typeLowByte;
    std::uint8_t innerTag;
};

// In the order the scan tries them.
constexpr std::array<FieldPattern, kFieldCount> kFields = {{
    {APMReceiptField::productID, 0xA6, kUTF8String},
    {APMReceiptField::transactionID, 0xA7, kUTF8String},
    {APMReceiptField::originalTransactionID, 0xA9, kUTF8String},
    {APMReceiptField::expirationDate, 0xAC, kIA5String},
    {APMReceiptField::freeTrial, 0xB1, kInteger},
    {APMReceiptField::introductoryOffer, 0xB7, kInteger},
    {APMReceiptField::purchaseType, 0xAB, kInteger},
    {APMReceiptField::webOrderLineItemID, 0xAF, kInteger},
    {APMReceiptField::purchaseDate, 0xA8, kIA5String},
    {APMReceiptField::originalPurchaseDate, 0xAA, kIA5String},
    {APMReceiptField::cancellationDate, 0xB0, kIA5String},
}};

const FieldPattern& patternOf(APMReceiptField field) {
    for (const auto& pattern : kFields) {
        if (pattern.field == field) return pattern;
    }
    return kFields[0];
}

struct Length {
    std::size_t value = 0;
    std::size_t size = 0;
    bool longForm = false;
};

// A DER length at the offset: one byte below 128, else 0x80 | n followed by
// n (1 to 4) big-endian bytes. None for the indefinite form or bytes past
// the end.
std::optional<Length> lengthAt(const APMReceiptBytes& data, std::size_t offset) {
    if (offset >= data.size()) return std::nullopt;
    const std::uint8_t first = data[offset];
    if (first < 0x80) return Length{first, 1, false};
    const std::size_t count = first & 0x7F;
    if (count == 0 || count > 4 || count >= data.size() - offset) return std::nullopt;
    std::size_t value = 0;
    for (std::size_t i = 1; i <= count; ++i) value = (value << 8) | data[offset + i];
    return Length{value, count + 1, true};
}

bool bytesAre(const APMReceiptBytes& data, std::size_t offset, std::initializer_list<int> expected) {
    if (offset > data.size() || expected.size() > data.size() - offset) return false;
    std::size_t i = offset;
    for (int byte : expected) {
        if (byte >= 0 && data[i] != byte) return false;
        ++i;
    }
    return true;
}

std::string contentText(const APMReceiptBytes& data, const APMReceiptMatch& match) {
    const auto first = data.begin() + static_cast<std::ptrdiff_t>(match.contentOffset);
    return std::string(first, first + static_cast<std::ptrdiff_t>(match.contentLength));
}

bool isASCII(const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// 0 NO, 1 YES, anything else NO with a note; only a one-byte content counts.
std::optional<bool> flagOf(const APMReceiptBytes& data, const APMReceiptMatch& match, long code, const char* message) {
    if (match.contentLength != 1) return std::nullopt;
    const std::uint8_t byte = data[match.contentOffset];
    if (byte > 1) APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, code, message, platform::Value(byte));
    return byte == 1;
}

void store(APMInAppPurchaseItem& item, APMReceiptField field, const APMReceiptBytes& data,
           const APMReceiptMatch& match) {
    const auto text = contentText(data, match);
    const auto identifier = APMIsValidUTF8(text) ? std::optional<std::string>(text) : std::nullopt;
    const auto date = isASCII(text) ? std::optional<std::string>(text) : std::nullopt;
    switch (field) {
        case APMReceiptField::productID: item.productID = identifier; break;
        case APMReceiptField::transactionID: item.transactionID = identifier; break;
        case APMReceiptField::originalTransactionID: item.originalTransactionID = identifier; break;
        case APMReceiptField::expirationDate: item.subscriptionExpirationDateIA5String = date; break;
        case APMReceiptField::purchaseDate: item.purchaseDateIA5String = date; break;
        case APMReceiptField::originalPurchaseDate: item.originalPurchaseDateIA5String = date; break;
        case APMReceiptField::cancellationDate: item.cancellationDateIA5String = date; break;
        case APMReceiptField::freeTrial:
            if (auto flag = flagOf(data, match, kAPMReceiptFreeTrialValueCode, "Subdata FT unexpected value")) {
                item.freeTrial = *flag;
            }
            break;
        case APMReceiptField::introductoryOffer:
            if (auto flag = flagOf(data, match, kAPMReceiptIntroductoryOfferValueCode, "Subdata IO unexpected value")) {
                item.introductoryOffer = *flag;
            }
            break;
        case APMReceiptField::purchaseType:
            if (match.contentLength == 1) {
                item.purchaseType = static_cast<std::int8_t>(data[match.contentOffset]);
            }
            break;
        case APMReceiptField::webOrderLineItemID: {
            std::uint64_t value = 0;
            const std::size_t start = match.contentLength > 8 ? match.contentLength - 8 : 0;
            for (std::size_t i = start; i < match.contentLength; ++i) value = (value << 8) | data[match.contentOffset + i];
            if (value != 0) item.webOrderLineItemID = value;
            break;
        }
    }
}

}  // namespace

std::optional<std::size_t> APMReceiptPurchaseItemStartsAt(const APMReceiptBytes& receipt, std::size_t offset) {
    if (!bytesAre(receipt, offset, {0x02, 0x01, 0x11, 0x02, 0x01, -1, 0x04})) return std::nullopt;
    const std::size_t skip = receipt[offset + 5];
    if (skip == 0 || skip > receipt.size() - offset - 7) return std::nullopt;
    return skip + 1;
}

std::optional<APMReceiptMatch> APMMatchReceiptBytePattern(APMReceiptField field, const APMReceiptBytes& receipt,
                                                          std::size_t offset) {
    const auto& pattern = patternOf(field);
    if (!bytesAre(receipt, offset, {0x02, 0x02, 0x06, pattern.typeLowByte, 0x02, 0x01, -1, 0x04})) return std::nullopt;
    const auto outer = lengthAt(receipt, offset + 8);
    if (!outer) return std::nullopt;
    const std::size_t tagOffset = offset + 8 + outer->size;
    if (tagOffset >= receipt.size() || receipt[tagOffset] != pattern.innerTag) return std::nullopt;
    const auto inner = lengthAt(receipt, tagOffset + 1);
    if (!inner || inner->value == 0) return std::nullopt;
    const std::size_t contentOffset = tagOffset + 1 + inner->size;
    if (contentOffset > receipt.size() || inner->value > receipt.size() - contentOffset) return std::nullopt;
    // The element must lie inside the octet string that holds it.
    if (1 + inner->size + inner->value > outer->value) return std::nullopt;
    if (outer->longForm || inner->longForm) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMReceiptLongLengthCode,
                                          "Data is longer than 127");
    }
    // On past the content: its bytes are a value, never a pattern.
    return APMReceiptMatch{contentOffset, inner->value, contentOffset + inner->value - offset};
}

std::optional<std::vector<APMInAppPurchaseItem>> APMReadReceiptPurchaseItems(const APMReceiptBytes& receipt) {
    if (receipt.empty()) return std::nullopt;
    std::vector<APMInAppPurchaseItem> items;
    std::optional<APMInAppPurchaseItem> current;
    std::array<bool, kFieldCount> found{};
    const auto keepCurrent = [&] {
        if (current && current->productID) items.push_back(*current);
    };
    std::size_t offset = 0;
    while (offset < receipt.size()) {
        if (const auto skip = APMReceiptPurchaseItemStartsAt(receipt, offset)) {
            keepCurrent();
            current.emplace();
            found.fill(false);
            offset += *skip;
            continue;
        }
        std::size_t advance = 1;
        if (current) {
            for (std::size_t i = 0; i < kFieldCount; ++i) {
                if (found[i]) continue;
                if (const auto match = APMMatchReceiptBytePattern(kFields[i].field, receipt, offset)) {
                    store(*current, kFields[i].field, receipt, *match);
                    found[i] = true;
                    advance = match->advance;
                    break;
                }
            }
        }
        offset += advance;
    }
    keepCurrent();
    return items;
}

}  // namespace measurement
