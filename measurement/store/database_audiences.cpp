// The database's audience filters and filter results.
#include "measurement/store/database.h"

#include <set>

#include "measurement/store/database_rows.h"

namespace measurement {

using namespace database_detail;

namespace {

// The flags of a stored filter are read from its encoded definition; all
// false when it does not decode.
struct FilterFlags {
    bool sessionScoped = false;
    bool dynamic = false;
    bool sequence = false;
};

template <class Message>
FilterFlags flagsFromData(const NANOBytes& data, int sessionScopedTag, int dynamicTag, int sequenceTag) {
    auto message = Message::initWithBuffer(data);
    if (!message) return {};
    return {NANOGetBool(*message, APMPBFieldIndexForTag(sessionScopedTag)),
            NANOGetBool(*message, APMPBFieldIndexForTag(dynamicTag)),
            NANOGetBool(*message, APMPBFieldIndexForTag(sequenceTag))};
}

// A stored filter of either kind; the flag tags differ between the two.
template <class Filter, class Message>
std::optional<Filter> filterFromRow(const APMRow& row, const char* nameColumn, int sessionScopedTag, int dynamicTag,
                                    int sequenceTag) {
    const auto audienceID = rowInteger32(row, "audience_id");
    const auto filterID = rowInteger32(row, "filter_id");
    const auto name = rowText(row, nameColumn);
    const auto data = rowBytes(row, "data");
    if (!audienceID || !filterID || !name || !data) return std::nullopt;
    const auto flags = flagsFromData<Message>(*data, sessionScopedTag, dynamicTag, sequenceTag);
    return Filter(*audienceID, *filterID, *name, *data, flags.sessionScoped, flags.dynamic, flags.sequence);
}

std::optional<APMEventFilter> eventFilterFromRow(const APMRow& row) {
    return filterFromRow<APMEventFilter, APMPBEventFilter>(row, "event_name", 8, 6, 7);
}

std::optional<APMPropertyFilter> propertyFilterFromRow(const APMRow& row) {
    return filterFromRow<APMPropertyFilter, APMPBPropertyFilter>(row, "property_name", 6, 4, 5);
}

template <class Filter>
APMRow filterRow(const Filter& filter, const char* nameColumn, const std::string& name) {
    return {{"audience_id", filter.audienceID()},
            {"filter_id", filter.filterID()},
            {nameColumn, name},
            {"data", bytesValue(filter.data())},
            {"session_scoped", filter.isSessionScoped()}};
}

// A results column that does not hold bytes reads as none.
APMFilterResult filterResultFromRow(std::int32_t audienceID, const APMRow& row) {
    auto previous = rowBytes(row, "previous_results");
    if (previous && previous->empty()) previous.reset();
    return APMFilterResult(audienceID, rowBytes(row, "current_results").value_or(NANOBytes()), std::move(previous));
}

}  // namespace

std::optional<std::vector<APMEventFilter>> APMDatabase::eventFiltersForEventName(const std::string& eventName,
                                                                                 APMErrorOut error) {
    checkWorkerQueue("eventFiltersForEventName:error:");
    if (eventName.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty event name for getting event filters");
        return std::nullopt;
    }
    auto rows = query("SELECT * FROM event_filters WHERE event_name = ? ORDER BY rowid", {eventName}, error);
    if (!rows) return std::nullopt;
    return collectRows<APMEventFilter>(*rows, eventFilterFromRow);
}

std::optional<std::vector<APMPropertyFilter>> APMDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, APMErrorOut error) {
    checkWorkerQueue("propertyFiltersForPropertyName:error:");
    if (propertyName.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode,
                    "Received empty property name for getting property filters");
        return std::nullopt;
    }
    auto rows = query("SELECT * FROM property_filters WHERE property_name = ? ORDER BY rowid", {propertyName}, error);
    if (!rows) return std::nullopt;
    return collectRows<APMPropertyFilter>(*rows, propertyFilterFromRow);
}

