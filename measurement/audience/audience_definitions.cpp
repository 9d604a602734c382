// Replacing the stored audience definitions with those of a new
// configuration, and pruning the results of audiences that are gone.
#include "measurement/audience/audience.h"
#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/filter_description.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"

namespace measurement {

namespace {

using namespace audience_field;
using platform::Value;

APMMonitor& monitor() { return APMMonitor::shared(); }

// Writes the internal name into the field when the table has one for the
// public name there.
void mapName(NANOMessageBase& message, int index, const APMNameMap& table) {
    const auto name = NANOGetString(message, index);
    if (!name) return;
    if (auto internal = APMInternalName(table, *name)) NANOSetString(message, index, *internal);
}

// The records of one accepted audience, with its names mapped.
struct AudienceRecords {
    std::vector<APMEventFilter> eventFilters;
    std::vector<APMPropertyFilter> propertyFilters;
};

void addRecords(const APMPBAudience& audience, AudienceRecords& records) {
    const std::int32_t audienceID = NANOGetInt32(audience, kAudienceID);
    for (auto filter : NANOGetArray<APMPBEventFilter>(audience, kAudienceEventFilters)) {
        mapName(filter, kEventFilterEventName, APMPublicToInternalEventNames());
        auto parameters = NANOGetArray<APMPBFilter>(filter, kEventFilterParameterFilters);
        for (auto& parameter : parameters) mapName(parameter, kFilterParameterName, publicToInternalParameterNames());
        NANOSetArray(filter, kEventFilterParameterFilters, parameters);
        records.eventFilters.emplace_back(audienceID, NANOGetInt32(filter, kEventFilterID),
                                          NANOGetString(filter, kEventFilterEventName).value_or(""),
                                          filter.protoBuffer(), NANOGetBool(filter, kEventFilterSessionScoped),
                                          NANOGetBool(filter, kEventFilterDynamic),
                                          NANOGetBool(filter, kEventFilterSequence));
    }
    for (auto filter : NANOGetArray<APMPBPropertyFilter>(audience, kAudiencePropertyFilters)) {
        mapName(filter, kPropertyFilterName, APMUserPropertyNameMap());
        records.propertyFilters.emplace_back(audienceID, NANOGetInt32(filter, kPropertyFilterID),
                                             NANOGetString(filter, kPropertyFilterName).value_or(""),
                                             filter.protoBuffer(), NANOGetBool(filter, kPropertyFilterSessionScoped),
                                             NANOGetBool(filter, kPropertyFilterDynamic),
                                             NANOGetBool(filter, kPropertyFilterSequence));
    }
}

}  // namespace

bool APMAudience::updateAudiences(const std::vector<APMPBAudience>& audiences) {
    const APMAudienceLimits limits = this->limits();
    if (static_cast<std::int64_t>(audiences.size()) > limits.maxAudienceCount) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceTooManyAudiencesCode,
                               "Configuration contains too many audiences. Audiences will not be saved. Audience count",
                               Value(static_cast<long long>(audiences.size())));
        return true;
    }
    std::set<std::int32_t> accepted;
    AudienceRecords records;
    for (const auto& audience : audiences) {
        std::optional<APMError> invalid;
        if (!APMValidateAudience(audience, accepted, &invalid, limits)) {
            monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceInvalidDefinitionCode,
                                   "Audience definition is invalid. Audience will not be saved. Audience, error",
                                   Value(APMDescriptionOfAudience(audience)), errorContext(invalid));
            continue;
        }
        accepted.insert(NANOGetInt32(audience, kAudienceID));
        addRecords(audience, records);
    }
    if (!maybeDeleteStaleFilterResults(accepted)) return false;

    std::optional<APMError> error;
    const auto fail = [&](long code, const char* message) {
        monitor().logWithLevel(kAPMMonitorLevelError, code, message, errorContext(error));
        return false;
    };
    if (!database_.deleteAllEventFilters(&error)) {
        return fail(kAPMAudienceDeleteEventFiltersFailedCode,
                    "Unable to delete existing Audience event filters. Audiences will not be saved. Error");
    }
    if (!database_.deleteAllPropertyFilters(&error)) {
        return fail(kAPMAudienceDeletePropertyFiltersFailedCode,
                    "Unable to delete existing Audience user property filters. Audiences will not be saved. Error");
    }
    if (!records.eventFilters.empty() && !database_.updateEventFilters(records.eventFilters, &error)) {
        return fail(kAPMAudienceSaveEventFiltersFailedCode,
                    "Unable to save Audience event filters. Audiences will not be saved. Error");
    }
    if (!records.propertyFilters.empty() && !database_.updatePropertyFilters(records.propertyFilters, &error)) {
        return fail(kAPMAudienceSavePropertyFiltersFailedCode,
                    "Unable to save Audience user property filters. Audiences will not be saved. Error");
    }
    return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs) {
    std::optional<APMError> error;
    const auto stored = database_.allFilterResults(&error);
    if (!stored && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudiencePruneQueryFailedCode,
                               "Unable to query Audience filter results. Audiences will not be saved. Error",
                               errorContext(error));
        return false;
    }
    const std::int64_t maximum = limits().maxFilterResultCount;
    const auto count = static_cast<std::int64_t>(stored ? stored->size() : 0);
    if (count <= maximum) return true;
    monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMAudienceTooManyResultsCode,
                           "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
                           "result count, max filter result count",
                           Value(static_cast<long long>(count)), Value(static_cast<long long>(maximum)));
    const auto storedIDs = database_.allAudienceIDs(&error);
    if (!storedIDs && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudiencePruneIDsQueryFailedCode,
                               "Unable to query current Audience IDs. Audiences will not be saved. Error",
                               errorContext(error));
        return false;
    }
    std::set<std::int32_t> defined;
    if (storedIDs) defined.insert(storedIDs->begin(), storedIDs->end());
    std::vector<APMFilterResult> stale;
    for (const auto& [audienceID, result] : *stored) {
        if (!defined.contains(audienceID) && !audienceIDs.contains(audienceID)) stale.push_back(result);
    }
    // Every result may belong to a live audience: nothing to delete, and the
    // database refuses an empty deletion, which would lose the definitions.
    if (stale.empty()) return true;
    if (database_.deleteFilterResults(stale, &error)) return true;
    monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudiencePruneDeleteFailedCode,
                           "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
                           errorContext(error));
    return false;
}

}  // namespace measurement
