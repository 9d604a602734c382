#pragma once

// The rows a connection's open transaction wrote, each with the values it
// must read back with before the commit. Not part of the public surface.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_value;

namespace measurement {

// Notes every row the connection's statements insert or update while noting
// is on (SQLite's pre-update hook), by table and row ID, with the values the
// row was given; a row deleted since is no longer to be read back. Rows of a
// savepoint are kept apart until it ends, and those of a statement until it
// has run to its end: a savepoint rolled back, or a statement that failed,
// undid them. Refuses every commit while rows are noted (the commit hook):
// the owner reads them back first (rowsToReadBack) and forgets them.
class APMWrittenRows {
public:
    // Row ID to the row's values (see appendValue); none once deleted.
    using Rows = std::unordered_map<std::int64_t, std::optional<std::string>>;
    using Tables = std::unordered_map<std::string, Rows>;

    // One value as text that compares equal only to the same value: its
    // type, then its bytes. A real with no fraction counts as the integer:
    // SQLite keeps such a value of a REAL column as one, and reads it back
    // as a real.
    static void appendValue(std::string* into, sqlite3_value* value);

    // Starts watching the connection's writes and commits.
    void watch(sqlite3* db);
    void setNoting(bool noting) { noting_ = noting; }

    void transactionBegan();
    void savepointBegan();
    void savepointEnded(bool kept);
    // The statement under way ran to its end (its rows join the innermost
    // layer) or failed (they are forgotten).
    void statementEnded(bool ran);
    // Committed, rolled back, or read back: nothing is left to read.
    void forget();

    // Every row written and not deleted since, by table.
    Tables rowsToReadBack() const;

private:
    static void noteRow(void* context, sqlite3* db, int operation, const char* database, const char* table,
                        long long oldRowID, long long newRowID);  // SQLite's own 64-bit integers
    static int refuseCommit(void* context);
    static void mergeInto(Tables* below, const Tables& above);
    bool holdsRows() const;

    std::vector<Tables> layers_;
    Tables statement_;
    bool noting_ = false;
};

}  // namespace measurement
