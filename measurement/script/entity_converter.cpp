// Program entities to runtime values, and values to and from host objects.
#include "measurement/script/entity_converter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "measurement/script/object_manager.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

std::string_view bytesText(const pb_bytes_array_t* bytes) {
    if (bytes == nullptr) return {};
    return {reinterpret_cast<const char*>(bytes->bytes), bytes->size};
}

constexpr std::uint32_t kStringEntity = 1;
constexpr std::uint32_t kNumberEntity = 2;
constexpr std::uint32_t kBooleanEntity = 3;
constexpr std::uint32_t kStatementEntity = 4;

APMPValueRef convertEntity(const nano_APMPBRuntimeEntity& entity, APMPProgramLiterals& literals, ScriptError& error,
                           int depth, int maxDepth);

APMPValueRef convertStatement(const nano_APMPBRuntimeEntity& entity, APMPProgramLiterals& literals,
                              ScriptError& error, int depth, int maxDepth) {
    if (entity.name == nullptr) {
        error.fail(kAPMPErrorStatementWithoutName);
        return APMPUndefined();
    }
    APMPValueList arguments;
    arguments.reserve(entity.entities_count);
    for (pb_size_t i = 0; i < entity.entities_count; ++i) {
        arguments.push_back(convertEntity(entity.entities[i], literals, error, depth + 1, maxDepth));
        if (error) return APMPUndefined();
    }
    return makeRef<APMPStatementValue>(literals.stringValue(bytesText(entity.name)), std::move(arguments));
}

APMPValueRef convertEntity(const nano_APMPBRuntimeEntity& entity, APMPProgramLiterals& literals, ScriptError& error,
                           int depth, int maxDepth) {
    if (depth > maxDepth) {
        error.fail(kAPMPErrorUnknownEntity);
        return APMPUndefined();
    }
    switch (entity.has_type ? entity.type : 0) {
        case kStringEntity:
            return literals.stringValue(bytesText(entity.string_value));
        case kNumberEntity:
            return APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
        case kBooleanEntity:
            return APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
        case kStatementEntity:
            return convertStatement(entity, literals, error, depth, maxDepth);
        default:
            error.fail(kAPMPErrorUnknownEntity);
            return APMPUndefined();
    }
}

}  // namespace

Ref<APMPStringValue> APMPProgramLiterals::stringValue(std::string_view utf8) {
    auto& value = strings_[utf8];
    if (!value) value = APMPStringValue::fromUTF8(utf8);
    return value;
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity,
                                                                       ScriptError& error, int maxDepth) {
    APMPProgramLiterals literals;
    return convertEntity(entity, literals, error, 1, maxDepth);
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity,
                                                                       APMPProgramLiterals& literals,
                                                                       ScriptError& error, int maxDepth) {
    return convertEntity(entity, literals, error, 1, maxDepth);
}

APMPValueRef APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity) {
    return APMPStringValue::fromUTF8(bytesText(entity.string_value));
}

APMPValueRef APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity) {
    return APMPNumber(entity.has_number_value ? entity.number_value : std::numeric_limits<double>::quiet_NaN());
}

APMPValueRef APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity) {
    return APMPBoolean(entity.has_boolean_value && entity.boolean_value);
}

APMPValueRef APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const nano_APMPBRuntimeEntity& entity,
                                                                         ScriptError& error, int maxDepth) {
    APMPProgramLiterals literals;
    return convertStatement(entity, literals, error, 1, maxDepth);
}

