#pragma once

// The upload side as the engine core reaches it: its three entry points and
// the assembly of its parts over the engine's database. This header names
// nothing of the server configuration, so the engine's glue can include it
// next to the core's own headers.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "measurement/store/database.h"
#include "measurement/upload/upload_engine.h"
#include "measurement/upload/upload_seams.h"

namespace measurement {

// Points the engine at another measurement service than the one of the
// "RozedaService-Info" property list: the base address ("http://host:port"),
// for tools and tests.
inline constexpr const char* kAPMMeasurementServiceURLVariable = "VELMORA_MEASUREMENT_SERVICE_URL";
// The persisted settings of the upload side, in the engine's folder.
inline constexpr const char* kAPMUploadSettingsFileName = "rozeda-measurement-upload.plist";

class APMUploadService {
public:
    virtual ~APMUploadService() = default;
    virtual void uploadData() = 0;
    virtual void updateSchedule() = 0;
    virtual void fetchRemoteConfig() = 0;
};

struct APMUploadServiceParts {
    std::shared_ptr<APMUploadEngine> engine;
    std::shared_ptr<APMDatabase> database;
    std::shared_ptr<APMUploadPeers> peers;
    // What bundling writes through the engine; none: straight into the
    // database.
    std::shared_ptr<APMBundlingEngineSeam> bundlingEngine;
    std::int64_t libraryVersion = 0;
    std::filesystem::path settingsPath;
};

// The server configuration over the database, the persisted settings at the
// path, the bundler and the uploader, for the application of the main
// bundle's service property list. On the worker queue.
std::shared_ptr<APMUploadService> APMMakeUploadService(APMUploadServiceParts parts);

// The base address of the measurement service: the environment variable when
// it is set and not empty, else the service property list's; none when
// neither names one.
std::optional<std::string> APMConfiguredMeasurementServiceURL();

}  // namespace measurement
