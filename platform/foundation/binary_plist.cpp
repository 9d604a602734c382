// The binary property-list form, written and read without the library.
//
// The layout: "bplist00", the objects, a table of each object's offset, and
// a 32-byte trailer (six unused bytes, the width of an offset, the width of
// a reference, the number of objects, the top object, the table's offset).
// An object begins with a marker byte, its type in the high nibble and its
// size in the low one, 0xF when an integer object with the size follows.
// Containers hold references: object numbers, all of one width.
#include "platform/foundation/binary_plist.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/foundation/plist_forms.h"

namespace platform::binary_plist {

namespace {

using plist_forms::bigEndian;
constexpr std::string_view kMagic = plist_forms::kBinaryMagic;
constexpr std::size_t kTrailerSize = plist_forms::kBinaryTrailerSize;

enum Type : unsigned {
    kSimple = 0x0,  // false 0x08, true 0x09
    kInteger = 0x1,
    kReal = 0x2,
    kDate = 0x3,
    kData = 0x4,
    kASCII = 0x5,
    kUTF16 = 0x6,
    kArray = 0xA,
    kSet = 0xC,
    kDictionary = 0xD,
};

// The fewest of 1, 2, 4 or 8 bytes that hold the number, and its power of two.
unsigned widthFor(std::uint64_t n) { return n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : n <= 0xFFFFFFFF ? 4 : 8; }
unsigned log2Of(unsigned width) { return static_cast<unsigned>(std::countr_zero(width)); }

void appendBigEndian(std::string& out, std::uint64_t n, unsigned width) {
    for (unsigned i = width; i-- > 0;) out += static_cast<char>((n >> (8 * i)) & 0xFF);
}

// The objects a value becomes at most (keys counted, nothing shared): what
// the references are written with until the objects are counted.
std::uint64_t objectsIn(const Value& value) {
    std::uint64_t count = 1;
    if (value.isArray()) {
        for (const auto& item : value.asArray()) count += objectsIn(item);
    } else if (value.isDictionary()) {
        for (const auto& [key, item] : value.asDictionary()) count += 1 + objectsIn(item);
    }
    return count;
}

// Objects are written after what they refer to, so that each container
// knows its references when written; the top object comes last. Each object
// is written once: one whose bytes equal those of an object written before
// (its children being shared already, equal values make equal bytes) is
// taken back out, and the earlier one used.
//
// Sharing leaves far fewer objects than the value holds (a history repeats
// its keys and inputs in every entry), and only then is it known how wide a
// reference must be. References are written as wide as the value could need,
// then narrowed in place once the objects are counted; the largest object
// goes last, so that the offsets are as narrow as the objects allow.
class Writer {
public:
    explicit Writer(const Value& root) : referenceWidth_(widthFor(objectsIn(root) - 1)) {
        out_ = kMagic;
        slots_.assign(1024, 0);
    }

    std::string finish(const Value& root) {
        const std::uint64_t top = write(root);
        const unsigned referenceWidth = widthFor(offsets_.size() - 1);
        if (referenceWidth < referenceWidth_) narrowReferences(referenceWidth);
        const std::uint64_t lastOffset = largestLast();
        const std::uint64_t table = out_.size();
        const unsigned offsetWidth = widthFor(lastOffset);
        out_.reserve(out_.size() + offsets_.size() * offsetWidth + kTrailerSize);
        for (const auto offset : offsets_) appendBigEndian(out_, offset, offsetWidth);
        out_.append(6, '\0');
        out_ += static_cast<char>(offsetWidth);
        out_ += static_cast<char>(referenceWidth);
        appendBigEndian(out_, offsets_.size(), 8);
        appendBigEndian(out_, top, 8);
        appendBigEndian(out_, table, 8);
        return std::move(out_);
    }

private:
    // Rewrites every container's references `width` bytes wide, moving each
    // object down to where the one before it now ends. Nothing is written
    // past what was read, as nothing grows.
    void narrowReferences(unsigned width) {
        char* bytes = out_.data();
        std::size_t to = kMagic.size();
        for (std::size_t index = 0; index < offsets_.size(); ++index) {
            const std::size_t from = offsets_[index];
            const std::size_t end = index + 1 < offsets_.size() ? offsets_[index + 1] : out_.size();
            offsets_[index] = to;
            const unsigned type = static_cast<unsigned char>(bytes[from]) >> 4;
            if (type != kArray && type != kDictionary) {
                std::memmove(bytes + to, bytes + from, end - from);
                to += end - from;
                continue;
            }
            // The marker, and the count after it from 15 references on.
            std::size_t header = 1;
            if ((bytes[from] & 0xF) == 0xF) header += 1 + (std::size_t{1} << (bytes[from + 1] & 0xF));
            std::memmove(bytes + to, bytes + from, header);
            to += header;
            for (std::size_t at = from + header; at < end; at += referenceWidth_) {
                const std::uint64_t reference = bigEndian(reinterpret_cast<const unsigned char*>(bytes + at), referenceWidth_);
                for (unsigned i = width; i-- > 0;) bytes[to++] = static_cast<char>((reference >> (8 * i)) & 0xFF);
            }
        }
        out_.resize(to);
    }

