// The SQLite store's journal mode and integrity checks, and damage met in use.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/hashing.h"
#include "measurement/foundation/monitor.h"
#include "measurement/store/damage_mark.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_statement.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_store_shared_state.h"

namespace measurement {

namespace {

using sqlite_damage::isDamage;
// Prepared apart from the kept statements: these run once, and on files
// that may not be databases at all.
using sqlite_statement::runToEnd;
using sqlite_statement::TextRows;

std::string sqlName(const std::string& name) { return APMSqliteStore::quoteIdentifier(name); }

// Whether a check's statement, or the connection since, met damage; then
// *said holds SQLite's words for it.
bool damageMet(sqlite3* db, int rc, std::string* said) {
    if (!isDamage(db, rc) && !isDamage(db, sqlite3_errcode(db))) return false;
    *said = sqlite3_errmsg(db);
    return true;
}

// A column's value as its storage class, its size and its bytes, so that no
// two rows of different values give the same bytes.
void appendColumnBytes(sqlite3_stmt* statement, int column, std::vector<std::uint8_t>* out) {
    out->push_back(static_cast<std::uint8_t>(sqlite3_column_type(statement, column)));
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
    const auto size = static_cast<std::uint64_t>(sqlite3_column_bytes(statement, column));
    for (int shift = 56; shift >= 0; shift -= 8) out->push_back(static_cast<std::uint8_t>(size >> shift));
    if (bytes) out->insert(out->end(), bytes, bytes + size);
}

// SQLite's check gives its first finding in the same row as a heading that
// names the database ("*** in database main ***", a newline, then the
// finding); the findings after it come one to a row. The finding alone.
std::string withoutHeading(const std::string& line) {
    constexpr std::string_view kHeading = "*** in database ";
    if (line.compare(0, kHeading.size(), kHeading) != 0) return line;
    const auto end = line.find('\n');
    return end == std::string::npos ? "" : line.substr(end + 1);
}

// Whether the table, read through its own tree, gives at most
// kAPMSqliteStoreWholeCheckRows rows (the first pages only, however large it
// is); then SQLite's check of the table and its indexes, which reads all of
// them. True when either finds damage, *said telling what.
bool smallTableDamaged(sqlite3* db, const std::string& table, std::string* said) {
    const std::string count = "SELECT count(*) > " + std::to_string(kAPMSqliteStoreWholeCheckRows) +
                              " FROM (SELECT 1 FROM " + sqlName(table) + " NOT INDEXED LIMIT " +
                              std::to_string(kAPMSqliteStoreWholeCheckRows + 1) + ")";
    TextRows large, lines;
    int rc = runToEnd(db, count, &large);
    if (rc == SQLITE_DONE && large.size() == 1 && large[0] == std::vector<std::string>{"0"}) {
        rc = runToEnd(db, "PRAGMA quick_check(" + sqlName(table) + ")", &lines);
    }
    if (damageMet(db, rc, said)) return true;
    said->clear();
    for (const auto& line : lines) {
        const std::string finding = line.empty() ? "" : withoutHeading(line[0]);
        if (finding.empty() || finding == "ok") continue;
        *said += (said->empty() ? "" : "; ") + finding;
    }
    return rc == SQLITE_DONE && !said->empty();
}

// What the count and check of smallTableDamaged say of a table before its
// first and last pages are read: it is small and SQLite's check, which
// reads every row and page of it, finds it whole; it is large (the check is
// not run); or anything else (a failure, a finding), which the whole
// sequence is run again for, so that what it says is said. (Its indexes'
// pages are read too, but their records not: the probes of an index, which
// read its first and last entries, still run.)
enum class TableOutlook { smallAndWhole, large, unknown };

TableOutlook outlookOf(sqlite3* db, const std::string& table) {
    const std::string count = "SELECT count(*) > " + std::to_string(kAPMSqliteStoreWholeCheckRows) +
                              " FROM (SELECT 1 FROM " + sqlName(table) + " NOT INDEXED LIMIT " +
                              std::to_string(kAPMSqliteStoreWholeCheckRows + 1) + ")";
    TextRows large, lines;
    if (runToEnd(db, count, &large) != SQLITE_DONE || large.size() != 1 || large[0].size() != 1) {
        return TableOutlook::unknown;
    }
    if (large[0][0] == "1") return TableOutlook::large;
    if (large[0][0] != "0" || runToEnd(db, "PRAGMA quick_check(" + sqlName(table) + ")", &lines) != SQLITE_DONE) {
        return TableOutlook::unknown;
    }
    const bool whole = std::all_of(lines.begin(), lines.end(), [](const std::vector<std::string>& line) {
        const std::string finding = line.empty() ? "" : withoutHeading(line[0]);
        return finding.empty() || finding == "ok";
    });
    return whole ? TableOutlook::smallAndWhole : TableOutlook::unknown;
}

// A trigger or a view in the file, or anything else SQLite would take
// from the schema besides plain tables and indexes (SQLite builds an object
// from its declaration's text, whatever its type says): the engine makes
// none, so another program did, or damage. Tests that make writes fail with
// triggers of their own let those be.
bool holdsOthersObjects(sqlite3* db, std::string* problem) {
    std::string sql =
        "SELECT type, name FROM sqlite_master WHERE (type IN ('trigger', 'view') OR NOT (sql IS NULL OR sql LIKE "
        "'CREATE TABLE %' OR sql LIKE 'CREATE INDEX %' OR sql LIKE 'CREATE UNIQUE INDEX %'))";
    if (detail::fileTriggersRun().load()) sql += " AND NOT (type = 'trigger' AND sql LIKE 'CREATE TRIGGER %')";
    TextRows found;
    if (runToEnd(db, sql + " LIMIT 1", &found) != SQLITE_DONE || found.empty()) return false;
    *problem = "it holds a " + found[0][0] + " (" + found[0][1] + "), which the engine never makes";
    return true;
}

// SQLite's own threshold for a checkpoint after a commit, kept for
// connections that live long: their next commit starts the log afresh.
constexpr int kLongLivedCheckpointPages = 1000;

}  // namespace

// Readers no longer wait for writers, a commit appends to the log instead
// of writing pages twice through a journal, and with synchronous=NORMAL only
// checkpoints wait for the disk. A file system that cannot share the log's
// index keeps the rollback journal with full synchronisation. A file that is
// no database says nothing here: the integrity check deals with it.
bool APMSqliteStore::useWriteAheadLog() {
    TextRows rows;
    const int rc = runToEnd(db_, "PRAGMA journal_mode=WAL", &rows);
    if (isDamage(db_, rc)) return false;
    std::string mode = rows.empty() || rows.front().empty() ? "" : rows.front().front();
    for (auto& c : mode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (rc != SQLITE_DONE || mode != "wal") {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMSqliteStoreJournalModeCode,
                                          "Unable to use the write-ahead log. Path, journal mode",
                                          platform::Value(path_), platform::Value(mode));
        return false;
    }
    return runToEnd(db_, "PRAGMA synchronous=NORMAL") == SQLITE_DONE;
}

void APMSqliteStore::keepWriteAheadLogOnClose() {
    std::lock_guard lock(mutex_);
    if (!db_ || keepLog_) return;
    keepLog_ = sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK;
    if (keepLog_) sqlite3_wal_hook(db_, &APMSqliteStore::noteLogSize, this);
}

// Heard after each commit of this connection that added pages to the log
// (one that changed nothing adds none), in place of SQLite's automatic
// checkpoint, which the hook replaces.
int APMSqliteStore::noteLogSize(void* context, sqlite3* db, const char* name, int pages) {
    auto* store = static_cast<APMSqliteStore*>(context);
    store->logPages_ = pages;
    store->logUnsynced_ = true;
    if (pages >= kLongLivedCheckpointPages) sqlite3_wal_checkpoint(db, name);
    return SQLITE_OK;
}

bool APMSqliteStore::checkpointAndEmptyLog() {
    sqlite3_busy_handler(db_, nullptr, nullptr);
    const int rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_handler(db_, &APMSqliteStore::waitWhileBusy, this);
    return rc == SQLITE_OK;
}

// Through a descriptor of its own: SQLite's first sync of its log handle
// also syncs the folder, once more than the log itself needs. Nothing is
// synced when this connection added nothing to the log since the last
// sync: a transaction that changed nothing, or none at all.
void APMSqliteStore::syncWriteAheadLog() {
    if (!keepLog_ || !logUnsynced_) return;
    // The checkpoint syncs the log before it copies it, and the file after.
    if (logPages_ >= kAPMSqliteStoreKeptLogPages && checkpointAndEmptyLog()) {
        logUnsynced_ = false;
        return;
    }
    const int log = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (log < 0) return;
    if (::fdatasync(log) == 0) logUnsynced_ = false;
    ::close(log);
}

// True when the file reads as an intact database of the engine's making.
// Otherwise *problem says what is damaged, or stays empty when the check
// could not run for another reason (then the file must not be deleted).
// The whole file is read only when asked; otherwise the pages every reader
// and writer starts from.
bool APMSqliteStore::checkIntegrity(bool wholeFile, std::string* problem) {
    return (wholeFile ? checkWholeFile(problem) : checkEndPages(problem)) && !holdsOthersObjects(db_, problem) &&
           !refusesWrites(problem);
}

// A header whose write version asks for a later SQLite opens for reading
// only, however the file is opened: every write of the engine would fail.
// A file only the system will not let this process write (its
// permissions) is no damage.
bool APMSqliteStore::refusesWrites(std::string* problem) {
    if (sqlite3_db_readonly(db_, "main") != 1 || ::access(path_.c_str(), W_OK) != 0) return false;
    *problem = "its header refuses writes: a file format this SQLite does not write";
    return true;
}

// The schema's count of changes is read by the same statement as its rows,
// so both come from one moment of the file, an empty schema's too (one row
// of none): read apart, a count could come from after another process made
// the tables, beside the digest of none, and be taken for that process's.
std::optional<APMSqliteStore::SchemaState> APMSqliteStore::schemaState(APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return std::nullopt;
    auto statement = prepare("SELECT counted.schema_version, type, name, tbl_name, rootpage, sql FROM "
                             "pragma_schema_version AS counted LEFT JOIN sqlite_master ORDER BY sqlite_master.rowid",
                             error);
    if (!statement) return std::nullopt;
    SchemaState state;
    std::vector<std::uint8_t> bytes;
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        state.version = sqlite3_column_int64(statement.get(), 0);
        for (int column = 1; column < sqlite3_column_count(statement.get()); ++column) {
            appendColumnBytes(statement.get(), column, &bytes);
        }
    }
    if (rc != SQLITE_DONE) {
        noteDamage(rc);
        fail(error, kAPMSqliteStoreStatementCode, "Failed to read the schema", kAPMSqliteStoreStepFailedCode,
             sqlite3_errmsg(db_));
        return std::nullopt;
    }
    state.digest.bytes = apm_MD5Data(bytes);
    return state;
}

