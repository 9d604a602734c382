// The ordered name-to-value store of scopes and objects.
#include "measurement/script/property_map.h"

namespace measurement {

std::size_t APMPPropertyMap::find(const std::u16string& name) const {
    if (index_) {
        auto it = index_->find(name);
        return it == index_->end() ? npos : it->second;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].name == name) return i;
    }
    return npos;
}

APMPValueRef APMPPropertyMap::valueForName(const std::u16string& name) const {
    const auto i = find(name);
    return i == npos ? APMPUndefined() : entries_[i].value;
}

APMPRuntimeValue* APMPPropertyMap::lookup(const std::u16string& name) const {
    const auto i = find(name);
    return i == npos ? nullptr : entries_[i].value.get();
}

void APMPPropertyMap::put(APMPValueRef value, const std::u16string& name, bool immutable) {
    if (immutable_) return;
    const auto i = find(name);
    if (i != npos) {
        if (entries_[i].immutable) return;
        entries_[i].value = std::move(value);
        entries_[i].immutable = immutable;
        return;
    }
    entries_.push_back(Entry{name, std::move(value), immutable});
    if (index_) {
        index_->emplace(name, entries_.size() - 1);
    } else if (entries_.size() > kIndexThreshold) {
        rebuildIndex();
    }
}

void APMPPropertyMap::setValue(APMPValueRef value, const std::u16string& name) { put(std::move(value), name, false); }

void APMPPropertyMap::setImmutableValue(APMPValueRef value, const std::u16string& name) {
    put(std::move(value), name, true);
}

void APMPPropertyMap::removeValueForName(const std::u16string& name) {
    if (immutable_) return;
    const auto i = find(name);
    if (i == npos || entries_[i].immutable) return;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
    if (index_) rebuildIndex();
}

void APMPPropertyMap::rebuildIndex() {
    index_ = std::make_unique<std::unordered_map<std::u16string, std::size_t>>();
    index_->reserve(entries_.size() * 2);
    for (std::size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].name, i);
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
    std::vector<std::u16string> names;
    names.reserve(entries_.size());
    for (const auto& entry : entries_) names.push_back(entry.name);
    return names;
}

void APMPPropertyMap::releaseAll() {
    // Moved out first: releasing a value may reach back into this map.
    auto entries = std::move(entries_);
    entries_.clear();
    index_.reset();
}

}  // namespace measurement
