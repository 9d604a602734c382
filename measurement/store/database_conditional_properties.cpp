// The database's conditional user properties.
#include "measurement/store/database.h"

#include "measurement/store/database_rows.h"
#include "platform/dispatch/clock.h"

namespace measurement {

using namespace database_detail;

namespace {

// The three events of a property are kept as encoded event messages; an
// absent event is NULL.
void putEvent(APMRow& row, const char* column, const std::optional<APMEvent>& event) {
    if (event) row.emplace(column, bytesValue(encodedEvent(*event)));
}

std::optional<APMEvent> eventFromRow(const APMRow& row, const char* column) {
    auto bytes = rowBytes(row, column);
    if (!bytes) return std::nullopt;
    return decodedEvent(*bytes, false);
}

std::optional<APMConditionalUserProperty> propertyFromRow(const APMRow& row) {
    auto name = rowText(row, "name");
    if (!name) return std::nullopt;
    APMConditionalUserProperty property;
    property.setName(std::move(*name));
    property.setOrigin(rowText(row, "origin").value_or(""));
    property.setValue(valueFromColumn(row, "value"));
    property.setCreationTimestamp(rowReal(row, "creation_timestamp").value_or(0));
    property.setActive(rowInteger(row, "active").value_or(0) != 0);
    property.setTriggerTimeout(rowReal(row, "trigger_timeout").value_or(0));
    property.setTriggeredTimestamp(rowReal(row, "triggered_timestamp").value_or(0));
    property.setTimeToLive(rowReal(row, "time_to_live").value_or(0));
    property.setTriggerEventName(rowText(row, "trigger_event_name").value_or(""));
    property.setTriggeredEvent(eventFromRow(row, "triggered_event"));
    property.setTimedOutEvent(eventFromRow(row, "timed_out_event"));
    property.setExpiredEvent(eventFromRow(row, "expired_event"));
    return property;
}

double now() { return platform::dispatch::currentClock()->now(); }

}  // namespace

std::optional<std::vector<APMConditionalUserProperty>> APMDatabase::conditionalUserProperties(
    const std::string& condition, const APMBindings& values, APMErrorOut error) {
    auto rows = query("SELECT * FROM conditional_properties WHERE " + condition + " ORDER BY rowid", values, error);
    if (!rows) return std::nullopt;
    return collectRows<APMConditionalUserProperty>(*rows, propertyFromRow);
}

std::optional<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(const std::string& name,
                                                                                       APMErrorOut error) {
    checkWorkerQueue("conditionalUserPropertyWithName:error:");
    auto properties = conditionalUserProperties("name = ?", {name}, error);
    if (!properties || properties->empty()) return std::nullopt;
    return properties->front();
}

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty& property, APMErrorOut error) {
    checkWorkerQueue("updateConditionalUserProperty:error:");
    const auto value = property.value() ? columnFromValue(*property.value()) : std::nullopt;
    if (property.name().empty() || property.origin().empty() || !value) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode,
                    "Received conditional user property without name, origin or value");
        return false;
    }
    APMRow row{{"name", property.name()},
               {"origin", property.origin()},
               {"value", *value},
               {"creation_timestamp", property.creationTimestamp()},
               {"active", property.isActive()},
               {"trigger_timeout", property.triggerTimeout()},
               {"triggered_timestamp", property.triggeredTimestamp()},
               {"time_to_live", property.timeToLive()}};
    if (!property.triggerEventName().empty()) row.emplace("trigger_event_name", property.triggerEventName());
    putEvent(row, "triggered_event", property.triggeredEvent());
    putEvent(row, "timed_out_event", property.timedOutEvent());
    putEvent(row, "expired_event", property.expiredEvent());
    return store_->upsertRecord(row, "conditional_properties", error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(const std::string& name, APMErrorOut error) {
    checkWorkerQueue("deleteConditionalUserPropertyWithName:error:");
    return store_->deleteRecordFromTableWithName("conditional_properties", "name", name, error);
}

std::optional<std::vector<APMConditionalUserProperty>> APMDatabase::timedOutConditionalUserPropertiesWithError(
    APMErrorOut error) {
    checkWorkerQueue("timedOutConditionalUserPropertiesWithError:");
    return conditionalUserProperties("active=0 and abs(? - creation_timestamp) > trigger_timeout", {now()}, error);
}

std::optional<std::vector<APMConditionalUserProperty>> APMDatabase::expiredConditionalUserPropertiesWithError(
    APMErrorOut error) {
    checkWorkerQueue("expiredConditionalUserPropertiesWithError:");
    return conditionalUserProperties("active=1 and abs(? - triggered_timestamp) > time_to_live", {now()}, error);
}

std::optional<std::vector<APMConditionalUserProperty>> APMDatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, APMErrorOut error) {
    checkWorkerQueue("triggeredConditionalUserPropertiesWithEventName:error:");
    if (eventName.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode,
                    "Received nil/empty event name for querying triggered conditional user properties");
        return std::nullopt;
    }
    return conditionalUserProperties(
        "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout", {eventName, now()},
        error);
}

// The prefix is compared character for character: a LIKE pattern would read
// "_" and "%" in names as wildcards, and internal names begin with "_".
std::optional<std::vector<APMConditionalUserProperty>> APMDatabase::conditionalUserPropertiesWithPrefix(
    const std::optional<std::string>& prefix, const std::optional<std::string>& origin, APMErrorOut error) {
    checkWorkerQueue("conditionalUserPropertiesWithPrefix:filterByOrigin:error:");
    std::string condition = "1";
    APMBindings values;
    if (prefix && !prefix->empty()) {
        condition += " AND substr(name, 1, length(?)) = ?";
        values.emplace_back(*prefix);
        values.emplace_back(*prefix);
    }
    if (origin) {
        condition += " AND origin = ?";
        values.emplace_back(*origin);
    }
    return conditionalUserProperties(condition, values, error);
}

}  // namespace measurement
