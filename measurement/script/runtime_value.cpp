// Runtime values: kinds, conversions, string forms and equality.
#include "measurement/script/runtime_value.h"

#include <cmath>
#include <limits>

#include "measurement/script/command_families.h"
#include "measurement/script/object_values.h"
#include "measurement/script/script_string.h"

namespace measurement {

void markAll(std::vector<APMPMarkable*>& work, std::uint64_t collection) {
    while (!work.empty()) {
        APMPMarkable* next = work.back();
        work.pop_back();
        if (next->markSelf(collection)) next->markChildren(work);
    }
}

void APMPMarkable::mark(std::uint64_t collection) {
    std::vector<APMPMarkable*> work{this};
    markAll(work, collection);
}

std::u16string APMPRuntimeValue::stringValueOrError(ScriptError& error) const {
    error.fail(kAPMPErrorNoStringValue);
    return {};
}

double APMPRuntimeValue::doubleValueOrError(ScriptError& error) const {
    error.fail(kAPMPErrorNoNumberValue);
    return std::numeric_limits<double>::quiet_NaN();
}

bool APMPRuntimeValue::booleanValueOrError(ScriptError& error) const {
    error.fail(kAPMPErrorNoBooleanValue);
    return false;
}

APMPValueRef APMPRuntimeValue::applyBaseRule(const std::u16string& name, ScriptError& error) {
    if (name != u"toString") {
        error.fail(kAPMPErrorUnknownMethod);
        return APMPUndefined();
    }
    auto text = stringValueOrError(error);
    if (error) return APMPUndefined();
    return APMPString(std::move(text));
}

APMPValueRef APMPRuntimeValue::applyWithName(const std::u16string& name, const APMPValueList&, APMPScope&,
                                             ScriptError& error) {
    return applyBaseRule(name, error);
}

namespace {

// Structural equality; nesting beyond the data depth (only reachable
// through cycles or absurdly deep data) compares unequal.
bool structurallyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b, int depth) {
    if (&a == &b) return true;
    if (depth > kAPMPMaxDataDepth || a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case APMPValueKind::Hole:
            return false;
        case APMPValueKind::Undefined:
        case APMPValueKind::Null:
            return true;
        case APMPValueKind::Boolean:
            return valueAs<APMPBooleanValue>(a).value() == valueAs<APMPBooleanValue>(b).value();
        case APMPValueKind::Number: {
            const double x = valueAs<APMPNumberValue>(a).value();
            const double y = valueAs<APMPNumberValue>(b).value();
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case APMPValueKind::String:
            return valueAs<APMPStringValue>(a).value() == valueAs<APMPStringValue>(b).value();
        case APMPValueKind::Array: {
            const auto& x = valueAs<APMPArrayValue>(a).slots();
            const auto& y = valueAs<APMPArrayValue>(b).slots();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!structurallyEqual(*x[i], *y[i], depth + 1)) return false;
            }
            return true;
        }
        case APMPValueKind::Map: {
            const auto& x = valueAs<APMPMapValue>(a).propertyMap();
            const auto& y = valueAs<APMPMapValue>(b).propertyMap();
            if (x.count() != y.count()) return false;
            for (const auto& name : x.allNames()) {
                const APMPRuntimeValue* other = y.lookup(name);
                if (!other || !structurallyEqual(*x.lookup(name), *other, depth + 1)) return false;
            }
            return true;
        }
        case APMPValueKind::Function: {
            const auto& name = valueAs<APMPFunctionValue>(a).functionName();
            return !name.empty() && name == valueAs<APMPFunctionValue>(b).functionName();
        }
        case APMPValueKind::Control: {
            const auto& x = valueAs<APMPControlValue>(a);
            const auto& y = valueAs<APMPControlValue>(b);
            return x.type() == y.type() && structurallyEqual(*x.data(), *y.data(), depth + 1);
        }
        case APMPValueKind::Statement: {
            const auto& x = valueAs<APMPStatementValue>(a);
            const auto& y = valueAs<APMPStatementValue>(b);
            if (x.functionName() != y.functionName() || x.arguments().size() != y.arguments().size()) return false;
            for (std::size_t i = 0; i < x.arguments().size(); ++i) {
                if (!structurallyEqual(*x.arguments()[i], *y.arguments()[i], depth + 1)) return false;
            }
            return true;
        }
    }
    return false;
}

}  // namespace

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return structurallyEqual(*this, other, 0);
}

