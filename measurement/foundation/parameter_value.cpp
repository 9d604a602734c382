// APMValue: conversions, comparisons and message form.
#include "measurement/foundation/parameter_value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace measurement {

namespace {

const std::vector<APMParameters> kNoList;

}  // namespace

std::string APMShortestDoubleText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buffer[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, d);
        if (std::strtod(buffer, nullptr) == d) break;
    }
    return buffer;
}

std::int64_t APMSaturatingInt64(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; every double below it converts safely.
    if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::int32_t APMSaturatingInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

std::int64_t APMMillisecondsFromSeconds(double seconds) { return APMSaturatingInt64(seconds * 1000.0); }

APMValue::APMValue(std::string value) : v_(std::move(value)) {}
APMValue::APMValue(std::int64_t value) : v_(value) {}
APMValue::APMValue(double value) : v_(value) {}
APMValue::APMValue(std::vector<APMParameters> list)
    : v_(std::make_shared<const std::vector<APMParameters>>(std::move(list))) {}

std::optional<APMValue> APMValue::valueFromObject(const platform::Value& object) {
    using Kind = platform::Value::Kind;
    switch (object.kind()) {
        case Kind::String: return APMValue(object.asString());
        case Kind::Int:
        case Kind::Bool: return APMValue(object.intValue());
        case Kind::Real: return APMValue(object.realValue());
        case Kind::Array: {
            std::vector<APMParameters> list;
            for (const auto& element : object.asArray()) {
                if (!element.isDictionary()) return std::nullopt;
                APMParameters dictionary;
                for (const auto& [name, value] : element.asDictionary()) {
                    auto converted = valueFromObject(value);
                    if (!converted) return std::nullopt;
                    dictionary.emplace(name, std::move(*converted));
                }
                list.push_back(std::move(dictionary));
            }
            return APMValue(std::move(list));
        }
        default: return std::nullopt;
    }
}

std::string APMValue::stringValue() const {
    if (isString()) return std::get<std::string>(v_);
    if (isInt64()) return std::to_string(std::get<std::int64_t>(v_));
    if (isDouble()) return APMShortestDoubleText(std::get<double>(v_));
    return {};
}

std::int64_t APMValue::int64Value() const {
    if (isInt64()) return std::get<std::int64_t>(v_);
    if (isDouble()) return APMSaturatingInt64(std::get<double>(v_));
    return 0;
}

double APMValue::doubleValue() const {
    if (isDouble()) return std::get<double>(v_);
    if (isInt64()) return static_cast<double>(std::get<std::int64_t>(v_));
    return 0;
}

const std::vector<APMParameters>& APMValue::listValue() const {
    return isList() ? *std::get<ListPtr>(v_) : kNoList;
}

platform::Value APMValue::objectValue() const {
    if (isString()) return platform::Value(std::get<std::string>(v_));
    if (isInt64()) return platform::Value(static_cast<long long>(std::get<std::int64_t>(v_)));
    if (isDouble()) return platform::Value(std::get<double>(v_));
    platform::Value::Array list;
    for (const auto& dictionary : listValue()) list.emplace_back(APMObjectsFromParameters(dictionary));
    return platform::Value(std::move(list));
}

std::string APMValue::description() const {
    if (!isList()) return stringValue();
    std::string text = "[";
    bool firstDictionary = true;
    for (const auto& dictionary : listValue()) {
        text += firstDictionary ? "{" : ", {";
        firstDictionary = false;
        bool first = true;
        for (const auto& [name, value] : dictionary) {
            text += (first ? "" : ", ") + name + "=" + value.description();
            first = false;
        }
        text += "}";
    }
    return text + "]";
}

bool APMValue::operator==(const APMValue& other) const {
    if (v_.index() != other.v_.index()) return false;
    if (isList()) return listValue() == other.listValue();
    if (isDouble()) {
        // NaN equals NaN here, so that a value compares equal to its copy.
        double a = std::get<double>(v_);
        double b = std::get<double>(other.v_);
        return a == b || (std::isnan(a) && std::isnan(b));
    }
    return v_ == other.v_;
}

APMParameters APMParametersFromObjects(const platform::Value::Dictionary& objects) {
    APMParameters parameters;
    for (const auto& [name, object] : objects) {
        if (auto value = APMValue::valueFromObject(object)) parameters.emplace(name, std::move(*value));
    }
    return parameters;
}

platform::Value::Dictionary APMObjectsFromParameters(const APMParameters& parameters) {
    platform::Value::Dictionary objects;
    for (const auto& [name, value] : parameters) objects.emplace(name, value.objectValue());
    return objects;
}

}  // namespace measurement
