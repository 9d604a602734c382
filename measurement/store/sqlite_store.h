#pragma once

// APMSqliteStore: a SQLite database file.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/store/beside_names.h"
#include "measurement/store/file_lock.h"
#include "measurement/store/statement_cache.h"
#include "platform/foundation/value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace measurement {

class APMWrittenRows;
struct APMWrittenRow;
class APMAppendChecks;
struct APMAppendTable;
namespace sqlite_btree {
class FileImage;
}

// Codes of the errors the store writes into an error out-parameter.
enum : long {
    kAPMSqliteStoreInvalidArgumentCode = 1,
    kAPMSqliteStoreNotOpenCode = 2,
    kAPMSqliteStoreTransactionCode = 3,
    kAPMSqliteStoreOpenCode = 4,
    kAPMSqliteStoreDamagedCode = 5,
    kAPMSqliteStoreStatementCode = 6,
    kAPMSqliteStoreSchemaCode = 7,
};

// Monitor codes of the store.
enum : long {
    kAPMSqliteStoreOpenFailedCode = 34001,
    kAPMSqliteStoreDamagedFileCode = 34002,
    kAPMSqliteStoreStillDamagedCode = 34003,
    kAPMSqliteStorePrepareFailedCode = 34004,
    kAPMSqliteStoreStepFailedCode = 34005,
    kAPMSqliteStoreTableFailedCode = 34006,
    kAPMSqliteStoreRollbackFailedCode = 34007,
    kAPMSqliteStoreBackupExclusionCode = 34008,
    kAPMSqliteStoreDeleteFailedCode = 34019,
    kAPMSqliteStoreBusyCode = 34020,
    kAPMSqliteStoreBusyTimeoutCode = 34021,
    kAPMSqliteStoreWriteGroupFailedCode = 34022,
    kAPMSqliteStoreJournalModeCode = 34023,
    kAPMSqliteStoreDamageFoundCode = 34024,
    kAPMSqliteStoreSetAsideCode = 34025,
    kAPMSqliteStoreSetAsideFailedCode = 34026,
    kAPMSqliteStoreDamagedInUseCode = 34027,
    kAPMSqliteStoreReplacedCode = 34028,
    kAPMSqliteStoreCarriedRowsCode = 34029,
    kAPMSqliteStoreDamagedWriteRefusedCode = 34035,
    kAPMSqliteStoreBusyWaitingCode = 34042,
    kAPMSqliteStoreDamageMarkFailedCode = 34043,
    kAPMSqliteStoreOldCopyKeptCode = 34044,
    // A name beside the file where no regular file lies, set aside or kept.
    kAPMSqliteStoreOddNameSetAsideCode = 34047,
    kAPMSqliteStoreOddNameKeptCode = 34048,
};

// How long a statement or transaction waits for another connection (another
// process, the inspection tool) that holds the database before it fails.
inline constexpr double kAPMSqliteStoreBusyTimeoutSeconds = 45;
// A wait for another connection that lasts this long is said (34042): a
// brief transaction of another process is waited for without a word.
inline constexpr double kAPMSqliteStoreBusyNoticeSeconds = 2;

// The pages a kept write-ahead log may hold before a close that committed
// copies it into the file and empties it (see keepWriteAheadLogOnClose).
// An open reads every page of the log, about 1.5 microseconds each; the
// copy waits for the disk once more than a close otherwise does. A process
// storing one event adds some five pages, so one in about forty pays.
inline constexpr int kAPMSqliteStoreKeptLogPages = 200;

// What a read-only open says of a file damaged where every read starts
// (its header, its schema): nothing of it reads.
inline constexpr const char* kAPMSqliteStoreUnreadableFileDescription = "The file does not read as a database";

// Beside a database file, the file that marks damage found while it was in
// use or held by another process: the next open, and every process that has
// it open before its next write, checks the whole file.
inline constexpr const char* kAPMSqliteStoreDamageMarkSuffix = "-damaged";

// A table of at most this many rows is checked whole at open (SQLite's
// quick check of the table): the engine reads such tables whole, and
// damage in them may read as other values, or as no row, rather than fail.
// Larger ones are checked at the pages a reader starts from.
inline constexpr int kAPMSqliteStoreWholeCheckRows = 100;

// Beside a database file, the file every store that uses the path holds a
// shared lock on (APMFileLock) while it is open: the file is deleted or set
// aside only under the exclusive lock, that is, when no other process has
// it open. It stays when the database goes, so that every process locks
// the same file.
inline constexpr const char* kAPMSqliteStoreLockSuffix = "-lock";