    // The offset of the last object once the largest one is moved to the
    // end, where it is when that makes the offsets narrower (numbers are
    // kept: the table maps them to wherever the bytes lie). Objects lie one
    // after the other until then.
    std::uint64_t largestLast() {
        std::size_t largest = offsets_.size() - 1;
        std::size_t largestSize = out_.size() - offsets_[largest];
        for (std::size_t index = 0; index + 1 < offsets_.size(); ++index) {
            const std::size_t size = offsets_[index + 1] - offsets_[index];
            if (size > largestSize) {
                largest = index;
                largestSize = size;
            }
        }
        const std::uint64_t moved = out_.size() - largestSize;
        if (widthFor(moved) >= widthFor(offsets_.back())) return offsets_.back();
        const std::string bytes = out_.substr(offsets_[largest], largestSize);
        out_.erase(offsets_[largest], largestSize);
        for (std::size_t index = largest + 1; index < offsets_.size(); ++index) offsets_[index] -= largestSize;
        offsets_[largest] = out_.size();
        out_ += bytes;
        return moved;
    }

    // The bytes of an object written; objects lie one after the other.
    std::string_view bytesOf(std::uint64_t index) const {
        const std::size_t end = index + 1 < offsets_.size() ? offsets_[index + 1] : out_.size();
        return std::string_view(out_).substr(offsets_[index], end - offsets_[index]);
    }

    // The object whose bytes were appended from `start` on: a new one, or
    // the one written before with the same bytes. A slot holds the high
    // half of an object's hash and its number plus one; the table grows to
    // stay a third empty, so that a search ends soon and the table stays
    // the size of what was written, not of the value. Objects written again
    // and again (keys above all) are found first among the recent ones, a
    // small table that stays in the cache where the large one would not.
    std::uint64_t finishObject(std::size_t start) {
        offsets_.push_back(start);
        const std::uint64_t index = offsets_.size() - 1;
        if (index >= 0xFFFFFFFF) return index;  // past what a slot numbers: not shared
        const std::string_view bytes = bytesOf(index);
        const std::uint64_t hash = std::hash<std::string_view>{}(bytes);
        Recent& recent = recent_[(hash >> 20) % recent_.size()];
        if (recent.hash == hash && recent.index < index && bytesOf(recent.index) == bytes) {
            return takeBack(start, recent.index);
        }
        const std::uint64_t found = find(hash, bytes, index);
        recent = {hash, found};
        return found == index ? index : takeBack(start, found);
    }

    // The earlier object with the bytes, or `index` entered as a new one.
    std::uint64_t find(std::uint64_t hash, std::string_view bytes, std::uint64_t index) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            if (slots_[slot] == 0) {
                slots_[slot] = slotFor(hash, index);
                if (++used_ * 3 >= slots_.size() * 2) grow();
                return index;
            }
            const std::uint64_t other = (slots_[slot] & 0xFFFFFFFF) - 1;
            if ((slots_[slot] >> 32) == (hash >> 32) && bytesOf(other) == bytes) return other;
        }
    }

    // Takes the object just appended back out, for the earlier one.
    std::uint64_t takeBack(std::size_t start, std::uint64_t earlier) {
        offsets_.pop_back();
        out_.resize(start);
        return earlier;
    }

    static std::uint64_t slotFor(std::uint64_t hash, std::uint64_t index) {
        return (hash >> 32) << 32 | (index + 1);
    }