bool APMSqliteStore::replaceAsDamaged(const std::string& problem, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return false;
    return replaceDamaged(problem, !damageWaitRanOut_, error);
}

namespace {

// A mark that keeps being written again while the file checks whole is
// left after this many checks: the next write looks again.
constexpr int kMarkedFileChecks = 3;

}  // namespace

// The whole file checked because of the mark beside it. Whole, the mark
// goes, unless another process wrote it again after the check began: that
// one met damage meanwhile, so the file is checked again. Pages kept from
// earlier reads are let go first, as they may predate the damage.
bool APMSqliteStore::checkMarkedFile(std::string* problem) {
    const std::string mark = path_ + kAPMSqliteStoreDamageMarkSuffix;
    for (int check = 0; check < kMarkedFileChecks; ++check) {
        const auto seen = APMReadDamageMark(mark);
        sqlite3_db_release_memory(db_);
        if (!checkIntegrity(true, problem)) return false;
        if (APMRemoveDamageMarkIfUnchanged(mark, seen) != APMDamageMarkRemoval::rewritten) return true;
    }
    return true;
}

bool APMSqliteStore::checkWholeFile(std::string* problem) {
    TextRows lines;
    const int rc = runToEnd(db_, "PRAGMA integrity_check", &lines);
    if (rc == SQLITE_DONE) {
        if (lines.size() == 1 && lines[0].size() == 1 && lines[0][0] == "ok") return true;
        for (const auto& line : lines) *problem += (problem->empty() ? "" : "; ") + (line.empty() ? "" : line[0]);
        if (problem->empty()) *problem = "integrity check gave no answer";
        return false;
    }
    damageMet(db_, rc, problem);
    return false;
}