// What a database file that cannot be used is renamed to: the path with
// ".corrupt" (then ".corrupt-2", ".corrupt-3"...), its log and shared-memory
// files beside it with their usual suffixes.
inline constexpr const char* kAPMSqliteStoreSetAsideSuffix = ".corrupt";
// The set-aside copies of a database kept beside it: the newest this many.
// Older ones are deleted with their companions as a new one is set aside.
inline constexpr int kAPMSqliteStoreSetAsideCopiesKept = 3;
// The highest number a copy's name takes (".corrupt-999"), which the longest
// path beside a database is reckoned with: past it, the copies kept are
// renamed, in their order, from ".corrupt" on.
inline constexpr int kAPMSqliteStoreSetAsideLastNumber = 999;

// What SQLite keeps beside a database file, named after it: its
// write-ahead log, the log's shared memory and its rollback journal.
inline constexpr const char* kAPMSqliteStoreCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

// The longest path, in bytes, that SQLite's default file layer opens. It
// opens a database only when the name of its journal ("-journal" after the
// database's absolute path, links followed) is no longer than this.
std::size_t APMSqliteStoreLongestPath();

// Beside a database file found damaged, the new file that the rows which
// can still be read are carried into before it takes the damaged one's
// place. One left by a process that ended meanwhile is made again.
inline constexpr const char* kAPMSqliteStoreCarrySuffix = "-carry";

// One row: column name to value (integers as Int, reals as Real, text as
// String, blobs as Data); NULL columns are absent.
using APMRow = platform::Value::Dictionary;
using APMRows = std::vector<APMRow>;
// Values bound to the "?" of a statement, in order: null, bool (as 0 or 1),
// integer, real, string, data or date (as seconds since 1970).
using APMBindings = platform::Value::Array;

// One column of a table: its name and its SQL type text, constraints
// included ("TEXT NOT NULL PRIMARY KEY").
struct APMColumn {
    std::string name;
    std::string type;
};
using APMColumnInfo = std::vector<APMColumn>;

// The tables a store's owner fills, each with its columns as it declares
// them. A row of such a table is one the owner could have written only when
// every declared column holds a value of the type its declaration names
// (INTEGER, REAL, TEXT in UTF-8, BLOB; a column declared without a type
// holds values of several types by design, and any of them) and none is NULL
// where it is declared NOT NULL: a carry and readableRowsOfTable take no
// other row of them, and count it among those that did not read.
using APMDeclaredTables = std::map<std::string, APMColumnInfo>;

// Everything a store's owner makes in its file: its tables (above) and, by
// table, the statements that make their indexes. A damaged file is carried
// into a file made from these alone: no declaration the damaged file holds
// is ever run.
struct APMDeclaredSchema {
    APMDeclaredTables tables;
    std::map<std::string, std::vector<std::string>> indexStatements;
};

// The table of a file's schema: a stretch of it is damage to the schema,
// which every read starts from.
inline constexpr const char* kAPMSqliteStoreSchemaTable = "sqlite_master";

// Rows of a table that a read could not take from a damaged file: those
// after afterRowID (none: from the first) and before beforeRowID (none: to
// the last), two rows read next to each other, with the error SQLite gave
// (or what was wrong where SQLite gave none).
struct APMUnreadableStretch {
    std::string table;
    std::optional<std::int64_t> afterRowID;
    std::optional<std::int64_t> beforeRowID;
    std::string error;
};

