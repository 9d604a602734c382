#include "measurement/core/event_database.h"

#include <sqlite3.h>

#include <filesystem>
#include <system_error>
#include <variant>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "platform/frameworks/utilities/gzip.h"

namespace measurement {

namespace {

constexpr long kErrorCode = 1;
constexpr int kMaxPurchaseFingerprints = 1000;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS raw_events (metadata_fingerprint INTEGER NOT NULL, name TEXT NOT NULL, "
    "timestamp REAL NOT NULL, data BLOB NOT NULL, origin TEXT, is_public INTEGER NOT NULL DEFAULT 0, "
    "is_realtime INTEGER NOT NULL DEFAULT 0, is_conversion INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS raw_events_metadata (metadata_fingerprint INTEGER PRIMARY KEY, "
    "metadata BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS user_attributes (name TEXT PRIMARY KEY, origin TEXT NOT NULL, "
    "set_timestamp REAL NOT NULL, value NOT NULL)",
    "CREATE TABLE IF NOT EXISTS daily_counts (id INTEGER PRIMARY KEY CHECK (id = 1), day INTEGER NOT NULL, "
    "conversions INTEGER NOT NULL, all_events INTEGER NOT NULL, public_events INTEGER NOT NULL, "
    "error_events INTEGER NOT NULL, realtime_events INTEGER NOT NULL, dcu_realtime_events INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS queue (data BLOB NOT NULL, bundle_end_timestamp INTEGER NOT NULL, "
    "retry_count INTEGER NOT NULL DEFAULT 0, is_realtime INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS purchase_transactions (fingerprint TEXT NOT NULL)",
};

using Binding = std::variant<std::int64_t, double, std::string, std::vector<std::uint8_t>>;

// One prepared statement, finalised at scope end.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    int lastResult = SQLITE_OK;

    Statement(sqlite3* db, const std::string& sql) { lastResult = sqlite3_prepare_v2(db, sql.c_str(), -1, &handle, nullptr); }
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return handle != nullptr && lastResult == SQLITE_OK; }

    bool bind(const std::vector<Binding>& values) {
        int index = 1;
        for (const auto& value : values) {
            int rc = SQLITE_OK;
            if (auto* i = std::get_if<std::int64_t>(&value)) {
                rc = sqlite3_bind_int64(handle, index, *i);
            } else if (auto* d = std::get_if<double>(&value)) {
                rc = sqlite3_bind_double(handle, index, *d);
            } else if (auto* s = std::get_if<std::string>(&value)) {
                rc = sqlite3_bind_text(handle, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
            } else {
                const auto& bytes = std::get<std::vector<std::uint8_t>>(value);
                rc = sqlite3_bind_blob(handle, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
            }
            if (rc != SQLITE_OK) return false;
            ++index;
        }
        return true;
    }
    // SQLITE_ROW or SQLITE_DONE on success.
    int step() { return lastResult = sqlite3_step(handle); }

    std::int64_t integer(int column) const { return sqlite3_column_int64(handle, column); }
    double real(int column) const { return sqlite3_column_double(handle, column); }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_text(handle, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes), sqlite3_column_bytes(handle, column)) : "";
    }
    std::vector<std::uint8_t> blob(int column) const {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(handle, column));
        return bytes ? std::vector<std::uint8_t>(bytes, bytes + sqlite3_column_bytes(handle, column))
                     : std::vector<std::uint8_t>();
    }
    int type(int column) const { return sqlite3_column_type(handle, column); }
};

bool fail(sqlite3* db, APMErrorOut error, const std::string& what) {
    const std::string message = db ? sqlite3_errmsg(db) : "no connection";
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMCoreDatabaseStatementFailedCode,
                                      "Measurement database operation failed. Operation, error",
                                      platform::Value(what), platform::Value(message));
    APMSetError(error, kErrorCode, what + ": " + message);
    return false;
}

}  // namespace

