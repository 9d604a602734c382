#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/user_defaults.h"

namespace platform {

// How a type travels through the preferences: `from` answers none when a
// stored value cannot be read as the type, `to` gives the stored form.
template <class T>
struct DefaultsBridge;

template <>
struct DefaultsBridge<bool> {
    static std::optional<bool> from(const Value& v) { return defaultsBool(v); }
    static Value to(bool b) { return Value(b); }
};

template <>
struct DefaultsBridge<std::int64_t> {
    static std::optional<std::int64_t> from(const Value& v) { return defaultsInteger(v); }
    static Value to(std::int64_t i) { return Value(static_cast<long long>(i)); }
};

template <>
struct DefaultsBridge<int> {
    static std::optional<int> from(const Value& v) {
        auto i = defaultsInteger(v);
        if (!i || *i < std::numeric_limits<int>::min() || *i > std::numeric_limits<int>::max()) return std::nullopt;
        return static_cast<int>(*i);
    }
    static Value to(int i) { return Value(i); }
};

template <>
struct DefaultsBridge<double> {
    static std::optional<double> from(const Value& v) { return defaultsDouble(v); }
    static Value to(double d) { return Value(d); }
};

template <>
struct DefaultsBridge<std::string> {
    static std::optional<std::string> from(const Value& v) { return defaultsString(v); }
    static Value to(const std::string& s) { return Value(s); }
};

// Containers, bytes and dates are read only as their own kind.
template <Value::Kind K, class T, const T& (Value::*Get)() const>
struct DefaultsExactBridge {
    static std::optional<T> from(const Value& v) {
        if (v.kind() != K) return std::nullopt;
        return (v.*Get)();
    }
    static Value to(const T& t) { return Value(t); }
};

template <>
struct DefaultsBridge<Data> : DefaultsExactBridge<Value::Kind::Data, Data, &Value::asData> {};
template <>
struct DefaultsBridge<Date> : DefaultsExactBridge<Value::Kind::Date, Date, &Value::asDate> {};
template <>
struct DefaultsBridge<Value::Array> : DefaultsExactBridge<Value::Kind::Array, Value::Array, &Value::asArray> {};
template <>
struct DefaultsBridge<Value::Dictionary>
    : DefaultsExactBridge<Value::Kind::Dictionary, Value::Dictionary, &Value::asDictionary> {};

template <>
struct DefaultsBridge<Value> {
    static std::optional<Value> from(const Value& v) { return v; }
    static Value to(const Value& v) { return v; }
};

// An optional key: none is stored by removing the key.
template <class T>
struct DefaultsBridge<std::optional<T>> {
    static std::optional<std::optional<T>> from(const Value& v) {
        auto inner = DefaultsBridge<T>::from(v);
        if (!inner) return std::nullopt;
        return std::optional<T>(std::move(*inner));
    }
    static Value to(const std::optional<T>& t) { return t ? DefaultsBridge<T>::to(*t) : Value(); }
};

// A typed preference: a key name with the value read when the key is absent
// or holds something that cannot be read as T. An absent Boolean reads false.
// Reads and writes go to the standard suite unless a suite is given.
template <class T>
class DefaultsKey {
public:
    explicit DefaultsKey(std::string name, T defaultValue = T{})
        : name_(std::move(name)), defaultValue_(std::move(defaultValue)) {}

    const std::string& name() const { return name_; }
    const T& defaultValue() const { return defaultValue_; }

    T get(const UserDefaults& defaults = UserDefaults()) const {
        std::optional<T> value;
        defaults.readObject(name_, [&](const Value& stored) { value = DefaultsBridge<T>::from(stored); });
        return value ? std::move(*value) : defaultValue_;
    }

    bool set(const T& value, UserDefaults defaults = UserDefaults()) const {
        return defaults.setObject(DefaultsBridge<T>::to(value), name_);
    }

    bool remove(UserDefaults defaults = UserDefaults()) const { return defaults.removeObjectForKey(name_); }

    bool hasValue(const UserDefaults& defaults = UserDefaults()) const {
        return defaults.objectForKey(name_).has_value();
    }

private:
    std::string name_;
    T defaultValue_;
};

}  // namespace platform