    void grow() {
        std::vector<std::uint64_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const std::uint64_t entry : old) {
            if (entry == 0) continue;
            const std::uint64_t index = (entry & 0xFFFFFFFF) - 1;
            std::size_t slot = std::hash<std::string_view>{}(bytesOf(index)) & mask;
            while (slots_[slot] != 0) slot = (slot + 1) & mask;
            slots_[slot] = entry;
        }
    }

    void marker(unsigned type, std::uint64_t count) {
        if (count < 15) {
            out_ += static_cast<char>(type << 4 | count);
            return;
        }
        out_ += static_cast<char>(type << 4 | 0xF);
        integer(count, widthFor(count));
    }

    void integer(std::uint64_t bits, unsigned width) {
        out_ += static_cast<char>(kInteger << 4 | log2Of(width));
        appendBigEndian(out_, bits, width);
    }

    void real(unsigned type, double value) {
        out_ += static_cast<char>(type << 4 | 3);
        appendBigEndian(out_, std::bit_cast<std::uint64_t>(value), 8);
    }

    std::uint64_t write(const Value& value) {
        switch (value.kind()) {
            case Value::Kind::Null: return text("");
            case Value::Kind::String: return text(value.asString());
            case Value::Kind::Array: return array(value.asArray());
            case Value::Kind::Dictionary: return dictionary(value.asDictionary());
            default: break;
        }
        const std::size_t start = out_.size();
        switch (value.kind()) {
            case Value::Kind::Bool: out_ += value.boolValue() ? '\x09' : '\x08'; break;
            case Value::Kind::Int: {
                // Negative numbers take all eight bytes, read as signed.
                const auto bits = std::bit_cast<std::uint64_t>(value.intValue());
                integer(bits, value.intValue() < 0 ? 8 : widthFor(bits));
                break;
            }
            case Value::Kind::Real: real(kReal, value.realValue()); break;
            case Value::Kind::Date: {
                const auto parts = plist_forms::datePartsSince2001(value.asDate());
                real(kDate, static_cast<double>(parts.seconds) + static_cast<double>(parts.microseconds) / 1000000.0);
                break;
            }
            case Value::Kind::Data: {
                const auto& bytes = value.asData().bytes;
                marker(kData, bytes.size());
                out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                break;
            }
            default: break;
        }
        return finishObject(start);
    }

    // A container's references wait on one stack shared by all, from `base`
    // on, until its children are written.
    std::uint64_t array(const Value::Array& items) {
        const std::size_t base = references_.size();
        for (const auto& item : items) references_.push_back(write(item));
        return container(kArray, items.size(), base);
    }

    std::uint64_t dictionary(const Value::Dictionary& entries) {
        const std::size_t base = references_.size();
        for (const auto& entry : entries) references_.push_back(text(entry.first));
        for (const auto& entry : entries) references_.push_back(write(entry.second));
        return container(kDictionary, entries.size(), base);
    }

    std::uint64_t container(unsigned type, std::uint64_t count, std::size_t base) {
        const std::size_t start = out_.size();
        marker(type, count);
        for (std::size_t i = base; i < references_.size(); ++i) appendBigEndian(out_, references_[i], referenceWidth_);
        references_.resize(base);
        return finishObject(start);
    }

    // A text (a string or a key) up to its first NUL, as valid UTF-8.
    std::uint64_t text(std::string_view raw) {
        std::string_view shown = raw.substr(0, raw.find('\0'));
        const bool ascii = std::all_of(shown.begin(), shown.end(), [](char c) { return (c & 0x80) == 0; });
        std::string repaired;
        if (!ascii && !plist_forms::isValidUTF8(shown)) shown = repaired = plist_forms::validUTF8(shown);
        const std::size_t start = out_.size();
        if (ascii) {
            marker(kASCII, shown.size());
            out_.append(shown);
        } else {
            utf16(shown);
        }
        return finishObject(start);
    }

    void utf16(std::string_view text) {
        std::u16string units;
        units.reserve(text.size());
        for (std::size_t i = 0; i < text.size();) {
            const auto lead = static_cast<unsigned char>(text[i]);
            const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k) {
                code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            }
            i += length;
            if (code >= 0x10000) {
                code -= 0x10000;
                units += static_cast<char16_t>(0xD800 | (code >> 10));
                units += static_cast<char16_t>(0xDC00 | (code & 0x3FF));
            } else {
                units += static_cast<char16_t>(code);
            }
        }
        marker(kUTF16, units.size());
        for (const char16_t unit : units) appendBigEndian(out_, unit, 2);
    }

    std::string out_;
    std::vector<std::uint64_t> offsets_;
    std::vector<std::uint64_t> references_;
    std::vector<std::uint64_t> slots_;
    std::size_t used_ = 0;
    struct Recent {
        std::uint64_t hash = 0;
        std::uint64_t index = UINT64_MAX;
    };
    std::array<Recent, 4096> recent_{};
    const unsigned referenceWidth_;
};

