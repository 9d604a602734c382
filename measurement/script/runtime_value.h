#pragma once

// APMPRuntimeValue: the values of the script runtime.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "measurement/script/object_pool.h"
#include "measurement/script/ref.h"
#include "measurement/script/script_error.h"
#include "measurement/script/script_string.h"

namespace measurement {

class APMPScope;
class APMPRuntimeValue;
class APMPValueRef;
struct APMPStatementOp;

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
class APMPMarkable : public RefCounted, public APMPPooledAllocation {
public:
    void mark(std::uint64_t collection);
    // The same with the caller's work list, which keeps its room for the
    // next mark: a collection after every event allocates nothing here.
    void mark(std::uint64_t collection, std::vector<APMPMarkable*>& work);
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

// The base of every value that lives on the heap. Numbers do not: they
// travel inside APMPValueRef. Instantiated directly only as the hole, the
// marker of an array slot without an element.
class APMPRuntimeValue : public APMPMarkable {
public:
    APMPValueKind kind() const { return kind_; }
    bool isHole() const { return kind_ == APMPValueKind::Hole; }
    bool isUndefined() const { return kind_ == APMPValueKind::Undefined; }
    bool isNull() const { return kind_ == APMPValueKind::Null; }
    bool isNullOrUndefined() const { return isNull() || isUndefined(); }
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
    bool isEqualToRuntimeValue(const APMPValueRef& other) const;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;

protected:
    explicit APMPRuntimeValue(APMPValueKind kind) : kind_(kind) {}
    // The rule every value falls back to: "toString" or error 17.
    APMPValueRef applyBaseRule(const std::u16string& name, ScriptError& error);

private:
    APMPValueKind kind_;
};

// A runtime value as programs pass it around: a number held inline, or a
// counted reference to a value on the heap (the shared undefined, null,
// booleans, hole, break and continue are never counted). Sixteen bytes,
// cheap to copy; arithmetic allocates nothing.
//
// `value->operation()` reads like the reference it replaces: the arrow
// yields the handle itself, which answers the whole value protocol. An
// empty handle (default-constructed) stands for "no value" where a host
// callback may give none.
class APMPValueRef {
public:
    APMPValueRef() noexcept : bits_(0), tag_(kEmpty) {}
    APMPValueRef(std::nullptr_t) noexcept : APMPValueRef() {}
    APMPValueRef(APMPRuntimeValue* object) noexcept { adopt(object, true); }
    explicit APMPValueRef(const APMPRuntimeValue& object) noexcept {
        adopt(const_cast<APMPRuntimeValue*>(&object), true);
    }
    template <class T, class = std::enable_if_t<std::is_base_of_v<APMPRuntimeValue, T>>>
    APMPValueRef(const Ref<T>& object) noexcept {
        adopt(object.get(), true);
    }
    template <class T, class = std::enable_if_t<std::is_base_of_v<APMPRuntimeValue, T>>>
    APMPValueRef(Ref<T>&& object) noexcept {
        adopt(object.leak(), false);
    }
    // A handle that does not count the value: only for the length of a
    // call that the value outlives (a value held by reference, possibly
    // one that no reference counts, such as one on the stack).
    static APMPValueRef borrowed(const APMPRuntimeValue& object) noexcept {
        APMPValueRef v;
        v.adopt(const_cast<APMPRuntimeValue*>(&object), false);
        v.tag_ &= ~kCounted;
        return v;
    }
    // A handle to one of the shared, never counted values (undefined,
    // null, the booleans), made without reading the value.
    static APMPValueRef shared(APMPRuntimeValue* object, APMPValueKind kind) noexcept {
        APMPValueRef v;
        v.object_ = object;
        v.tag_ = static_cast<std::uint32_t>(kind);
        return v;
    }
    static APMPValueRef number(double value) noexcept {
        APMPValueRef v;
        v.number_ = value;
        v.tag_ = static_cast<std::uint32_t>(APMPValueKind::Number);
        return v;
    }

    APMPValueRef(const APMPValueRef& o) noexcept : bits_(o.bits_), tag_(o.tag_) {
        if (counted()) ++object_->refs_;
    }
    APMPValueRef(APMPValueRef&& o) noexcept : bits_(o.bits_), tag_(o.tag_) { o.tag_ = kEmpty; }
    APMPValueRef& operator=(const APMPValueRef& o) noexcept {
        if (this == &o) return *this;
        // Counted before the old value goes: releasing it may free what
        // holds `o`.
        if (o.counted()) ++o.object_->refs_;
        APMPValueRef old(std::move(*this));
        bits_ = o.bits_;
        tag_ = o.tag_;
        return *this;
    }
    APMPValueRef& operator=(APMPValueRef&& o) noexcept {
        if (this == &o) return *this;
        APMPValueRef old(std::move(*this));
        bits_ = o.bits_;
        tag_ = o.tag_;
        o.tag_ = kEmpty;
        return *this;
    }
    ~APMPValueRef() {
        if (counted()) object_->release();
    }

