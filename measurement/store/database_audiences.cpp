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

std::optional<APMEventFilter> eventFilterFromRow(const APMRow& row) {
    const auto audienceID = rowInteger32(row, "audience_id");
    const auto filterID = rowInteger32(row, "filter_id");
    const auto name = rowText(row, "event_name");
    const auto data = rowBytes(row, "data");
    if (!audienceID || !filterID || !name || !data) return std::nullopt;
    const auto flags = flagsFromData<APMPBEventFilter>(*data, 8, 6, 7);
    return APMEventFilter(*audienceID, *filterID, *name, *data, flags.sessionScoped, flags.dynamic, flags.sequence);
}

std::optional<APMPropertyFilter> propertyFilterFromRow(const APMRow& row) {
    const auto audienceID = rowInteger32(row, "audience_id");
    const auto filterID = rowInteger32(row, "filter_id");
    const auto name = rowText(row, "property_name");
    const auto data = rowBytes(row, "data");
    if (!audienceID || !filterID || !name || !data) return std::nullopt;
    const auto flags = flagsFromData<APMPBPropertyFilter>(*data, 6, 4, 5);
    return APMPropertyFilter(*audienceID, *filterID, *name, *data, flags.sessionScoped, flags.dynamic, flags.sequence);
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
    std::vector<APMEventFilter> filters;
    for (const auto& row : *rows) {
        if (auto filter = eventFilterFromRow(row)) filters.push_back(std::move(*filter));
    }
    return filters;
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
    std::vector<APMPropertyFilter> filters;
    for (const auto& row : *rows) {
        if (auto filter = propertyFilterFromRow(row)) filters.push_back(std::move(*filter));
    }
    return filters;
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
    return transaction(error, [&](APMErrorOut inner) {
        for (const auto& filter : filters) {
            if (!store_->upsertRecord({{"audience_id", filter.audienceID()},
                                       {"filter_id", filter.filterID()},
                                       {"event_name", filter.eventName()},
                                       {"data", bytesValue(filter.data())},
                                       {"session_scoped", filter.isSessionScoped()}},
                                      "event_filters", inner)) {
                return false;
            }
        }
        return true;
    });
}

bool APMDatabase::updatePropertyFilters(const std::vector<APMPropertyFilter>& filters, APMErrorOut error) {
    checkWorkerQueue("updatePropertyFilters:error:");
    if (filters.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty property filters to update");
        return false;
    }
    return transaction(error, [&](APMErrorOut inner) {
        for (const auto& filter : filters) {
            if (!store_->upsertRecord({{"audience_id", filter.audienceID()},
                                       {"filter_id", filter.filterID()},
                                       {"property_name", filter.propertyName()},
                                       {"data", bytesValue(filter.data())},
                                       {"session_scoped", filter.isSessionScoped()}},
                                      "property_filters", inner)) {
                return false;
            }
        }
        return true;
    });
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
    return transaction(error, [&](APMErrorOut inner) {
        for (const auto& result : results) {
            APMRow row{{"audience_id", result.audienceID()}, {"current_results", bytesValue(result.currentResults())}};
            // An empty previous result is kept as NULL.
            if (result.previousResults() && !result.previousResults()->empty()) {
                row.emplace("previous_results", bytesValue(*result.previousResults()));
            }
            if (!store_->upsertRecord(row, "audience_filter_values", inner)) return false;
        }
        return true;
    });
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