namespace {

APMPValueRef fromHost(const platform::Value& object, APMPScope& scope, ScriptError& error, int depth) {
    if (depth > kAPMPMaxDataDepth) {
        error.fail(kAPMPErrorBudgetExhausted);
        return APMPUndefined();
    }
    switch (object.kind()) {
        case platform::Value::Kind::Null:
            return APMPNull();
        case platform::Value::Kind::Bool:
            return APMPBoolean(object.boolValue());
        case platform::Value::Kind::Int:
        case platform::Value::Kind::Real:
            return APMPNumber(object.realValue());
        case platform::Value::Kind::String:
            return APMPStringValue::fromUTF8(object.asString());
        case platform::Value::Kind::Dictionary: {
            auto map = APMPObjectManager::mapValueWithScope(scope);
            for (const auto& [key, entry] : object.asDictionary()) {
                APMPValueRef value = fromHost(entry, scope, error, depth + 1);
                if (error) return APMPUndefined();
                map->setValue(std::move(value), utf16FromUTF8(key));
            }
            return map;
        }
        case platform::Value::Kind::Array: {
            APMPValueList elements;
            for (const auto& entry : object.asArray()) {
                elements.push_back(fromHost(entry, scope, error, depth + 1));
                if (error) return APMPUndefined();
            }
            return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
        }
        case platform::Value::Kind::Data:
        case platform::Value::Kind::Date:
            break;
    }
    error.fail(kAPMPErrorUnknownHostObject);
    return APMPUndefined();
}

// Values being converted: a value met again inside itself is a cycle.
class HostConversion {
public:
    // Text becomes a number only when it is the runtime's own writing of a
    // finite number ("12", "-0.5", "1e+21"): text that merely reads as one
    // ("01234", "12.0", " 7", "1e3") is data such as a code or an
    // identifier, and stays text.
    static platform::Value textObject(const std::u16string& text) {
        const double number = parseScriptNumber(text);
        if (std::isfinite(number) && formatScriptNumber(number) == text) return platform::Value(number);
        return platform::Value(utf8FromUTF16(text));
    }

    std::optional<platform::Value> convert(const APMPValueRef& value, ScriptError& error) {
        switch (value.kind()) {
            case APMPValueKind::Null:
                return std::nullopt;
            case APMPValueKind::Undefined:
                return platform::Value(std::string());
            case APMPValueKind::Map:
                return dictionary(valueAs<APMPMapValue>(value), error);
            case APMPValueKind::Array:
                return list(valueAs<APMPArrayValue>(value), error);
            case APMPValueKind::String:
                return textObject(valueAs<APMPStringValue>(value).value());
            default:
                break;
        }
        const double number = value.doubleValueOrError(error);
        if (error) return std::nullopt;
        if (!std::isnan(number)) return platform::Value(number);
        const auto text = value.stringValueOrError(error);
        if (error) return std::nullopt;
        return platform::Value(utf8FromUTF16(text));
    }

    std::optional<platform::Value> dictionary(const APMPMapValue& map, ScriptError& error) {
        if (!enter(&map, error)) return std::nullopt;
        platform::Value::Dictionary out;
        for (const auto& name : map.allPropertyNames()) {
            auto converted = convert(map.valueForProperty(name), error);
            if (error) break;
            if (converted) out.emplace(utf8FromUTF16(name), std::move(*converted));
        }
        inProgress_.pop_back();
        if (error) return std::nullopt;
        return platform::Value(std::move(out));
    }

private:
    std::optional<platform::Value> list(const APMPArrayValue& array, ScriptError& error) {
        if (!enter(&array, error)) return std::nullopt;
        platform::Value::Array out;
        for (const auto& element : array.allElements()) {
            auto converted = convert(element, error);
            if (error) break;
            if (converted) out.push_back(std::move(*converted));
        }
        inProgress_.pop_back();
        if (error) return std::nullopt;
        return platform::Value(std::move(out));
    }

    bool enter(const APMPRuntimeValue* value, ScriptError& error) {
        if (std::find(inProgress_.begin(), inProgress_.end(), value) != inProgress_.end()) {
            error.fail(kAPMPErrorArgumentKind);
            return false;
        }
        if (inProgress_.size() >= static_cast<std::size_t>(kAPMPMaxDataDepth)) {
            error.fail(kAPMPErrorBudgetExhausted);
            return false;
        }
        inProgress_.push_back(value);
        return true;
    }

    std::vector<const APMPRuntimeValue*> inProgress_;
};

}  // namespace

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromNSObject(const platform::Value& object, APMPScope& scope,
                                                                  ScriptError& error) {
    return fromHost(object, scope, error, 0);
}

std::optional<platform::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPValueRef& value,
                                                                                ScriptError& error) {
    HostConversion conversion;
    auto result = conversion.convert(value, error);
    if (error) return std::nullopt;
    return result;
}

std::optional<platform::Value> APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                                                ScriptError& error) {
    HostConversion conversion;
    auto result = conversion.dictionary(map, error);
    if (error) return std::nullopt;
    return result;
}

}  // namespace measurement
