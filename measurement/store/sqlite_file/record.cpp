// Decoding SQLite's record format: a header of serial types, then the values they describe.
#include "measurement/store/sqlite_file/record.h"

#include <cmath>
#include <cstring>

#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_btree {

namespace {

using sqlite_format::kMoreBit;

// SQLite reads no record whose header is larger than this.
constexpr std::uint64_t kLargestHeader = 98307;
// Serial types: NULL, integers of 1, 2, 3, 4, 6 and 8 bytes, a float, the
// constants 0 and 1, two reserved; from 12 on, blobs (even) and texts (odd)
// of (type - 12) / 2 bytes.
enum : std::uint64_t {
    kNullType = 0,
    kLargestIntegerType = 6,
    kFloatType = 7,
    kZeroType = 8,
    kOneType = 9,
    kFirstReservedType = 10,
    kFirstSizedType = 12,
};
constexpr std::size_t kIntegerBytes[] = {0, 1, 2, 3, 4, 6, 8};
constexpr std::size_t kFloatBytes = 8;

// Reads a variable-length integer from `at`; false when it runs past `end`.
bool readVarint(std::string_view bytes, std::size_t end, std::size_t* at, std::uint64_t* value) {
    return sqlite_format::readVarint(reinterpret_cast<const unsigned char*>(bytes.data()), end, at, value);
}

std::size_t sizeOfType(std::uint64_t type) {
    if (type <= kLargestIntegerType) return kIntegerBytes[type];
    if (type == kFloatType) return kFloatBytes;
    if (type < kFirstSizedType) return 0;
    return static_cast<std::size_t>((type - kFirstSizedType) / 2);
}

// A big-endian two's-complement integer of `size` bytes, sign extended.
std::int64_t signedBigEndian(const unsigned char* bytes, std::size_t size) {
    std::uint64_t value = (bytes[0] & kMoreBit) ? ~std::uint64_t{0} : 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return static_cast<std::int64_t>(value);
}

RecordValue valueOf(std::uint64_t type, const unsigned char* bytes, std::size_t size) {
    RecordValue value;
    if (type == kNullType) return value;
    if (type <= kLargestIntegerType || type == kZeroType || type == kOneType) {
        value.type = RecordValue::Type::integer;
        value.integer = type == kZeroType ? 0 : type == kOneType ? 1 : signedBigEndian(bytes, size);
    } else if (type == kFloatType) {
        const auto bits = static_cast<std::uint64_t>(signedBigEndian(bytes, size));
        double real = 0;
        std::memcpy(&real, &bits, sizeof real);
        if (std::isnan(real)) return value;
        value.type = RecordValue::Type::real;
        value.real = real;
    } else {
        value.type = type % 2 == 0 ? RecordValue::Type::blob : RecordValue::Type::text;
        value.bytes.assign(reinterpret_cast<const char*>(bytes), size);
    }
    return value;
}

// UTF-16's surrogates, and the ranges of UTF-8's sequences of one, two,
// three and four bytes, with the marks of their first and later bytes.
constexpr std::uint32_t kFirstSurrogate = 0xd800;
constexpr std::uint32_t kPastSurrogates = 0xe000;
constexpr std::uint32_t kTenBits = 0x3ff;
constexpr std::uint32_t kHighSurrogateLow6 = 0x3f;
constexpr std::uint32_t kHighSurrogatePlane = 0x3c0;
constexpr std::uint32_t kPlaneStep = 0x40;
constexpr unsigned kSurrogateShift = 10;
constexpr std::uint32_t kPastOneByte = 0x80;
constexpr std::uint32_t kPastTwoBytes = 0x800;
constexpr std::uint32_t kPastThreeBytes = 0x10000;
constexpr unsigned char kTwoByteMark = 0xc0;
constexpr unsigned char kThreeByteMark = 0xe0;
constexpr unsigned char kFourByteMark = 0xf0;
constexpr unsigned char kLaterByteMark = 0x80;
constexpr std::uint32_t kSixBits = 0x3f;
constexpr unsigned kSixBitShift = 6;

void appendUtf8(std::uint32_t c, std::string* into) {
    auto later = [&](unsigned shift) { into->push_back(static_cast<char>(kLaterByteMark | ((c >> shift) & kSixBits))); };
    if (c < kPastOneByte) {
        into->push_back(static_cast<char>(c));
    } else if (c < kPastTwoBytes) {
        into->push_back(static_cast<char>(kTwoByteMark | (c >> kSixBitShift)));
        later(0);
    } else if (c < kPastThreeBytes) {
        into->push_back(static_cast<char>(kThreeByteMark | (c >> (2 * kSixBitShift))));
        later(kSixBitShift);
        later(0);
    } else {
        into->push_back(static_cast<char>(kFourByteMark | (c >> (3 * kSixBitShift))));
        later(2 * kSixBitShift);
        later(kSixBitShift);
        later(0);
    }
}

}  // namespace

