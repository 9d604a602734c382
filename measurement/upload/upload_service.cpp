#include "measurement/upload/upload_service.h"

#include <cstdlib>

#include "measurement/foundation/environment.h"
#include "measurement/script/runtime.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/uploader.h"

namespace measurement {

std::optional<std::string> APMConfiguredMeasurementServiceURL() {
    if (const char* address = std::getenv(kAPMMeasurementServiceURLVariable); address && *address) {
        return std::string(address);
    }
    return APMMeasurementServiceBaseURL();
}

std::shared_ptr<APMUploadService> APMMakeUploadService(APMUploadServiceParts parts) {
    auto storage = std::make_shared<APMDatabaseConfigStorage>(parts.database);
    auto persisted = std::make_shared<APMPersistedConfig>(parts.settingsPath);
    auto environment = APMRemoteConfigEnvironment::fromMainBundle();
    environment.serviceBaseURL = APMConfiguredMeasurementServiceURL();
    environment.libraryVersion = parts.libraryVersion;
    auto remoteConfig = std::make_shared<APMRemoteConfig>(storage, environment);

    APMBundlerSeams bundlerSeams;
    bundlerSeams.engine = parts.bundlingEngine;
    auto bundler = std::make_shared<APMBundler>(*parts.database, *remoteConfig, *persisted, bundlerSeams);

    APMUploadComponents components;
    components.engine = std::move(parts.engine);
    components.database = parts.database;
    components.configStorage = storage;
    components.persistedConfig = persisted;
    components.remoteConfig = remoteConfig;
    // The bundler works on references: it keeps what it refers to alive.
    components.bundleRawEvents = [bundler, database = parts.database, remoteConfig, persisted] {
        return bundler->bundleRawEvents();
    };
    if (parts.peers) components.peers = std::move(parts.peers);
    components.appID = environment.appID;
    components.libraryVersion = parts.libraryVersion;
    components.runtimeVersion = static_cast<std::int64_t>(APMPRuntime::runtimeVersion());
    return std::make_shared<APMUploader>(std::move(components));
}

}  // namespace measurement