std::optional<std::vector<std::int32_t>> APMDatabase::allAudienceIDs(APMErrorOut error) {
    checkWorkerQueue("allAudienceIDs:");
    auto rows = query("SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
    if (!rows) return std::nullopt;
    std::vector<std::int32_t> ids;
    for (const auto& row : *rows) {
        auto id = rowInteger32(row, "audience_id");
        if (!id) {
            APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received nil audience ID for querying all audience IDs");
            return std::nullopt;
        }
        ids.push_back(*id);
    }
    return ids;
}

std::optional<std::map<std::int32_t, std::vector<std::int32_t>>> APMDatabase::allSessionScopedFilters(
    APMErrorOut error) {
    checkWorkerQueue("allSessionScopedFilters:");
    auto rows = query(
        "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION "
        "SELECT audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
        {}, error);
    if (!rows) return std::nullopt;
    std::map<std::int32_t, std::vector<std::int32_t>> filters;
    for (const auto& row : *rows) {
        const auto audienceID = rowInteger32(row, "audience_id");
        const auto filterID = rowInteger32(row, "filter_id");
        if (audienceID && filterID) filters[*audienceID].push_back(*filterID);
    }
    return filters;
}

bool APMDatabase::updateEventFilters(const std::vector<APMEventFilter>& filters, APMErrorOut error) {
    checkWorkerQueue("updateEventFilters:error:");
    if (filters.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty event filters to update");
        return false;
    }
    APMRows rows;
    for (const auto& filter : filters) rows.push_back(filterRow(filter, "event_name", filter.eventName()));
    return upsertRows("event_filters", rows, error);
}

bool APMDatabase::updatePropertyFilters(const std::vector<APMPropertyFilter>& filters, APMErrorOut error) {
    checkWorkerQueue("updatePropertyFilters:error:");
    if (filters.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty property filters to update");
        return false;
    }
    APMRows rows;
    for (const auto& filter : filters) rows.push_back(filterRow(filter, "property_name", filter.propertyName()));
    return upsertRows("property_filters", rows, error);
}

bool APMDatabase::deleteAllEventFilters(APMErrorOut error) {
    checkWorkerQueue("deleteAllEventFilters:");
    return store_->executeStatement("DELETE FROM event_filters", {}, error).has_value();
}

bool APMDatabase::deleteAllPropertyFilters(APMErrorOut error) {
    checkWorkerQueue("deleteAllPropertyFilters:");
    return store_->executeStatement("DELETE FROM property_filters", {}, error).has_value();
}

std::optional<APMFilterResult> APMDatabase::filterResultForAudienceID(std::int32_t audienceID, APMErrorOut error) {
    checkWorkerQueue("filterResultForAudienceID:error:");
    auto rows = query("SELECT * FROM audience_filter_values WHERE audience_id = ?", {audienceID}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return filterResultFromRow(audienceID, rows->front());
}

std::optional<std::map<std::int32_t, APMFilterResult>> APMDatabase::allFilterResults(APMErrorOut error) {
    checkWorkerQueue("allFilterResults:");
    auto rows = query("SELECT * FROM audience_filter_values ORDER BY audience_id", {}, error);
    if (!rows) return std::nullopt;
    std::map<std::int32_t, APMFilterResult> results;
    for (const auto& row : *rows) {
        if (auto audienceID = rowInteger32(row, "audience_id")) {
            results.emplace(*audienceID, filterResultFromRow(*audienceID, row));
        }
    }
    return results;
}

bool APMDatabase::updateFilterResults(const std::vector<APMFilterResult>& results, APMErrorOut error) {
    checkWorkerQueue("updateFilterResults:error:");
    if (results.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty filter results to update");
        return false;
    }
    for (const auto& result : results) {
        if (result.currentResults().empty()) {
            APMSetError(error, kAPMDatabaseEmptyDataCode,
                        "Received filter result with empty data for getting dictionary representation");
            return false;
        }
    }
    APMRows rows;
    for (const auto& result : results) {
        APMRow row{{"audience_id", result.audienceID()}, {"current_results", bytesValue(result.currentResults())}};
        // An empty previous result is kept as NULL.
        if (result.previousResults() && !result.previousResults()->empty()) {
            row.emplace("previous_results", bytesValue(*result.previousResults()));
        }
        rows.push_back(std::move(row));
    }
    return upsertRows("audience_filter_values", rows, error);
}

bool APMDatabase::deleteFilterResults(const std::vector<APMFilterResult>& results, APMErrorOut error) {
    checkWorkerQueue("deleteFilterResults:error:");
    if (results.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty filter results to delete");
        return false;
    }
    std::vector<std::int64_t> ids;
    for (const auto& result : results) ids.push_back(result.audienceID());
    return transaction(error, [&](APMErrorOut inner) {
        return forEachSlice(ids, [&](const std::string& marks, const APMBindings& values) {
            return store_
                ->deleteRecordsFromTableWithName("audience_filter_values", "audience_id IN (" + marks + ")", values,
                                                 inner)
                .has_value();
        });
    });
}

}  // namespace measurement
