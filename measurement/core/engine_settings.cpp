#include "measurement/core/engine_settings.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "measurement/store/files.h"
#include "platform/foundation/plist_codec.h"

namespace measurement {

APMEngineSettings::APMEngineSettings(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    std::stringstream bytes;
    bytes << in.rdbuf();
    auto parsed = platform::parsePropertyList(bytes.str());
    if (parsed && parsed->isDictionary()) values_ = parsed->asDictionary();
}

std::string APMEngineSettings::defaultPath() {
    return APMApplicationSupportPath(kAPMEngineSettingsFileName);
}

std::optional<platform::Value> APMEngineSettings::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

bool APMEngineSettings::setObject(const platform::Value& value, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (value.isNull()) {
        values_.erase(key);
    } else {
        values_[key] = value;
    }
    return write();
}

bool APMEngineSettings::write() const {
    const std::filesystem::path target(path_);
    const auto temporary = target.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << platform::writePropertyListBinary(platform::Value(values_));
        out.flush();
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    return !error;
}

std::int64_t APMEngineSettings::firstOpenTimestampMilliseconds() const {
    auto value = objectForKey(kAPMFirstOpenTimestampKey);
    return value ? value->intValue(0) : 0;
}

bool APMEngineSettings::setFirstOpenTimestampMilliseconds(std::int64_t milliseconds) {
    return setObject(platform::Value(static_cast<long long>(milliseconds)), kAPMFirstOpenTimestampKey);
}

bool APMEngineSettings::measurementEnabled() const {
    auto value = objectForKey(kAPMMeasurementEnabledKey);
    return !value || value->boolValue(true);
}

bool APMEngineSettings::setMeasurementEnabled(bool enabled) {
    return setObject(platform::Value(enabled), kAPMMeasurementEnabledKey);
}

}  // namespace measurement
