// Builders, the database fixture and result readers of the audience tests.
#include "measurement/audience/audience_test_support.h"

#include <doctest/doctest.h>

#include "measurement/store/sqlite_store.h"

namespace measurement::audience_test {

using namespace audience_field;

APMPBNumberFilter numberFilter(std::uint32_t type, const std::string& value) {
    APMPBNumberFilter filter;
    NANOSetInt32(filter, kNumberComparisonType, static_cast<std::int32_t>(type));
    NANOSetString(filter, kNumberComparisonValue, value);
    return filter;
}

APMPBNumberFilter betweenFilter(const std::string& min, const std::string& max) {
    APMPBNumberFilter filter;
    NANOSetInt32(filter, kNumberComparisonType, static_cast<std::int32_t>(kAPMComparisonBetween));
    NANOSetString(filter, kNumberMinValue, min);
    NANOSetString(filter, kNumberMaxValue, max);
    return filter;
}

APMPBStringFilter stringFilter(std::uint32_t type, const std::optional<std::string>& expression,
                               std::optional<bool> caseSensitive) {
    APMPBStringFilter filter;
    NANOSetInt32(filter, kStringMatchType, static_cast<std::int32_t>(type));
    NANOSetString(filter, kStringExpression, expression);
    if (caseSensitive) NANOSetBool(filter, kStringCaseSensitive, *caseSensitive);
    return filter;
}

APMPBStringFilter listFilter(const std::vector<std::string>& entries, std::optional<bool> caseSensitive) {
    APMPBStringFilter filter;
    NANOSetInt32(filter, kStringMatchType, static_cast<std::int32_t>(kAPMMatchInList));
    NANOSetArray(filter, kStringExpressionList, entries);
    if (caseSensitive) NANOSetBool(filter, kStringCaseSensitive, *caseSensitive);
    return filter;
}

namespace {

APMPBFilter withCommon(APMPBFilter filter, bool complement, const std::optional<std::string>& parameter) {
    if (complement) NANOSetBool(filter, kFilterComplement, true);
    NANOSetString(filter, kFilterParameterName, parameter);
    return filter;
}

}  // namespace

APMPBFilter valueFilter(const APMPBNumberFilter& number, bool complement, const std::optional<std::string>& parameter) {
    APMPBFilter filter;
    NANOSetMessage(filter, kFilterNumber, number);
    return withCommon(std::move(filter), complement, parameter);
}

APMPBFilter valueFilter(const APMPBStringFilter& string, bool complement, const std::optional<std::string>& parameter) {
    APMPBFilter filter;
    NANOSetMessage(filter, kFilterString, string);
    return withCommon(std::move(filter), complement, parameter);
}

APMPBEventFilter eventFilter(std::int32_t filterID, const std::string& eventName, std::vector<APMPBFilter> parameters,
                             const std::optional<APMPBNumberFilter>& count, Flags flags) {
    APMPBEventFilter filter;
    NANOSetInt32(filter, kEventFilterID, filterID);
    NANOSetString(filter, kEventFilterEventName, eventName);
    if (!parameters.empty()) NANOSetArray(filter, kEventFilterParameterFilters, parameters);
    if (count) NANOSetMessage(filter, kEventFilterCountFilter, *count);
    if (flags.dynamic) NANOSetBool(filter, kEventFilterDynamic, true);
    if (flags.sequence) NANOSetBool(filter, kEventFilterSequence, true);
    if (flags.sessionScoped) NANOSetBool(filter, kEventFilterSessionScoped, true);
    return filter;
}

APMPBPropertyFilter propertyFilter(std::int32_t filterID, const std::string& propertyName,
                                   const std::optional<APMPBFilter>& valueFilter, Flags flags) {
    APMPBPropertyFilter filter;
    NANOSetInt32(filter, kPropertyFilterID, filterID);
    NANOSetString(filter, kPropertyFilterName, propertyName);
    if (valueFilter) NANOSetMessage(filter, kPropertyFilterFilter, *valueFilter);
    if (flags.dynamic) NANOSetBool(filter, kPropertyFilterDynamic, true);
    if (flags.sequence) NANOSetBool(filter, kPropertyFilterSequence, true);
    if (flags.sessionScoped) NANOSetBool(filter, kPropertyFilterSessionScoped, true);
    return filter;
}

APMPBAudience audience(std::optional<std::int32_t> audienceID, std::vector<APMPBEventFilter> eventFilters,
                       std::vector<APMPBPropertyFilter> propertyFilters) {
    APMPBAudience result;
    if (audienceID) NANOSetInt32(result, kAudienceID, *audienceID);
    if (!eventFilters.empty()) NANOSetArray(result, kAudienceEventFilters, eventFilters);
    if (!propertyFilters.empty()) NANOSetArray(result, kAudiencePropertyFilters, propertyFilters);
    return result;
}

APMEventFilter eventRecord(std::int32_t audienceID, const APMPBEventFilter& filter) {
    return APMEventFilter(audienceID, NANOGetInt32(filter, kEventFilterID),
                          NANOGetString(filter, kEventFilterEventName).value_or(""), filter.protoBuffer(),
                          NANOGetBool(filter, kEventFilterSessionScoped), NANOGetBool(filter, kEventFilterDynamic),
                          NANOGetBool(filter, kEventFilterSequence));
}

APMPropertyFilter propertyRecord(std::int32_t audienceID, const APMPBPropertyFilter& filter) {
    return APMPropertyFilter(audienceID, NANOGetInt32(filter, kPropertyFilterID),
                             NANOGetString(filter, kPropertyFilterName).value_or(""), filter.protoBuffer(),
                             NANOGetBool(filter, kPropertyFilterSessionScoped),
                             NANOGetBool(filter, kPropertyFilterDynamic), NANOGetBool(filter, kPropertyFilterSequence));
}

APMPBUserAttribute nanoProperty(const std::string& name, const APMValue& value, double setSeconds) {
    return APMUserAttribute("app", name, value, setSeconds).protoUserAttribute();
}

Bits bitsOf(const APMPBResultData& data) {
    Bits bits;
    const auto status = NANOGetArray<std::uint64_t>(data, kResultStatusWords);
    const auto results = NANOGetArray<std::uint64_t>(data, kResultResultWords);
    for (std::size_t word = 0; word < status.size(); ++word) {
        for (int bit = 0; bit < 64; ++bit) {
            if (!((status[word] >> bit) & 1)) continue;
            const auto filterID = static_cast<std::int32_t>(word * 64 + bit);
            bits.evaluated.push_back(filterID);
            if (word < results.size() && ((results[word] >> bit) & 1)) bits.trueFilters.push_back(filterID);
        }
    }
    for (const auto& entry : NANOGetArray<APMPBDynamicFilterResultTimestamp>(data, kResultDynamicTimestamps)) {
        bits.dynamicTimes[NANOGetInt32(entry, kDynamicTimestampFilterID)] =
            NANOGetInt64(entry, kDynamicTimestampSeconds);
    }
    for (const auto& entry : NANOGetArray<APMPBSequenceFilterResultTimestamp>(data, kResultSequenceTimestamps)) {
        bits.sequenceTimes[NANOGetInt32(entry, kSequenceTimestampFilterID)] =
            NANOGetArray<std::int64_t>(entry, kSequenceTimestampSeconds);
    }
    return bits;
}

Bits bitsOf(const NANOBytes& encoded) {
    const auto data = APMPBResultData::initWithBuffer(encoded);
    REQUIRE(data);
    return bitsOf(*data);
}

std::string describe(const Bits& bits) {
    std::string text = "evaluated {";
    for (auto id : bits.evaluated) text += " " + std::to_string(id);
    text += " } true {";
    for (auto id : bits.trueFilters) text += " " + std::to_string(id);
    text += " } dynamic {";
    for (auto [id, time] : bits.dynamicTimes) text += " " + std::to_string(id) + "@" + std::to_string(time);
    text += " } sequence {";
    for (const auto& [id, times] : bits.sequenceTimes) {
        text += " " + std::to_string(id) + ":";
        for (auto time : times) text += std::to_string(time) + ",";
    }
    return text + " }";
}

AudienceFixture::AudienceFixture() {
    onWorker([&] {
        std::optional<APMError> error;
        database_ = APMDatabase::makeWithPath(path().string(), &error);
        REQUIRE_MESSAGE(database_, (error ? error->description() : std::string("no error")));
        audience_ = std::make_unique<APMAudience>(*database_, [this] { return limits; });
    });
}

AudienceFixture::~AudienceFixture() {
    onWorker([&] {
        audience_.reset();
        database_.reset();
    });
}

void AudienceFixture::onWorker(const std::function<void()>& block) { scheduler_.workerQueue()->sync(block); }

bool AudienceFixture::inTransaction(const std::function<bool()>& block) {
    bool kept = false;
    onWorker([&] { kept = database_->performTransaction(block); });
    return kept;
}

void AudienceFixture::execute(const std::string& sql) {
    auto store = APMSqliteStore::makeWithDatabasePath(path().string(), nullptr);
    REQUIRE(store);
    std::optional<APMError> error;
    REQUIRE_MESSAGE(store->executeStatement(sql, {}, &error).has_value(),
                    (error ? error->description() : std::string("no error")));
}

std::map<std::int32_t, APMFilterResult> AudienceFixture::storedResults() {
    std::optional<std::map<std::int32_t, APMFilterResult>> results;
    onWorker([&] { results = database_->allFilterResults(nullptr); });
    REQUIRE(results);
    return *results;
}

void AudienceFixture::storeFilters(const std::vector<APMEventFilter>& events,
                                   const std::vector<APMPropertyFilter>& properties) {
    onWorker([&] {
        if (!events.empty()) REQUIRE(database_->updateEventFilters(events, nullptr));
        if (!properties.empty()) REQUIRE(database_->updatePropertyFilters(properties, nullptr));
    });
}

}  // namespace measurement::audience_test