// One SQLite file, opened with create and full mutex, in write-ahead-log
// mode with synchronous=NORMAL: a commit survives the process being killed
// at any moment; a power loss may undo the last commits before the log is
// next synchronised, never leaving a damaged file. Statements are prepared
// once and kept by their text. Every operation may be called from any
// thread; a transaction holds the store for the calls of its own block, so
// blocks of two threads never interleave. While another connection holds
// the file, operations wait for it (up to kAPMSqliteStoreBusyTimeoutSeconds,
// logged with 34020 when the wait starts, said with 34042 once it has lasted
// kAPMSqliteStoreBusyNoticeSeconds, and logged with 34021 when it gives up).
// Failures answer false or none and fill the optional error out-parameter;
// they are also logged through the monitor.
class APMSqliteStore {
public:
    // Opens the file (creating it and excluding it from backup) and checks
    // its integrity: the file header, the schema, the first and last pages
    // of every table and index, a cost that does not grow with the rows, and
    // every table of at most kAPMSqliteStoreWholeCheckRows rows whole; the
    // whole file when damage was marked beside it. A trigger or a view in
    // the file is damage too: the engine makes none, and none runs on the
    // store's connections (nor does any function with side effects that a
    // declaration of the file names). A damaged file is set
    // aside (renamed with ".corrupt" and its companions, see
    // kAPMSqliteStoreSetAsideSuffix, logged with 34002), never deleted:
    // every row of it that still reads from its cell (as readableRowsOfTable
    // offers them) is first carried into a new file (the tables `declared`
    // names that the damaged file holds, made with the declared columns and
    // indexes; each row with its row ID and its values under the declared
    // columns; 34029 counts the rows and names the stretches that did not
    // read, and the tables not declared, which are not carried), which then
    // takes its place at the path. While other processes have the damaged file open it
    // is waited for up to APMFileLock::waitLimit() (the shared lock given up
    // between tries, so that processes that find it together never wait for
    // each other, and one that finds it carried by another opens the new
    // file). Kept after that (34027), or when its rows cannot be carried or
    // it cannot be renamed (34026), it is marked damaged and read as far as
    // it goes, but nothing is written into it: every write first tries
    // again to replace it (see below). Something other than a file at the
    // path (a folder, a fifo) is renamed aside, with nothing to carry
    // (34025). None on failure; an empty path fails with code 1.
    //
    // Once the store knows the open file is damaged (found at open, met by
    // a statement, or marked beside it by another process), nothing is
    // committed into it: a transaction or write group that met damage is
    // rolled back and fails with code 5, and every later write (a
    // transaction, a write group, a statement that changes the file) first
    // replaces the file as the open does, waiting for the other processes
    // the first time only, and then goes to the new file (made ready by the
    // reopen handler); while it cannot be replaced the write fails with
    // code 5 (logged with 34035).
    //
    // A row is acknowledged only once it reads back: before a transaction or
    // write group commits, every row its statements inserted or updated is
    // looked up by its row ID, and one that reads with other values or not at
    // all is damage met in use (the commit refused, code 5). A statement
    // outside a transaction that gives rows values runs in one of its own.
    //
    // Rows of the tables `declared` names are taken only when they are
    // rows the owner could have written (see APMDeclaredTables).
    static std::unique_ptr<APMSqliteStore> makeWithDatabasePath(const std::string& path, APMErrorOut error,
                                                                const APMDeclaredSchema& declared = {});
    // Opens an existing file for reading only: nothing is made, checked,
    // repaired or set aside, every write fails, and damage met leaves no
    // mark. Nothing beside the file is made or changed either: a file
    // without a log is read as it stands, and the index of a log is read
    // without being written (made only for a log that has none, as every
    // reader of it would, and kept in memory where it cannot be made). None
    // on failure (code 4, also for a missing file), code 5 (with
    // kAPMSqliteStoreUnreadableFileDescription) for a file that does not
    // read as a database at all: a header SQLite refuses, a schema whose
    // own pages do not read. A schema with declarations that do not parse
    // is read as far as it parses (damageInSmallTables says why).
    static std::unique_ptr<APMSqliteStore> makeReadOnlyWithDatabasePath(const std::string& path, APMErrorOut error,
                                                                        const APMDeclaredTables& declared = {});
    ~APMSqliteStore();
    APMSqliteStore(const APMSqliteStore&) = delete;
    APMSqliteStore& operator=(const APMSqliteStore&) = delete;

    const std::string& databasePath() const { return path_; }
    // Counts the files the store has opened at its path: it moves on when
    // the store opens a new file there (after a set-aside, or one another
    // program put in place of its own), so that row IDs read before tell
    // whether they still name rows of the file open now.
    std::uint64_t fileGeneration() const { return fileGeneration_.load(); }
    bool isOpen() const;

    // What the check before a table's first write into a file found of the
    // page it appends its rows to (see performTransactionWithError): it
    // reads whole; it is damaged; it could not be read (not the bytes'
    // fault).
    enum class AppendPages { whole, damaged, unknown };
    // How many tables that check has read, over every file the store has
    // opened: once each table of a file, at its first write.
    std::uint64_t appendPageChecks() const { return appendPageChecks_.load(); }

    // Creates the table from the elementary and add-on columns when it is
    // missing. For an existing table: every elementary column must be there
    // (else code 7), missing add-on columns are added, and a column of the
    // modify list whose declared type differs is given the new type by
    // rebuilding the table with its rows.
    bool ensureTableWithName(const std::string& table, const APMColumnInfo& elementaryColumnInfo,
                             const APMColumnInfo& addOnColumnInfo, const APMColumnInfo& modifyColumnInfo,
                             APMErrorOut error);
    bool tableExists(const std::string& table, APMErrorOut error);

    // Runs the block inside an exclusive transaction (a savepoint when a
    // transaction is already open): true commits; false rolls back with
    // code 3; an exception rolls back and goes on to the caller.
    //
    // The first write into each table of a file (a statement that inserts
    // into it, updates or deletes its rows, or changes the schema, whose
    // own table that is; one outside a transaction runs in a transaction of
    // its own) first checks, inside its transaction, that the page SQLite
    // appends the table's rows to reads whole from the file's bytes (its
    // write-ahead log's committed frames laid over them): a table leaf, each
    // cell inside its cell area and decoding, keys ascending, and each key
    // found by SQLite's own look-up of its row ID, with the values its cell
    // holds. A write into a page that does not could make rows that read
    // before it unreadable. Otherwise that is damage met before the write
    // (34024, the mark beside the file): the statement fails (code 5),
    // nothing of the transaction is committed, the file is replaced as
    // above, and the transaction's block runs again, once, in the new file
    // (as a caller that tries a failed transaction again would; code 5
    // while the file cannot be replaced). Inside a write group that kept
    // nothing yet, the group begins again in the new file and the block
    // runs again there; inside one that kept work, or a transaction inside
    // another, the group or the outer transaction fails instead, and the
    // next write goes to the new file. A page that cannot be read for
    // another reason fails the statement (code 3).
    bool performTransactionWithError(APMErrorOut error, const std::function<bool()>& block);
    bool isInTransaction() const;

