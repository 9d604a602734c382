#pragma once

// The rows a connection's open transaction wrote, each with a digest of the
// values it must read back with before the commit. Not part of the public
// surface.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_value;

namespace measurement {

// A digest of a row's values, column by column: equal for the same values
// only (but with the chance of a 64-bit collision). A real with no fraction
// counts as the integer: SQLite keeps such a value of a REAL column as one,
// and reads it back as a real.
class APMValuesDigest {
public:
    void add(sqlite3_value* value);
    std::uint64_t value() const { return digest_; }

private:
    void mix(std::uint64_t part);
    std::uint64_t digest_ = 0;
};

// The SQL function the read-back statements call, which the watched
// connection is given.
inline constexpr const char* kAPMReadsAsWrittenFunction = "apm_reads_as_written";

// The count of columns of a row whose written values SQLite could not give
// (out of memory): no read can show it as written.
inline constexpr int kAPMWrittenRowUntold = -1;

// A row to read back: its table, row ID, how many columns it was written
// with (or kAPMWrittenRowUntold), and their digest.
struct APMWrittenRow {
    std::string table;
    std::int64_t rowID = 0;
    int columns = 0;
    std::uint64_t values = 0;
};

// Notes every row the connection's statements insert or update while noting
// is on (SQLite's pre-update hook), by table and row ID, with the digest of
// the values it was given; a row deleted since is no longer to be read back.
// What a savepoint or a statement wrote is forgotten when it is undone (a
// savepoint rolled back, a statement that failed). Refuses every commit
// while rows are noted (the commit hook): the owner reads them back first
// and forgets them.
class APMWrittenRows {
public:
    using Row = APMWrittenRow;

    // Starts watching the connection's writes and commits, and gives it the
    // function its read-back statements call; false when SQLite refused it
    // (the connection must not be written through then).
    bool watch(sqlite3* db);
    void setNoting(bool noting) { noting_ = noting; }

    void transactionBegan();
    void savepointBegan();
    void savepointEnded(bool kept);
    void statementBegan();
    // The statement under way ran to its end, or failed: its rows are
    // forgotten then.
    void statementEnded(bool ran);
    // Committed, rolled back, or read back: nothing is left to read.
    void forget();

    // Every row written and not deleted since, as it was last written, by
    // table; forgets them.
    std::vector<Row> takeRowsToReadBack();

private:
    struct Written {
        std::uint32_t table;
        bool deleted;
        int columns;
        std::int64_t rowID;
        std::uint64_t values;
    };
    static void noteRow(void* context, sqlite3* db, int operation, const char* database, const char* table,
                        long long oldRowID, long long newRowID);  // SQLite's own 64-bit integers
    static int refuseCommit(void* context);
    std::uint32_t tableIndex(const char* table);
    // The last of what was written to each row, deleted rows left out.
    std::vector<Written> lastWritten() const;

    // In the order written; each savepoint and the statement under way
    // remember where theirs begin.
    std::vector<Written> written_;
    std::vector<std::size_t> marks_;
    std::size_t statementMark_ = 0;
    std::vector<std::string> tables_;
    // The pointers SQLite has named each table by, with its place in tables_.
    std::vector<std::pair<const char*, std::uint32_t>> tableNames_;
    bool noting_ = false;
};

}  // namespace measurement