std::unique_ptr<APMEventDatabase> APMEventDatabase::open(const std::string& path, APMErrorOut error) {
    if (path.empty()) {
        APMSetError(error, kErrorCode, "Received empty database path on init");
        return nullptr;
    }
    std::unique_ptr<APMEventDatabase> database(new APMEventDatabase(path));
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &database->db_, flags, nullptr) != SQLITE_OK) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMCoreDatabaseOpenFailedCode,
                                          "Failed to open the measurement database. Path", platform::Value(path));
        APMSetError(error, kErrorCode, "Failed to open the measurement database");
        return nullptr;
    }
    sqlite3_busy_timeout(database->db_, 5000);
    // A write-ahead log commits with one flush instead of several; FULL
    // keeps every committed transaction on disk through a power loss.
    database->execute("PRAGMA journal_mode=WAL", nullptr);
    database->execute("PRAGMA synchronous=FULL", nullptr);
    if (!database->createTables(error)) return nullptr;
    return database;
}

std::string APMEventDatabase::defaultPath() {
    const auto folder = APMApplicationSupportDirectory() / "Rozeda" / "Measurement";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return (folder / kAPMDatabaseFileName).string();
}

APMEventDatabase::~APMEventDatabase() { sqlite3_close_v2(db_); }

bool APMEventDatabase::execute(const std::string& sql, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    sqlite3_free(message);
    return fail(db_, error, sql);
}

bool APMEventDatabase::createTables(APMErrorOut error) {
    for (const char* statement : kSchema) {
        if (!execute(statement, error)) return false;
    }
    return true;
}

bool APMEventDatabase::performTransaction(const std::function<bool()>& block) {
    std::lock_guard lock(mutex_);
    // A transaction inside a transaction joins it.
    if (transactionDepth_ > 0) return block();
    if (!execute("BEGIN EXCLUSIVE TRANSACTION", nullptr)) return false;
    ++transactionDepth_;
    bool commit = false;
    try {
        commit = block();
    } catch (...) {
        --transactionDepth_;
        execute("ROLLBACK TRANSACTION", nullptr);
        throw;
    }
    --transactionDepth_;
    if (commit && execute("COMMIT TRANSACTION", nullptr)) return true;
    execute("ROLLBACK TRANSACTION", nullptr);
    return false;
}

bool APMEventDatabase::insertRawEvent(const APMEvent& event, std::int64_t metadataFingerprint, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_,
                        "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, origin, is_public, "
                        "is_realtime, is_conversion) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    if (!statement.ok() ||
        !statement.bind({metadataFingerprint, event.name(), event.timestamp(), event.protoEvent().protoBuffer(),
                         event.origin(), std::int64_t{event.isPublic()}, std::int64_t{event.isRealtime()},
                         std::int64_t{event.isConversion()}}) ||
        statement.step() != SQLITE_DONE) {
        return fail(db_, error, "insert raw event");
    }
    return true;
}

bool APMEventDatabase::insertRawEventMetadata(std::int64_t metadataFingerprint, const APMPBMeasurementBundle& header,
                                              APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)");
    if (!statement.ok() || !statement.bind({metadataFingerprint, header.protoBuffer()}) ||
        statement.step() != SQLITE_DONE) {
        return fail(db_, error, "insert raw event metadata");
    }
    return true;
}

std::optional<std::vector<APMRawEventData>> APMEventDatabase::allRawEvents(APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_,
                        "SELECT rowid, metadata_fingerprint, timestamp, data, origin, is_public, is_realtime, "
                        "is_conversion FROM raw_events ORDER BY rowid ASC");
    if (!statement.ok()) return fail(db_, error, "read raw events"), std::nullopt;
    std::vector<APMRawEventData> events;
    while (statement.step() == SQLITE_ROW) {
        auto proto = APMPBEvent::initWithBuffer(statement.blob(3));
        if (!proto) continue;
        const auto name = NANOGetString(*proto, APMPBFieldIndexForTag(2)).value_or("");
        APMEvent event(statement.text(4), statement.integer(5) != 0, name, statement.real(2), 0,
                       APMParametersFromProtoEvent(*proto));
        event.setRealtime(statement.integer(6) != 0);
        event.setConversion(statement.integer(7) != 0);
        events.emplace_back(std::move(event), statement.integer(0), statement.integer(1));
    }
    if (statement.lastResult != SQLITE_DONE) return fail(db_, error, "read raw events"), std::nullopt;
    return events;
}

