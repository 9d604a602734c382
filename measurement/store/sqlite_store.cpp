// The SQLite store: statements, transactions and integrity.
#include "measurement/store/sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "measurement/foundation/monitor.h"
#include "measurement/store/files.h"
#include "measurement/store/sqlite_append_check.h"
#include "measurement/store/sqlite_connections.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_statement.h"
#include "measurement/store/sqlite_written_rows.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

// Pauses between tries while another connection holds the lock: short at
// first, so that a brief transaction costs little, then up to this long;
// each pause is drawn at random below its bound, so that processes waiting
// together do not retry in step.
constexpr int kMaxBusyPauseMilliseconds = 50;

bool isBusy(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

bool regularFile(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// INSERT, UPDATE, DELETE and REPLACE: statements whose only effect shows
// in the connection's count of changed rows.
std::string firstWord(const std::string& statement) {
    auto first = std::find_if(statement.begin(), statement.end(), [](unsigned char c) { return !std::isspace(c); });
    auto end = std::find_if(first, statement.end(), [](unsigned char c) { return !std::isalpha(c); });
    return upper(std::string(first, end));
}

bool changesRowsOnly(const std::string& statement) {
    const std::string word = firstWord(statement);
    return word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "REPLACE";
}

// The statements that give rows values, which are then read back.
bool writesRows(const std::string& statement) { return changesRowsOnly(statement) && firstWord(statement) != "DELETE"; }

bool beginsWithSelect(const std::string& query) {
    auto first = std::find_if(query.begin(), query.end(), [](unsigned char c) { return !std::isspace(c); });
    const std::string head(first, query.end());
    return head.size() >= 6 && upper(head.substr(0, 6)) == "SELECT";
}

// The type name of a column definition: the words before its first
// constraint ("INTEGER" of "INTEGER NOT NULL DEFAULT 0"). The words live for
// the whole process: a worker queue may still be opening a database while a
// process that is done with it ends.
std::string typeName(const std::string& definition) {
    static const auto& kConstraintWords = *new std::set<std::string>{"NOT",     "NULL",  "PRIMARY",    "UNIQUE",
                                                                     "DEFAULT", "CHECK", "REFERENCES", "COLLATE",
                                                                     "CONSTRAINT", "GENERATED", "AS"};
    std::string result;
    std::size_t position = 0;
    const std::string text = upper(definition);
    while (position < text.size()) {
        while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position]))) ++position;
        std::size_t end = position;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
        const std::string word = text.substr(position, end - position);
        if (word.empty() || kConstraintWords.count(word)) break;
        if (!result.empty()) result += ' ';
        result += word;
        position = end;
    }
    return result;
}

}  // namespace

platform::Value APMSqliteStore::columnValue(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return platform::Value(static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return platform::Value(sqlite3_column_double(statement, column));
        case SQLITE_TEXT:
            return platform::Value(sqlite_statement::columnText(statement, column));
        case SQLITE_BLOB: {
            const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
            platform::Data data;
            if (bytes) data.bytes.assign(bytes, bytes + size);
            return platform::Value(std::move(data));
        }
        default:
            return platform::Value();
    }
}

// ---- opening and closing ----

std::size_t APMSqliteStoreLongestPath() {
    const sqlite3_vfs* files = sqlite3_vfs_find(nullptr);
    return files ? static_cast<std::size_t>(files->mxPathname) : 0;
}

APMSqliteStore::APMSqliteStore(std::string path)
    : path_(std::move(path)),
      written_(std::make_unique<APMWrittenRows>()),
      appendChecks_(std::make_unique<APMAppendChecks>()) {}

APMSqliteStore::~APMSqliteStore() { close(); }

std::unique_ptr<APMSqliteStore> APMSqliteStore::makeWithDatabasePath(const std::string& path, APMErrorOut error,
                                                                     const APMDeclaredSchema& declared) {
    if (path.empty()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty database path on init");
        return nullptr;
    }
    std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(path));
    store->declared_ = declared;
    if (!store->holdPath(true, error) || !store->openChecked(error)) return nullptr;
    if (!APMExcludeFileFromBackup(path)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, kAPMSqliteStoreBackupExclusionCode,
                                          "Unable to exclude database from backup. Path", platform::Value(path));
    }
    return store;
}

bool APMSqliteStore::open(APMErrorOut error) {
    if (!openConnection(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error)) return false;
    useWriteAheadLog();
    layoutVersion_ = schemaVersionQuietly();
    return true;
}

