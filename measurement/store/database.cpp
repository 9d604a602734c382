// The measurement database: opening, layout and transactions.
#include "measurement/store/database.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "measurement/foundation/hashing.h"
#include "measurement/foundation/monitor.h"
#include "measurement/store/database_rows.h"
#include "measurement/store/files.h"

namespace measurement {

using namespace database_detail;

std::int64_t APMHourBucket(double timestampSeconds) {
    if (std::isnan(timestampSeconds)) return 0;
    return APMSaturatingInt64(std::floor(timestampSeconds)) / 3600;
}

APMDatabase::APMDatabase(std::unique_ptr<APMSqliteStore> store) : store_(std::move(store)) {}

APMDatabase::~APMDatabase() = default;

std::unique_ptr<APMDatabase> APMDatabase::makeWithPath(const std::string& path, APMErrorOut error) {
    checkWorkerQueue("initWithPath:");
    std::optional<APMError> openError;
    auto store = APMSqliteStore::makeWithDatabasePath(path, &openError, declaredSchema());
    if (!store) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseOpenFailedCode,
                                          "Failed to open the measurement database. Error",
                                          openError ? openError->asContext() : platform::Value());
        if (error) *error = openError;
        return nullptr;
    }
    // Processes that each log an event and end write this file in turn.
    store->keepWriteAheadLogOnClose();
    std::unique_ptr<APMDatabase> database(new APMDatabase(std::move(store)));
    std::optional<APMError> prepareError;
    if (!database->prepareFile(&prepareError)) {
        // A damaged file that other processes keep takes no write, the
        // layout's neither: it is read as far as it goes, and the write that
        // replaces it makes the new file ready (the reopen handler below).
        if (!database->store_->damageKept()) {
            if (error) *error = prepareError;
            return nullptr;
        }
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMDatabaseSchemaFailedCode,
                                          "The measurement database is damaged and kept for other processes: its "
                                          "tables are made ready once it is replaced. Path",
                                          platform::Value(path));
    }
    // A file that another program put in this one's place is made ready
    // as this one was.
    database->store_->setReopenHandler([raw = database.get()] { return raw->prepareFile(nullptr); });
    // So is the file whose layout another program changed while it was open.
    database->store_->setLayoutHandler([raw = database.get()] { return raw->prepareFile(nullptr); });
    return database;
}

std::unique_ptr<APMDatabase> APMDatabase::makeReadOnlyWithPath(const std::string& path, APMErrorOut error) {
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path, error, declaredTables());
    if (!store) return nullptr;
    return std::unique_ptr<APMDatabase>(new APMDatabase(std::move(store)));
}

// The snapshot of the event aggregates that a reset keeps (see
// createEventsSnapshotTable) has the aggregates' columns.
const APMDeclaredTables& APMDatabase::declaredTables() {
    static const APMDeclaredTables kDeclared = [] {
        APMDeclaredTables tables;
        for (const auto& layout : tableLayouts()) {
            auto& columns = tables[layout.name];
            columns = layout.elementaryColumns;
            columns.insert(columns.end(), layout.addOnColumns.begin(), layout.addOnColumns.end());
        }
        tables[kEventsSnapshotTable] = tables.at("events");
        return tables;
    }();
    return kDeclared;
}

const APMDeclaredSchema& APMDatabase::declaredSchema() {
    static const APMDeclaredSchema kDeclared = [] {
        APMDeclaredSchema schema{declaredTables(), {}};
        for (const auto& layout : tableLayouts()) schema.indexStatements[layout.name] = layout.indexStatements;
        return schema;
    }();
    return kDeclared;
}

std::unique_ptr<APMDatabase> APMDatabase::makeDefault(APMErrorOut error) {
    return makeWithPath(APMApplicationSupportPath(kAPMDatabaseFileName), error);
}

const std::string& APMDatabase::databasePath() const { return store_->databasePath(); }

std::uint64_t APMDatabase::fileGeneration() const { return store_->fileGeneration(); }

std::optional<std::string> APMDatabase::damageKept() const { return store_->damageKept(); }

bool APMDatabase::checkRowsNotFound(const std::string& what) {
    checkWorkerQueue("checkRowsNotFound:");
    return store_->checkRowsNotFound(what);
}

