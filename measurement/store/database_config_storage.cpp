// The server configuration stored in the measurement database.
#include "measurement/store/database_config_storage.h"

#include <utility>

namespace measurement {

APMDatabaseConfigStorage::APMDatabaseConfigStorage(std::shared_ptr<APMDatabase> database)
    : database_(std::move(database)) {}

std::optional<NANOBytes> APMDatabaseConfigStorage::measurementConfigData(APMErrorOut error) {
    return database_->measurementConfigData(error);
}

bool APMDatabaseConfigStorage::updateMeasurementConfigData(const NANOBytes& data, APMErrorOut error) {
    return database_->updateMeasurementConfigData(data, error);
}

std::optional<double> APMDatabaseConfigStorage::remoteConfigSuccessfulTimestamp(APMErrorOut error) {
    return database_->remoteConfigSuccessfulTimestamp(error);
}

bool APMDatabaseConfigStorage::performDatabaseTransaction(const std::function<bool()>& block) {
    return database_->performTransaction(block);
}

}  // namespace measurement
