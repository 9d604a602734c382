#include "platform/foundation/plist_codec.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/foundation/binary_plist.h"
#include "platform/foundation/plist_forms.h"
#include "platform/foundation/plist_screening.h"

namespace platform {

namespace {

constexpr int kMaxDepth = kPropertyListMaxDepth;

// The values a container holds, in order; a dictionary's keys come with
// its values, since the library keeps them as nodes of their own.
std::vector<plist_t> childrenOf(plist_t node) {
    std::vector<plist_t> children;
    switch (plist_get_node_type(node)) {
        case PLIST_ARRAY: {
            plist_array_iter it = nullptr;
            plist_array_new_iter(node, &it);
            for (plist_t child = nullptr;;) {
                plist_array_next_item(node, it, &child);
                if (!child) break;
                children.push_back(child);
            }
            std::free(it);
            break;
        }
        case PLIST_DICT: {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (plist_t child = nullptr;;) {
                plist_dict_next_item(node, it, nullptr, &child);
                if (!child) break;
                children.push_back(plist_dict_item_get_key(child));
                children.push_back(child);
            }
            std::free(it);
            break;
        }
        default:
            break;
    }
    return children;
}

// The library frees a tree by recursion; this frees it from the leaves up
// with a stack of its own, however deep it is. A container's children are
// listed before the first of them goes: a list of more than a hundred
// values keeps an index of them that freeing one does not update, so it
// must not be asked for a child once its children start to go. Each child
// goes from the front, where taking it out of its parent costs nothing.
void freeTree(plist_t root) {
    struct Frame {
        plist_t node;
        std::vector<plist_t> children;
        std::size_t next = 0;
    };
    std::vector<Frame> path;
    path.push_back({root, childrenOf(root)});
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next < frame.children.size()) {
            plist_t child = frame.children[frame.next++];
            path.push_back({child, childrenOf(child)});
            continue;
        }
        plist_free(frame.node);
        path.pop_back();
    }
}

struct PlistDeleter {
    void operator()(plist_t node) const { freeTree(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<Value> fromNode(plist_t node, int depth) {
    if (node == nullptr || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            // Negative integers are stored as their two's-complement pattern.
            std::int64_t i = 0;
            std::memcpy(&i, &u, sizeof i);
            return Value(static_cast<long long>(i));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // Read with its length: the library's copying read asserts when
            // the two disagree.
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return Value(text ? std::string(text, length) : std::string());
        }
        case PLIST_KEY: {
            // Safe once the bytes were screened: no key holds a NUL.
            char* text = nullptr;
            plist_get_key_val(node, &text);
            std::string key = text ? text : "";
            std::free(text);
            return Value(std::move(key));
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            Data data;
            if (bytes) data.bytes.assign(bytes, bytes + length);
            std::free(bytes);
            return Value(std::move(data));
        }
        case PLIST_DATE: {
            // The library splits a date by truncation: the microseconds
            // carry the sign of the seconds (-1.5 reads as -1 and 500000).
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            const double fraction = usec / 1e6;
            return Value(Date{(sec < 0 ? sec - fraction : sec + fraction) + plist_forms::kReferenceDateOffset});
        }
        case PLIST_ARRAY: {
            // Walked with an iterator: asking for the i-th value walks the
            // list from its start each time.
            Value::Array array;
            array.reserve(plist_array_get_size(node));
            for (plist_t child : childrenOf(node)) {
                auto item = fromNode(child, depth + 1);
                if (!item) return std::nullopt;
                array.push_back(std::move(*item));
            }
            return Value(std::move(array));
        }
        case PLIST_DICT: {
            Value::Dictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t child = nullptr;
                plist_dict_next_item(node, it, &key, &child);
                if (child == nullptr) {
                    std::free(key);
                    break;
                }
                auto item = fromNode(child, depth + 1);
                std::string name = key ? key : "";
                std::free(key);
                if (!item) {
                    std::free(it);
                    return std::nullopt;
                }
                dict[name] = std::move(*item);
            }
            std::free(it);
            return Value(std::move(dict));
        }
        default:
            return std::nullopt;
    }
}

// Whole seconds and microseconds since 2001, as the format holds them.
plist_t dateNode(const Date& date) {
    const auto parts = plist_forms::datePartsSince2001(date);
    return plist_new_date(parts.seconds, parts.microseconds);
}

plist_t toNode(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Null:
            // Property lists have no null; an empty string is the nearest.
            return plist_new_string("");
        case Value::Kind::Bool: return plist_new_bool(value.boolValue() ? 1 : 0);
        case Value::Kind::Int: {
            std::int64_t i = value.intValue();
            uint64_t u = 0;
            std::memcpy(&u, &i, sizeof u);
            return plist_new_uint(u);
        }
        case Value::Kind::Real: return plist_new_real(value.realValue());
        case Value::Kind::String: return plist_new_string(plist_forms::validUTF8(value.asString()).c_str());
        case Value::Kind::Data: {
            const auto& bytes = value.asData().bytes;
            return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        case Value::Kind::Date: return dateNode(value.asDate());
        case Value::Kind::Array: {
            plist_t array = plist_new_array();
            for (const auto& item : value.asArray()) plist_array_append_item(array, toNode(item));
            return array;
        }
        case Value::Kind::Dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : value.asDictionary()) {
                plist_dict_set_item(dict, plist_forms::validUTF8(key).c_str(), toNode(item));
            }
            return dict;
        }
    }
    return plist_new_string("");
}

}  // namespace

