// The audience results placed in bundles, and their session-start clearing.
#include <algorithm>

#include "measurement/audience/audience.h"
#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/result_words.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

using namespace audience_field;
using platform::Value;

APMMonitor& monitor() { return APMMonitor::shared(); }

// An audience that has not changed since it was last reported carries only
// the latest time of its first sequence entry.
void cutFirstSequenceEntry(APMPBResultData& data) {
    auto entries = NANOGetArray<APMPBSequenceFilterResultTimestamp>(data, kResultSequenceTimestamps);
    if (entries.empty()) return;
    const auto times = NANOGetArray<std::int64_t>(entries.front(), kSequenceTimestampSeconds);
    if (times.size() < 2) return;
    NANOSetArray(entries.front(), kSequenceTimestampSeconds, std::vector<std::int64_t>{times.back()});
    NANOSetArray(data, kResultSequenceTimestamps, entries);
}

// The leaf of one audience; the data it reports may be cut.
APMPBAudienceLeafFilterResult leafFor(const APMFilterResult& stored, APMPBResultData& current) {
    APMPBAudienceLeafFilterResult leaf;
    NANOSetInt32(leaf, kLeafAudienceID, stored.audienceID());
    const auto& previousBytes = stored.previousResults();
    if (previousBytes && !previousBytes->empty()) {
        NANOSetBool(leaf, kLeafNewAudience, false);
        const auto previous = APMPBResultData::initWithBuffer(*previousBytes);
        if (previous && previous->protoBuffer() == current.protoBuffer()) {
            cutFirstSequenceEntry(current);
        } else if (previous) {
            NANOSetMessage(leaf, kLeafPreviousData, *previous);
        }
    } else {
        NANOSetBool(leaf, kLeafNewAudience, true);
        NANOClearField(leaf, kLeafPreviousData);
    }
    NANOSetMessage(leaf, kLeafCurrentData, current);
    return leaf;
}

// The stored result with the session-scoped filters' bits and times gone.
void dropSessionScoped(APMPBResultData& data, APMResultWords& words, const std::vector<std::int32_t>& filterIDs) {
    const auto scoped = [&](std::int32_t filterID) {
        return std::find(filterIDs.begin(), filterIDs.end(), filterID) != filterIDs.end();
    };
    words.writeInto(data);
    auto dynamic = NANOGetArray<APMPBDynamicFilterResultTimestamp>(data, kResultDynamicTimestamps);
    std::erase_if(dynamic, [&](const auto& entry) { return scoped(NANOGetInt32(entry, kDynamicTimestampFilterID)); });
    NANOSetArray(data, kResultDynamicTimestamps, dynamic);
    auto sequences = NANOGetArray<APMPBSequenceFilterResultTimestamp>(data, kResultSequenceTimestamps);
    std::erase_if(sequences,
                  [&](const auto& entry) { return scoped(NANOGetInt32(entry, kSequenceTimestampFilterID)); });
    NANOSetArray(data, kResultSequenceTimestamps, sequences);
}

}  // namespace

bool APMAudience::resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results) {
    std::vector<APMPBAudienceLeafFilterResult> leaves;
    if (results) results->clear();
    std::optional<APMError> error;
    const auto stored = database_.allFilterResults(&error);
    if (!stored && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudienceBundlingQueryFailedCode,
                               "Unable to query Audience filter results. Audience results will not be bundled. Error",
                               errorContext(error));
        return false;
    }
    std::vector<APMFilterResult> reported;
    for (const auto& [audienceID, result] : stored.value_or(std::map<std::int32_t, APMFilterResult>{})) {
        auto current = APMPBResultData::initWithBuffer(result.currentResults());
        if (!current) {
            monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceBundlingUndecodableCode,
                                   "Current result data is nil. Audience result will not be bundled. Audience ID",
                                   Value(audienceID));
            continue;
        }
        if (!APMResultWords::fromResultData(*current).anyStatusSet()) {
            monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceBundlingZeroStatusCode,
                                   "Current result status is 0. Audience result will not be bundled. Audience ID",
                                   Value(audienceID));
            continue;
        }
        leaves.push_back(leafFor(result, *current));
        // What was reported is what the next bundle compares with, cut
        // sequence entry included, so an unchanged audience is sent
        // without previous results.
        const NANOBytes reportedBytes = current->protoBuffer();
        reported.emplace_back(audienceID, reportedBytes, reportedBytes);
    }
    if (!reported.empty() && !database_.updateFilterResults(reported, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudienceBundlingSaveFailedCode,
                               "Unable to save updated Audience filter results. Audience results will not be "
                               "bundled. Error",
                               errorContext(error));
        return false;
    }
    if (results) *results = std::move(leaves);
    return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
    std::optional<APMError> error;
    const auto scoped = database_.allSessionScopedFilters(&error);
    if (!scoped && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudienceSessionFiltersQueryFailedCode,
                               "Unable to query all session scoped filters. Session scoped results will not be "
                               "cleared. Error",
                               errorContext(error));
        return false;
    }
    const auto stored = database_.allFilterResults(&error);
    if (!stored && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudienceSessionResultsQueryFailedCode,
                               "Unable to query all filter results. Session scoped results will not be cleared. Error",
                               errorContext(error));
        return false;
    }
    if (!scoped || !stored) return true;
    for (const auto& [audienceID, filterIDs] : *scoped) {
        const auto result = stored->find(audienceID);
        if (result == stored->end()) continue;
        auto data = APMPBResultData::initWithBuffer(result->second.currentResults());
        APMResultWords words = data ? APMResultWords::fromResultData(*data) : APMResultWords{};
        for (const std::int32_t filterID : filterIDs) words.clear(filterID);
        if (data && words.anyStatusSet()) {
            dropSessionScoped(*data, words, filterIDs);
            const APMFilterResult cleared(audienceID, data->protoBuffer(), result->second.currentResults());
            if (!database_.updateFilterResults({cleared}, &error)) {
                monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceSessionUpdateFailedCode,
                                       "Unable to update filter results. Session scoped results will not be cleared. "
                                       "Error",
                                       errorContext(error));
                return false;
            }
        } else if (!database_.deleteFilterResults({result->second}, &error)) {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudienceSessionDeleteFailedCode,
                                   "Unable to delete filter results. Session scoped results will not be cleared. Error",
                                   errorContext(error));
            return false;
        }
    }
    return true;
}

}  // namespace measurement
