// Evaluating the stored filters against events and user properties, and
// writing the outcomes into the audiences' results.
#include "measurement/audience/audience.h"

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/filter_description.h"
#include "measurement/audience/filter_evaluation.h"
#include "measurement/audience/result_words.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"

namespace measurement {

namespace {

using namespace audience_field;
using platform::Value;

APMMonitor& monitor() { return APMMonitor::shared(); }

// The messages of one kind of evaluation.
struct EvaluationTexts {
    long resultQueryFailedCode;
    const char* resultQueryFailed;
    long corruptCode;
    const char* corrupt;
    long saveFailedCode;
    const char* saveFailed;
};

constexpr EvaluationTexts kEventTexts{
    kAPMAudienceEventResultQueryFailedCode,
    "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
    kAPMAudienceEventFilterCorruptCode,
    "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience ID, "
    "dynamic",
    kAPMAudienceEventResultsSaveFailedCode,
    "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error"};

constexpr EvaluationTexts kPropertyTexts{
    kAPMAudiencePropertyResultQueryFailedCode,
    "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
    kAPMAudiencePropertyFilterCorruptCode,
    "User property filter contains no data or corrupt data. User property will not be evaluated. User property name, "
    "filter ID, audience ID, dynamic",
    kAPMAudiencePropertyResultsSaveFailedCode,
    "Unable to save updated Audience filter results. User property will not be evaluated. User property name, error"};

// The decoded definition of a stored filter; none when it has no data or
// the data does not decode.
template <class Message>
std::optional<Message> definitionFromData(const NANOBytes& data) {
    if (data.empty()) return std::nullopt;
    return Message::initWithBuffer(data);
}

std::optional<APMPBEventFilter> definitionOf(const APMEventFilter& filter) {
    return definitionFromData<APMPBEventFilter>(filter.data());
}

std::optional<APMPBPropertyFilter> definitionOf(const APMPropertyFilter& filter) {
    return definitionFromData<APMPBPropertyFilter>(filter.data());
}

// An event filter, once true, stays true; a property filter takes a false
// outcome only when it is dynamic and not session scoped.
bool newValue(const APMEventFilter&, bool outcome, bool wasTrue) { return outcome || wasTrue; }

bool newValue(const APMPropertyFilter& filter, bool outcome, bool wasTrue) {
    if (outcome || (filter.isDynamic() && !filter.isSessionScoped())) return outcome;
    return wasTrue;
}

// A filter that is true is looked at again only when its outcome can still
// change what is reported.
template <class Filter>
bool shouldEvaluate(const Filter& filter, bool wasTrue) {
    return !wasTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

std::optional<APMUserAttribute> userAttributeFromNano(const APMPBUserAttribute& property) {
    const auto index = [](int tag) { return NANOFieldIndexForTag<APMPBUserAttribute>(tag); };
    std::optional<APMValue> value;
    if (auto text = NANOGetString(property, index(nano_APMPBUserAttribute_string_value_tag))) {
        value = APMValue(*text);
    } else if (NANOHasField(property, index(nano_APMPBUserAttribute_double_value_tag))) {
        value = APMValue(NANOGetDouble(property, index(nano_APMPBUserAttribute_double_value_tag)));
    } else if (NANOHasField(property, index(nano_APMPBUserAttribute_int_value_tag))) {
        value = APMValue(NANOGetInt64(property, index(nano_APMPBUserAttribute_int_value_tag)));
    }
    if (!value) return std::nullopt;
    const auto millis = NANOGetInt64(property, index(nano_APMPBUserAttribute_set_timestamp_millis_tag));
    return APMUserAttribute("", NANOGetString(property, index(nano_APMPBUserAttribute_name_tag)).value_or(""),
                            std::move(*value), static_cast<double>(millis) / 1000.0);
}

}  // namespace

// What one evaluation call keeps: the subject, the results updated so far
// and those fetched but not yet updated, by audience ID.
struct APMAudience::Evaluation {
    Evaluation(const EvaluationTexts& texts, std::string nameForLog, double timestamp,
               APMAudienceTimestampsCache* cache)
        : texts(texts), nameForLog(std::move(nameForLog)), timestamp(timestamp), cache(cache) {}

