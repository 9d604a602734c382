#include "platform/foundation/value.h"

#include <cmath>
#include <limits>

namespace platform {

namespace {
const Value kNull;

std::int64_t saturatingInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (d < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}
}  // namespace

bool Value::boolValue(bool fallback) const {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(v_);
        case Kind::Int: return std::get<std::int64_t>(v_) != 0;
        case Kind::Real: return std::get<double>(v_) != 0;
        default: return fallback;
    }
}

std::int64_t Value::intValue(std::int64_t fallback) const {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
        case Kind::Int: return std::get<std::int64_t>(v_);
        case Kind::Real: return saturatingInt(std::get<double>(v_));
        default: return fallback;
    }
}

double Value::realValue(double fallback) const {
    switch (kind()) {
        case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
        case Kind::Int: return static_cast<double>(std::get<std::int64_t>(v_));
        case Kind::Real: return std::get<double>(v_);
        default: return fallback;
    }
}

std::string Value::stringValue(const std::string& fallback) const {
    return isString() ? asString() : fallback;
}

const Value& Value::operator[](const std::string& key) const {
    const Value* found = find(key);
    return found ? *found : kNull;
}

const Value* Value::find(const std::string& key) const {
    if (!isDictionary()) return nullptr;
    const auto& dict = asDictionary();
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
}

const char* kindName(Value::Kind kind) {
    switch (kind) {
        case Value::Kind::Null: return "null";
        case Value::Kind::Bool: return "bool";
        case Value::Kind::Int: return "int";
        case Value::Kind::Real: return "real";
        case Value::Kind::String: return "string";
        case Value::Kind::Data: return "data";
        case Value::Kind::Date: return "date";
        case Value::Kind::Array: return "array";
        case Value::Kind::Dictionary: return "dictionary";
    }
    return "?";
}

bool containsNull(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Null: return true;
        case Value::Kind::Array:
            for (const auto& item : value.asArray()) {
                if (containsNull(item)) return true;
            }
            return false;
        case Value::Kind::Dictionary:
            for (const auto& [key, item] : value.asDictionary()) {
                if (containsNull(item)) return true;
            }
            return false;
        default: return false;
    }
}

}  // namespace platform
