// Sampling of events while they are bundled.
#include "measurement/upload/event_sampling.h"

#include <cmath>
#include <map>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric_util.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/upload_detail.h"

namespace measurement {

namespace {

using upload_detail::errorContext;

APMMonitor& monitor() { return APMMonitor::shared(); }

const nano_APMPBEventParam* findParameter(const APMPBEvent& event, const std::string& name) {
    const auto* message = event.message();
    if (!message) return nullptr;
    for (pb_size_t i = 0; i < message->params_count; ++i) {
        const auto& param = message->params[i];
        if (param.name && name == param.name) return &param;
    }
    return nullptr;
}

double secondsOfMillis(std::int64_t millis) { return static_cast<double>(millis) / 1000.0; }

}  // namespace

// The cache of one sampling pass: every name's aggregates as read at the
// start, updated as events go by, and the names whose state changed.
struct APMEventSampler::Pass {
    std::map<std::string, APMEventAggregates> cache;
    std::set<std::string> touched;

    APMEventAggregates& entry(const std::string& name) {
        touched.insert(name);
        return cache.try_emplace(name, name, 0, 0, 0, 0.0).first->second;
    }
};

std::uint32_t APMSecureRandomUniform(std::uint32_t upperBound) {
    if (upperBound <= 1) return 0;
    // Values at or above the largest multiple of the bound are drawn again,
    // so that every result is equally likely.
    const std::uint64_t range = std::uint64_t{1} << 32;
    const std::uint64_t limit = range - range % upperBound;
    for (;;) {
        const auto value = static_cast<std::uint64_t>(APMNumericUtil::randomInt64()) & (range - 1);
        if (value < limit) return static_cast<std::uint32_t>(value % upperBound);
    }
}

APMEventSampler::APMEventSampler(APMDatabase& database, const APMRemoteConfig& remoteConfig, APMRandomUniform random)
    : database_(database), remoteConfig_(remoteConfig), random_(random ? std::move(random) : APMSecureRandomUniform) {}

std::int32_t APMEventSampler::dayIndex(double seconds) const {
    const double offset = static_cast<double>(remoteConfig_.analyticsAccountTimeZoneOffsetMinutes()) * 60.0;
    return APMSaturatingInt32(std::trunc((seconds + offset) / 86400.0));
}

bool APMEventSampler::canEventBeSampled(const APMPBEvent& event) const {
    if (!remoteConfig_.isEventSamplingEnabled()) return false;
    const auto name = NANOGetString(event, event_field::kName).value_or("");
    if (!remoteConfig_.eventHasSamplingRate(name)) return false;
    if (remoteConfig_.samplingRateForEvent(name) > 1) return true;
    monitor().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMSamplingInvalidRateCode, "Invalid sampling rate provided");
    return false;
}

bool APMEventSampler::isEventBundledAfterRoll(std::int32_t rate) const {
    if (rate <= 1) return true;
    return random_(static_cast<std::uint32_t>(rate)) == 0;
}

void APMEventSampler::addSamplingParameter(APMPBEvent& event, const std::string& name, std::int64_t value) {
    if (findParameter(event, name)) {
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMSamplingParameterExistsCode,
                               "Event parameter already exists. Parameter name", platform::Value(name));
        return;
    }
    auto params = NANOGetArray<APMPBEventParam>(event, event_field::kParams);
    APMPBEventParam param;
    const bool made = NANOSetString(param, param_field::kName, name) && NANOSetInt64(param, param_field::kIntValue, value);
    params.push_back(std::move(param));
    if (made && NANOSetArray(event, event_field::kParams, params)) return;
    if (name == kAPMExemptFromSamplingParameter) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMSamplingExemptParameterFailedCode,
                               "Failed to create exempt from sampling parameter");
    } else {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMSamplingRateParameterFailedCode,
                               "Failed to create sampling rate parameter");
    }
}

