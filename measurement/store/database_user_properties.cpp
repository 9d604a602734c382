// The database's user properties.
#include "measurement/store/database.h"

#include "measurement/foundation/monitor.h"
#include "measurement/store/database_rows.h"

namespace measurement {

using namespace database_detail;

std::optional<APMUserAttribute> APMDatabase::userAttributeFromDictionary(const APMRow& row) {
    const auto name = rowText(row, "name");
    auto value = valueFromColumn(row, "value");
    if (!name || !value) return std::nullopt;
    return APMUserAttribute(rowText(row, "origin").value_or(""), *name, std::move(*value),
                            rowReal(row, "set_timestamp").value_or(0));
}

std::optional<APMUserAttribute> APMDatabase::userAttributeWithName(const std::string& name, APMErrorOut error) {
    checkWorkerQueue("userAttributeWithName:error:");
    auto rows = query("SELECT * FROM user_attributes WHERE name = ?", {name}, error);
    if (!rows || rows->empty()) return std::nullopt;
    auto attribute = userAttributeFromDictionary(rows->front());
    if (!attribute) APMSetError(error, kAPMDatabaseUndecodableDataCode, "Stored user property has no valid value");
    return attribute;
}

bool APMDatabase::containsUserAttributeWithName(const std::string& name, APMErrorOut error) {
    checkWorkerQueue("containsUserAttributeWithName:error:");
    return queryExists("SELECT 1 FROM user_attributes WHERE name = ?", {name}, error).value_or(false);
}

bool APMDatabase::updateUserAttribute(const APMUserAttribute& attribute, APMErrorOut error) {
    checkWorkerQueue("updateUserAttribute:error:");
    const auto value = columnFromValue(attribute.value());
    if (attribute.name().empty() || !value) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode,
                    "Received user property without name or with a value that cannot be stored");
        return false;
    }
    const bool stored = store_->upsertRecord({{"name", attribute.name()},
                                              {"origin", attribute.origin()},
                                              {"set_timestamp", attribute.lastSetTimestamp()},
                                              {"value", *value}},
                                             "user_attributes", error);
    noteUserAttributeWritten(attribute.name(), false, 0);
    return stored;
}

bool APMDatabase::deleteUserAttributeWithName(const std::string& name, APMErrorOut error) {
    checkWorkerQueue("deleteUserAttributeWithName:error:");
    // A property known not to be stored has nothing to delete: the session's
    // properties are deleted after every event while the session is expired.
    if (isUserAttributeKnownAbsent(name)) return true;
    const auto undoneBefore = store_->undoCount();
    const bool deleted = store_->deleteRecordFromTableWithName("user_attributes", "name", name, error);
    noteUserAttributeWritten(name, deleted, undoneBefore);
    return deleted;
}

std::optional<std::vector<APMUserAttribute>> APMDatabase::allUserAttributes(APMErrorOut error) {
    checkWorkerQueue("allUserAttributes:");
    auto rows = query("SELECT * FROM user_attributes ORDER BY name", {}, error);
    if (!rows) return std::nullopt;
    return collectRows<APMUserAttribute>(*rows, userAttributeFromDictionary);
}

}  // namespace measurement