std::unique_ptr<APMSqliteStore> APMSqliteStore::makeReadOnlyWithDatabasePath(const std::string& path,
                                                                             APMErrorOut error,
                                                                             const APMDeclaredTables& declared) {
    if (path.empty()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty database path on init");
        return nullptr;
    }
    std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(path));
    store->declared_.tables = declared;
    if (!store->holdPath(false, error)) return nullptr;
    // Nothing beside the file is made or written: without a log (and no
    // journal left by a writer that stopped) every commit is in the file
    // itself, which is then read as it stands; with one, the log's index is
    // read without writing it, or, when there is no index to read, made as
    // every reader of the log makes it. Where it can be neither read nor
    // made (a folder that cannot be written), the log is read into an index
    // in memory, which exclusive locking before the first read asks for,
    // without taking locks: no writer can be at a log without an index.
    // Only regular files count: no log is read from what is none (a fifo,
    // a folder, a link), an index that is none is never opened (the log is
    // read into memory), and SQLite takes a journal that is none for absent
    // (see regularFilesVfs): the next writer sets them aside.
    const bool log = regularFile(path + "-wal");
    const bool index = regularFile(path + "-shm");
    const bool oddIndex = !index && APMOddKind(path + "-shm");
    const bool journal = regularFile(path + "-journal");
    struct Way {
        std::string parameters;
        const char* firstRead;
    };
    constexpr const char* kRead = "SELECT count(*) FROM sqlite_master";
    constexpr const char* kReadIntoMemory = "PRAGMA locking_mode=EXCLUSIVE; SELECT count(*) FROM sqlite_master";
    const char* withoutLocks = sqlite_connections::regularFilesVfs("unix-none");
    std::vector<Way> ways;
    if (log && index) ways.push_back({"mode=ro&readonly_shm=1", kRead});
    if ((log && !oddIndex) || (!log && journal)) ways.push_back({"mode=ro", kRead});
    if (log && withoutLocks) ways.push_back({std::string("mode=ro&vfs=") + withoutLocks, kReadIntoMemory});
    if (!log) ways.push_back({"mode=ro&immutable=1", kRead});
    std::string why = "cannot open the file";
    bool damaged = false;
    for (const auto& way : ways) {
        if (!store->openReadOnly(way.parameters.c_str(), nullptr)) continue;
        const int rc = sqlite3_exec(store->db_, way.firstRead, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return store;
        why = sqlite3_errmsg(store->db_);
        damaged = sqlite_damage::isDamage(store->db_, rc);
        // A schema that does not parse whole: what does is read.
        std::string lenient;
        if (damaged && sqlite_connections::tolerateSchemaErrors(store->db_, &lenient)) {
            store->schemaDamage_ = why;
            return store;
        }
    }
    store->close();
    store->fail(error, damaged ? kAPMSqliteStoreDamagedCode : kAPMSqliteStoreOpenCode,
                damaged ? kAPMSqliteStoreUnreadableFileDescription : "Failed to open database",
                kAPMSqliteStoreOpenFailedCode, path + ": " + why);
    return nullptr;
}

// The last connection to close a log copies it into the file and deletes
// it, which a connection that only reads must never do: read in memory
// (without locks, as no writer can be at a log without an index), an empty
// log would go.
bool APMSqliteStore::openReadOnly(const char* parameters, APMErrorOut error) {
    close();
    const std::string uri = sqlite_connections::fileURI(path_) + "?" + parameters;
    if (!openConnection(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, error)) return false;
    if (sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK) return true;
    fail(error, kAPMSqliteStoreOpenCode, "Failed to open database", kAPMSqliteStoreOpenFailedCode,
         path_ + ": its log could not be kept from being written at the close: " + sqlite3_errmsg(db_));
    close();
    return false;
}

// Opens the connection (fully serialised, waiting while other connections
// are busy) or reports why it could not, leaving none open.
bool APMSqliteStore::openConnection(const std::string& target, int flags, APMErrorOut error) {
    // A name beside the file that is no regular file is never opened as a
    // journal.
    const int rc = sqlite3_open_v2(target.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX,
                                   sqlite_connections::regularFilesVfs(nullptr));
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        fail(error, kAPMSqliteStoreOpenCode, "Failed to open database", kAPMSqliteStoreOpenFailedCode,
             path_ + ": " + message);
        return false;
    }
    std::string distrusted;
    if (!sqlite_connections::distrustFile(db_, &distrusted)) {
        close();
        fail(error, kAPMSqliteStoreOpenCode, "Failed to open database", kAPMSqliteStoreOpenFailedCode,
             path_ + ": " + distrusted);
        return false;
    }
    sqlite3_busy_handler(db_, &APMSqliteStore::waitWhileBusy, this);
    // Set before any statement is prepared: setting it expires them. It
    // tells the tables each statement writes, for the check before each
    // table's first write.
    sqlite3_set_authorizer(db_, &APMAppendChecks::noteAction, appendChecks_.get());
    // Without its read-back, a connection would commit rows unchecked.
    if ((flags & SQLITE_OPEN_READONLY) == 0 && !written_->watch(db_)) {
        const std::string message = sqlite3_errmsg(db_);
        close();
        fail(error, kAPMSqliteStoreOpenCode, "Failed to open database", kAPMSqliteStoreOpenFailedCode,
             path_ + ": the read-back of written rows could not be set up: " + message);
        return false;
    }
    ++fileGeneration_;
    return true;
}