constexpr const char* kMalformed = "malformed property list";
constexpr const char* kUnsupported = "unsupported or too deeply nested property list";

class Reader {
public:
    Reader(const std::string& bytes, const PropertyListLimits& limits)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()), limits_(limits) {}

    std::optional<Value> run(std::string* error) {
        std::optional<Value> value;
        if (trailer()) value = object(trailer_.topObject, 0);
        if (!value && error) *error = why_;
        return value;
    }

private:
    // One object's marker, read: its type, and the size its low nibble (or
    // the integer after it) gives.
    struct Object {
        unsigned type = 0;
        unsigned info = 0;
        std::uint64_t count = 0;
        std::size_t payload = 0;
    };

    std::nullopt_t fail(const char* why) {
        why_ = why;
        return std::nullopt;
    }

    bool trailer() {
        const bool sound = std::memcmp(data_, kMagic.data(), std::min(size_, kMagic.size())) == 0 &&
                           !plist_forms::readBinaryTrailer(data_, size_, trailer_);
        if (!sound) why_ = kMalformed;
        return sound;
    }

    bool fits(std::size_t at, std::uint64_t count, std::uint64_t unit) const {
        return at <= trailer_.end && count <= (trailer_.end - at) / unit;
    }

    bool locate(std::uint64_t index, Object& out) {
        if (index >= trailer_.objectCount) return false;
        const std::uint64_t offset = bigEndian(data_ + trailer_.offsetTable + index * trailer_.offsetWidth, trailer_.offsetWidth);
        if (offset < kMagic.size() || offset >= trailer_.end) return false;
        std::size_t at = static_cast<std::size_t>(offset);
        const unsigned marker = data_[at++];
        out.type = marker >> 4;
        out.info = marker & 0xF;
        out.count = out.info;
        if (out.info == 0xF && out.type >= kData && out.type != 0x8) {
            if (at >= trailer_.end) return false;
            const unsigned size = data_[at++];
            if (size >> 4 != kInteger || (size & 0xF) > 3 || !fits(at, 1u << (size & 0xF), 1)) return false;
            out.count = bigEndian(data_ + at, 1u << (size & 0xF));
            at += 1u << (size & 0xF);
        }
        out.payload = at;
        return true;
    }

    std::optional<Value> object(std::uint64_t index, int depth) {
        if (depth > limits_.maxDepth) return fail(kUnsupported);
        if (++values_ > limits_.maxValues) return fail("binary property list with too many values");
        Object found;
        if (!locate(index, found)) return fail(kMalformed);
        const unsigned char* payload = data_ + found.payload;
        switch (found.type) {
            case kSimple:
                if (found.info == 0x8 || found.info == 0x9) return Value(found.info == 0x9);
                return fail(kUnsupported);
            case kInteger: return integer(found);
            case kReal:
                if (found.info == 2 && fits(found.payload, 4, 1)) {
                    const auto bits = static_cast<std::uint32_t>(bigEndian(payload, 4));
                    return Value(static_cast<double>(std::bit_cast<float>(bits)));
                }
                if (found.info == 3 && fits(found.payload, 8, 1)) {
                    return Value(std::bit_cast<double>(bigEndian(payload, 8)));
                }
                return fail(kMalformed);
            case kDate:
                if (found.info != 3 || !fits(found.payload, 8, 1)) return fail(kMalformed);
                return Value(Date{std::bit_cast<double>(bigEndian(payload, 8)) + plist_forms::kReferenceDateOffset});
            case kData:
                if (!fits(found.payload, found.count, 1)) return fail(kMalformed);
                return Value(Data{std::vector<std::uint8_t>(payload, payload + found.count)});
            case kASCII:
            case kUTF16:
                if (auto read = text(found)) return Value(std::move(*read));
                return fail(kMalformed);
            case kArray:
            case kSet: return array(found, depth);
            case kDictionary: return dictionary(found, depth);
            default: return fail(kUnsupported);  // UIDs among them
        }
    }

    std::optional<Value> integer(const Object& found) {
        if (found.info > 4 || !fits(found.payload, 1u << found.info, 1)) return fail(kMalformed);
        // Eight bytes are signed; of sixteen, the low eight are kept.
        const unsigned width = 1u << found.info;
        const std::uint64_t bits =
            width == 16 ? bigEndian(data_ + found.payload + 8, 8) : bigEndian(data_ + found.payload, width);
        return Value(static_cast<long long>(std::bit_cast<std::int64_t>(bits)));
    }

    // A string or key; none when it holds a NUL, which no text may.
    std::optional<std::string> text(const Object& found) {
        const unsigned char* payload = data_ + found.payload;
        if (found.type == kASCII) {
            if (!fits(found.payload, found.count, 1) || std::memchr(payload, 0, found.count) != nullptr) {
                return std::nullopt;
            }
            return std::string(reinterpret_cast<const char*>(payload), found.count);
        }
        if (!fits(found.payload, found.count, 2)) return std::nullopt;
        std::string out;
        out.reserve(found.count * 2);
        for (std::uint64_t i = 0; i < found.count; ++i) {
            std::uint32_t unit = bigEndian(payload + 2 * i, 2);
            if (unit == 0) return std::nullopt;
            const bool lead = unit >= 0xD800 && unit <= 0xDBFF;
            const std::uint32_t next = i + 1 < found.count ? bigEndian(payload + 2 * (i + 1), 2) : 0;
            if (lead && next >= 0xDC00 && next <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            } else if (unit >= 0xD800 && unit <= 0xDFFF) {
                unit = 0xFFFD;  // half of a pair
            }
            plist_forms::appendUTF8(out, unit);
        }
        return out;
    }

    std::uint64_t reference(const Object& container, std::uint64_t position) const {
        return bigEndian(data_ + container.payload + position * trailer_.referenceWidth, trailer_.referenceWidth);
    }

    std::optional<Value> array(const Object& found, int depth) {
        if (!fits(found.payload, found.count, trailer_.referenceWidth)) return fail(kMalformed);
        Value::Array items;
        items.reserve(static_cast<std::size_t>(found.count));
        for (std::uint64_t i = 0; i < found.count; ++i) {
            auto item = object(reference(found, i), depth + 1);
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
        }
        return Value(std::move(items));
    }

    std::optional<Value> dictionary(const Object& found, int depth) {
        if (found.count > UINT64_MAX / 2 || !fits(found.payload, found.count * 2, trailer_.referenceWidth)) {
            return fail(kMalformed);
        }
        Value::Dictionary entries;
        for (std::uint64_t i = 0; i < found.count; ++i) {
            auto name = key(reference(found, i));
            if (!name) return fail(kMalformed);
            auto item = object(reference(found, found.count + i), depth + 1);
            if (!item) return std::nullopt;
            // Keys written in order go in at the end at no cost.
            entries.insert_or_assign(entries.end(), std::move(*name), std::move(*item));
        }
        return Value(std::move(entries));
    }

    // A dictionary's key, which must be a text. The same keys come back in
    // dictionary after dictionary: the text last read for a few object
    // numbers is kept.
    std::optional<std::string> key(std::uint64_t index) {
        KnownKey& known = keys_[index % keys_.size()];
        if (known.index == index) return known.text;
        Object found;
        if (!locate(index, found) || (found.type != kASCII && found.type != kUTF16)) return std::nullopt;
        auto read = text(found);
        if (read) known = {index, *read};
        return read;
    }

    struct KnownKey {
        std::uint64_t index = UINT64_MAX;
        std::string text;
    };
    std::array<KnownKey, 64> keys_;

    const unsigned char* data_;
    std::size_t size_;
    PropertyListLimits limits_;
    plist_forms::BinaryTrailer trailer_;
    std::size_t values_ = 0;
    const char* why_ = kMalformed;
};

}  // namespace

std::string encode(const Value& value) { return Writer(value).finish(value); }

std::optional<Value> decode(const std::string& bytes, const PropertyListLimits& limits, std::string* error) {
    return Reader(bytes, limits).run(error);
}

}  // namespace platform::binary_plist