    // A write group: one transaction left open across calls, so that many
    // small writes share one commit. Blocks run in it with
    // performGroupedTransactionWithError, each as a savepoint of its own.
    // Nothing else ever waits for the group's commit: a write outside the
    // group commits the group first; another transaction runs inside the
    // group as a savepoint and, when it changed something, commits the
    // group before it returns (as its own commit would have; a failed commit
    // fails it), so that transactions that only read, or whose deletes found
    // nothing, leave the group open. The handler
    // given at the opening hears once how the group ended (true when it
    // committed, false when it was rolled back), on the thread that ended
    // it, with the store held. Opening fails (code 3) inside a transaction
    // or a group.
    bool openWriteGroup(std::function<void(bool committed)> closed, APMErrorOut error);
    bool isWriteGroupOpen() const;
    // Runs the block as a savepoint of the open group: true keeps its work
    // for the group's commit; false, or an exception (which goes on to the
    // caller), undoes only its own work. Without an open group, or inside
    // another transaction running in it (whose rollback would take the
    // block's work along): code 3.
    bool performGroupedTransactionWithError(APMErrorOut error, const std::function<bool()>& block);
    // Commits the open group (a failed commit rolls it back, logged with
    // 34022). True when it committed or no group was open.
    bool closeWriteGroup();

    // One statement that begins with "select" (any case) and changes
    // nothing, the values bound in order. An empty list for no rows.
    std::optional<APMRows> recordsForQuery(const std::string& query, const APMBindings& parameterValues,
                                           APMErrorOut error);
    // "INSERT OR REPLACE INTO table (...) VALUES (...)".
    bool upsertRecord(const APMRow& record, const std::string& table, APMErrorOut error);
    // "DELETE FROM table WHERE column=?".
    bool deleteRecordFromTableWithName(const std::string& table, const std::string& column,
                                       const platform::Value& value, APMErrorOut error);
    // "DELETE FROM table WHERE condition": the number of deleted rows.
    std::optional<std::int64_t> deleteRecordsFromTableWithName(const std::string& table, const std::string& condition,
                                                               const APMBindings& parameterValues, APMErrorOut error);
    // Any other single statement (updates, schema work): the number of rows
    // it changed.
    std::optional<std::int64_t> executeStatement(const std::string& statement, const APMBindings& parameterValues,
                                                 APMErrorOut error);
    // The row ID of the last row this connection inserted.
    std::int64_t lastInsertRowID() const;
    // Grows whenever work may have been undone: a rollback (of a savepoint,
    // a transaction or a write group), a failed statement (after which
    // SQLite may have ended the transaction) or a close. What a caller
    // remembers of the rows stays true while it is unchanged and the caller
    // sees every write it makes itself.
    std::uint64_t undoCount() const;
    // Another connection (another process sharing the file) may have
    // committed since the last look: counted as an undo as well, so that
    // what callers remember is read again. The first look sets the mark.
    void noticeOtherConnections();

    // The schema version kept in the file (PRAGMA user_version).
    std::optional<std::int64_t> userVersion(APMErrorOut error);
    // SQLite's own count of the changes to the file's schema (PRAGMA
    // schema_version): every change to a table, column, index, view or
    // trigger moves it.
    std::optional<std::int64_t> schemaVersion(APMErrorOut error);
    bool setUserVersion(std::int64_t version, APMErrorOut error);

    // The file's schema at one moment: SQLite's count of its changes
    // (schema_version) and an MD5 digest of the bytes of every object its
    // schema table holds (type, name, table, root page and declaration, in
    // row order). SQLite moves the count with every change it makes to the
    // schema; bytes written over the file change the digest and not the
    // count.
    struct SchemaState {
        std::int64_t version = 0;
        platform::Data digest;
    };
    std::optional<SchemaState> schemaState(APMErrorOut error);

    // For damage the owner finds that SQLite's own checks do not: the open
    // file is treated as damage found at open (see makeWithDatabasePath),
    // its rows carried into a new file made from the declarations. True
    // when a file is open afterwards: the new one, or the damaged one kept
    // while other processes have it open (damageKept() then says why).
    bool replaceAsDamaged(const std::string& problem, APMErrorOut error);

