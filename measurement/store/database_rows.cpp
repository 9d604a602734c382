// Conversions between database rows and the engine's records.
#include "measurement/store/database_rows.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/scheduler.h"

namespace measurement::database_detail {

std::optional<std::int64_t> rowInteger(const APMRow& row, const std::string& column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.isInt()) return std::nullopt;
    return found->second.intValue();
}

std::optional<double> rowReal(const APMRow& row, const std::string& column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.isNumber()) return std::nullopt;
    return found->second.realValue();
}

std::optional<std::string> rowText(const APMRow& row, const std::string& column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.isString()) return std::nullopt;
    return found->second.asString();
}

std::optional<NANOBytes> rowBytes(const APMRow& row, const std::string& column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.isData()) return std::nullopt;
    return found->second.asData().bytes;
}

std::optional<std::int32_t> rowInteger32(const APMRow& row, const std::string& column) {
    auto value = rowInteger(row, column);
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*value);
}

platform::Value bytesValue(const NANOBytes& bytes) { return platform::Value(platform::Data{bytes}); }

std::optional<platform::Value> columnFromValue(const APMValue& value) {
    if (value.isString()) return platform::Value(value.stringValue());
    if (value.isInt64()) return platform::Value(value.int64Value());
    if (value.isDouble()) return platform::Value(value.doubleValue());
    return std::nullopt;
}

std::optional<APMValue> valueFromColumn(const APMRow& row, const std::string& column) {
    auto found = row.find(column);
    if (found == row.end()) return std::nullopt;
    const platform::Value& value = found->second;
    if (value.isString()) return APMValue(value.asString());
    if (value.isInt()) return APMValue(value.intValue());
    if (value.isReal()) return APMValue(value.realValue());
    return std::nullopt;
}

NANOBytes encodedEvent(const APMEvent& event) { return event.protoEvent().protoBuffer(); }

std::optional<APMEvent> decodedEvent(const NANOBytes& bytes, bool isPublic) {
    auto message = APMPBEvent::initWithBuffer(bytes);
    if (!message) return std::nullopt;
    const auto name = NANOGetString(*message, event_field::kName);
    APMParameters parameters = APMParametersFromProtoEvent(*message);
    std::string origin;
    if (auto found = parameters.find(kAPMOriginParameter); found != parameters.end() && found->second.isString()) {
        origin = found->second.stringValue();
    }
    const double timestamp = static_cast<double>(NANOGetInt64(*message, event_field::kTimestamp)) / 1000.0;
    const double previous = static_cast<double>(NANOGetInt64(*message, event_field::kPreviousTimestamp)) / 1000.0;
    return APMEvent(origin, isPublic, name.value_or(""), timestamp, previous, std::move(parameters));
}

std::string placeholders(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ", ?";
    return text;
}

bool forEachSlice(const std::vector<std::int64_t>& ids,
                  const std::function<bool(const std::string& placeholders, const APMBindings& values)>& action) {
    // Well below SQLite's limit on the values of one statement.
    constexpr std::size_t kSlice = 500;
    for (std::size_t start = 0; start < ids.size(); start += kSlice) {
        const std::size_t end = std::min(ids.size(), start + kSlice);
        APMBindings values;
        for (std::size_t i = start; i < end; ++i) values.emplace_back(ids[i]);
        if (!action(placeholders(end - start), values)) return false;
    }
    return true;
}

void checkWorkerQueue(const char* methodName) { APMScheduler::checkOnBackgroundThreadWithMethodName(methodName); }

