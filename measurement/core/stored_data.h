#pragma once

// Everything the engine has stored and not yet uploaded, read back.

#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/raw_event_data.h"
#include "measurement/foundation/user_attribute.h"

namespace measurement {

// One stored raw event with the metadata header it was stored under.
struct APMStoredRawEvent {
    APMRawEventData raw;
    std::optional<APMPBMeasurementBundle> metadata;
};

// Everything the engine has stored and not yet uploaded, read back from the
// measurement database (for tools and tests; the engine itself reads
// through the database's own operations).
struct APMStoredData {
    std::vector<APMStoredRawEvent> rawEvents;
    std::vector<APMPBMeasurementBundle> queuedBundles;
    std::vector<APMUserAttribute> userAttributes;
};

// Reads the database file of the engine's folder on a background queue;
// none and an error when it cannot be opened or read.
std::optional<APMStoredData> APMReadStoredData(APMErrorOut error);

}  // namespace measurement