    // For a file that opens but can never be used (another program's
    // layout, a declaration that refuses the writes): once no other process
    // has it open (waited for up to APMFileLock::waitLimit()), its rows are
    // carried into a new file made from the declarations, which takes its
    // place as for damage (replaceAsDamaged), and it is set aside, logged
    // with 34025 and the reason. When the path no longer names the file the
    // connection opened (another process set it aside and made a new one),
    // that one is opened and nothing is carried. False (logged with 34026;
    // the store stays closed, code 2) when the rows cannot be carried, the
    // file cannot be renamed, another process kept it open past the wait,
    // or the new one cannot be opened.
    bool setAsideAndReopen(const std::string& reason, APMErrorOut error);

    // Offers the visitor each row of the table as the cell that holds it
    // gives it, read from the file's pages past SQLite (the file's bytes and
    // the frames of its log that SQLite's checksums of them accept, never
    // through the log's index, whatever a look-up by SQLite would give): in
    // the order the table's tree holds them, row-ID order where damage left
    // it so, each row ID once, with its row ID under "rowid" (a table
    // without row IDs, read through SQLite, gives none), and its values
    // under the columns declared for it (see TableReader: by name, else by
    // place), when they are values the owner could have written (see
    // APMDeclaredTables). The work is linear in the table's pages and cells:
    // each page is read at most once. The stretches skipped are answered:
    // each page, cell or record that did not read, each row that is no row
    // the owner could have written, and each cell under a row ID given
    // before, between the rows given next to it, with what was wrong, and
    // a header that counts more pages than the file holds, said of the
    // schema's table (the pages held are read); none for an intact table.
    // None, with the error, when the file holds no
    // such table (and its schema read whole), or the table cannot be read
    // for a reason other than damage (I/O, memory). Marks nothing: a reader
    // that meets damage reports it itself.
    std::optional<std::vector<APMUnreadableStretch>> readableRowsOfTable(
        const std::string& table, const std::function<void(APMRow row)>& visit, APMErrorOut error);

    // Why the open file takes no write: it is known damaged and could not be
    // replaced yet (see makeWithDatabasePath); none otherwise.
    std::optional<std::string> damageKept() const;

    // For rows the owner knows the file holds that SQLite's look-ups by row
    // ID did not find (a delete of rows read moments before that changed
    // fewer): damage can lead a look-up astray while the row's cell still
    // reads. The whole file is checked, as after a mark, and damage found is
    // noted as met in use (34024, the mark), so that the next write carries
    // the file with every row that reads. True when it found damage.
    bool checkRowsNotFound(const std::string& what);

    // The tables of at most kAPMSqliteStoreWholeCheckRows rows that SQLite's
    // check of the table (quick_check) finds damaged, each as a stretch of
    // the whole table with what the check said: damage that reading the rows
    // may not show, a row read with another's bytes or not found at all.
    // Read only; a table that cannot be checked for another reason is left
    // out, and so is a table `listed` already names. A schema that does not
    // read is damage to the whole file, said of its table "sqlite_master".
    std::vector<APMUnreadableStretch> damageInSmallTables(const std::vector<APMUnreadableStretch>& listed = {});

    // What the carry that made the open file could not take from the damaged
    // one: the stretches of rows that did not read, and the tables whose
    // check found damage (damageInSmallTables). Answered once, for the owner
    // to note what it lost; none when this store did not carry the file it
    // has open.
    std::optional<std::vector<APMUnreadableStretch>> takeCarriedLoss();

    // Runs the statements in a transaction that is always rolled back, and
    // tells whether the file refuses them: the reason when one fails on a
    // constraint, or stores no row; none when all of them ran.
    // A failure of another kind (a file held by another connection past the
    // limit, a full disk, an I/O error) says nothing about the file: none,
    // with the error filled.
    std::optional<std::string> refusalOfWrites(const std::vector<std::string>& statements, APMErrorOut error);

    // Whether the select answers a first row whose first column is a
    // non-zero integer. Run apart from the kept statements and logging
    // nothing: a select that cannot even be prepared (a table the file does
    // not hold) answers false like any other failure. For asking a file
    // about what it may not hold at all.
    bool answersTrue(const std::string& query, const APMBindings& parameterValues);
    // The same select's first row's first column when it is an integer;
    // none otherwise, and on any failure.
    std::optional<std::int64_t> integerAnswer(const std::string& query, const APMBindings& parameterValues);

    // Closes the connection and deletes the file with its journals, when
    // no other process has it open; one that does keeps it (logged with
    // 34019). When the path no longer names the file the connection opened,
    // the file there is another's and stays. True when the file is gone or
    // was absent; afterwards every operation fails with code 2. A file kept
    // fills the error: why it could not be deleted (another process has it
    // open, its lock file cannot be locked, the file system refused).
    bool closeAndDeleteDatabase(APMErrorOut error = nullptr);
    // The same for the file at the path, without a store of one's own.
    static bool deleteDatabaseAtPath(const std::string& path, APMErrorOut error = nullptr);

