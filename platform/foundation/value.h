#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// Raw bytes, kept apart from text so that codecs can tell them apart.
struct Data {
    std::vector<std::uint8_t> bytes;
    bool operator==(const Data&) const = default;
};

// A point in time, in seconds since 1970-01-01 UTC.
struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
};

// A typed value tree: what property lists, JSON documents and user defaults
// hold. Dictionaries keep their keys sorted, which makes encodings stable.
class Value {
public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;

    enum class Kind { Null, Bool, Int, Real, String, Data, Date, Array, Dictionary };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isBool() const { return kind() == Kind::Bool; }
    bool isInt() const { return kind() == Kind::Int; }
    bool isReal() const { return kind() == Kind::Real; }
    bool isNumber() const { return isInt() || isReal(); }
    bool isString() const { return kind() == Kind::String; }
    bool isData() const { return kind() == Kind::Data; }
    bool isDate() const { return kind() == Kind::Date; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }

    // Checked reads: each answers its fallback when the value has another kind.
    bool boolValue(bool fallback = false) const;
    std::int64_t intValue(std::int64_t fallback = 0) const;     // reals saturate, NaN gives 0
    double realValue(double fallback = 0) const;                // ints and bools convert
    std::string stringValue(const std::string& fallback = {}) const;

    // Unchecked access for callers that tested the kind first.
    const std::string& asString() const { return std::get<std::string>(v_); }
    const Data& asData() const { return std::get<Data>(v_); }
    const Date& asDate() const { return std::get<Date>(v_); }
    const Array& asArray() const { return std::get<Array>(v_); }
    Array& asArray() { return std::get<Array>(v_); }
    const Dictionary& asDictionary() const { return std::get<Dictionary>(v_); }
    Dictionary& asDictionary() { return std::get<Dictionary>(v_); }

    // Dictionary lookup; null when this is no dictionary or the key is absent.
    const Value& operator[](const std::string& key) const;
    const Value* find(const std::string& key) const;

    bool operator==(const Value&) const = default;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Data, Date, Array, Dictionary> v_;
};

const char* kindName(Value::Kind kind);

// True when a null stands anywhere inside: such a value is no property list.
bool containsNull(const Value& value);

}  // namespace platform