// ---- waiting for other connections ----

// Another process's transaction is waited for, not failed on: with many
// writers each one's turn may be a while coming. Time is measured on both
// the process clock's time since boot and the real monotonic clock, and the
// wait ends when either has passed the limit.
int APMSqliteStore::waitWhileBusy(void* context, int attempt) {
    return static_cast<APMSqliteStore*>(context)->pauseWhileBusy(attempt) ? 1 : 0;
}

bool APMSqliteStore::pauseWhileBusy(int attempt) {
    if (attempt == 0) {
        busyWaitSaid_ = false;
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, kAPMSqliteStoreBusyCode,
                                          "Database is busy. Waiting for another connection. Path",
                                          platform::Value(path_));
    }
    double waited = 0;
    if (!pauseWithin(attempt, kAPMSqliteStoreBusyTimeoutSeconds, &waited)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreBusyTimeoutCode,
                                          "Database stayed busy. Giving up. Path, seconds", platform::Value(path_),
                                          platform::Value(waited));
        return false;
    }
    if (!busyWaitSaid_ && waited >= kAPMSqliteStoreBusyNoticeSeconds) {
        busyWaitSaid_ = true;
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelWarning, kAPMSqliteStoreBusyWaitingCode,
            "Database is busy: another connection (another process, or an inspection tool) holds it. Waiting for up to " +
                APMFileLock::secondsText(kAPMSqliteStoreBusyTimeoutSeconds) + ". Path",
            platform::Value(path_));
    }
    return true;
}

bool APMSqliteStore::pauseWithin(int attempt, double limitSeconds, double* waited) {
    const auto realNow = std::chrono::steady_clock::now();
    const double clockNow = platform::dispatch::currentClock()->uptime();
    if (attempt == 0) {
        busySince_ = realNow;
        busySinceUptime_ = clockNow;
    }
    *waited = std::max(std::chrono::duration<double>(realNow - busySince_).count(), clockNow - busySinceUptime_);
    if (*waited >= limitSeconds) return false;
    thread_local std::minstd_rand random(std::random_device{}());
    const int bound = std::min(kMaxBusyPauseMilliseconds, 1 << std::min(attempt, 6));
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<int>(bound * 250, bound * 1000)(random)));
    return true;
}

// The schema version is read inside the transaction's lock, where no other
// connection changes it; a layout another program changed is examined
// outside any transaction before anything is written, and the transaction
// begins again in the file open afterwards (none when the owner could not
// use the file and set it aside, as at open).
bool APMSqliteStore::beginTransaction(APMErrorOut error) {
    for (int attempt = 0;; ++attempt) {
        if (!readyForWrite(error) || !beginExclusive(error)) return false;
        if (attempt > 0 || !layoutMoved()) break;
        runPlain("ROLLBACK TRANSACTION", nullptr);
        examineLayout();
        if (!requireOpen(error)) return false;
    }
    ++transactionsBegun_;
    written_->transactionBegan();
    return true;
}

// BEGIN waits through the busy handler; SQLite answers busy without asking
// it in a few cases (a lock held across a journal-mode change, a recovering
// write-ahead log), so those are tried again here until the same limit.
bool APMSqliteStore::beginExclusive(APMErrorOut error) {
    const auto start = std::chrono::steady_clock::now();
    const double startUptime = platform::dispatch::currentClock()->uptime();
    for (int attempt = 0;; ++attempt) {
        const int rc = sqlite3_exec(db_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return true;
        const double waited =
            std::max(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                     platform::dispatch::currentClock()->uptime() - startUptime);
        if (!isBusy(rc) || waited >= kAPMSqliteStoreBusyTimeoutSeconds) {
            fail(error, kAPMSqliteStoreTransactionCode, "Failed to begin transaction", 0, sqlite3_errmsg(db_));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kMaxBusyPauseMilliseconds, 1 << std::min(attempt, 6))));
    }
}