    // Before each transaction and each statement outside one, and again
    // before a commit, the store looks whether the path still names the
    // file its connection opened. When another program has deleted or
    // replaced it, whatever is written would be lost with that file: the
    // store opens the file at the path (logged with 34028) as
    // makeWithDatabasePath does, then calls this to make it ready, before
    // the transaction begins; a commit that finds the file replaced is
    // rolled back and fails instead. Rows committed before the replacement
    // stay with the old file.
    void setReopenHandler(std::function<bool()> prepare);

    // Before each write transaction (a transaction, a write group), the
    // store looks whether the file's schema version moved since this
    // connection opened the file or last had it examined: another program
    // changed its layout (made a table again, added or renamed a column)
    // while it was open. Then, before anything is written, it calls this
    // for the owner to examine the file as it does at open (and set it
    // aside, its rows carried into a new file, when the engine cannot use
    // it), and the transaction begins in the file open afterwards. A change
    // the owner makes itself is examined once as well, finding nothing.
    void setLayoutHandler(std::function<bool()> examine);

    // The write-ahead log stays when the connection closes, and the close
    // makes this connection's commits durable with one sync of the log: a
    // checkpoint at every close waits for the disk twice, and the next
    // connection's first commit, starting the log afresh, once or twice
    // more. Once this connection's commits have grown the log past
    // kAPMSqliteStoreKeptLogPages, its close copies the log into the file
    // and empties it instead (unless another connection is using the file
    // just then): every open reads the whole log, and a connection that
    // commits once would otherwise never start the log afresh, so that
    // each later one would read it all and copy it again. For a file that
    // many short-lived processes write in turn. Damage to the file is then
    // found with the log's pages read over it.
    void keepWriteAheadLogOnClose();