// The file header and the schema, then the first and the last leaf of
// every table and index: the root pages and the paths that new rows are
// appended along, which is where a torn write or a stranger's bytes show.
// The cost grows with the depth of the trees, not with their rows. A probe
// that cannot run for another reason (a partial index, a table without row
// IDs) is skipped. The probes share one read transaction: each would
// otherwise take and give back the log's read lock on its own.
//
// A small table's whole check reads every row its probes would, in the same
// read transaction: a table it finds whole is not probed. Whatever else the
// count or the check says has the table's probes and checks run in their
// order, as they say it.
bool APMSqliteStore::checkEndPages(std::string* problem) {
    auto damaged = [&](int rc) { return damageMet(db_, rc, problem); };
    // A failure leaves the transaction open, for the caller to read the
    // connection's error before it closes the connection.
    runToEnd(db_, "BEGIN");
    TextRows objects;
    int rc = runToEnd(db_, "SELECT type, name, tbl_name, rootpage FROM sqlite_master WHERE type IN ('table', 'index')",
                      &objects);
    if (rc != SQLITE_DONE) {
        damaged(rc);
        return false;
    }
    for (const auto& object : objects) {
        const std::string& name = object[1];
        const std::string& table = object[2];
        std::vector<std::string> probes;
        auto outlook = TableOutlook::unknown;
        // A virtual table (no root page of its own) is none SQLite's check reads.
        const bool ordinaryTable = object[0] == "table" && object[3] != "0";
        if (ordinaryTable && (outlook = outlookOf(db_, name)) == TableOutlook::smallAndWhole) continue;
        if (object[0] == "table") {
            // Through the table's own tree: a smaller index would answer
            // the first probe without reading the table.
            probes = {"SELECT rowid FROM " + sqlName(name) + " NOT INDEXED ORDER BY rowid LIMIT 1",
                      "SELECT rowid FROM " + sqlName(name) + " NOT INDEXED ORDER BY rowid DESC LIMIT 1"};
        } else {
            TextRows columns;
            if (damaged(runToEnd(db_, "PRAGMA index_info(" + sqlName(name) + ")", &columns))) return false;
            if (columns.empty() || columns.front().size() < 3 || columns.front()[2].empty()) continue;
            const std::string column = sqlName(columns.front()[2]);
            const std::string head = "SELECT " + column + " FROM " + sqlName(table) + " INDEXED BY " + sqlName(name) +
                                     " ORDER BY " + column;
            probes = {head + " LIMIT 1", head + " DESC LIMIT 1"};
        }
        for (const auto& probe : probes) {
            if (damaged(runToEnd(db_, probe))) return false;
        }
        std::string said;
        if (object[0] == "table" && outlook != TableOutlook::large && smallTableDamaged(db_, name, &said)) {
            *problem = "table " + name + ": " + said;
            return false;
        }
    }
    runToEnd(db_, "COMMIT");
    return true;
}

