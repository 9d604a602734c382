#pragma once

// APMPRuntimeValue: the values of the script runtime.

#include <cstdint>
#include <string>
#include <vector>

#include "measurement/script/ref.h"
#include "measurement/script/script_error.h"

namespace measurement {

class APMPScope;
class APMPRuntimeValue;
struct APMPCommandEntry;

using APMPValueRef = Ref<APMPRuntimeValue>;
using APMPValueList = std::vector<APMPValueRef>;

// How deep string forms, host conversions and structural equality follow
// nested data (arrays in arrays, maps in maps). They recurse, so deeper data
// ends the operation (error 18, or unequal) instead of the native stack.
inline constexpr int kAPMPMaxDataDepth = 2000;

// Anything the collector visits: values, scopes and the host's roots.
// Marking walks an explicit work list, so deeply nested data marks in
// constant native stack. Every collection marks under a number of its own
// (APMPObjectManager), so a mark that an earlier collection left on a value
// no sweep visits (a native function is never tracked) is simply stale and
// never stops a later collection from marking what that value holds.
class APMPMarkable : public RefCounted {
public:
    void mark(std::uint64_t collection);
    // Releases what an unmarked value holds; a value the collection marked
    // keeps everything.
    virtual void sweep(std::uint64_t /*collection*/) {}

protected:
    friend void markAll(std::vector<APMPMarkable*>& work, std::uint64_t collection);
    // Records the collection; answers whether the children still need
    // visiting (false when this collection has been here already).
    virtual bool markSelf(std::uint64_t /*collection*/) { return false; }
    virtual void markChildren(std::vector<APMPMarkable*>& /*work*/) {}
};

// The classes of runtime values; subclasses of arrays, maps and functions
// (natives, the event handler) share their base's kind.
enum class APMPValueKind : std::uint8_t {
    Hole,
    Undefined,
    Null,
    Boolean,
    Number,
    String,
    Array,
    Map,
    Function,
    Control,
    Statement,
};

// The base of every value. Instantiated directly only as the hole, the
// marker of an array slot without an element.
class APMPRuntimeValue : public APMPMarkable {
public:
    APMPValueKind kind() const { return kind_; }
    bool isHole() const { return kind_ == APMPValueKind::Hole; }
    bool isUndefined() const { return kind_ == APMPValueKind::Undefined; }
    bool isNull() const { return kind_ == APMPValueKind::Null; }
    bool isNullOrUndefined() const { return isNull() || isUndefined(); }
    bool isNumber() const { return kind_ == APMPValueKind::Number; }
    bool isString() const { return kind_ == APMPValueKind::String; }
    bool isBoolean() const { return kind_ == APMPValueKind::Boolean; }
    bool isArray() const { return kind_ == APMPValueKind::Array; }
    bool isMap() const { return kind_ == APMPValueKind::Map; }
    bool isFunction() const { return kind_ == APMPValueKind::Function; }
    bool isControl() const { return kind_ == APMPValueKind::Control; }
    bool isStatement() const { return kind_ == APMPValueKind::Statement; }

    virtual std::u16string stringValueOrError(ScriptError& error) const;
    virtual double doubleValueOrError(ScriptError& error) const;
    virtual bool booleanValueOrError(ScriptError& error) const;
    // A method call: the arguments arrive unevaluated with the caller's scope.
    virtual APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                       APMPScope& scope, ScriptError& error);
    // Structural equality, used where values are compared as data.
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;


protected:
    explicit APMPRuntimeValue(APMPValueKind kind) : kind_(kind) {}
    // The rule every value falls back to: "toString" or error 17.
    APMPValueRef applyBaseRule(const std::u16string& name, ScriptError& error);

private:
    APMPValueKind kind_;
};

class APMPUndefinedValue final : public APMPRuntimeValue {
public:
    static APMPUndefinedValue* sharedInstance();
    std::u16string stringValueOrError(ScriptError&) const override { return u"undefined"; }
    double doubleValueOrError(ScriptError&) const override;
    bool booleanValueOrError(ScriptError&) const override { return false; }
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

private:
    APMPUndefinedValue();
};

