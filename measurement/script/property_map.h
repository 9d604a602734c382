#pragma once

// APMPPropertyMap: ordered names and values.

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "measurement/script/runtime_value.h"

namespace measurement {

// The name-to-value store behind scopes, maps, arrays and functions.
// Names keep their insertion order, which is the order of property
// iteration and of conversion to host dictionaries.
class APMPPropertyMap {
public:
    APMPPropertyMap() = default;
    APMPPropertyMap(const APMPPropertyMap&) = delete;
    APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

    bool hasName(const std::u16string& name) const { return find(name) != npos; }
    // The value, or undefined when absent.
    APMPValueRef valueForName(const std::u16string& name) const;
    // The value, or nullptr when absent (no reference taken).
    APMPRuntimeValue* lookup(const std::u16string& name) const;
    // Writes and removals are ignored on an immutable map or name.
    void setValue(APMPValueRef value, const std::u16string& name);
    void setImmutableValue(APMPValueRef value, const std::u16string& name);
    void removeValueForName(const std::u16string& name);
    void makeImmutable() { immutable_ = true; }
    bool isImmutable() const { return immutable_; }
    std::vector<std::u16string> allNames() const;

    std::size_t count() const { return entries_.size(); }
    // Releases every value and name (the collector's sweep).
    void releaseAll();

    template <class F>
    void forEachValue(F&& visit) const {
        for (const auto& entry : entries_) visit(entry.value.get());
    }

private:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // Maps up to this size are searched linearly; larger ones get an index.
    static constexpr std::size_t kIndexThreshold = 12;

    struct Entry {
        std::u16string name;
        APMPValueRef value;
        bool immutable = false;
    };

    std::size_t find(const std::u16string& name) const;
    void put(APMPValueRef value, const std::u16string& name, bool immutable);
    void rebuildIndex();

    std::vector<Entry> entries_;
    std::unique_ptr<std::unordered_map<std::u16string, std::size_t>> index_;
    bool immutable_ = false;
};

}  // namespace measurement