    explicit operator bool() const { return tag_ != kEmpty; }
    void reset() { *this = APMPValueRef(); }
    // The handle answers for the value: `value->isArray()`.
    const APMPValueRef* operator->() const { return this; }

    APMPValueKind kind() const { return static_cast<APMPValueKind>(static_cast<std::uint8_t>(tag_)); }
    bool isHole() const { return is(APMPValueKind::Hole); }
    bool isUndefined() const { return is(APMPValueKind::Undefined); }
    bool isNull() const { return is(APMPValueKind::Null); }
    bool isNullOrUndefined() const { return isNull() || isUndefined(); }
    bool isNumber() const { return is(APMPValueKind::Number); }
    bool isString() const { return is(APMPValueKind::String); }
    bool isBoolean() const { return is(APMPValueKind::Boolean); }
    bool isArray() const { return is(APMPValueKind::Array); }
    bool isMap() const { return is(APMPValueKind::Map); }
    bool isFunction() const { return is(APMPValueKind::Function); }
    bool isControl() const { return is(APMPValueKind::Control); }
    bool isStatement() const { return is(APMPValueKind::Statement); }

    // The number of a number value.
    double numberValue() const { return number_; }
    // The heap value, or nothing for a number (and an empty handle).
    APMPRuntimeValue* get() const { return isObject() ? object_ : nullptr; }

    std::u16string stringValueOrError(ScriptError& error) const;
    double doubleValueOrError(ScriptError& error) const {
        if (isNumber()) return number_;
        return object_->doubleValueOrError(error);
    }
    bool booleanValueOrError(ScriptError& error) const;
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) const;
    bool isEqualToRuntimeValue(const APMPValueRef& other) const;

private:
    // The tag: the kind in the low byte, and whether the handle counts
    // its object. A copy moves the payload and the tag as two moves that
    // match how they were written (a 16-byte copy of two separately
    // written fields would stall the processor on every result).
    static constexpr std::uint32_t kEmpty = 0xFF;
    static constexpr std::uint32_t kCounted = 0x100;
    bool counted() const { return (tag_ & kCounted) != 0; }
    bool is(APMPValueKind kind) const { return static_cast<std::uint8_t>(tag_) == static_cast<std::uint8_t>(kind); }
    bool isObject() const { return tag_ != kEmpty && !isNumber(); }
    // Takes the object; `retain` says whether the handle must count it
    // itself (false when a counted reference is handed over).
    void adopt(APMPRuntimeValue* object, bool retain) noexcept {
        object_ = object;
        if (!object) {
            bits_ = 0;
            tag_ = kEmpty;
            return;
        }
        tag_ = static_cast<std::uint32_t>(object->kind());
        if (!object->immortal_) {
            tag_ |= kCounted;
            if (retain) ++object->refs_;
        }
    }

    union {
        double number_;
        APMPRuntimeValue* object_;
        std::uint64_t bits_;
    };
    std::uint32_t tag_;
};

class APMPUndefinedValue final : public APMPRuntimeValue {
public:
    static APMPUndefinedValue* sharedInstance() {
        static APMPUndefinedValue* const instance = makeShared();
        return instance;
    }
    std::u16string stringValueOrError(ScriptError&) const override { return u"undefined"; }
    double doubleValueOrError(ScriptError&) const override;
    bool booleanValueOrError(ScriptError&) const override { return false; }
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

private:
    APMPUndefinedValue();
    static APMPUndefinedValue* makeShared();
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
    static APMPBooleanValue* booleanValueWithBool(bool value) {
        static APMPBooleanValue* const shared[2] = {makeShared(false), makeShared(true)};
        return shared[value ? 1 : 0];
    }
    bool value() const { return _value; }
    std::u16string stringValueOrError(ScriptError&) const override { return _value ? u"true" : u"false"; }
    double doubleValueOrError(ScriptError&) const override { return _value ? 1 : 0; }
    bool booleanValueOrError(ScriptError&) const override { return _value; }

private:
    static APMPBooleanValue* makeShared(bool value);
    bool _value;
};

class APMPStringValue final : public APMPRuntimeValue {
public:
    explicit APMPStringValue(std::u16string value)
        : APMPRuntimeValue(APMPValueKind::String), _value(std::move(value)) {}
    static Ref<APMPStringValue> fromUTF8(std::string_view text);
    const std::u16string& value() const { return _value; }
    // The hash that names are looked up by, computed once.
    std::uint32_t hash() const {
        if (!hashed_) {
            hash_ = hashName(_value);
            hashed_ = true;
        }
        return hash_;
    }
    static std::uint32_t hashName(std::u16string_view text);

