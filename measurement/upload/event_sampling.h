#pragma once

// Sampling of events while a bundle is made: of the events of a name the
// server samples at rate r, about one in r is uploaded. The first event of a
// name on a new day (in the analytics account's time zone) is always kept
// and marked exempt, so daily presence survives any rate. The sampling state
// of each name lives in its event aggregates.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "measurement/store/database.h"
#include "measurement/store/remote_config.h"

namespace measurement {

// Monitor codes of sampling.
enum : long {
    kAPMSamplingAggregatesReadFailedCode = 23151,
    kAPMSamplingAggregatesWriteFailedCode = 23152,
    kAPMSamplingRateParameterFailedCode = 23153,
    kAPMSamplingInvalidRateCode = 23154,
    kAPMSamplingEventWithoutNameCode = 23155,
    kAPMSamplingParameterExistsCode = 23156,
    kAPMSamplingAggregatesCacheFailedCode = 23157,
    kAPMSamplingExemptParameterFailedCode = 23158,
};

inline constexpr const char* kAPMSamplingRateParameter = "_sr";
inline constexpr const char* kAPMExemptFromSamplingParameter = "_efs";
inline constexpr const char* kAPMComplexEventIDParameter = "_eid";

// A uniform random integer from 0 to upperBound - 1 (upperBound > 0).
using APMRandomUniform = std::function<std::uint32_t(std::uint32_t upperBound)>;
// From the secure random source, without modulo bias.
std::uint32_t APMSecureRandomUniform(std::uint32_t upperBound);

class APMEventSampler {
public:
    APMEventSampler(APMDatabase& database, const APMRemoteConfig& remoteConfig,
                    APMRandomUniform random = APMSecureRandomUniform);

    // The events kept, in the order given, and the sampling state of their
    // names written back to the aggregates. None (with the database's error)
    // when the aggregates cannot be read or written.
    std::optional<std::vector<APMPBEvent>> sampleEvents(std::vector<APMPBEvent> events, APMErrorOut error);

    bool canEventBeSampled(const APMPBEvent& event) const;
    // A roll of the dice at that rate: kept about once in `rate`.
    bool isEventBundledAfterRoll(std::int32_t rate) const;
    // Appends an integer parameter unless one of that name is present.
    static void addSamplingParameter(APMPBEvent& event, const std::string& name, std::int64_t value);

    // The day of a time (seconds since 1970) in the account's time zone.
    std::int32_t dayIndex(double seconds) const;

private:
    struct Pass;
    bool sampleOne(APMPBEvent& event, Pass& pass) const;
    bool writeBack(const Pass& pass, APMErrorOut error);

    APMDatabase& database_;
    const APMRemoteConfig& remoteConfig_;
    APMRandomUniform random_;
};

}  // namespace measurement
