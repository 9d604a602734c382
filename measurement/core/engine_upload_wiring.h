#pragma once

// How the engine makes its upload: the adapters through which the upload,
// bundling and the components after an upload reach the engine that owns
// them.

#include <memory>

#include "measurement/audience/audience.h"
#include "measurement/store/database.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"

namespace measurement {

class APMMeasurement;
class APMUploader;

// The engine's own objects that its upload and bundling work on. The
// configuration storage is the one the server configuration was made over,
// so that a fetched configuration reaches memory only when its transaction
// commits.
struct APMEngineUploadParts {
    std::shared_ptr<APMDatabase> database;
    std::shared_ptr<APMDatabaseConfigStorage> configStorage;
    std::shared_ptr<APMPersistedConfig> persistedConfig;
    std::shared_ptr<APMRemoteConfig> remoteConfig;
    // Over the same database: bundling evaluates it inside its transaction,
    // and a fetched configuration hands it its definitions inside the one
    // that stores it.
    std::shared_ptr<APMAudience> audience;
};

// The engine's upload, with its bundler, over the engine's parts. Called
// once, on the worker queue, while the engine's components are initialised.
// The upload holds the engine weakly: a network completion or alarm that
// arrives after the engine has gone reaches nothing of it.
std::shared_ptr<APMUploader> APMMakeEngineUploader(const std::shared_ptr<APMMeasurement>& engine,
                                                   const APMEngineUploadParts& parts);

}  // namespace measurement