class APMPNullValue final : public APMPRuntimeValue {
public:
    static APMPNullValue* sharedInstance();
    std::u16string stringValueOrError(ScriptError&) const override { return u"null"; }
    double doubleValueOrError(ScriptError&) const override { return 0; }
    bool booleanValueOrError(ScriptError&) const override { return false; }
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

private:
    APMPNullValue();
};

class APMPBooleanValue final : public APMPRuntimeValue {
public:
    explicit APMPBooleanValue(bool value) : APMPRuntimeValue(APMPValueKind::Boolean), _value(value) {}
    // One of the two shared instances.
    static APMPBooleanValue* booleanValueWithBool(bool value);
    bool value() const { return _value; }
    std::u16string stringValueOrError(ScriptError&) const override { return _value ? u"true" : u"false"; }
    double doubleValueOrError(ScriptError&) const override { return _value ? 1 : 0; }
    bool booleanValueOrError(ScriptError&) const override { return _value; }

private:
    bool _value;
};

class APMPNumberValue final : public APMPRuntimeValue {
public:
    explicit APMPNumberValue(double value) : APMPRuntimeValue(APMPValueKind::Number), _value(value) {}
    double value() const { return _value; }
    std::u16string stringValueOrError(ScriptError&) const override;
    double doubleValueOrError(ScriptError&) const override { return _value; }
    bool booleanValueOrError(ScriptError&) const override;

private:
    double _value;
};

class APMPStringValue final : public APMPRuntimeValue {
public:
    explicit APMPStringValue(std::u16string value)
        : APMPRuntimeValue(APMPValueKind::String), _value(std::move(value)) {}
    static Ref<APMPStringValue> fromUTF8(std::string_view text);
    const std::u16string& value() const { return _value; }
    std::u16string stringValueOrError(ScriptError&) const override { return _value; }
    double doubleValueOrError(ScriptError&) const override;
    bool booleanValueOrError(ScriptError&) const override { return !_value.empty(); }
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

private:
    std::u16string _value;
};

// break, continue and return travel as ordinary results.
class APMPControlValue final : public APMPRuntimeValue {
public:
    enum class Type : std::uint8_t { Break, Continue, Return };
    static APMPControlValue* breakValue();
    static APMPControlValue* continueValue();
    static Ref<APMPControlValue> returnValueWithData(APMPValueRef data);

    Type type() const { return _type; }
    // "break", "continue" or "return".
    std::u16string typeName() const;
    const APMPValueRef& data() const { return _data; }

private:
    APMPControlValue(Type type, APMPValueRef data);
    Type _type;
    APMPValueRef _data;
};

// A command code or function name with its unevaluated arguments.
class APMPStatementValue final : public APMPRuntimeValue {
public:
    APMPStatementValue(std::u16string functionName, APMPValueList arguments)
        : APMPRuntimeValue(APMPValueKind::Statement),
          _functionName(std::move(functionName)),
          _arguments(std::move(arguments)) {}
    const std::u16string& functionName() const { return _functionName; }
    const APMPValueList& arguments() const { return _arguments; }

    // The registrar's lookup of functionName, kept after the first
    // evaluation (the registrar never changes after it is built).
    const APMPCommandEntry* cachedCommand(bool& resolved) const {
        resolved = resolved_;
        return command_;
    }
    void cacheCommand(const APMPCommandEntry* command) const {
        command_ = command;
        resolved_ = true;
    }

private:
    std::u16string _functionName;
    APMPValueList _arguments;
    mutable const APMPCommandEntry* command_ = nullptr;
    mutable bool resolved_ = false;
};

// Shorthands for the shared instances and new values.
inline APMPValueRef APMPUndefined() { return APMPUndefinedValue::sharedInstance(); }
inline APMPValueRef APMPNull() { return APMPNullValue::sharedInstance(); }
inline APMPValueRef APMPBoolean(bool value) { return APMPBooleanValue::booleanValueWithBool(value); }
inline APMPValueRef APMPNumber(double value) { return makeRef<APMPNumberValue>(value); }
inline APMPValueRef APMPString(std::u16string value) { return makeRef<APMPStringValue>(std::move(value)); }
// The hole of array slots without an element.
APMPRuntimeValue* APMPHole();

// Downcasts after a kind() test.
template <class T>
T& valueAs(const APMPRuntimeValue& v) {
    return static_cast<T&>(const_cast<APMPRuntimeValue&>(v));
}

}  // namespace measurement