namespace {

class HoleValue final : public APMPRuntimeValue {
public:
    HoleValue() : APMPRuntimeValue(APMPValueKind::Hole) { makeImmortal(); }
};

}  // namespace

APMPRuntimeValue* APMPHole() {
    static HoleValue* hole = new HoleValue();
    return hole;
}

APMPUndefinedValue::APMPUndefinedValue() : APMPRuntimeValue(APMPValueKind::Undefined) { makeImmortal(); }

APMPUndefinedValue* APMPUndefinedValue::sharedInstance() {
    static APMPUndefinedValue* instance = new APMPUndefinedValue();
    return instance;
}

double APMPUndefinedValue::doubleValueOrError(ScriptError&) const { return std::numeric_limits<double>::quiet_NaN(); }

APMPValueRef APMPUndefinedValue::applyWithName(const std::u16string&, const APMPValueList&, APMPScope&,
                                               ScriptError& error) {
    error.fail(kAPMPErrorMethodCallOnNothing);
    return APMPUndefined();
}

APMPNullValue::APMPNullValue() : APMPRuntimeValue(APMPValueKind::Null) { makeImmortal(); }

APMPNullValue* APMPNullValue::sharedInstance() {
    static APMPNullValue* instance = new APMPNullValue();
    return instance;
}

APMPValueRef APMPNullValue::applyWithName(const std::u16string&, const APMPValueList&, APMPScope&,
                                          ScriptError& error) {
    error.fail(kAPMPErrorMethodCallOnNothing);
    return APMPUndefined();
}

APMPBooleanValue* APMPBooleanValue::booleanValueWithBool(bool value) {
    static APMPBooleanValue* const shared[2] = {
        [] {
            auto* v = new APMPBooleanValue(false);
            v->makeImmortal();
            return v;
        }(),
        [] {
            auto* v = new APMPBooleanValue(true);
            v->makeImmortal();
            return v;
        }(),
    };
    return shared[value ? 1 : 0];
}

std::u16string APMPNumberValue::stringValueOrError(ScriptError&) const { return formatScriptNumber(_value); }

bool APMPNumberValue::booleanValueOrError(ScriptError&) const { return !(_value == 0 || std::isnan(_value)); }

Ref<APMPStringValue> APMPStringValue::fromUTF8(std::string_view text) {
    return makeRef<APMPStringValue>(utf16FromUTF8(text));
}

double APMPStringValue::doubleValueOrError(ScriptError&) const { return parseScriptNumber(_value); }

APMPValueRef APMPStringValue::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                            APMPScope& scope, ScriptError& error) {
    return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, _value, arguments, scope, error);
}

APMPControlValue::APMPControlValue(Type type, APMPValueRef data)
    : APMPRuntimeValue(APMPValueKind::Control), _type(type), _data(std::move(data)) {}

APMPControlValue* APMPControlValue::breakValue() {
    static APMPControlValue* instance = [] {
        auto* v = new APMPControlValue(Type::Break, APMPUndefined());
        v->makeImmortal();
        return v;
    }();
    return instance;
}

APMPControlValue* APMPControlValue::continueValue() {
    static APMPControlValue* instance = [] {
        auto* v = new APMPControlValue(Type::Continue, APMPUndefined());
        v->makeImmortal();
        return v;
    }();
    return instance;
}

Ref<APMPControlValue> APMPControlValue::returnValueWithData(APMPValueRef data) {
    return Ref<APMPControlValue>(new APMPControlValue(Type::Return, data ? std::move(data) : APMPUndefined()));
}

std::u16string APMPControlValue::typeName() const {
    switch (_type) {
        case Type::Break:
            return u"break";
        case Type::Continue:
            return u"continue";
        case Type::Return:
            return u"return";
    }
    return {};
}

}  // namespace measurement