    const EvaluationTexts& texts;
    std::string nameForLog;
    double timestamp;
    APMAudienceTimestampsCache* cache;
    // The event or the property under evaluation; one of them is set.
    const std::string* eventName = nullptr;
    const APMParameters* eventParameters = nullptr;
    const APMEventAggregates* aggregates = nullptr;
    const APMUserAttribute* property = nullptr;

    std::map<std::int32_t, APMFilterResult> updated;
    std::map<std::int32_t, std::optional<APMFilterResult>> fetched;

    APMFilterOutcome outcomeOf(const APMPBEventFilter& definition) const {
        return APMEvaluateEventFilter(&definition, *eventName, *eventParameters, *aggregates);
    }
    APMFilterOutcome outcomeOf(const APMPBPropertyFilter& definition) const {
        return APMEvaluatePropertyFilter(&definition, property);
    }
};

APMAudience::APMAudience(APMDatabase& database, std::function<APMAudienceLimits()> limits)
    : database_(database), limits_(std::move(limits)) {}

APMAudienceLimits APMAudience::limits() const { return limits_ ? limits_() : APMAudienceLimits{}; }

bool APMAudience::isFilterResult(const std::optional<APMFilterResult>& result, std::int32_t filterID) {
    if (!result || result->currentResults().empty()) return false;
    const auto data = APMPBResultData::initWithBuffer(result->currentResults());
    if (!data) return false;
    const APMResultWords words = APMResultWords::fromResultData(*data);
    if (words.status.empty() || words.results.empty()) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceResultMissingWordsCode,
                               "Audience filter result is non-nil and is missing status or results array. Audience "
                               "result will not be bundled. Audience ID, result data",
                               Value(result->audienceID()), Value(APMDescriptionOfResultData(*data)));
        return false;
    }
    return words.isTrue(filterID);
}

APMFilterResult APMAudience::updatedFilterResultWithFilterID(std::int32_t filterID, std::int32_t audienceID,
                                                             const std::optional<APMFilterResult>& currentFilterResult,
                                                             APMFilterOutcome newEvaluationResult,
                                                             const APMAudienceTimestampsCache& cache) {
    std::optional<APMPBResultData> current;
    if (currentFilterResult && !currentFilterResult->currentResults().empty()) {
        current = APMPBResultData::initWithBuffer(currentFilterResult->currentResults());
    }
    APMResultWords words = current ? APMResultWords::fromResultData(*current) : APMResultWords{};
    words.write(filterID, newEvaluationResult);
    APMPBResultData data;
    words.writeInto(data);
    NANOSetArray(data, kResultDynamicTimestamps, cache.dynamicTimestampsForAudienceID(audienceID));
    if (auto sequences = cache.sequenceTimestampsForAudienceID(audienceID)) {
        NANOSetArray(data, kResultSequenceTimestamps, *sequences);
    }
    return APMFilterResult(audienceID, data.protoBuffer(),
                           currentFilterResult ? currentFilterResult->previousResults() : std::nullopt);
}