    // A table or column name quoted for SQL text.
    static std::string quoteIdentifier(const std::string& name);

private:
    explicit APMSqliteStore(std::string path);
    // What becomes of a file that is to be deleted or set aside.
    enum class FileOutcome { done, replacedMeanwhile, inUse, failed };
    // Takes the shared lock of the path (see kAPMSqliteStoreLockSuffix),
    // waiting for an exclusive holder up to APMFileLock::waitLimit(); false
    // (code 4, logged with 34001) when the wait ran out.
    bool holdPath(bool create, APMErrorOut error);
    // Takes it again after whileAlone() gave it up; false, with the reason
    // kept for pathHeld(), when the wait ran out.
    bool takePathShared();
    // Whether the shared lock is held (or cannot be, for want of a lock
    // file); false fills the error (code 4, logged with 34001).
    bool pathHeld(APMErrorOut error);
    bool openChecked(APMErrorOut error);
    // Carries the damaged open file into a new one and puts that one at the
    // path, waiting for the other processes that have it open (when `wait`)
    // up to APMFileLock::waitLimit(). True when a file is open afterwards:
    // the new one, or the damaged one kept (damage_ then says what, and the
    // mark beside it tells the others).
    // `unusable`: a file that is not damaged but cannot be used (see
    // setAsideAndReopen): said so, not marked, and closed when it cannot be
    // replaced.
    bool replaceDamaged(const std::string& problem, bool wait, APMErrorOut error, bool unusable = false);
    // Before a write: the file at the path opened when another program
    // replaced it (reopenIfReplaced), and one known damaged replaced first.
    // False (code 5) while it cannot be.
    bool readyForWrite(APMErrorOut error);
    // Why the open file must take no write: damage this store found, or the
    // mark another process left beside it; none otherwise.
    std::optional<std::string> knownDamage() const;
    // Notes the open file as damaged, and marks it for the other processes.
    void keepDamaged(const std::string& problem);
    // What a carry into a new file took from the damaged one.
    struct Carried {
        std::int64_t rows = 0;
        // Rows that read but that the new file refused (its constraints,
        // SQLite's limits), and the first of those SQLite named.
        std::int64_t refused = 0;
        std::string firstRefusal;
        std::vector<APMUnreadableStretch> skipped;
        // Tables whose declaration did not parse or damage shifted, read
        // with the owner's in its place: SQLite's check of them finds what
        // the declaration says, not the rows.
        std::vector<std::string> readFromPages;
    };
    // Makes the file at the target anew with the declared tables that the
    // open file holds, and their declared indexes, and every row of them
    // that readableRowsOfTable offers, in one transaction; false (the target
    // removed, *why filled) when it could not be written, an index could not
    // be made, or a table could not be read for a reason other than damage.
    bool carryReadableRows(const std::string& target, Carried* carried, std::string* why);
    bool open(APMErrorOut error);
    // The URI parameters: "mode=ro" and how the log's index is used.
    bool openReadOnly(const char* parameters, APMErrorOut error);
    bool openConnection(const std::string& target, int flags, APMErrorOut error);
    void close();
    void setAsideWhatIsNoFile();
    // Sets aside what lies beside the file where no regular file should
    // (see beside_names.h), logged with 34047, or 34048 when it stays; the
    // names found so.
    std::vector<APMOddName> setAsideOddNamesBeside();
    // Sets aside what lies at the lock file's name where no regular file
    // does, as those names are (34047, or 34048 when it stays), before the
    // lock is taken: no process could ever hold such a lock, and the file
    // would take no set-aside or carry.
    void setAsideOddLock();
    // Runs the action once this process is the only one that has the path
    // open, waiting for the others up to that many seconds (0: not at all);
    // while `unchanged` answers false, the path no longer names the file
    // examined, and nothing is done. When the action cannot run
    // (inUse), *whyNot says why: another process has the file open (and
    // which), or the lock file cannot be locked (and why).
    FileOutcome whileAlone(double waitSeconds, const std::function<bool()>& unchanged,
                           const std::function<bool()>& action, std::string* whyNot = nullptr);
    // Whether the path no longer names the file the connection opened (or
    // names nothing); none when SQLite cannot tell. Only a file known to be
    // the one examined is deleted or set aside.
    std::optional<bool> fileMoved();
    bool reopenIfReplaced(APMErrorOut error);
    // The file's schema version, read without a word on failure.
    std::optional<std::int64_t> schemaVersionQuietly();
    // Whether the version moved since it was noted (see setLayoutHandler).
    bool layoutMoved();
    // Calls the layout handler outside any transaction; the version the
    // file has afterwards is noted when it succeeded.
    void examineLayout();
    static int waitWhileBusy(void* context, int attempt);
    // One pause of the busy handler's wait for another connection, said as
    // it goes (34020, 34042, 34021); false once it has lasted
    // kAPMSqliteStoreBusyTimeoutSeconds.
    bool pauseWhileBusy(int attempt);
    // One pause of a wait that began at attempt 0, saying nothing; false
    // once it has lasted `limitSeconds`. *waited: how long it has lasted.
    bool pauseWithin(int attempt, double limitSeconds, double* waited);
    static int noteLogSize(void* context, sqlite3* db, const char* name, int pages);
    // Copies the log into the file and empties it, waiting for no other
    // connection; false when it could not.
    bool checkpointAndEmptyLog();
    std::optional<std::int64_t> pragmaInteger(const std::string& pragma, APMErrorOut error);
    bool useWriteAheadLog();
    // Makes what this connection committed to the write-ahead log durable.
    void syncWriteAheadLog();
    bool checkIntegrity(bool wholeFile, std::string* problem);
    // The whole file checked because of the mark of damage beside it,
    // which goes when the file is whole, unless it was written again after
    // the check began (then the file is checked again).
    bool checkMarkedFile(std::string* problem);
    bool checkWholeFile(std::string* problem);
    bool checkEndPages(std::string* problem);
    // Whether the file's header lets SQLite read it but not write it;
    // *problem then says so.
    bool refusesWrites(std::string* problem);
    void noteDamage(int code);
    // Damage met in use, in words (see noteDamage).
    void noteDamageFound(const std::string& error);
    bool requireOpen(APMErrorOut error) const;
    APMStatementLease prepare(const std::string& statement, APMErrorOut error);
    bool beginTransaction(APMErrorOut error);
    // BEGIN EXCLUSIVE, waiting while another connection holds the file.
    bool beginExclusive(APMErrorOut error);
    // Whether every table the statement writes was checked in the file open
    // now before its first write (see performTransactionWithError), or
    // needs no check (read only, in memory).
    bool appendPagesChecked(const std::string& statement);
    // Before a statement that writes, inside its transaction: false (code 5
    // for damage, noted; else code 3) when a table it writes did not pass.
    bool checkBeforeWrite(const std::string& statement, APMErrorOut error);
    AppendPages checkAppendPages(const std::string& statement, std::string* why);
    AppendPages tablesToCheck(const std::string& statement, const sqlite_btree::FileImage& image,
                              std::vector<APMAppendTable>* tables, std::string* why);
    // Runs the block in a transaction; one that met damage before a table's
    // first write runs again, once, in the file that replaced the damaged
    // one.
    bool runTransaction(APMErrorOut error, const std::function<bool()>& block);
    bool runTransactionOnce(APMErrorOut error, const std::function<bool()>& block);
    // Commits an open write group before a write that is not part of it
    // (inside a transaction that joined the group: when that one ends, and
    // for a statement that only changes rows, only when it changed some).
    void closeWriteGroupForOtherWork(bool changesRowsOnly = false);
    bool runJoinedTransaction(APMErrorOut error, const std::function<bool()>& block);
    // A block inside the open group (see runInGroup in the group's file).
    bool runInGroup(APMErrorOut error, const std::function<bool()>& block);
    bool restartGroup(APMErrorOut error);
    // After work inside the group: false when SQLite ended the whole
    // transaction on its own, which ends the group.
    bool groupSurvived();
    void endWriteGroup(bool committed);
    bool bind(sqlite3_stmt* statement, const APMBindings& values, APMErrorOut error);
    // The column of the current row as a value (NULL as a null value).
    static platform::Value columnValue(sqlite3_stmt* statement, int column);
    // With `readBack`, the rows the statement writes are read back by their
    // row IDs before the transaction that holds them commits; one outside a
    // transaction that writes rows runs in one of its own.
    std::optional<std::int64_t> run(const std::string& statement, const APMBindings& values, APMErrorOut error,
                                    bool readBack = false);
    // Looks up every row the open transaction wrote by its row ID, and
    // forgets them: none when each reads back with its own values; else why
    // the transaction must not commit (damage, noted as met in use, when a
    // row reads with other values or not at all).
    std::optional<std::string> rowsNotReadBack();
    std::optional<std::string> tableRowsNotReadBack(const APMWrittenRow* rows, std::size_t count);
    std::optional<std::vector<std::string>> readBackColumns(const std::string& table);
    bool runPlain(const std::string& statement, APMErrorOut error);
    bool rebuildTable(const std::string& table, const APMColumnInfo& columns, APMErrorOut error);
    void fail(APMErrorOut error, long code, const std::string& description, long monitorCode,
              const std::string& context) const;