std::vector<APMUnreadableStretch> APMSqliteStore::damageInSmallTables(const std::vector<APMUnreadableStretch>& listed) {
    std::lock_guard lock(mutex_);
    std::vector<APMUnreadableStretch> found;
    TextRows tables;
    if (!db_) return found;
    auto named = [&](const std::string& table) {
        return std::any_of(listed.begin(), listed.end(), [&](const APMUnreadableStretch& s) { return s.table == table; });
    };
    if (schemaDamage_ && !named(kAPMSqliteStoreSchemaTable)) {
        found.push_back({kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt,
                         sqlite_damage::kSchemaReadInPart + *schemaDamage_});
    }
    // A schema read in part: the tables that loaded.
    const char* sql = schemaDamage_ ? "SELECT name FROM pragma_table_list WHERE schema = 'main' AND type = 'table' AND "
                                      "name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"
                                    : "SELECT name FROM sqlite_master WHERE type = 'table'";
    const int rc = runToEnd(db_, sql, &tables);
    if (rc != SQLITE_DONE) {
        // No table reads when the schema does not: the whole file is damage
        // (unless a carry read what of the schema parses, and said so).
        if (isDamage(db_, rc) && !named(kAPMSqliteStoreSchemaTable)) {
            found.push_back({kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt,
                             std::string("the file does not read as a database: ") + sqlite3_errmsg(db_)});
        }
        return found;
    }
    for (const auto& table : tables) {
        std::string said;
        if (!named(table.at(0)) && smallTableDamaged(db_, table.at(0), &said)) {
            found.push_back({table[0], std::nullopt, std::nullopt, "the table's pages do not check: " + said});
        }
    }
    return found;
}

