#pragma once

// Audience filters and filter results as the database keeps them.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "measurement/foundation/nano_message.h"

namespace measurement {

// One event filter of an audience as the database keeps it: the encoded
// APMPBEventFilter and the flags read from it.
class APMEventFilter {
public:
    APMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName, NANOBytes data,
                   bool sessionScoped, bool dynamic, bool sequence)
        : audienceID_(audienceID), filterID_(filterID), eventName_(std::move(eventName)), data_(std::move(data)),
          sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence) {}

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const std::string& eventName() const { return eventName_; }
    const NANOBytes& data() const { return data_; }
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    bool isSequence() const { return sequence_; }

    bool operator==(const APMEventFilter&) const = default;

private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string eventName_;
    NANOBytes data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};

// One user-property filter of an audience: the encoded APMPBPropertyFilter
// and the flags read from it.
class APMPropertyFilter {
public:
    APMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName, NANOBytes data,
                      bool sessionScoped, bool dynamic, bool sequence)
        : audienceID_(audienceID), filterID_(filterID), propertyName_(std::move(propertyName)), data_(std::move(data)),
          sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence) {}

    std::int32_t audienceID() const { return audienceID_; }
    std::int32_t filterID() const { return filterID_; }
    const std::string& propertyName() const { return propertyName_; }
    const NANOBytes& data() const { return data_; }
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    bool isSequence() const { return sequence_; }

    bool operator==(const APMPropertyFilter&) const = default;

private:
    std::int32_t audienceID_;
    std::int32_t filterID_;
    std::string propertyName_;
    NANOBytes data_;
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
};

// The stored results of one audience: the encoded APMPBResultData now, and
// as last placed in an upload bundle (none when never placed).
class APMFilterResult {
public:
    APMFilterResult(std::int32_t audienceID, NANOBytes currentResults, std::optional<NANOBytes> previousResults)
        : audienceID_(audienceID), currentResults_(std::move(currentResults)),
          previousResults_(std::move(previousResults)) {}

    std::int32_t audienceID() const { return audienceID_; }
    const NANOBytes& currentResults() const { return currentResults_; }
    const std::optional<NANOBytes>& previousResults() const { return previousResults_; }

    bool operator==(const APMFilterResult&) const = default;

private:
    std::int32_t audienceID_;
    NANOBytes currentResults_;
    std::optional<NANOBytes> previousResults_;
};

}  // namespace measurement
