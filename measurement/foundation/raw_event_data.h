#pragma once

// APMRawEventData: a raw event as the database stores it.

#include <cstdint>

#include "measurement/foundation/event.h"

namespace measurement {

// A stored raw event: its row ID (the database's row order), the fingerprint
// of its metadata header and the event.
class APMRawEventData {
public:
    APMRawEventData(APMEvent rawEvent, std::int64_t rowID, std::int64_t metadataFingerprint)
        : event_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

    const APMEvent& event() const { return event_; }
    APMEvent& event() { return event_; }
    std::int64_t rowID() const { return rowID_; }
    std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

private:
    APMEvent event_;
    std::int64_t rowID_;
    std::int64_t metadataFingerprint_;
};

}  // namespace measurement