void APMSqliteStore::close() {
    std::lock_guard lock(mutex_);
    closeWriteGroupForOtherWork();
    statements_.clear();
    if (db_) {
        syncWriteAheadLog();
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    written_->forget();
    damage_.reset();
    damageKeptBecause_.clear();
    damageNoted_ = false;
    damageMarked_ = false;
    damageMarkFailureSaid_ = false;
    damageWaitRanOut_ = false;
    damageKeptSaid_ = false;
    damageRefusalSaid_ = false;
    keepLog_ = false;
    logPages_ = 0;
    logUnsynced_ = false;
    savepointDepth_ = 0;
    ++undoCount_;
}

bool APMSqliteStore::isOpen() const {
    std::lock_guard lock(mutex_);
    return db_ != nullptr;
}

bool APMSqliteStore::requireOpen(APMErrorOut error) const {
    if (db_) return true;
    APMSetError(error, kAPMSqliteStoreNotOpenCode, "Database not open");
    return false;
}

void APMSqliteStore::fail(APMErrorOut error, long code, const std::string& description, long monitorCode,
                          const std::string& context) const {
    if (error) *error = apm_errorWithCode(code, description, platform::Value(context));
    if (monitorCode != 0) {
        // Statement failures are sampled quietly: the caller reports them
        // in its own words.
        const int level = monitorCode == kAPMSqliteStorePrepareFailedCode || monitorCode == kAPMSqliteStoreStepFailedCode
                              ? kAPMMonitorLevelSilentError
                              : kAPMMonitorLevelError;
        APMMonitor::shared().logWithLevel(level, monitorCode, description + ". Error", platform::Value(context));
    }
}

// ---- statements ----

APMStatementLease APMSqliteStore::prepare(const std::string& text, APMErrorOut error) {
    if (auto* kept = statements_.take(text)) return APMStatementLease(kept, &statements_);
    appendChecks_->beginNoting();
    sqlite_statement::Statement prepared(db_, text, SQLITE_PREPARE_PERSISTENT);
    appendChecks_->endNoting(text);
    if (prepared.code() != SQLITE_OK) {
        noteDamage(prepared.code());
        fail(error, kAPMSqliteStoreStatementCode, "Failed to prepare statement", kAPMSqliteStorePrepareFailedCode,
             text + ": " + prepared.message());
        return {};
    }
    if (!prepared.single()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Expected exactly one statement");
        return {};
    }
    sqlite3_stmt* statement = prepared.release();
    return APMStatementLease(statement, statements_.keep(text, statement) ? &statements_ : nullptr);
}

bool APMSqliteStore::bind(sqlite3_stmt* statement, const APMBindings& values, APMErrorOut error) {
    if (sqlite3_bind_parameter_count(statement) != static_cast<int>(values.size())) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Number of values does not match the statement");
        return false;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        const platform::Value& value = values[i];
        int rc = SQLITE_OK;
        switch (value.kind()) {
            case platform::Value::Kind::Null: rc = sqlite3_bind_null(statement, index); break;
            case platform::Value::Kind::Bool: rc = sqlite3_bind_int64(statement, index, value.boolValue() ? 1 : 0); break;
            case platform::Value::Kind::Int: rc = sqlite3_bind_int64(statement, index, value.intValue()); break;
            case platform::Value::Kind::Real: rc = sqlite3_bind_double(statement, index, value.realValue()); break;
            case platform::Value::Kind::Date:
                rc = sqlite3_bind_double(statement, index, value.asDate().secondsSince1970);
                break;
            case platform::Value::Kind::String:
                rc = sqlite3_bind_text64(statement, index, value.asString().data(), value.asString().size(),
                                         SQLITE_TRANSIENT, SQLITE_UTF8);
                break;
            case platform::Value::Kind::Data: {
                const auto& bytes = value.asData().bytes;
                // An empty blob must stay a blob, not become NULL.
                rc = bytes.empty() ? sqlite3_bind_zeroblob(statement, index, 0)
                                   : sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
                break;
            }
            default:
                APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received unsupported value type to bind");
                return false;
        }
        if (rc != SQLITE_OK) {
            fail(error, kAPMSqliteStoreStatementCode, "Failed to bind value", kAPMSqliteStoreStepFailedCode,
                 sqlite3_errmsg(db_));
            return false;
        }
    }
    return true;
}

