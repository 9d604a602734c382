#pragma once

// APMPPropertyMap: ordered names and values.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/runtime_value.h"

namespace measurement {

// A name to look up: its text, its hash and, when there is one, the string
// value that carries it. A program's literal names are shared string
// values, so a lookup usually matches on that identity alone.
struct APMPName {
    const APMPStringValue* string = nullptr;
    std::u16string_view text;
    std::uint32_t hash = 0;

    APMPName(const APMPStringValue& value) : string(&value), text(value.value()), hash(value.hash()) {}
    explicit APMPName(std::u16string_view name) : text(name), hash(APMPStringValue::hashName(name)) {}
};

// The name-to-value store behind scopes, maps, arrays and functions.
// Names keep their insertion order, which is the order of property
// iteration and of conversion to host dictionaries.
class APMPPropertyMap {
public:
    APMPPropertyMap() = default;
    ~APMPPropertyMap();
    APMPPropertyMap(const APMPPropertyMap&) = delete;
    APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

    bool hasName(const std::u16string& name) const { return find(APMPName(name)) != nullptr; }
    // The value, or undefined when absent.
    APMPValueRef valueForName(const std::u16string& name) const;
    // The value, or nullptr when absent.
    const APMPValueRef* lookup(const std::u16string& name) const { return find(APMPName(name)); }
    // Writes and removals are ignored on an immutable map or name.
    void setValue(APMPValueRef value, const std::u16string& name);
    void setImmutableValue(APMPValueRef value, const std::u16string& name);
    void removeValueForName(const std::u16string& name) { remove(APMPName(name)); }
    void makeImmutable() { immutable_ = true; }
    bool isImmutable() const { return immutable_; }
    std::vector<std::u16string> allNames() const;

    std::size_t count() const { return size_; }
    // Releases every value and name (the collector's sweep).
    void releaseAll();

    // The same operations by name key. A new entry keeps the key's string
    // value as its name when the key has one.
    const APMPValueRef* find(const APMPName& name) const {
        if (!index_) {
            for (std::uint32_t i = 0; i < size_; ++i) {
                if (matches(data_[i], name)) return &data_[i].value;
            }
            return nullptr;
        }
        const std::uint32_t i = indexedPosition(name);
        return i == kAbsent ? nullptr : &data_[i].value;
    }
    // The value slot of a name, or nullptr; `writable` says whether
    // writes through it are allowed (neither map nor name immutable).
    APMPValueRef* slot(const APMPName& name, bool& writable) {
        const std::uint32_t i = position(name);
        if (i == kAbsent) return nullptr;
        writable = !immutable_ && !data_[i].immutable;
        return &data_[i].value;
    }
    // Writes the value of a name the map holds: false when it holds none;
    // true (and nothing written) when the map or the name is immutable.
    bool assign(APMPValueRef& value, const APMPName& name) {
        const std::uint32_t i = position(name);
        if (i == kAbsent) return false;
        if (!immutable_ && !data_[i].immutable) data_[i].value = std::move(value);
        return true;
    }
    bool contains(const APMPName& name) const { return find(name) != nullptr; }
    void put(APMPValueRef value, const APMPName& name, bool immutable);
    void remove(const APMPName& name);
    // Appends the names, in order, as string values.
    void appendNames(APMPValueList& names) const;
    // Empties the map and makes it mutable again, keeping its storage.
    // Only for a map that nothing but its caller can reach (a scope about
    // to be reused).
    void reset();

    template <class F>
    void forEachValue(F&& visit) const {
        for (std::uint32_t i = 0; i < size_; ++i) visit(data_[i].value);
    }
    template <class F>
    void forEachEntry(F&& visit) const {
        for (std::uint32_t i = 0; i < size_; ++i) visit(data_[i].name->value(), data_[i].value);
    }

private:
    struct Entry {
        Ref<APMPStringValue> name;
        APMPValueRef value;
        std::uint32_t hash;
        bool immutable;
    };
    // Maps up to this size are searched linearly; larger ones get an index.
    static constexpr std::uint32_t kIndexThreshold = 12;
    // Entries held inside the map before any allocation: a call's
    // parameters and a loop's variables fit.
    static constexpr std::uint32_t kInlineEntries = 4;

    static bool matches(const Entry& entry, const APMPName& name) {
        return entry.name.get() == name.string ||
               (entry.hash == name.hash && entry.name->value().size() == name.text.size() &&
                std::u16string_view(entry.name->value()) == name.text);
    }
    static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
    std::uint32_t position(const APMPName& name) const {
        if (index_) return indexedPosition(name);
        for (std::uint32_t i = 0; i < size_; ++i) {
            if (matches(data_[i], name)) return i;
        }
        return kAbsent;
    }
    std::uint32_t indexedPosition(const APMPName& name) const;
    void append(Entry entry);
    void grow();
    void rebuildIndex();
    void destroyEntries();
    Entry* inlineEntries() { return reinterpret_cast<Entry*>(inline_); }

    Entry* data_ = inlineEntries();
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = kInlineEntries;
    bool immutable_ = false;
    // Open addressing over positions + 1 (0 is an empty slot), by hash.
    std::unique_ptr<std::vector<std::uint32_t>> index_;
    alignas(Entry) unsigned char inline_[kInlineEntries * sizeof(Entry)];
};

}  // namespace measurement