namespace {

// What the write of every event does, tried when the file is opened and
// undone: a file that refuses it would never store an event.
const std::vector<std::string>& eventWriteProbe() {
    static const std::vector<std::string> kStatements = {
        "INSERT INTO daily_counts (id) VALUES ((SELECT IFNULL(MAX(id), 0) + 1 FROM daily_counts))",
        "INSERT INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES "
        "((SELECT IFNULL(MAX(metadata_fingerprint), 0) + 1 FROM raw_events_metadata), x'00')",
        "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data) VALUES (0, '_open_check', 0, x'00')",
    };
    return kStatements;
}

// What a file whose layout this build has found whole records, with the
// schema version the file had then: the tables, columns and indexes this
// build makes, its schema version and the open check's writes, as one MD5.
// An engine of another layout finds another fingerprint and examines the
// file itself.
const std::string& layoutFingerprint() {
    static const std::string kFingerprint = [] {
        std::string text = std::to_string(kAPMDatabaseSchemaVersion);
        auto add = [&](const std::string& part) { text += '\n' + part; };
        for (const auto& layout : tableLayouts()) {
            add(layout.name);
            for (const auto* columns : {&layout.elementaryColumns, &layout.addOnColumns}) {
                for (const auto& column : *columns) add(column.name + " " + column.type);
                add("");
            }
            for (const auto& statement : layout.indexStatements) add(statement);
        }
        for (const auto& statement : eventWriteProbe()) add(statement);
        return apm_MD5String(text).value_or(text);
    }();
    return kFingerprint;
}

constexpr const char* kSchemaRewrittenProblem =
    "its schema's bytes changed while SQLite's count of its changes did not: written over, not changed through SQLite";

std::string lowered(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What of a table's columns (name, hidden: 2 and 3 for a generated column,
// and whether the table is without row IDs) keeps the engine's writes from
// going into it as they are.
std::optional<std::string> unwritableTable(const std::string& table, const APMRows& columns) {
    constexpr std::int64_t kFirstGenerated = 2;
    for (const auto& column : columns) {
        const std::string name = rowText(column, "name").value_or("");
        if (rowInteger(column, "wr").value_or(0) != 0) return "table " + table + " has no row IDs";
        if (rowInteger(column, "hidden").value_or(0) >= kFirstGenerated) {
            return "table " + table + " has a generated column " + name + ", which the engine cannot write";
        }
        if (lowered(name) == "rowid" || lowered(name) == "oid" || lowered(name) == "_rowid_") {
            return "table " + table + " has a column " + name + ", which takes the name of its row IDs";
        }
    }
    return std::nullopt;
}

}  // namespace

// A file that can never hold the engine's data would fail every start: it
// is set aside and a new one made. Only what the file itself shows counts
// (its layout, its refusal of an event's write); a failure to read or write
// it for another reason keeps it.
bool APMDatabase::prepareFile(APMErrorOut error) {
    if (!prepareLayout(error)) return false;
    noteCarriedLoss();
    return true;
}

// A schema whose bytes changed behind SQLite is damage: its rows are
// carried into a file of the engine's declarations, which is then examined
// as any new file. Kept for other processes, the damaged file takes no
// write and is not prepared (the reopen handler prepares the file that
// replaces it). A carried file has no schema version of the engine's yet
// (see ensureSchema), and so is examined whatever record it carried along.
bool APMDatabase::prepareLayout(APMErrorOut error) {
    const auto since = layoutSinceChecked();
    if (since == LayoutSinceChecked::unchanged) return true;
    // Whether a file of the engine's declarations took the path.
    auto replaced = [&](bool open) { return open && !store_->damageKept(); };
    if (since == LayoutSinceChecked::schemaRewritten &&
        !replaced(store_->replaceAsDamaged(kSchemaRewrittenProblem, error))) {
        return false;
    }
    if (const auto foreign = foreignLayout(); foreign && !replaced(store_->setAsideAndReopen(*foreign, error))) {
        return false;
    }
    std::optional<std::string> refusal;
    if (ensureSchema(error, &refusal)) return true;
    return refusal && replaced(store_->setAsideAndReopen(*refusal, error)) && ensureSchema(error, nullptr);
}

// SQLite changes a file's schema version with every change to its tables,
// columns, indexes, views and triggers. When the file holds the version
// recorded at the end of the last whole examination by an engine of this
// layout, nothing that examination looked at has changed since: no other
// program's objects, no table or column missing. Unless the schema's bytes
// changed all the same: no program changes them through SQLite without a
// new version, so another digest under the recorded version is damage
// written over the file (a column's name turned to garbage would fail every
// event's write for good). The recording lives in the file itself, so
// another file at the path does not carry it; it is read by the place of
// its columns, which damage to their names does not move. A file with any
// trigger is examined at every open all the same, since whether a trigger
// refuses an event's write may depend on the rows; so is one written by a
// newer layout, which is noted at each open.
APMDatabase::LayoutSinceChecked APMDatabase::layoutSinceChecked() {
    const auto schema = store_->schemaState(nullptr);
    if (!schema || store_->userVersion(nullptr) != kAPMDatabaseSchemaVersion) return LayoutSinceChecked::changed;
    // One question, asked once: 0 when the recording does not hold the
    // layout and version (or holds NULL), 2 when it holds another digest.
    enum : std::int64_t { kChanged, kUnchanged, kRewritten };
    const auto answer = store_->integerAnswer(
        "WITH recorded (id, layout, schema_version, schema_digest) AS (SELECT * FROM schema_checks) SELECT CASE WHEN "
        "(layout = ?1 AND schema_version = ?2 AND NOT EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'trigger')) "
        "IS NOT 1 THEN 0 WHEN schema_digest IS NOT ?3 THEN 2 ELSE 1 END FROM recorded WHERE id = 1",
        {layoutFingerprint(), schema->version, platform::Value(schema->digest)});
    if (answer == kUnchanged) return LayoutSinceChecked::unchanged;
    return answer == kRewritten ? LayoutSinceChecked::schemaRewritten : LayoutSinceChecked::changed;
}

// Another program's objects under the engine's table names: a view or an
// index, or a table the engine's writes cannot go into as they are: one
// without the columns the engine's rows need, without row IDs (by which
// the engine reads back what it writes), with a column that takes the name
// of the row ID, or with a generated column (whose values the engine's
// read-back cannot tell). Read only; none when the file cannot be read.
std::optional<std::string> APMDatabase::foreignLayout() {
    const auto objects = query("SELECT type, name FROM sqlite_master", {}, nullptr);
    if (!objects) return std::nullopt;
    for (const auto& layout : tableLayouts()) {
        bool isTable = false;
        for (const auto& object : *objects) {
            if (lowered(rowText(object, "name").value_or("")) != layout.name) continue;
            const auto type = rowText(object, "type").value_or("");
            if (type != "table") return "\"" + layout.name + "\" is a " + type + ", not a table";
            isTable = true;
        }
        if (!isTable) continue;
        const auto columns = query("SELECT name, hidden, (SELECT wr FROM pragma_table_list WHERE schema = 'main' AND "
                                   "name = ?1) AS wr FROM pragma_table_xinfo(?1)",
                                   {layout.name}, nullptr);
        if (!columns) return std::nullopt;
        if (const auto unwritable = unwritableTable(layout.name, *columns)) return unwritable;
        for (const auto& wanted : layout.elementaryColumns) {
            const bool found = std::any_of(columns->begin(), columns->end(), [&](const APMRow& column) {
                return lowered(rowText(column, "name").value_or("")) == lowered(wanted.name);
            });
            if (!found) return "table " + layout.name + " lacks the column " + wanted.name;
        }
    }
    return std::nullopt;
}

// Makes what the file lacks: missing tables, columns added since it was
// written, indexes. Nothing is dropped, so a file of any older layout keeps
// its rows, and one of a newer layout (which only adds) works as it is.
bool APMDatabase::ensureSchema(APMErrorOut error, std::optional<std::string>* refusal) {
    std::optional<APMError> schemaError;
    const auto version = store_->userVersion(&schemaError);
    const bool done = version.has_value() && transaction(&schemaError, [&](APMErrorOut inner) {
        for (const auto& layout : tableLayouts()) {
            if (!store_->ensureTableWithName(layout.name, layout.elementaryColumns, layout.addOnColumns, {}, inner)) {
                return false;
            }
            for (const auto& statement : layout.indexStatements) {
                if (!store_->executeStatement(statement, {}, inner)) return false;
            }
        }
        if (refusal && (*refusal = store_->refusalOfWrites(eventWriteProbe(), nullptr))) return false;
        if (*version < kAPMDatabaseSchemaVersion && !store_->setUserVersion(kAPMDatabaseSchemaVersion, inner)) {
            return false;
        }
        // The schema as this transaction leaves it: every change above is
        // made by now.
        const auto schema = store_->schemaState(inner);
        return schema && store_
                             ->executeStatement("INSERT OR REPLACE INTO schema_checks (id, layout, schema_version, "
                                                "schema_digest) VALUES (1, ?, ?, ?)",
                                                {layoutFingerprint(), schema->version, platform::Value(schema->digest)},
                                                inner)
                             .has_value();
    });
    if (!done) {
        if (refusal && *refusal) return false;
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseSchemaFailedCode,
                                          "Failed to prepare the measurement database tables. Error",
                                          schemaError ? schemaError->asContext() : platform::Value());
        if (error) *error = schemaError;
        return false;
    }
    if (*version > kAPMDatabaseSchemaVersion) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelNotice, kAPMDatabaseNewerSchemaCode,
                                          "Measurement database was written by a newer version. Version",
                                          platform::Value(*version));
    }
    return true;
}