std::optional<std::int64_t> APMSqliteStore::run(const std::string& text, const APMBindings& values, APMErrorOut error,
                                                bool readBack) {
    if (!requireOpen(error)) return std::nullopt;
    // Outside a transaction nothing is waiting to be read back: what was
    // noted went with a transaction SQLite ended on its own.
    if (sqlite3_get_autocommit(db_)) written_->forget();
    if (sqlite3_get_autocommit(db_) && !reopenIfReplaced(error)) return std::nullopt;
    if (text.rfind("ROLLBACK", 0) == 0) ++undoCount_;
    auto statement = prepare(text, error);
    // Alone, it would commit as it ends: before its rows could be read back,
    // or, a table's first write, before its page was checked.
    if (statement && sqlite3_get_autocommit(db_) &&
        ((readBack && writesRows(text)) || (!sqlite3_stmt_readonly(statement.get()) && !appendPagesChecked(text)))) {
        statement.release();
        std::optional<std::int64_t> changed;
        std::optional<APMError> statementError, transactionError;
        const bool done = runTransaction(&transactionError, [&] {
            changed = run(text, values, &statementError, readBack);
            return changed.has_value();
        });
        // The statement's own failure, else the transaction's (a file that
        // takes no write, a commit refused).
        if (error && !done) *error = statementError ? statementError : transactionError;
        return done ? changed : std::nullopt;
    }
    // A change outside a transaction commits at once: never into a file
    // known damaged.
    if (statement && sqlite3_get_autocommit(db_) && !sqlite3_stmt_readonly(statement.get()) && knownDamage()) {
        statement.release();
        if (!readyForWrite(error)) return std::nullopt;
        // Still damaged only while the file is being made ready.
        if (const auto damaged = knownDamage()) {
            fail(error, kAPMSqliteStoreDamagedCode, "Database is damaged: nothing is written into it",
                 kAPMSqliteStoreDamagedWriteRefusedCode, path_ + ": " + *damaged);
            return std::nullopt;
        }
        statement = prepare(text, error);
    }
    if (!statement || !bind(statement.get(), values, error)) return std::nullopt;
    if (!sqlite3_stmt_readonly(statement.get()) && !checkBeforeWrite(text, error)) return std::nullopt;
    int rc;
    written_->statementBegan();
    written_->setNoting(readBack);
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    written_->setNoting(false);
    // A statement that failed undid its own rows.
    written_->statementEnded(rc == SQLITE_DONE);
    if (rc != SQLITE_DONE) {
        ++undoCount_;
        noteDamage(rc);
        fail(error, kAPMSqliteStoreStatementCode, "Failed to execute statement", kAPMSqliteStoreStepFailedCode,
             text + ": " + sqlite3_errmsg(db_));
        return std::nullopt;
    }
    return static_cast<std::int64_t>(sqlite3_changes64(db_));
}

bool APMSqliteStore::runPlain(const std::string& text, APMErrorOut error) { return run(text, {}, error).has_value(); }

std::optional<APMRows> APMSqliteStore::recordsForQuery(const std::string& query, const APMBindings& parameterValues,
                                                       APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!beginsWithSelect(query)) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Query must begin with SELECT");
        return std::nullopt;
    }
    if (!requireOpen(error)) return std::nullopt;
    if (sqlite3_get_autocommit(db_) && !reopenIfReplaced(error)) return std::nullopt;
    auto statement = prepare(query, error);
    if (!statement) return std::nullopt;
    if (!sqlite3_stmt_readonly(statement.get())) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Query must not change the database");
        return std::nullopt;
    }
    if (!bind(statement.get(), parameterValues, error)) return std::nullopt;
    APMRows rows;
    const int columns = sqlite3_column_count(statement.get());
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        APMRow row;
        for (int column = 0; column < columns; ++column) {
            platform::Value value = columnValue(statement.get(), column);
            if (value.isNull()) continue;
            const char* name = sqlite3_column_name(statement.get(), column);
            row.emplace(name ? name : "", std::move(value));
        }
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        ++undoCount_;
        noteDamage(rc);
        fail(error, kAPMSqliteStoreStatementCode, "Failed to execute query", kAPMSqliteStoreStepFailedCode,
             query + ": " + sqlite3_errmsg(db_));
        return std::nullopt;
    }
    return rows;
}

bool APMSqliteStore::upsertRecord(const APMRow& record, const std::string& table, APMErrorOut error) {
    if (record.empty() || table.empty()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty record or table name to upsert");
        return false;
    }
    std::string columns, placeholders;
    APMBindings values;
    for (const auto& [name, value] : record) {
        columns += (columns.empty() ? "" : ", ") + quoteIdentifier(name);
        placeholders += placeholders.empty() ? "?" : ", ?";
        values.push_back(value);
    }
    std::lock_guard lock(mutex_);
    closeWriteGroupForOtherWork(true);
    return run("INSERT OR REPLACE INTO " + quoteIdentifier(table) + " (" + columns + ") VALUES (" + placeholders + ")",
               values, error, true)
        .has_value();
}

