// The ordered name-to-value store of scopes and objects.
#include "measurement/script/property_map.h"

#include <new>
#include <utility>

namespace measurement {

APMPPropertyMap::~APMPPropertyMap() { destroyEntries(); }

void APMPPropertyMap::destroyEntries() {
    for (std::uint32_t i = 0; i < size_; ++i) data_[i].~Entry();
    if (data_ != inlineEntries()) ::operator delete(data_);
    data_ = inlineEntries();
    size_ = 0;
    capacity_ = kInlineEntries;
    index_.reset();
}

std::uint32_t APMPPropertyMap::indexedPosition(const APMPName& name) const {
    const auto& slots = *index_;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = name.hash & mask;; i = (i + 1) & mask) {
        const std::uint32_t slot = slots[i];
        if (slot == 0) return kAbsent;
        if (matches(data_[slot - 1], name)) return slot - 1;
    }
}

APMPValueRef APMPPropertyMap::valueForName(const std::u16string& name) const {
    const APMPValueRef* value = find(APMPName(name));
    return value ? *value : APMPUndefined();
}

void APMPPropertyMap::grow() {
    const std::uint32_t capacity = capacity_ * 2;
    auto* entries = static_cast<Entry*>(::operator new(sizeof(Entry) * capacity));
    for (std::uint32_t i = 0; i < size_; ++i) {
        new (&entries[i]) Entry(std::move(data_[i]));
        data_[i].~Entry();
    }
    if (data_ != inlineEntries()) ::operator delete(data_);
    data_ = entries;
    capacity_ = capacity;
}

void APMPPropertyMap::append(Entry entry) {
    if (size_ == capacity_) grow();
    new (&data_[size_]) Entry(std::move(entry));
    ++size_;
    if (size_ > kIndexThreshold && (!index_ || size_ * 2 > index_->size())) {
        rebuildIndex();
    } else if (index_) {
        auto& slots = *index_;
        const std::size_t mask = slots.size() - 1;
        std::size_t i = data_[size_ - 1].hash & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = size_;
    }
}

void APMPPropertyMap::put(APMPValueRef value, const APMPName& name, bool immutable) {
    if (immutable_) return;
    const std::uint32_t i = position(name);
    if (i != kAbsent) {
        Entry& entry = data_[i];
        if (entry.immutable) return;
        entry.value = std::move(value);
        entry.immutable = immutable;
        return;
    }
    Ref<APMPStringValue> key =
        name.string ? Ref<APMPStringValue>(const_cast<APMPStringValue*>(name.string))
                    : makeRef<APMPStringValue>(std::u16string(name.text));
    append(Entry{std::move(key), std::move(value), name.hash, immutable});
}

void APMPPropertyMap::setValue(APMPValueRef value, const std::u16string& name) {
    put(std::move(value), APMPName(name), false);
}

void APMPPropertyMap::setImmutableValue(APMPValueRef value, const std::u16string& name) {
    put(std::move(value), APMPName(name), true);
}

void APMPPropertyMap::remove(const APMPName& name) {
    if (immutable_) return;
    const std::uint32_t i = position(name);
    if (i == kAbsent || data_[i].immutable) return;
    // Held until the map is consistent again: releasing the value may
    // reach back into this map.
    Entry removed = std::move(data_[i]);
    for (std::uint32_t j = i; j + 1 < size_; ++j) data_[j] = std::move(data_[j + 1]);
    data_[size_ - 1].~Entry();
    --size_;
    if (index_) rebuildIndex();
}

void APMPPropertyMap::rebuildIndex() {
    if (size_ <= kIndexThreshold) {
        index_.reset();
        return;
    }
    std::size_t slots = 32;
    while (slots < std::size_t{size_} * 4) slots *= 2;
    index_ = std::make_unique<std::vector<std::uint32_t>>(slots, 0);
    auto& table = *index_;
    const std::size_t mask = slots - 1;
    for (std::uint32_t p = 0; p < size_; ++p) {
        std::size_t i = data_[p].hash & mask;
        while (table[i] != 0) i = (i + 1) & mask;
        table[i] = p + 1;
    }
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
    std::vector<std::u16string> names;
    names.reserve(size_);
    for (std::uint32_t i = 0; i < size_; ++i) names.push_back(data_[i].name->value());
    return names;
}

void APMPPropertyMap::appendNames(APMPValueList& names) const {
    names.reserve(names.size() + size_);
    for (std::uint32_t i = 0; i < size_; ++i) names.emplace_back(data_[i].name);
}

void APMPPropertyMap::releaseAll() {
    // Moved out first: releasing a value may reach back into this map.
    std::vector<Entry> entries;
    entries.reserve(size_);
    for (std::uint32_t i = 0; i < size_; ++i) entries.push_back(std::move(data_[i]));
    destroyEntries();
}

void APMPPropertyMap::reset() {
    // The map reads as empty before any value goes, so a release that
    // reached back in would find nothing; the caller owns the only
    // reference to the map's holder, so none can.
    const std::uint32_t n = size_;
    size_ = 0;
    index_.reset();
    for (std::uint32_t i = 0; i < n; ++i) data_[i].~Entry();
    immutable_ = false;
}

}  // namespace measurement
