// Runtime values: kinds, conversions, string forms and equality.
#include "measurement/script/runtime_value.h"

#include <cmath>
#include <limits>

#include "measurement/script/command_families.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_values.h"
#include "measurement/script/plain_expression.h"
#include "measurement/script/script_string.h"

namespace measurement {

void markAll(std::vector<APMPMarkable*>& work, std::uint64_t collection) {
    while (!work.empty()) {
        APMPMarkable* next = work.back();
        work.pop_back();
        // Numbers leave no object to visit.
        if (next && next->markSelf(collection)) next->markChildren(work);
    }
}

void APMPMarkable::mark(std::uint64_t collection) {
    std::vector<APMPMarkable*> work;
    mark(collection, work);
}

void APMPMarkable::mark(std::uint64_t collection, std::vector<APMPMarkable*>& work) {
    work.push_back(this);
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
bool structurallyEqual(const APMPValueRef& a, const APMPValueRef& b, int depth) {
    if (a.get() && a.get() == b.get()) return true;
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
            const double x = a.numberValue();
            const double y = b.numberValue();
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case APMPValueKind::String:
            return valueAs<APMPStringValue>(a).value() == valueAs<APMPStringValue>(b).value();
        case APMPValueKind::Array: {
            const auto& x = valueAs<APMPArrayValue>(a).slots();
            const auto& y = valueAs<APMPArrayValue>(b).slots();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i) {
                if (!structurallyEqual(x[i], y[i], depth + 1)) return false;
            }
            return true;
        }
        case APMPValueKind::Map: {
            const auto& x = valueAs<APMPMapValue>(a).propertyMap();
            const auto& y = valueAs<APMPMapValue>(b).propertyMap();
            if (x.count() != y.count()) return false;
            bool equal = true;
            x.forEachEntry([&](const std::u16string& name, const APMPValueRef& value) {
                if (!equal) return;
                const APMPValueRef* other = y.find(APMPName(name));
                equal = other && structurallyEqual(value, *other, depth + 1);
            });
            return equal;
        }
        case APMPValueKind::Function: {
            const auto& name = valueAs<APMPFunctionValue>(a).functionName();
            return !name.empty() && name == valueAs<APMPFunctionValue>(b).functionName();
        }
        case APMPValueKind::Control: {
            const auto& x = valueAs<APMPControlValue>(a);
            const auto& y = valueAs<APMPControlValue>(b);
            return x.type() == y.type() && structurallyEqual(x.data(), y.data(), depth + 1);
        }
        case APMPValueKind::Statement: {
            const auto& x = valueAs<APMPStatementValue>(a);
            const auto& y = valueAs<APMPStatementValue>(b);
            if (x.functionName() != y.functionName() || x.arguments().size() != y.arguments().size()) return false;
            for (std::size_t i = 0; i < x.arguments().size(); ++i) {
                if (!structurallyEqual(x.arguments()[i], y.arguments()[i], depth + 1)) return false;
            }
            return true;
        }
    }
    return false;
}

}  // namespace

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPValueRef& other) const {
    return structurallyEqual(APMPValueRef::borrowed(*this), other, 0);
}

bool APMPValueRef::isEqualToRuntimeValue(const APMPValueRef& other) const { return structurallyEqual(*this, other, 0); }

APMPValueRef APMPValueRef::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                         APMPScope& scope, ScriptError& error) const {
    if (isNumber()) {
        // A number answers only the base rule.
        if (name != u"toString") {
            error.fail(kAPMPErrorUnknownMethod);
            return APMPUndefined();
        }
        return APMPString(formatScriptNumber(number_));
    }
    return object_->applyWithName(name, arguments, scope, error);
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

APMPUndefinedValue* APMPUndefinedValue::makeShared() { return new APMPUndefinedValue(); }

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

APMPBooleanValue* APMPBooleanValue::makeShared(bool value) {
    auto* shared = new APMPBooleanValue(value);
    shared->makeImmortal();
    return shared;
}

Ref<APMPStringValue> APMPStringValue::fromUTF8(std::string_view text) {
    return makeRef<APMPStringValue>(utf16FromUTF8(text));
}

double APMPStringValue::doubleValueOrError(ScriptError&) const { return parseScriptNumber(_value); }

std::uint32_t APMPStringValue::hashName(std::u16string_view text) {
    // FNV-1a over the code units: names are short, and every lookup of a
    // literal name reuses the hash its string value keeps.
    std::uint32_t hash = 2166136261u;
    for (char16_t unit : text) {
        hash ^= unit;
        hash *= 16777619u;
    }
    return hash;
}

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

namespace measurement {

APMPStatementValue::APMPStatementValue(std::u16string functionName, APMPValueList arguments)
    : APMPStatementValue(makeRef<APMPStringValue>(std::move(functionName)), std::move(arguments)) {}

APMPStatementValue::APMPStatementValue(Ref<APMPStringValue> functionName, APMPValueList arguments)
    : APMPRuntimeValue(APMPValueKind::Statement),
      _functionName(functionName->value()),
      _arguments(std::move(arguments)),
      name_(std::move(functionName)),
      op_(&APMPCommandRegistrar::sharedInstance().opFor(_functionName, _arguments)),
      plain_(APMPAnalysePlainExpression(op_->form, _arguments)) {}

APMPStatementValue::~APMPStatementValue() = default;

}  // namespace measurement