std::optional<APMPBMeasurementBundle> APMEventDatabase::rawEventMetadata(std::int64_t metadataFingerprint,
                                                                         APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?");
    if (!statement.ok() || !statement.bind({metadataFingerprint})) {
        return fail(db_, error, "read raw event metadata"), std::nullopt;
    }
    if (statement.step() != SQLITE_ROW) {
        APMSetError(error, kErrorCode, "No metadata for the fingerprint");
        return std::nullopt;
    }
    auto header = APMPBMeasurementBundle::initWithBuffer(statement.blob(0));
    if (!header) APMSetError(error, kErrorCode, "Stored metadata does not decode");
    return header;
}

std::optional<std::int64_t> APMEventDatabase::rawEventCount(APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "SELECT COUNT(*) FROM raw_events");
    if (!statement.ok() || statement.step() != SQLITE_ROW) return fail(db_, error, "count raw events"), std::nullopt;
    return statement.integer(0);
}

std::optional<APMDailyCounts> APMEventDatabase::dailyCounts(APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_,
                        "SELECT day, conversions, all_events, public_events, error_events, realtime_events, "
                        "dcu_realtime_events FROM daily_counts WHERE id = 1");
    if (!statement.ok()) return fail(db_, error, "read daily counts"), std::nullopt;
    if (statement.step() != SQLITE_ROW) return APMDailyCounts();
    return APMDailyCounts(statement.integer(0), statement.integer(1), statement.integer(2), statement.integer(3),
                          statement.integer(4), statement.integer(5), statement.integer(6));
}

bool APMEventDatabase::updateDailyCounts(const APMDailyCounts& counts, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_,
                        "INSERT OR REPLACE INTO daily_counts (id, day, conversions, all_events, public_events, "
                        "error_events, realtime_events, dcu_realtime_events) VALUES (1, ?, ?, ?, ?, ?, ?, ?)");
    if (!statement.ok() ||
        !statement.bind({counts.dayIndex(), counts.conversionsCount(), counts.allEventsCount(),
                         counts.publicEventsCount(), counts.errorEventsCount(), counts.realtimeCount(),
                         counts.dcuRealtimeCount()}) ||
        statement.step() != SQLITE_DONE) {
        return fail(db_, error, "update daily counts");
    }
    return true;
}

namespace {

std::optional<APMValue> valueFromColumn(const Statement& statement, int column) {
    switch (statement.type(column)) {
        case SQLITE_INTEGER: return APMValue(statement.integer(column));
        case SQLITE_FLOAT: return APMValue(statement.real(column));
        case SQLITE_TEXT: return APMValue(statement.text(column));
        default: return std::nullopt;
    }
}

Binding bindingFromValue(const APMValue& value) {
    if (value.isInt64()) return value.int64Value();
    if (value.isDouble()) return value.doubleValue();
    return value.stringValue();
}

}  // namespace

std::optional<std::vector<APMUserAttribute>> APMEventDatabase::allUserAttributes(APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "SELECT origin, name, value, set_timestamp FROM user_attributes ORDER BY name");
    if (!statement.ok()) return fail(db_, error, "read user attributes"), std::nullopt;
    std::vector<APMUserAttribute> attributes;
    while (statement.step() == SQLITE_ROW) {
        if (auto value = valueFromColumn(statement, 2)) {
            attributes.emplace_back(statement.text(0), statement.text(1), *value, statement.real(3));
        }
    }
    if (statement.lastResult != SQLITE_DONE) return fail(db_, error, "read user attributes"), std::nullopt;
    return attributes;
}