std::optional<Value> parsePropertyList(const std::string& bytes, std::string* error) {
    auto fail = [&](const char* why) -> std::optional<Value> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (bytes.empty()) return fail("empty property list");
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) return fail("property list too large");
    PropertyListLimits limits;
    limits.maxDepth = kMaxDepth;
    limits.maxValues = kPropertyListMaxValues;
    const auto length = static_cast<uint32_t>(bytes.size());
    const bool binary = plist_is_binary(bytes.data(), length);
    // Our decoder, safe on any bytes, refuses whatever the screening does:
    // a binary document is screened only to name what is wrong with one
    // the decoder refused. The library is handed screened XML alone.
    std::string refused;
    if (binary) {
        if (auto value = binary_plist::decode(bytes, limits, &refused)) return value;
    }
    if (auto problem = screenPropertyList(bytes, limits)) {
        if (error) *error = *problem;
        return std::nullopt;
    }
    if (binary) return fail(refused.c_str());
    plist_t raw = nullptr;
    plist_from_xml(bytes.data(), length, &raw);
    PlistPtr root(raw);
    if (!root) return fail("malformed property list");
    auto value = fromNode(root.get(), 0);
    if (!value) return fail("unsupported or too deeply nested property list");
    return value;
}

namespace {

// Walks a value as the binary form is read: every value counts, keys do not.
struct ProblemWalk {
    std::size_t values = 0;

    std::optional<std::string> at(const Value& value, int depth) {
        if (depth > kMaxDepth) return "it nests deeper than " + std::to_string(kMaxDepth);
        if (++values > kPropertyListMaxValues) {
            return "it holds more than " + std::to_string(kPropertyListMaxValues) + " values, which no reader takes";
        }
        switch (value.kind()) {
            case Value::Kind::Null: return "a null value is no property list";
            case Value::Kind::Array:
                for (const auto& item : value.asArray()) {
                    if (auto problem = at(item, depth + 1)) return problem;
                }
                return std::nullopt;
            case Value::Kind::Dictionary:
                for (const auto& [key, item] : value.asDictionary()) {
                    if (auto problem = at(item, depth + 1)) return problem;
                }
                return std::nullopt;
            default:
                return std::nullopt;
        }
    }
};

}  // namespace

std::optional<std::string> propertyListProblem(const Value& value) { return ProblemWalk{}.at(value, 0); }

std::string writePropertyListXML(const Value& value) {
    PlistPtr root(toNode(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string out(xml ? xml : "", xml ? length : 0);
    std::free(xml);
    return out;
}

std::string writePropertyListBinary(const Value& value) { return binary_plist::encode(value); }

}  // namespace platform