template <class Filter>
bool APMAudience::evaluateStoredFilters(Evaluation& evaluation, const std::vector<Filter>& filters) {
    APMAudienceTimestampsCache callCache;
    APMAudienceTimestampsCache& cache = evaluation.cache ? *evaluation.cache : callCache;
    for (const auto& filter : filters) {
        const std::int32_t audienceID = filter.audienceID();
        if (!evaluation.updated.contains(audienceID) && !evaluation.fetched.contains(audienceID)) {
            std::optional<APMError> error;
            auto fetched = database_.filterResultForAudienceID(audienceID, &error);
            if (error) {
                monitor().logWithLevel(kAPMMonitorLevelError, evaluation.texts.resultQueryFailedCode,
                                       evaluation.texts.resultQueryFailed, Value(evaluation.nameForLog),
                                       errorContext(error));
                return false;
            }
            evaluation.fetched.emplace(audienceID, std::move(fetched));
        }
        const auto updated = evaluation.updated.find(audienceID);
        const std::optional<APMFilterResult> current =
            updated != evaluation.updated.end() ? std::optional(updated->second) : evaluation.fetched[audienceID];
        // An ID beyond the bit words comes only from a damaged row; it is
        // never written.
        if (filter.filterID() < 0 || filter.filterID() >= kAPMFilterIDBound) continue;
        const bool wasTrue = isFilterResult(current, filter.filterID());
        if (!shouldEvaluate(filter, wasTrue)) continue;
        const auto definition = definitionOf(filter);
        if (!definition) {
            monitor().logWithLevel(kAPMMonitorLevelError, evaluation.texts.corruptCode, evaluation.texts.corrupt,
                                   {Value(evaluation.nameForLog), Value(filter.filterID()), Value(audienceID),
                                    Value(filter.isDynamic())});
            continue;
        }
        const APMFilterOutcome outcome = evaluation.outcomeOf(*definition);
        if (!outcome) continue;
        cache.populateCachedTimestamps(current ? &*current : nullptr, audienceID);
        if (*outcome) cache.addEvaluationTimestamp(evaluation.timestamp, filter);
        evaluation.updated.insert_or_assign(
            audienceID, updatedFilterResultWithFilterID(filter.filterID(), audienceID, current,
                                                        newValue(filter, *outcome, wasTrue), cache));
    }
    if (evaluation.updated.empty()) return true;
    std::vector<APMFilterResult> results;
    for (const auto& [audienceID, result] : evaluation.updated) results.push_back(result);
    std::optional<APMError> error;
    if (database_.updateFilterResults(results, &error)) return true;
    monitor().logWithLevel(kAPMMonitorLevelError, evaluation.texts.saveFailedCode, evaluation.texts.saveFailed,
                           Value(evaluation.nameForLog), errorContext(error));
    return false;
}

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                                          APMAudienceTimestampsCache* cache) {
    return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates, event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& eventName, const APMParameters& eventParameters,
                                              const APMEventAggregates& aggregates, double eventTimestamp,
                                              APMAudienceTimestampsCache* cache) {
    std::optional<APMError> error;
    const auto filters = database_.eventFiltersForEventName(eventName, &error);
    if (!filters && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudienceEventFiltersQueryFailedCode,
                               "Unable to query event filters for event. Event will not be evaluated. Event name, "
                               "error",
                               Value(APMEventNameForLog(eventName)), errorContext(error));
        return false;
    }
    Evaluation evaluation(kEventTexts, APMEventNameForLog(eventName), eventTimestamp, cache);
    evaluation.eventName = &eventName;
    evaluation.eventParameters = &eventParameters;
    evaluation.aggregates = &aggregates;
    return evaluateStoredFilters(evaluation, filters.value_or(std::vector<APMEventFilter>{}));
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property, APMAudienceTimestampsCache* cache,
                                                 double evaluationTimestamp) {
    std::optional<APMError> error;
    const auto filters = database_.propertyFiltersForPropertyName(property.name(), &error);
    if (!filters && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMAudiencePropertyFiltersQueryFailedCode,
                               "Unable to query property filters for property. Property will not be evaluated. "
                               "Property name, error",
                               Value(APMUserPropertyNameForLog(property.name())), errorContext(error));
        return false;
    }
    Evaluation evaluation(kPropertyTexts, APMUserPropertyNameForLog(property.name()), evaluationTimestamp, cache);
    evaluation.property = &property;
    return evaluateStoredFilters(evaluation, filters.value_or(std::vector<APMPropertyFilter>{}));
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
    const auto attribute = userAttributeFromNano(property);
    if (!attribute) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMAudienceNanoPropertyUnconvertibleCode,
                               "Could not convert user property from nano format.");
        return false;
    }
    return evaluateFiltersForUserProperty(*attribute, cache, evaluationTime.value_or(attribute->lastSetTimestamp()));
}

}  // namespace measurement