bool APMSqliteStore::deleteRecordFromTableWithName(const std::string& table, const std::string& column,
                                                   const platform::Value& value, APMErrorOut error) {
    if (table.empty() || column.empty()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty table or column name to delete");
        return false;
    }
    std::lock_guard lock(mutex_);
    closeWriteGroupForOtherWork(true);
    const std::string statement = "DELETE FROM " + quoteIdentifier(table) + " WHERE " + quoteIdentifier(column) + "=?";
    return run(statement, {value}, error, true).has_value();
}

std::optional<std::int64_t> APMSqliteStore::deleteRecordsFromTableWithName(const std::string& table,
                                                                           const std::string& condition,
                                                                           const APMBindings& parameterValues,
                                                                           APMErrorOut error) {
    if (table.empty() || condition.empty()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty table name or condition to delete");
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    closeWriteGroupForOtherWork(true);
    return run("DELETE FROM " + quoteIdentifier(table) + " WHERE " + condition, parameterValues, error, true);
}

std::optional<std::int64_t> APMSqliteStore::executeStatement(const std::string& statement,
                                                             const APMBindings& parameterValues, APMErrorOut error) {
    if (statement.empty()) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty statement");
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    const bool rowsOnly = changesRowsOnly(statement);
    closeWriteGroupForOtherWork(rowsOnly);
    return run(statement, parameterValues, error, rowsOnly);
}

std::int64_t APMSqliteStore::lastInsertRowID() const {
    std::lock_guard lock(mutex_);
    return db_ ? sqlite3_last_insert_rowid(db_) : 0;
}

std::uint64_t APMSqliteStore::undoCount() const { return undoCount_.load(); }

void APMSqliteStore::noticeOtherConnections() {
    std::lock_guard lock(mutex_);
    if (!db_) return;
    auto statement = prepare("PRAGMA data_version", nullptr);
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) {
        ++undoCount_;  // cannot tell: assume the worst
        seenDataVersion_.reset();
        return;
    }
    const std::int64_t version = sqlite3_column_int64(statement.get(), 0);
    if (seenDataVersion_ && *seenDataVersion_ != version) ++undoCount_;
    seenDataVersion_ = version;
}

std::optional<std::int64_t> APMSqliteStore::userVersion(APMErrorOut error) {
    return pragmaInteger("PRAGMA user_version", error);
}

std::optional<std::int64_t> APMSqliteStore::schemaVersion(APMErrorOut error) {
    return pragmaInteger("PRAGMA schema_version", error);
}

std::optional<std::int64_t> APMSqliteStore::pragmaInteger(const std::string& pragma, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return std::nullopt;
    auto statement = prepare(pragma, error);
    if (!statement) return std::nullopt;
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        fail(error, kAPMSqliteStoreStatementCode, "Failed to read schema version", kAPMSqliteStoreStepFailedCode,
             sqlite3_errmsg(db_));
        return std::nullopt;
    }
    return static_cast<std::int64_t>(sqlite3_column_int64(statement.get(), 0));
}

bool APMSqliteStore::setUserVersion(std::int64_t version, APMErrorOut error) {
    // The file keeps a signed 32-bit number.
    if (version < INT32_MIN || version > INT32_MAX) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Schema version out of range");
        return false;
    }
    std::lock_guard lock(mutex_);
    closeWriteGroupForOtherWork();
    return runPlain("PRAGMA user_version = " + std::to_string(version), error);
}

std::string APMSqliteStore::quoteIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// ---- transactions ----

bool APMSqliteStore::isInTransaction() const {
    std::lock_guard lock(mutex_);
    return db_ && !sqlite3_get_autocommit(db_);
}

bool APMSqliteStore::performTransactionWithError(APMErrorOut error, const std::function<bool()>& block) {
    if (!block) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received nil transaction block");
        return false;
    }
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return false;
    if (groupOpen_ && groupedBlocks_ == 0 && joinedBlocks_ == 0) return runJoinedTransaction(error, block);
    return runTransaction(error, block);
}

// Damage met before a table's first write left nothing in the file, which
// the next begin replaces: the block runs there again, once, as a caller
// would try the failed transaction again. A nested one fails its outer one.
bool APMSqliteStore::runTransaction(APMErrorOut error, const std::function<bool()>& block) {
    if (db_ && !sqlite3_get_autocommit(db_)) return runTransactionOnce(error, block);
    for (int attempt = 0;; ++attempt) {
        appendDamageMet_ = false;
        const bool done = runTransactionOnce(error, block);
        if (done || !std::exchange(appendDamageMet_, false) || attempt > 0 || !db_) return done;
        if (error) error->reset();
    }
}

