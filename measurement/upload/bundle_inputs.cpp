// The default engine writes of bundling: straight into the database.
#include "measurement/upload/bundle_inputs.h"

namespace measurement {

bool APMBundlingEngineSeam::setUserPropertyInDatabaseOnWorkerQueue(APMDatabase& database,
                                                                   const APMUserAttribute& attribute) {
    return database.updateUserAttribute(attribute, nullptr);
}

}  // namespace measurement