// Decides one event (named); true keeps it.
bool APMEventSampler::sampleOne(APMPBEvent& event, Pass& pass) const {
    const std::string name = *NANOGetString(event, event_field::kName);
    const double timestamp = secondsOfMillis(NANOGetInt64(event, event_field::kTimestamp));
    const std::int32_t day = dayIndex(timestamp);
    auto& aggregates = pass.entry(name);
    auto markBundled = [&] {
        aggregates.setLastBundledTimestamp(timestamp);
        aggregates.setLastBundledDay(day);
    };
    if (!canEventBeSampled(event)) {
        markBundled();
        return true;
    }
    const std::int32_t rate = remoteConfig_.samplingRateForEvent(name);
    aggregates.setLastSamplingRate(rate);
    if (isEventBundledAfterRoll(rate)) {
        aggregates.setLastSampledComplexEventID(std::nullopt);
        markBundled();
        addSamplingParameter(event, kAPMSamplingRateParameter, rate);
        return true;
    }
    // A name never bundled before falls back to the day of its previous
    // occurrence (time 0 when it has none), so its first event is kept.
    std::int32_t previousDay = aggregates.lastBundledDay();
    if (previousDay == 0) previousDay = dayIndex(secondsOfMillis(NANOGetInt64(event, event_field::kPreviousTimestamp)));
    if (previousDay != day) {
        markBundled();
        addSamplingParameter(event, kAPMSamplingRateParameter, rate);
        addSamplingParameter(event, kAPMExemptFromSamplingParameter, 1);
        aggregates.setLastExemptFromSampling(true);
        return true;
    }
    const auto* complexEventID = findParameter(event, kAPMComplexEventIDParameter);
    if (complexEventID && complexEventID->has_int_value) {
        aggregates.setLastSampledComplexEventID(complexEventID->int_value);
    }
    return false;
}

bool APMEventSampler::writeBack(const Pass& pass, APMErrorOut error) {
    // Only the names this pass changed: the others would be written back as
    // they were read, inside the same transaction.
    for (const auto& name : pass.touched) {
        const auto& sampled = pass.cache.at(name);
        std::optional<APMError> readError;
        auto stored = database_.eventAggregatesWithName(name, &readError);
        if (!stored) {
            if (!readError) continue;  // no aggregates to carry the state
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMSamplingAggregatesReadFailedCode,
                                   "Unable to query event aggregates to update database. Name, error",
                                   platform::Value(name), errorContext(readError));
            if (error) *error = readError;
            return false;
        }
        if (sampled.lastBundledTimestamp() != 0) stored->setLastBundledTimestamp(sampled.lastBundledTimestamp());
        stored->setLastSamplingRate(sampled.lastSamplingRate());
        stored->setLastSampledComplexEventID(sampled.lastSampledComplexEventID());
        stored->setLastExemptFromSampling(sampled.lastExemptFromSampling());
        stored->setLastBundledDay(sampled.lastBundledDay());
        std::optional<APMError> writeError;
        if (!database_.updateEventAggregates(*stored, &writeError)) {
            monitor().logWithLevel(
                kAPMMonitorLevelError, kAPMSamplingAggregatesWriteFailedCode,
                "Failed to update event aggregates after removing removing events due to sampling. Error",
                errorContext(writeError));
            if (error) *error = writeError;
            return false;
        }
    }
    return true;
}

std::optional<std::vector<APMPBEvent>> APMEventSampler::sampleEvents(std::vector<APMPBEvent> events,
                                                                     APMErrorOut error) {
    std::optional<APMError> readError;
    const auto all = database_.allEventAggregates(&readError);
    if (!all) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMSamplingAggregatesCacheFailedCode,
                               "Unable to query all event aggregates for cache. error",
                               errorContext(readError));
        if (error) *error = readError;
        return std::nullopt;
    }
    Pass pass;
    for (const auto& aggregates : *all) {
        if (!aggregates.name().empty()) pass.cache.emplace(aggregates.name(), aggregates);
    }
    std::vector<APMPBEvent> kept;
    kept.reserve(events.size());
    for (auto& event : events) {
        if (NANOGetString(event, event_field::kName).value_or("").empty()) {
            monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMSamplingEventWithoutNameCode,
                                   "Dropping event at sampling. Event has no name");
            continue;
        }
        if (sampleOne(event, pass)) kept.push_back(std::move(event));
    }
    if (!writeBack(pass, error)) return std::nullopt;
    return kept;
}

}  // namespace measurement
