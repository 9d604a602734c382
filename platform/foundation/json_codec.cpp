#include "platform/foundation/json_codec.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace platform {

namespace {

constexpr int kMaxDepth = 512;

std::optional<Value> fromJson(const nlohmann::json& j, int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    switch (j.type()) {
        case nlohmann::json::value_t::null: return Value();
        case nlohmann::json::value_t::boolean: return Value(j.get<bool>());
        case nlohmann::json::value_t::number_integer: return Value(static_cast<long long>(j.get<std::int64_t>()));
        case nlohmann::json::value_t::number_unsigned: {
            auto u = j.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return Value(static_cast<double>(u));
            }
            return Value(static_cast<long long>(u));
        }
        case nlohmann::json::value_t::number_float: return Value(j.get<double>());
        case nlohmann::json::value_t::string: return Value(j.get<std::string>());
        case nlohmann::json::value_t::array: {
            Value::Array array;
            for (const auto& item : j) {
                auto v = fromJson(item, depth + 1);
                if (!v) return std::nullopt;
                array.push_back(std::move(*v));
            }
            return Value(std::move(array));
        }
        case nlohmann::json::value_t::object: {
            Value::Dictionary dict;
            for (const auto& [key, item] : j.items()) {
                auto v = fromJson(item, depth + 1);
                if (!v) return std::nullopt;
                dict[key] = std::move(*v);
            }
            return Value(std::move(dict));
        }
        default: return std::nullopt;
    }
}

nlohmann::json toJson(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Null: return nullptr;
        case Value::Kind::Bool: return value.boolValue();
        case Value::Kind::Int: return value.intValue();
        case Value::Kind::Real: {
            double d = value.realValue();
            // JSON has no infinities or NaN.
            if (!std::isfinite(d)) return nullptr;
            return d;
        }
        case Value::Kind::String: return value.asString();
        case Value::Kind::Data: return value.asData().bytes;
        case Value::Kind::Date: return value.asDate().secondsSince1970;
        case Value::Kind::Array: {
            auto array = nlohmann::json::array();
            for (const auto& item : value.asArray()) array.push_back(toJson(item));
            return array;
        }
        case Value::Kind::Dictionary: {
            auto object = nlohmann::json::object();
            for (const auto& [key, item] : value.asDictionary()) object[key] = toJson(item);
            return object;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<Value> parseJSON(const std::string& text, std::string* error) {
    auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        if (error) *error = "malformed JSON";
        return std::nullopt;
    }
    auto value = fromJson(parsed, 0);
    if (!value && error) *error = "JSON nested too deeply";
    return value;
}

std::string writeJSON(const Value& value, bool pretty) {
    return toJson(value).dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace platform