    std::u16string stringValueOrError(ScriptError&) const override { return _value; }
    double doubleValueOrError(ScriptError&) const override;
    bool booleanValueOrError(ScriptError&) const override { return !_value.empty(); }
    APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments, APMPScope& scope,
                               ScriptError& error) override;

private:
    std::u16string _value;
    mutable std::uint32_t hash_ = 0;
    mutable bool hashed_ = false;
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

class APMPStatementValue;

// What runs one statement: given the statement (its arguments still
// unevaluated) after its evaluation has been counted.
using APMPStatementRunner = APMPValueRef (*)(const APMPStatementValue& statement, APMPScope& scope,
                                             ScriptError& error);

// The commands a plain expression is made of (see APMPPlainExpression).
enum class APMPPlainForm : std::uint8_t {
    None,
    ReadVariable,
    Assign,
    Add,
    Subtract,
    Multiply,
    Divide,
    Remainder,
    Less,
    LessOrEqual,
    Greater,
    GreaterOrEqual,
    LooseEqual,
    LooseNotEqual,
    StrictEqual,
    StrictNotEqual,
};

// A plain expression is a statement made only of literals, variable reads
// and assignments by literal name, arithmetic and comparisons, in which
// every evaluation is counted before anything can fail. Counting them all
// at once, at the start, therefore ends in the same state as counting
// them one by one; the evaluator does so when the budget and the nesting
// bound allow the whole expression, and goes statement by statement when
// they do not.
struct APMPPlainExpression {
    APMPPlainForm form = APMPPlainForm::None;
    // Whether the expression's last step may fail (a conversion, an
    // assignment to an undeclared name).
    bool mayFail = false;
    // Values held at once while it runs.
    std::uint8_t stack = 0;
    // Nesting levels of its statements, itself included.
    std::uint16_t depth = 0;
    // Evaluations of the whole expression, itself included.
    std::uint32_t evaluations = 0;
};

class APMPPlainCode;

// A command code or function name with its unevaluated arguments. What
// evaluates it is resolved once, when the statement is made.
class APMPStatementValue final : public APMPRuntimeValue {
public:
    APMPStatementValue(std::u16string functionName, APMPValueList arguments);
    // The function name as a string value the program shares.
    APMPStatementValue(Ref<APMPStringValue> functionName, APMPValueList arguments);
    ~APMPStatementValue() override;
    const std::u16string& functionName() const { return _functionName; }
    const APMPValueList& arguments() const { return _arguments; }
    // The function name as a string value (the fallback call looks it up).
    const Ref<APMPStringValue>& name() const { return name_; }
    // The command that serves the statement.
    const APMPStatementOp& op() const { return *op_; }
    const APMPPlainExpression& plain() const { return plain_; }
    // The compiled form of a plain expression, made on its first run.
    const APMPPlainCode& plainCode() const;

private:
    std::u16string _functionName;
    APMPValueList _arguments;
    Ref<APMPStringValue> name_;
    const APMPStatementOp* op_;
    APMPPlainExpression plain_;
    mutable std::unique_ptr<APMPPlainCode> plainCode_;
};

// Shorthands for the shared instances and new values.
inline APMPValueRef APMPUndefined() {
    return APMPValueRef::shared(APMPUndefinedValue::sharedInstance(), APMPValueKind::Undefined);
}
inline APMPValueRef APMPNull() { return APMPNullValue::sharedInstance(); }
inline APMPValueRef APMPBoolean(bool value) {
    return APMPValueRef::shared(APMPBooleanValue::booleanValueWithBool(value), APMPValueKind::Boolean);
}
inline APMPValueRef APMPNumber(double value) { return APMPValueRef::number(value); }
inline APMPValueRef APMPString(std::u16string value) { return makeRef<APMPStringValue>(std::move(value)); }
// The hole of array slots without an element.
APMPRuntimeValue* APMPHole();

// Downcasts after a kind() test.
template <class T>
T& valueAs(const APMPRuntimeValue& v) {
    return static_cast<T&>(const_cast<APMPRuntimeValue&>(v));
}
template <class T>
T& valueAs(const APMPValueRef& v) {
    return static_cast<T&>(*v.get());
}

inline std::u16string APMPValueRef::stringValueOrError(ScriptError& error) const {
    if (isNumber()) return formatScriptNumber(number_);
    return object_->stringValueOrError(error);
}

inline bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return isEqualToRuntimeValue(APMPValueRef::borrowed(other));
}

inline bool APMPValueRef::booleanValueOrError(ScriptError& error) const {
    switch (kind()) {
        case APMPValueKind::Number:
            return !(number_ == 0 || number_ != number_);
        case APMPValueKind::Boolean:
            return static_cast<const APMPBooleanValue*>(object_)->value();
        case APMPValueKind::Undefined:
        case APMPValueKind::Null:
            return false;
        case APMPValueKind::String:
            return !static_cast<const APMPStringValue*>(object_)->value().empty();
        default:
            return object_->booleanValueOrError(error);
    }
}

}  // namespace measurement