std::string utf8Text(std::string_view stored, TextEncoding encoding) {
    if (encoding == TextEncoding::utf8) return std::string(stored);
    const bool bigEndian = encoding == TextEncoding::utf16be;
    const auto* bytes = reinterpret_cast<const unsigned char*>(stored.data());
    const std::size_t end = stored.size() & ~std::size_t{1};
    auto unit = [&](std::size_t at) -> std::uint32_t {
        return bigEndian ? (std::uint32_t{bytes[at]} << 8) | bytes[at + 1] : (std::uint32_t{bytes[at + 1]} << 8) | bytes[at];
    };
    std::string text;
    text.reserve(end);
    for (std::size_t at = 0; at < end; at += 2) {
        std::uint32_t c = unit(at);
        // SQLite takes the unit after a surrogate as its pair without
        // looking at it.
        if (c >= kFirstSurrogate && c < kPastSurrogates && at + 2 < end) {
            at += 2;
            const std::uint32_t low = unit(at);
            c = (low & kTenBits) + ((c & kHighSurrogateLow6) << kSurrogateShift) +
                (((c & kHighSurrogatePlane) + kPlaneStep) << kSurrogateShift);
        }
        appendUtf8(c, &text);
    }
    return text;
}

std::optional<Record> decodeRecord(std::string_view payload, std::string* why) {
    std::size_t at = 0;
    std::uint64_t headerSize = 0;
    // No record, or a header of size 0, gives no value: every column reads
    // as its default.
    if (payload.empty()) return Record{};
    const bool sized = readVarint(payload, payload.size(), &at, &headerSize);
    if (sized && headerSize == 0) return Record{};
    if (!sized || headerSize < at || headerSize > kLargestHeader || headerSize > payload.size()) {
        *why = "its record's header runs past the record";
        return std::nullopt;
    }
    const auto headerEnd = static_cast<std::size_t>(headerSize);
    std::vector<std::uint64_t> types;
    std::size_t bodySize = 0;
    while (at < headerEnd) {
        std::uint64_t type = 0;
        if (!readVarint(payload, headerEnd, &at, &type)) {
            *why = "its record's header runs past its own size";
            return std::nullopt;
        }
        if (type == kFirstReservedType || type == kFirstReservedType + 1) {
            *why = "its record holds a reserved serial type";
            return std::nullopt;
        }
        const std::size_t size = sizeOfType(type);
        if (size > payload.size() - headerEnd - bodySize) {
            *why = "its record's values run past the record";
            return std::nullopt;
        }
        bodySize += size;
        types.push_back(type);
    }
    if (bodySize != payload.size() - headerEnd) {
        *why = "its record's values do not fill the record";
        return std::nullopt;
    }
    Record record;
    record.reserve(types.size());
    const auto* body = reinterpret_cast<const unsigned char*>(payload.data()) + headerEnd;
    for (const std::uint64_t type : types) {
        const std::size_t size = sizeOfType(type);
        record.push_back(valueOf(type, body, size));
        body += size;
    }
    return record;
}

}  // namespace measurement::sqlite_btree