bool APMSqliteStore::runTransactionOnce(APMErrorOut error, const std::function<bool()>& block) {
    // A transaction opened inside another one becomes a savepoint, so that
    // its rollback undoes only its own work.
    const bool nested = !sqlite3_get_autocommit(db_);
    const std::string savepoint = "apm_savepoint_" + std::to_string(savepointDepth_);
    if (nested) {
        if (!runPlain("SAVEPOINT " + savepoint, nullptr)) {
            fail(error, kAPMSqliteStoreTransactionCode, "Failed to begin transaction", 0, sqlite3_errmsg(db_));
            return false;
        }
        written_->savepointBegan();
    } else if (!beginTransaction(error)) {
        return false;
    }
    ++savepointDepth_;
    auto rollback = [&] {
        --savepointDepth_;
        if (nested) {
            written_->savepointEnded(false);
        } else {
            written_->forget();
        }
        // SQLite may already have rolled back on its own (full disk, I/O).
        if (!db_ || sqlite3_get_autocommit(db_)) return;
        const bool undone = nested ? runPlain("ROLLBACK TO " + savepoint, nullptr) && runPlain("RELEASE " + savepoint, nullptr)
                                   : runPlain("ROLLBACK TRANSACTION", nullptr);
        if (!undone) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreRollbackFailedCode,
                                              "Failed to roll back transaction. Error",
                                              platform::Value(std::string(sqlite3_errmsg(db_))));
        }
    };
    bool committed = false;
    try {
        committed = block();
    } catch (...) {
        rollback();
        throw;
    }
    if (!committed) {
        rollback();
        APMSetError(error, kAPMSqliteStoreTransactionCode, "Transaction failed");
        return false;
    }
    std::optional<APMError> endError;
    const bool inTransaction = db_ && !sqlite3_get_autocommit(db_);
    const bool replaced = inTransaction && !nested && fileMoved() == true;
    // A row that does not read back by its row ID as written lies where no
    // reader finds it: the file is damaged.
    const auto unread = inTransaction && !nested && !replaced ? rowsNotReadBack() : std::nullopt;
    // Damage met meanwhile, here or by another process: what the block
    // wrote would be acknowledged in a file that is to be set aside.
    const auto damaged = inTransaction && !nested && !replaced ? knownDamage() : std::nullopt;
    if (!inTransaction || replaced || damaged || unread ||
        !runPlain(nested ? "RELEASE " + savepoint : "COMMIT TRANSACTION", &endError)) {
        const std::string reason = replaced  ? kReplacedReason
                                   : damaged ? "the file is damaged (" + *damaged + "): nothing is written into it"
                                   : unread  ? *unread
                                   : db_     ? sqlite3_errmsg(db_)
                                             : "database closed";
        rollback();
        fail(error, damaged ? kAPMSqliteStoreDamagedCode : kAPMSqliteStoreTransactionCode, "Failed to end transaction",
             0, reason);
        return false;
    }
    --savepointDepth_;
    if (nested) {
        written_->savepointEnded(true);
    } else {
        written_->forget();
    }
    return true;
}

// ---- tables ----

bool APMSqliteStore::tableExists(const std::string& table, APMErrorOut error) {
    auto rows = recordsForQuery("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?", {table}, error);
    return rows && !rows->empty();
}