namespace {

// Runs a transaction of the store, logging a rollback at level 1 with code
// 12056 (an exception too, before it goes on).
bool loggedTransaction(const std::function<bool(APMErrorOut)>& run, APMErrorOut failure = nullptr) {
    std::optional<APMError> error;
    auto logFailure = [&] {
        const std::string reason = error ? error->localizedDescription() : std::string("exception");
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseTransactionFailedCode,
                                          "Transaction failed. " + reason);
    };
    try {
        if (run(&error)) return true;
    } catch (...) {
        logFailure();
        throw;
    }
    logFailure();
    if (failure) *failure = error;
    return false;
}

}  // namespace

bool APMDatabase::performTransaction(const std::function<bool()>& block, APMErrorOut error) {
    checkWorkerQueue("performTransaction:");
    return loggedTransaction([&](APMErrorOut inner) { return store_->performTransactionWithError(inner, block); },
                             error);
}

bool APMDatabase::openWriteGroup(std::function<void(bool committed)> closed, APMErrorOut error) {
    checkWorkerQueue("openWriteGroup:");
    return store_->openWriteGroup(std::move(closed), error);
}

bool APMDatabase::isWriteGroupOpen() const { return store_->isWriteGroupOpen(); }

bool APMDatabase::performGroupedTransaction(const std::function<bool()>& block, APMErrorOut error) {
    checkWorkerQueue("performGroupedTransaction:");
    return store_->performGroupedTransactionWithError(error, block);
}

