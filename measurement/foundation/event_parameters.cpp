// Checks and trimming of event parameters.
#include "measurement/foundation/event_parameters.h"

#include <optional>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "measurement/foundation/text.h"

namespace measurement {

namespace {

constexpr const char* kScreenParameters[] = {"_si", "_sc", "_sn"};

struct Failure {
    int code;
    std::string name;
    std::optional<std::int64_t> length;
};

// Runs the checks of one parameter set and remembers the first failure.
class Sanitizer {
public:
    Sanitizer(const std::string& eventName, bool isPublicEvent, const APMEventParameterLimits& limits)
        : eventName_(eventName), isPublic_(isPublicEvent), limits_(limits) {}

    APMParameters run(const platform::Value::Dictionary& parameters, bool allowLists) {
        APMParameters result;
        std::size_t publicCount = 0;
        for (const auto& [name, object] : parameters) {
            if (!acceptsName(name)) continue;
            if (isPublic_ && name[0] != '_' && ++publicCount > limits_.maxPublicParameters) {
                fail(kAPMTooManyParameters, name, kAPMTooManyParametersCode,
                     "Event has too many parameters. Parameter dropped. Event name, parameter name");
                continue;
            }
            if (auto value = convert(name, object, allowLists)) result.insert_or_assign(name, std::move(*value));
        }
        return result;
    }

    const std::optional<Failure>& firstFailure() const { return first_; }

private:
    bool acceptsName(const std::string& name) {
        int code = kAPMValidationOK;
        if (isPublic_) {
            bool engineOwn = name.size() > 1 && name[0] == '_' && APMIsValidInternalName(name, 40) &&
                             isEngineParameter(name);
            if (!engineOwn) code = APMValidatePublicParameterName(name);
        } else if (!APMIsValidInternalName(name, kAPMMaxPublicParameterNameLength)) {
            code = kAPMInvalidParameterName;
        }
        if (code == kAPMValidationOK) return true;
        fail(code, name, kAPMInvalidParameterNameCode, "Event parameter name is invalid. Event name, parameter name");
        return false;
    }

    static bool isEngineParameter(const std::string& name) {
        if (name == kAPMErrorCodeParameter || name == kAPMErrorValueParameter || name == kAPMErrorLengthParameter) {
            return true;
        }
        return APMPublicName(publicToInternalParameterNames(), name).has_value();
    }

    std::optional<APMValue> convert(const std::string& name, const platform::Value& object, bool allowLists) {
        using Kind = platform::Value::Kind;
        switch (object.kind()) {
            case Kind::String: return trimmed(name, object.asString());
            case Kind::Int:
            case Kind::Bool: return APMValue(object.intValue());
            case Kind::Real: return APMValue(object.realValue());
            case Kind::Array:
                if (allowLists) return list(name, object.asArray());
                break;
            default: break;
        }
        fail(kAPMInvalidValue, name, kAPMInvalidParameterValueCode,
             "Event parameter value is of an unsupported type. Parameter dropped. Event name, parameter name");
        return std::nullopt;
    }

    APMValue trimmed(const std::string& name, const std::string& text) {
        std::size_t length = APMUTF16Length(text);
        if (length <= limits_.maxValueLength) return APMValue(text);
        fail(kAPMParameterValueTooLong, name, kAPMParameterValueTrimmedCode,
             "Event parameter value is too long. The value is trimmed. Event name, parameter name",
             static_cast<std::int64_t>(length));
        return APMValue(APMTruncatedToUTF16Length(text, limits_.maxValueLength));
    }

    std::optional<APMValue> list(const std::string& name, const platform::Value::Array& elements) {
        for (const auto& element : elements) {
            if (!element.isDictionary()) {
                fail(kAPMInvalidValue, name, kAPMInvalidParameterValueCode,
                     "Event parameter list holds a value that is not a dictionary. Parameter dropped. Event name, "
                     "parameter name");
                return std::nullopt;
            }
        }
        std::size_t count = elements.size();
        if (count > limits_.maxListLength) {
            fail(kAPMListTooLong, name, kAPMParameterListTrimmedCode,
                 "Event parameter list is too long. The list is trimmed. Event name, parameter name");
            count = limits_.maxListLength;
        }
        std::vector<APMParameters> dictionaries;
        for (std::size_t i = 0; i < count; ++i) dictionaries.push_back(run(elements[i].asDictionary(), false));
        return APMValue(std::move(dictionaries));
    }

    void fail(int code, const std::string& name, long messageCode, const std::string& message,
              std::optional<std::int64_t> length = std::nullopt) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, messageCode, message,
                                          platform::Value(APMEventNameForLog(eventName_)),
                                          platform::Value(APMParameterNameForLog(name)));
        if (!first_) first_ = Failure{code, name, length};
    }

    const std::string& eventName_;
    bool isPublic_;
    const APMEventParameterLimits& limits_;
    std::optional<Failure> first_;
};

template <class Parameters>
bool hasScreenParameters(const Parameters& parameters) {
    for (const char* name : kScreenParameters) {
        if (parameters.count(name)) return true;
    }
    return false;
}

}  // namespace

APMParameters APMSanitizedEventParameters(const platform::Value::Dictionary& parameters,
                                          const std::string& eventName, bool isPublicEvent,
                                          bool addErrorParameters, const APMEventParameterLimits& limits) {
    Sanitizer sanitizer(eventName, isPublicEvent, limits);
    APMParameters result = sanitizer.run(parameters, true);
    const auto& failure = sanitizer.firstFailure();
    if (failure && addErrorParameters && !result.count(kAPMErrorCodeParameter)) {
        result.insert_or_assign(kAPMErrorCodeParameter, APMValue(static_cast<std::int64_t>(failure->code)));
        result.insert_or_assign(kAPMErrorValueParameter,
                                APMValue(APMTruncatedToUTF16Length(failure->name, limits.maxValueLength)));
        if (failure->length) result.insert_or_assign(kAPMErrorLengthParameter, APMValue(*failure->length));
    }
    return result;
}

APMParameters APMSanitizedEventParameters(const APMParameters& parameters, const std::string& eventName,
                                          bool isPublicEvent, bool addErrorParameters,
                                          const APMEventParameterLimits& limits) {
    return APMSanitizedEventParameters(APMObjectsFromParameters(parameters), eventName, isPublicEvent,
                                       addErrorParameters, limits);
}

bool APMHasScreenParameters(const APMParameters& parameters) { return hasScreenParameters(parameters); }

bool APMHasScreenParameters(const platform::Value::Dictionary& parameters) {
    return hasScreenParameters(parameters);
}

}  // namespace measurement
