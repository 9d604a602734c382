#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace measurement {

inline constexpr const char* kAPMFirstOpenTimestampKey = "/rozeda/measurement/first_open_timestamp_ms";
inline constexpr const char* kAPMMeasurementEnabledKey = "/rozeda/measurement/measurement_enabled";
inline constexpr const char* kAPMEngineSettingsFileName = "rozeda-measurement-settings.plist";

// The engine's persisted settings that the core reads and writes: a
// property-list file in the engine's folder, rewritten whole (through a
// temporary file and a rename) on every change, so a first-open time once
// written survives any stop. Safe from any thread.
//
// The core's own access until the persisted configuration of the store
// library takes its place; the keys are that configuration's.
class APMEngineSettings {
public:
    // Loads the file; a missing or damaged file starts empty.
    explicit APMEngineSettings(std::string path);
    // The file in "Rozeda/Measurement" under the application-support folder.
    static std::string defaultPath();

    const std::string& path() const { return path_; }

    std::optional<platform::Value> objectForKey(const std::string& key) const;
    // A null value removes the key. False when the file could not be written
    // (the value is kept in memory).
    bool setObject(const platform::Value& value, const std::string& key);

    // 0 when absent.
    std::int64_t firstOpenTimestampMilliseconds() const;
    bool setFirstOpenTimestampMilliseconds(std::int64_t milliseconds);
    // True when absent.
    bool measurementEnabled() const;
    bool setMeasurementEnabled(bool enabled);

private:
    bool write() const;

    std::string path_;
    mutable std::mutex mutex_;
    platform::Value::Dictionary values_;
};

}  // namespace measurement