// Damage met by a statement while the file is in use may lie anywhere in
// it, beyond what the check at open reads: a mark beside the file makes the
// next open read all of it, and the other processes that have it open
// before their next write. Said once per connection. A connection that only
// reads changes nothing beside the file either: its reader reports the
// damage itself.
void APMSqliteStore::noteDamage(int code) {
    if (isDamage(db_, code)) noteDamageFound(sqlite3_errmsg(db_));
}

void APMSqliteStore::noteDamageFound(const std::string& error) {
    if (sqlite3_db_readonly(db_, "main") == 1) return;
    keepDamaged(error);
    if (std::exchange(damageNoted_, true)) return;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreDamageFoundCode,
                                      "Database damage found while in use. Nothing more is written into the file "
                                      "before it is replaced; the next open checks the whole file. Path, error",
                                      platform::Value(path_), platform::Value(error));
}

// The mark is written once for the open file. Until it is there, the other
// processes write into the file as if it were whole: a mark that cannot be
// written is said (once), and tried again at the next damage met.
void APMSqliteStore::keepDamaged(const std::string& problem) {
    damage_ = problem;
    if (damageMarked_ || !db_ || sqlite3_db_readonly(db_, "main") == 1) return;
    const std::string path = path_ + kAPMSqliteStoreDamageMarkSuffix;
    damageMarked_ = APMWriteDamageMark(path);
    const int writeError = damageMarked_ ? 0 : errno;
    if (damageMarked_ || std::exchange(damageMarkFailureSaid_, true)) return;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSqliteStoreDamageMarkFailedCode,
                                      "Unable to mark the database damaged: the other processes that have it open "
                                      "go on writing into it until they meet the damage themselves, and the next "
                                      "open checks only the pages it starts from. Mark, error",
                                      platform::Value(path),
                                      platform::Value(std::strerror(writeError != 0 ? writeError : EIO)));
}

bool APMSqliteStore::checkRowsNotFound(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (!db_ || !sqlite3_get_autocommit(db_)) return false;
    sqlite3_db_release_memory(db_);
    std::string problem;
    const bool whole = checkIntegrity(true, &problem);
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    // A check that could not run says nothing of the rows.
    if (whole || problem.empty()) return false;
    noteDamageFound(what + ": " + problem);
    return true;
}

std::optional<std::string> APMSqliteStore::damageKept() const {
    std::lock_guard lock(mutex_);
    return damage_;
}

std::optional<std::string> APMSqliteStore::knownDamage() const {
    if (damage_ || !db_ || sqlite3_db_readonly(db_, "main") == 1) return damage_;
    if (!APMDamageMarkPresent(path_ + kAPMSqliteStoreDamageMarkSuffix)) return std::nullopt;
    return "another process found it damaged";
}

}  // namespace measurement