std::optional<APMUserAttribute> APMEventDatabase::userAttributeWithName(const std::string& name, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "SELECT origin, name, value, set_timestamp FROM user_attributes WHERE name = ?");
    if (!statement.ok() || !statement.bind({name})) return fail(db_, error, "read user attribute"), std::nullopt;
    if (statement.step() != SQLITE_ROW) return std::nullopt;
    auto value = valueFromColumn(statement, 2);
    if (!value) return std::nullopt;
    return APMUserAttribute(statement.text(0), statement.text(1), *value, statement.real(3));
}

bool APMEventDatabase::updateUserAttribute(const APMUserAttribute& attribute, APMErrorOut error) {
    if (attribute.value().isList()) {
        APMSetError(error, kErrorCode, "A user property cannot hold a list");
        return false;
    }
    std::lock_guard lock(mutex_);
    Statement statement(db_,
                        "INSERT OR REPLACE INTO user_attributes (name, origin, set_timestamp, value) "
                        "VALUES (?, ?, ?, ?)");
    if (!statement.ok() ||
        !statement.bind({attribute.name(), attribute.origin(), attribute.lastSetTimestamp(),
                         bindingFromValue(attribute.value())}) ||
        statement.step() != SQLITE_DONE) {
        return fail(db_, error, "update user attribute");
    }
    return true;
}

bool APMEventDatabase::deleteUserAttributeWithName(const std::string& name, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "DELETE FROM user_attributes WHERE name = ?");
    if (!statement.ok() || !statement.bind({name}) || statement.step() != SQLITE_DONE) {
        return fail(db_, error, "delete user attribute");
    }
    return true;
}

std::optional<std::vector<APMPBMeasurementBundle>> APMEventDatabase::queuedBundles(APMErrorOut error) {
    std::lock_guard lock(mutex_);
    Statement statement(db_, "SELECT data FROM queue ORDER BY rowid ASC");
    if (!statement.ok()) return fail(db_, error, "read queue"), std::nullopt;
    std::vector<APMPBMeasurementBundle> bundles;
    while (statement.step() == SQLITE_ROW) {
        auto inflated = platform::gul_dataByInflatingGzippedData(statement.blob(0));
        if (!inflated) continue;
        if (auto bundle = APMPBMeasurementBundle::initWithBuffer(*inflated)) bundles.push_back(std::move(*bundle));
    }
    if (statement.lastResult != SQLITE_DONE) return fail(db_, error, "read queue"), std::nullopt;
    return bundles;
}

std::optional<bool> APMEventDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                             APMErrorOut error) {
    std::lock_guard lock(mutex_);
    std::optional<bool> inserted;
    performTransaction([&] {
        Statement exists(db_, "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)");
        if (!exists.ok() || !exists.bind({fingerprint}) || exists.step() != SQLITE_ROW) {
            return fail(db_, error, "find purchase fingerprint");
        }
        if (exists.integer(0) != 0) {
            inserted = false;
            return true;
        }
        Statement insert(db_, "INSERT INTO purchase_transactions (fingerprint) VALUES (?)");
        if (!insert.ok() || !insert.bind({fingerprint}) || insert.step() != SQLITE_DONE) {
            return fail(db_, error, "store purchase fingerprint");
        }
        Statement trim(db_,
                       "DELETE FROM purchase_transactions WHERE rowid IN (SELECT rowid FROM purchase_transactions "
                       "ORDER BY rowid DESC LIMIT -1 OFFSET ?)");
        if (!trim.ok() || !trim.bind({std::int64_t{kMaxPurchaseFingerprints}}) || trim.step() != SQLITE_DONE) {
            return fail(db_, error, "trim purchase fingerprints");
        }
        inserted = true;
        return true;
    });
    return inserted;
}

}  // namespace measurement