const std::vector<TableLayout>& tableLayouts() {
    static const std::vector<TableLayout> kLayouts = {
        {"raw_events",
         {{"metadata_fingerprint", "INTEGER NOT NULL"},
          {"name", "TEXT NOT NULL"},
          {"timestamp", "REAL NOT NULL"},
          {"data", "BLOB NOT NULL"}},
         {{"is_realtime", "INTEGER NOT NULL DEFAULT 0"}, {"clock", "INTEGER"}},
         // The upload schedule reads the newest time and whether a real-time
         // event waits after every stored event: index look-ups, not scans.
         {"CREATE INDEX IF NOT EXISTS raw_events_by_fingerprint ON raw_events (metadata_fingerprint)",
          "CREATE INDEX IF NOT EXISTS raw_events_by_timestamp ON raw_events (timestamp)",
          "CREATE INDEX IF NOT EXISTS raw_events_realtime ON raw_events (is_realtime) WHERE is_realtime = 1"}},
        {"raw_events_metadata",
         {{"metadata_fingerprint", "INTEGER NOT NULL UNIQUE"}, {"metadata", "BLOB NOT NULL"}},
         {},
         {}},
        {"queue",
         {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
         {{"is_realtime", "INTEGER NOT NULL DEFAULT 0"},
          {"retry_count", "INTEGER NOT NULL DEFAULT 0"},
          {"refusal_count", "INTEGER NOT NULL DEFAULT 0"},
          {"refusal_status", "INTEGER NOT NULL DEFAULT 0"},
          {"clock", "INTEGER"}},
         {"CREATE INDEX IF NOT EXISTS queue_by_end_timestamp ON queue (bundle_end_timestamp)",
          "CREATE INDEX IF NOT EXISTS queue_realtime ON queue (is_realtime) WHERE is_realtime = 1"}},
        {"events",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"lifetime_count", "INTEGER NOT NULL"},
          {"current_bundle_count", "INTEGER NOT NULL"},
          {"last_fire_timestamp", "REAL NOT NULL"}},
         {{"current_session_count", "INTEGER NOT NULL DEFAULT 0"},
          {"last_bundled_timestamp", "REAL NOT NULL DEFAULT 0"},
          {"last_sampling_rate", "INTEGER NOT NULL DEFAULT 0"},
          {"last_sampled_complex_event_id", "INTEGER"},
          {"last_exempt_from_sampling", "INTEGER NOT NULL DEFAULT 0"},
          {"last_bundled_day", "INTEGER NOT NULL DEFAULT 0"}},
         {}},
        {"user_attributes",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"origin", "TEXT NOT NULL"},
          {"set_timestamp", "REAL NOT NULL"},
          {"value", "NOT NULL"}},
         {},
         {}},
        {"daily_counts",
         {{"id", "INTEGER NOT NULL PRIMARY KEY"},
          {"day_index", "INTEGER NOT NULL DEFAULT 0"},
          {"conversions_count", "INTEGER NOT NULL DEFAULT 0"},
          {"all_events_count", "INTEGER NOT NULL DEFAULT 0"},
          {"public_events_count", "INTEGER NOT NULL DEFAULT 0"},
          {"error_events_count", "INTEGER NOT NULL DEFAULT 0"}},
         {{"realtime_count", "INTEGER NOT NULL DEFAULT 0"}, {"dcu_realtime_count", "INTEGER NOT NULL DEFAULT 0"}},
         {}},
        {"app_metadata",
         {{"id", "INTEGER NOT NULL PRIMARY KEY"},
          {"last_bundle_index", "INTEGER NOT NULL DEFAULT 0"},
          {"last_bundle_start_timestamp", "REAL NOT NULL DEFAULT 0"},
          {"last_bundle_end_timestamp", "REAL NOT NULL DEFAULT 0"}},
         {{"remote_config_successful_timestamp", "REAL NOT NULL DEFAULT 0"},
          {"measurement_config", "BLOB"},
          {"first_open_timestamp", "INTEGER NOT NULL DEFAULT 0"},
          {"last_queue_row_id", "INTEGER NOT NULL DEFAULT 0"},
          {"app_instance_id", "TEXT"},
          {"lost_to_damage", "INTEGER NOT NULL DEFAULT 0"}},
         {}},
        {"event_filters",
         {{"audience_id", "INTEGER NOT NULL"},
          {"filter_id", "INTEGER NOT NULL"},
          {"event_name", "TEXT NOT NULL"},
          {"data", "BLOB NOT NULL"},
          {"session_scoped", "INTEGER NOT NULL DEFAULT 0"}},
         {},
         {"CREATE UNIQUE INDEX IF NOT EXISTS event_filters_by_id ON event_filters (audience_id, filter_id)",
          "CREATE INDEX IF NOT EXISTS event_filters_by_name ON event_filters (event_name)"}},
        {"property_filters",
         {{"audience_id", "INTEGER NOT NULL"},
          {"filter_id", "INTEGER NOT NULL"},
          {"property_name", "TEXT NOT NULL"},
          {"data", "BLOB NOT NULL"},
          {"session_scoped", "INTEGER NOT NULL DEFAULT 0"}},
         {},
         {"CREATE UNIQUE INDEX IF NOT EXISTS property_filters_by_id ON property_filters (audience_id, filter_id)",
          "CREATE INDEX IF NOT EXISTS property_filters_by_name ON property_filters (property_name)"}},
        {"audience_filter_values",
         {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
          {"current_results", "BLOB NOT NULL"},
          {"previous_results", "BLOB"}},
         {},
         {}},
        {"conditional_properties",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"origin", "TEXT NOT NULL"},
          {"value", "NOT NULL"},
          {"creation_timestamp", "REAL NOT NULL"},
          {"active", "INTEGER NOT NULL DEFAULT 0"},
          {"trigger_timeout", "REAL NOT NULL DEFAULT 0"},
          {"triggered_timestamp", "REAL NOT NULL DEFAULT 0"},
          {"time_to_live", "REAL NOT NULL DEFAULT 0"},
          {"trigger_event_name", "TEXT"},
          {"triggered_event", "BLOB"},
          {"timed_out_event", "BLOB"},
          {"expired_event", "BLOB"}},
         {},
         {}},
        {"purchase_transactions",
         {{"fingerprint", "TEXT NOT NULL"}},
         {},
         {"CREATE INDEX IF NOT EXISTS purchase_transactions_by_fingerprint ON purchase_transactions (fingerprint)"}},
        // When the file's layout was last found whole: the fingerprint of
        // the layout looked for, the file's schema version then and the
        // digest of its schema's bytes (none where an engine that did not
        // keep it recorded the check).
        {"schema_checks",
         {{"id", "INTEGER NOT NULL PRIMARY KEY"}, {"layout", "TEXT NOT NULL"}, {"schema_version", "INTEGER NOT NULL"}},
         {{"schema_digest", "BLOB"}},
         {}},
    };
    return kLayouts;
}

const TableLayout& tableLayout(const std::string& name) {
    for (const auto& layout : tableLayouts()) {
        if (layout.name == name) return layout;
    }
    throw std::logic_error("unknown table " + name);
}

std::string columnList(const TableLayout& layout) {
    std::string text;
    for (const auto* list : {&layout.elementaryColumns, &layout.addOnColumns}) {
        for (const auto& column : *list) {
            text += (text.empty() ? "" : ", ") + APMSqliteStore::quoteIdentifier(column.name);
        }
    }
    return text;
}

}  // namespace measurement::database_detail