bool APMSqliteStore::ensureTableWithName(const std::string& table, const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo, const APMColumnInfo& modifyColumnInfo,
                                         APMErrorOut error) {
    auto invalid = [](const APMColumnInfo& columns) {
        return std::any_of(columns.begin(), columns.end(), [](const APMColumn& c) { return c.name.empty(); });
    };
    if (table.empty() || elementaryColumnInfo.empty() || invalid(elementaryColumnInfo) || invalid(addOnColumnInfo) ||
        invalid(modifyColumnInfo)) {
        APMSetError(error, kAPMSqliteStoreInvalidArgumentCode, "Received empty table name or column info");
        return false;
    }
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return false;
    closeWriteGroupForOtherWork();

    // The wanted layout: elementary then add-on columns, with the types of
    // the modify list.
    APMColumnInfo wanted;
    std::map<std::string, std::size_t> wantedIndex;
    for (const auto* list : {&elementaryColumnInfo, &addOnColumnInfo}) {
        for (const auto& column : *list) {
            if (wantedIndex.emplace(upper(column.name), wanted.size()).second) wanted.push_back(column);
        }
    }
    for (const auto& column : modifyColumnInfo) {
        auto found = wantedIndex.find(upper(column.name));
        if (found == wantedIndex.end()) {
            wantedIndex.emplace(upper(column.name), wanted.size());
            wanted.push_back(column);
        } else {
            wanted[found->second].type = column.type;
        }
    }

    std::optional<APMError> existsError;
    const bool exists = tableExists(table, &existsError);
    if (existsError) {
        if (error) *error = existsError;
        return false;
    }
    if (!exists) {
        std::string definition;
        for (const auto& column : wanted) {
            definition += (definition.empty() ? "" : ", ") + quoteIdentifier(column.name) + " " + column.type;
        }
        if (!runPlain("CREATE TABLE " + quoteIdentifier(table) + " (" + definition + ")", error)) {
            fail(nullptr, 0, "Failed to create table", kAPMSqliteStoreTableFailedCode, table);
            return false;
        }
        return true;
    }

    auto info = prepare("PRAGMA table_info(" + quoteIdentifier(table) + ")", error);
    if (!info) return false;
    std::map<std::string, std::string> existing;  // upper-case name -> declared type
    APMColumnInfo existingColumns;
    while (sqlite3_step(info.get()) == SQLITE_ROW) {
        APMColumn column{sqlite_statement::columnText(info.get(), 1), sqlite_statement::columnText(info.get(), 2)};
        existing.emplace(upper(column.name), upper(column.type));
        existingColumns.push_back(std::move(column));
    }
    for (const auto& column : elementaryColumnInfo) {
        if (!existing.count(upper(column.name))) {
            fail(error, kAPMSqliteStoreSchemaCode, "Table is missing an elementary column",
                 kAPMSqliteStoreTableFailedCode, table + "." + column.name);
            return false;
        }
    }
    bool rebuild = false;
    for (const auto& column : modifyColumnInfo) {
        auto found = existing.find(upper(column.name));
        if (found != existing.end() && found->second != typeName(column.type)) rebuild = true;
    }
    if (rebuild) {
        // Columns the caller does not list are kept with their types.
        for (const auto& column : existingColumns) {
            if (!wantedIndex.count(upper(column.name))) wanted.push_back(column);
        }
        return rebuildTable(table, wanted, error);
    }
    for (const auto& column : wanted) {
        if (existing.count(upper(column.name))) continue;
        if (!runPlain("ALTER TABLE " + quoteIdentifier(table) + " ADD COLUMN " + quoteIdentifier(column.name) + " " +
                          column.type,
                      error)) {
            fail(nullptr, 0, "Failed to add column", kAPMSqliteStoreTableFailedCode, table + "." + column.name);
            return false;
        }
    }
    return true;
}

// Gives the table the wanted layout and keeps its rows: a new table, the
// common columns copied, the old one dropped (with its indexes, which their
// owner makes again) and the new one renamed.
bool APMSqliteStore::rebuildTable(const std::string& table, const APMColumnInfo& columns, APMErrorOut error) {
    auto info = prepare("PRAGMA table_info(" + quoteIdentifier(table) + ")", error);
    if (!info) return false;
    std::set<std::string> existing;
    while (sqlite3_step(info.get()) == SQLITE_ROW) existing.insert(upper(sqlite_statement::columnText(info.get(), 1)));
    info.release();
    const std::string temporary = quoteIdentifier("apm_rebuild_" + table);
    std::string definition, common;
    for (const auto& column : columns) {
        definition += (definition.empty() ? "" : ", ") + quoteIdentifier(column.name) + " " + column.type;
        if (existing.count(upper(column.name))) common += (common.empty() ? "" : ", ") + quoteIdentifier(column.name);
    }
    std::optional<APMError> stepError;
    const bool done = performTransactionWithError(error, [&] {
        return runPlain("DROP TABLE IF EXISTS " + temporary, &stepError) &&
               runPlain("CREATE TABLE " + temporary + " (" + definition + ")", &stepError) &&
               runPlain("INSERT INTO " + temporary + " (" + common + ") SELECT " + common + " FROM " +
                            quoteIdentifier(table),
                        &stepError) &&
               runPlain("DROP TABLE " + quoteIdentifier(table), &stepError) &&
               runPlain("ALTER TABLE " + temporary + " RENAME TO " + quoteIdentifier(table), &stepError);
    });
    if (!done) {
        if (error && stepError) *error = stepError;
        fail(nullptr, 0, "Failed to change column types", kAPMSqliteStoreTableFailedCode, table);
    }
    return done;
}

}  // namespace measurement
