#pragma once

// The server configuration's storage in the measurement database.

#include <memory>

#include "measurement/store/config_storage.h"
#include "measurement/store/database.h"

namespace measurement {

// The server configuration's storage in the measurement database. The
// engine runs the transaction that takes a fetched configuration through
// this object's performTransaction (the database's own, with completion
// hooks), so that the configuration in memory changes only when the
// database commits. Worker queue only.
class APMDatabaseConfigStorage : public APMMeasurementConfigStorage {
public:
    explicit APMDatabaseConfigStorage(std::shared_ptr<APMDatabase> database);

    std::optional<NANOBytes> measurementConfigData(APMErrorOut error) override;
    bool updateMeasurementConfigData(const NANOBytes& data, APMErrorOut error) override;
    std::optional<double> remoteConfigSuccessfulTimestamp(APMErrorOut error) override;

    const std::shared_ptr<APMDatabase>& database() const { return database_; }

protected:
    bool performDatabaseTransaction(const std::function<bool()>& block) override;

private:
    std::shared_ptr<APMDatabase> database_;
};

}  // namespace measurement