bool APMDatabase::closeWriteGroup() {
    checkWorkerQueue("closeWriteGroup");
    return store_->closeWriteGroup();
}

bool APMDatabase::isInTransaction() const { return store_->isInTransaction(); }

bool APMDatabase::transaction(APMErrorOut error, const std::function<bool(APMErrorOut)>& block) {
    std::optional<APMError> inner;
    const bool done = store_->performTransactionWithError(error, [&] { return block(&inner); });
    if (!done && inner && error) *error = inner;
    return done;
}

std::optional<APMRows> APMDatabase::query(const std::string& sql, const APMBindings& values, APMErrorOut error) {
    return store_->recordsForQuery(sql, values, error);
}

std::optional<std::optional<std::int64_t>> APMDatabase::queryInteger(const std::string& sql,
                                                                     const APMBindings& values, APMErrorOut error) {
    auto rows = query(sql, values, error);
    if (!rows) return std::nullopt;
    if (rows->empty() || rows->front().empty()) return std::optional<std::int64_t>();
    const platform::Value& value = rows->front().begin()->second;
    if (!value.isNumber()) return std::optional<std::int64_t>();
    return std::optional<std::int64_t>(value.intValue());
}

std::optional<bool> APMDatabase::queryExists(const std::string& sql, const APMBindings& values, APMErrorOut error) {
    auto value = queryInteger("SELECT EXISTS (" + sql + ")", values, error);
    if (!value) return std::nullopt;
    return value->value_or(0) != 0;
}

std::optional<bool> APMDatabase::queryIsEmpty(const std::string& table, APMErrorOut error) {
    auto exists = queryExists("SELECT 1 FROM " + table, {}, error);
    if (!exists) return std::nullopt;
    return !*exists;
}

bool APMDatabase::upsertRows(const std::string& table, const APMRows& rows, APMErrorOut error) {
    return transaction(error, [&](APMErrorOut inner) {
        for (const auto& row : rows) {
            if (!store_->upsertRecord(row, table, inner)) return false;
        }
        return true;
    });
}

std::optional<double> APMDatabase::queryMaxTime(const std::string& table, const std::string& column,
                                                APMErrorOut error) {
    auto rows = query("SELECT MAX(" + column + ") AS latest FROM " + table, {}, error);
    if (!rows) return std::nullopt;
    if (rows->empty()) return 0.0;
    return rowReal(rows->front(), "latest").value_or(0.0);
}

}  // namespace measurement