    static constexpr const char* kReplacedReason = "another program replaced or deleted the file";

    std::string path_;
    // See APMDeclaredSchema.
    APMDeclaredSchema declared_;
    sqlite3* db_ = nullptr;
    // Shared while the store uses the path; see kAPMSqliteStoreLockSuffix.
    std::unique_ptr<APMFileLock> pathLock_;
    // Why the shared lock could not be taken again after whileAlone().
    std::string pathHoldFailure_;
    std::function<bool()> reopenHandler_;
    bool reopening_ = false;
    // See setLayoutHandler: the handler, whether it runs now, and the schema
    // version noted when the file was opened or last examined.
    std::function<bool()> layoutHandler_;
    bool examiningLayout_ = false;
    std::optional<std::int64_t> layoutVersion_;
    int savepointDepth_ = 0;
    APMStatementCache statements_;
    bool groupOpen_ = false;
    int groupedBlocks_ = 0;
    // Other transactions running inside the open group, and whether one of
    // them wrote (so that the group commits when it ends).
    int joinedBlocks_ = 0;
    bool joinedWrote_ = false;
    // The blocks the open group kept, grouped or joined.
    int groupKept_ = 0;
    std::function<void(bool committed)> groupClosed_;
    // The rows the open transaction wrote, read back before it commits.
    std::unique_ptr<APMWrittenRows> written_;
    bool damageNoted_ = false;
    // Whether the mark beside the open file tells the others of its damage
    // (written by this connection, or found there), and whether a failure
    // to write it was said.
    bool damageMarked_ = false;
    bool damageMarkFailureSaid_ = false;
    // What is damaged in the open file, which then takes no write (see
    // knownDamage()); why the last try could not replace it; whether a wait
    // for the others to let it be replaced already ran out (later tries of
    // this connection do not wait again); and whether its being kept and a
    // write refused were said (once a connection: every write tries again).
    std::optional<std::string> damage_;
    std::string damageKeptBecause_;
    bool damageWaitRanOut_ = false;
    bool damageKeptSaid_ = false;
    bool damageRefusalSaid_ = false;
    // See takeCarriedLoss().
    std::optional<std::vector<APMUnreadableStretch>> carriedLoss_;
    // Why SQLite could not load the open file's schema whole, when a store
    // that only reads takes what of it parses (see
    // makeReadOnlyWithDatabasePath).
    std::optional<std::string> schemaDamage_;
    // Whether the write-ahead log outlives the connection; the pages in it
    // after this connection's last commit that added some, and whether
    // pages were added since the log was last made durable.
    bool keepLog_ = false;
    int logPages_ = 0;
    bool logUnsynced_ = false;
    // Read without the store's lock: callers keep locks of their own.
    std::atomic<std::uint64_t> undoCount_{0};
    std::optional<std::int64_t> seenDataVersion_;
    // When the current wait for another connection began, on both clocks.
    std::chrono::steady_clock::time_point busySince_;
    double busySinceUptime_ = 0;
    bool busyWaitSaid_ = false;
    mutable std::recursive_mutex mutex_;
    std::atomic<std::uint64_t> fileGeneration_{0};
    // What the check before each table's first write keeps (see
    // appendPageChecks()): the tables each statement writes, those checked
    // in the file open now, its log's frames read and its schema; whether
    // damage was met before a write in the transaction under way.
    std::unique_ptr<APMAppendChecks> appendChecks_;
    bool appendDamageMet_ = false;
    // Counts the transactions begun on the store's connections.
    std::uint64_t transactionsBegun_ = 0;
    std::atomic<std::uint64_t> appendPageChecks_{0};
};

}  // namespace measurement
