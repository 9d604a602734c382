// Reading the rows of a table of a damaged file that still read, in time linear in the file's cells.
#include "measurement/store/sqlite_table_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "measurement/store/declared_types.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_page_rows.h"
#include "measurement/store/sqlite_file/leaf_row_ids.h"
#include "measurement/store/sqlite_written_rows.h"

namespace measurement {

namespace {

using sqlite_damage::isDamage;

constexpr const char* kTooManyRows = "the table's tree leads to more rows than the file's pages can hold";
constexpr const char* kUnreadKeys = "the table's tree gives row IDs out of order or that do not read by themselves";
constexpr const char* kUnparsedTable = "the table's declaration does not parse: ";
constexpr const char* kShiftedColumns = "the table's declaration, whose columns damage shifted, names no root";
constexpr const char* kOutOfStep = "the table's tree gave its cells otherwise when read again";
// The function by which the second in-order read picks the cells it
// examines; the connection's own statements alone may call it.
constexpr const char* kPickFunction = "apm_cell_picked";

// A statement prepared apart from the store's kept ones: these run on files
// that are being given up. Its steps are counted as it is finalised.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql, std::uint64_t* steps) : steps_(steps) {
        code_ = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr);
    }
    ~Statement() {
        harvestSteps();
        sqlite3_finalize(statement_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool prepared() const { return code_ == SQLITE_OK && statement_; }
    int code() const { return code_; }
    sqlite3_stmt* get() const { return statement_; }
    void harvestSteps() {
        if (statement_ && steps_) {
            *steps_ += static_cast<std::uint64_t>(sqlite3_stmt_status(statement_, SQLITE_STMTSTATUS_VM_STEP, 1));
        }
    }

private:
    sqlite3_stmt* statement_ = nullptr;
    std::uint64_t* steps_;
    int code_ = SQLITE_OK;
};

// One transaction over a table's read, unless the caller has one open: the
// in-order reads and the look-ups see the same rows, and the file's locks
// are taken once rather than at each look-up. Committed, so that whatever
// the row handler wrote on the connection stays as it would have without.
class ReadTransaction {
public:
    explicit ReadTransaction(sqlite3* db) : db_(sqlite3_get_autocommit(db) ? db : nullptr) {
        if (db_ && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) db_ = nullptr;
    }
    ~ReadTransaction() {
        // SQLite may have ended it on a failure of the file.
        if (!db_ || sqlite3_get_autocommit(db_)) return;
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    sqlite3* db_;
};

// What the in-order read of a table's keys gave: the keys as its tree gives
// them, whether they came out of order, and where and why it stopped short.
struct Scan {
    std::vector<std::int64_t> rowIDs;
    bool disordered = false;
    bool stopped = false;
    std::string error;
};

// A row ID whose look-up failed on damage, with SQLite's error.
struct FailedLookUp {
    std::int64_t rowID;
    std::string error;
};

// The columns after the row ID of the row a statement is on.
std::uint64_t valuesOf(sqlite3_stmt* statement) {
    APMValuesDigest values;
    for (int column = 1; column < sqlite3_column_count(statement); ++column) {
        values.add(sqlite3_column_value(statement, column));
    }
    return values.value();
}

// The places of the in-order read's keys whose cells the second in-order
// read gives in full, answered to SQLite one key after the other as that
// read reaches them (it gives its cells in the same order as the first, in
// one transaction); for each, the place of the highest key before it, from
// which a read may start again. A read that goes past the keys of the first
// ends, as one that gives another key than the first did.
struct Picks {
    const std::vector<std::int64_t>* keys = nullptr;
    std::vector<bool> picked;
    std::vector<std::size_t> anchors;
    std::size_t next = 0;
    bool ended = false;
    bool outOfStep = false;

    static void answer(sqlite3_context* context, int, sqlite3_value** arguments) {
        auto* picks = static_cast<Picks*>(sqlite3_user_data(context));
        const std::size_t at = picks->next++;
        picks->ended = at >= picks->keys->size();
        picks->outOfStep = !picks->ended && sqlite3_value_int64(arguments[0]) != (*picks->keys)[at];
        if (picks->ended || picks->outOfStep) {
            sqlite3_result_error(context, kOutOfStep, -1);
            return;
        }
        sqlite3_result_int(context, picks->picked[at] ? 1 : 0);
    }
};

}  // namespace

// Through the connection's handles: other processes may be writing the
// file meanwhile, and one that found this process's locks gone would take
// it for absent.
void LeafCells::readOnce() {
    if (read_) return;
    read_ = true;
    const APMConnectionFileBytes file(db_, APMConnectionFileBytes::Which::file);
    const APMConnectionFileBytes log(db_, APMConnectionFileBytes::Which::log);
    rowIDs_ = sqlite_pages::tableLeafRowIDs(file, log, &count_);
}

const std::vector<std::int64_t>& LeafCells::rowIDs() {
    readOnce();
    return rowIDs_;
}

std::uint64_t LeafCells::count() {
    readOnce();
    return count_;
}

struct TableReader::Work {
    Work(sqlite3* db, const std::string& table, LeafCells* leaves, const APMDeclaredTables& declared,
         std::optional<std::string> schemaDamage, bool fromPages, std::uint64_t* steps)
        : db(db),
          table(table),
          leaves(leaves),
          schemaDamage(std::move(schemaDamage)),
          fromPages(fromPages),
          steps(steps),
          scan(db, "SELECT rowid FROM " + APMSqliteStore::quoteIdentifier(table) + " NOT INDEXED ORDER BY rowid",
               steps),
          lookup(db, "SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(table) + " NOT INDEXED WHERE rowid = ?1",
                 steps) {
        declaredColumns = declared_types::declaredColumnsOf(declared, table);
        if (declaredColumns && lookup.prepared()) checkColumns(*declaredColumns);
    }

    bool read(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
              std::string* error);
    bool unprepared(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
                    std::string* error);
    bool pages(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
               std::string* error, const std::string& unread);
    bool scanRowIDs(Scan* scan, std::string* error);
    bool lookUp(std::int64_t rowID, const std::function<bool(sqlite3_stmt*)>& row, std::vector<FailedLookUp>* failed,
                std::string* error);
    void checkColumns(const APMColumnInfo& declared);
    std::optional<std::string> refusal(std::int64_t rowID) const;
    void stretches(const Scan& scan, const std::vector<FailedLookUp>& failed,
                   std::vector<APMUnreadableStretch>* skipped) const;
    bool holdsNoRow(std::size_t gap) const;
    bool reads(std::int64_t rowID) const { return std::binary_search(readIDs.begin(), readIDs.end(), rowID); }
    bool continues(const std::vector<std::int64_t>& keys, std::size_t at, std::optional<std::int64_t> lastGood) const;
    void otherCells(const Scan& scan, std::vector<APMUnreadableStretch>* skipped);
    std::optional<std::size_t> examine(sqlite3_stmt* cells, std::size_t from, Picks* picks,
                                       std::set<std::int64_t>* others);
    Picks picksOf(const std::vector<std::int64_t>& keys) const;
    bool anotherRow(sqlite3_stmt* cell);
    std::size_t gapAfter(std::optional<std::int64_t> rowID) const;
    std::size_t gapBefore(std::int64_t rowID) const;
    APMUnreadableStretch stretchAround(std::size_t after, std::size_t before, std::string error) const;

    sqlite3* db;
    std::string table;
    LeafCells* leaves;
    std::optional<std::string> schemaDamage;
    bool fromPages;
    std::uint64_t* steps;
    // The owner's declaration of the table; none for a table it does not
    // declare.
    const APMColumnInfo* declaredColumns = nullptr;
    Statement scan;
    Statement lookup;
    // The look-up's columns whose values are checked, by their place in it.
    std::vector<std::pair<int, declared_types::DeclaredColumn>> checked;
    // The row IDs read, ascending.
    std::vector<std::int64_t> readIDs;
};

TableReader::TableReader(sqlite3* db, const std::string& table, LeafCells* leaves, const APMDeclaredTables& declared,
                         std::optional<std::string> schemaDamage, bool fromPages)
    : work_(std::make_unique<Work>(db, table, leaves, declared, std::move(schemaDamage), fromPages, &steps_)) {}

TableReader::~TableReader() = default;

bool TableReader::read(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
                       std::string* error) {
    const bool done = work_->read(row, skipped, error);
    work_->scan.harvestSteps();
    work_->lookup.harvestSteps();
    return done;
}

bool TableReader::Work::read(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
                             std::string* error) {
    if (fromPages) return pages(row, skipped, error, kShiftedColumns);
    if (!scan.prepared() || !lookup.prepared()) return unprepared(row, skipped, error);
    const ReadTransaction transaction(db);
    Scan keys;
    if (!scanRowIDs(&keys, error)) return false;
    std::vector<std::int64_t> rowIDs = keys.rowIDs;
    if (keys.stopped || keys.disordered) {
        rowIDs.insert(rowIDs.end(), leaves->rowIDs().begin(), leaves->rowIDs().end());
    }
    std::sort(rowIDs.begin(), rowIDs.end());
    rowIDs.erase(std::unique(rowIDs.begin(), rowIDs.end()), rowIDs.end());
    std::vector<FailedLookUp> failed;
    for (const std::int64_t rowID : rowIDs) {
        if (!lookUp(rowID, row, &failed, error)) return false;
    }
    stretches(keys, failed, skipped);
    if (keys.disordered) otherCells(keys, skipped);
    return true;
}

// A schema that does not read is damage too: nothing of the table reads.
// A table missing from a schema that SQLite loaded only in part is one
// whose declaration does not parse: read from its pages, with the owner's
// declaration, from the root the schema gives it.
bool TableReader::Work::unprepared(const std::function<bool(sqlite3_stmt*)>& row,
                                   std::vector<APMUnreadableStretch>* skipped, std::string* error) {
    if (isDamage(db, scan.code()) || isDamage(db, lookup.code())) {
        skipped->push_back({table, std::nullopt, std::nullopt, sqlite3_errmsg(db)});
        return true;
    }
    if (!schemaDamage) {
        *error = sqlite3_errmsg(db);
        return false;
    }
    return pages(row, skipped, error, kUnparsedTable + *schemaDamage);
}

// From the root the schema gives the table; `unread` says why there is
// none, or no declaration to read the rows with.
bool TableReader::Work::pages(const std::function<bool(sqlite3_stmt*)>& row,
                              std::vector<APMUnreadableStretch>* skipped, std::string* error,
                              const std::string& unread) {
    const auto root = sqlite_page_rows::rootOf(db, table);
    if (!declaredColumns || !root) {
        skipped->push_back({table, std::nullopt, std::nullopt, unread});
        return true;
    }
    return sqlite_page_rows::readRows(db, *root, table, *declaredColumns, row, skipped, error, steps);
}

// The keys in the order the table's tree gives them, up to its first
// error. A read that gives no key out of order visits no leaf twice, so it
// gives at most as many keys as the file's leaves hold; once one comes out
// of order, the read is held to that many (a tree that damage turned into a
// circle ends). False for a failure that is not damage.
bool TableReader::Work::scanRowIDs(Scan* keys, std::string* error) {
    std::optional<std::uint64_t> bound;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(scan.get())) == SQLITE_ROW) {
        const std::int64_t rowID = sqlite3_column_int64(scan.get(), 0);
        if (!keys->disordered && !keys->rowIDs.empty() && rowID <= keys->rowIDs.back()) {
            keys->disordered = true;
            bound = leaves->count();
        }
        keys->stopped = bound && keys->rowIDs.size() >= *bound;
        if (keys->stopped) break;
        keys->rowIDs.push_back(rowID);
    }
    keys->error = keys->stopped ? kTooManyRows : sqlite3_errmsg(db);
    const bool damage = isDamage(db, rc);
    sqlite3_reset(scan.get());
    if (rc == SQLITE_DONE || keys->stopped) return true;
    if (!damage) {
        *error = keys->error;
        return false;
    }
    keys->stopped = true;
    return true;
}

// Offers the row to the handler when its row ID reads by itself; notes
// the damage a failed look-up met. False for a failure that is not
// damage, or when the handler ended the read.
bool TableReader::Work::lookUp(std::int64_t rowID, const std::function<bool(sqlite3_stmt*)>& row,
                               std::vector<FailedLookUp>* failed, std::string* error) {
    sqlite3_reset(lookup.get());
    sqlite3_bind_int64(lookup.get(), 1, rowID);
    const int rc = sqlite3_step(lookup.get());
    if (rc == SQLITE_ROW) {
        if (auto wrong = refusal(rowID)) {
            failed->push_back({rowID, "row " + std::to_string(rowID) + ": " + *wrong});
            sqlite3_reset(lookup.get());
            return true;
        }
        readIDs.push_back(rowID);
        const bool goOn = row(lookup.get());
        sqlite3_reset(lookup.get());
        return goOn;
    }
    const std::string why = sqlite3_errmsg(db);
    const bool damage = isDamage(db, rc);
    sqlite3_reset(lookup.get());
    if (rc == SQLITE_DONE) return true;  // no such row: a row ID of another table, or garbage
    if (!damage) {
        *error = why;
        return false;
    }
    failed->push_back({rowID, why});
    return true;
}

// The look-up's columns that the owner declares, each with its rule.
void TableReader::Work::checkColumns(const APMColumnInfo& declared) {
    const auto rules = declared_types::declaredColumns(declared);
    for (int column = 1; column < sqlite3_column_count(lookup.get()); ++column) {
        const char* name = sqlite3_column_name(lookup.get(), column);
        const auto found = std::find_if(rules.begin(), rules.end(), [&](const auto& rule) {
            return name && sqlite3_stricmp(rule.name.c_str(), name) == 0;
        });
        if (found != rules.end()) checked.push_back({column, *found});
    }
}

// What keeps the row the look-up of that row ID is on from being one the
// owner could have written there: a cell that the look-up finds by that key
// but that SQLite reads as another row's (damage to its size), a value of
// another type than declared. None when it could have been.
std::optional<std::string> TableReader::Work::refusal(std::int64_t rowID) const {
    const std::int64_t answered = sqlite3_column_int64(lookup.get(), 0);
    if (answered != rowID) return "its look-up answers row " + std::to_string(answered);
    for (const auto& [column, declared] : checked) {
        const int type = sqlite3_column_type(lookup.get(), column);
        std::string_view text;
        if (type == SQLITE_TEXT) {
            const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(lookup.get(), column));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(lookup.get(), column));
            text = std::string_view(bytes ? bytes : "", size);
        }
        if (auto wrong = declared_types::wrongValue(declared.name, declared.rule, type, text)) return wrong;
    }
    return std::nullopt;
}

// The stretches skipped: the gaps between rows read where a look-up
// failed, and where the table's own tree gave keys from damaged pages,
// runs of keys that do not read or come out of order among those that do.
// A run spans every gap between rows read from the key before it to the
// key where rows come in order again (a row read inside it came from
// damaged bytes too), or every gap after the key before it when it runs to
// the end of what the tree gave (the tree led to no row past it); the tree
// stopping short marks the gap after the key before it. A gap between two
// consecutive row IDs holds no row.
void TableReader::Work::stretches(const Scan& keys, const std::vector<FailedLookUp>& failed,
                                  std::vector<APMUnreadableStretch>* skipped) const {
    const auto& order = keys.rowIDs;
    std::map<std::size_t, std::string> gaps;
    for (const auto& lookUp : failed) gaps.emplace(gapAfter(lookUp.rowID), lookUp.error);
    std::optional<std::int64_t> lastGood;
    for (std::size_t at = 0; at < order.size();) {
        if (continues(order, at, lastGood)) {
            lastGood = order[at++];
            continue;
        }
        std::size_t resumed = at + 1;
        while (resumed < order.size() && !continues(order, resumed, lastGood)) ++resumed;
        const std::size_t last = resumed < order.size() ? gapBefore(order[resumed]) : readIDs.size();
        for (std::size_t gap = gapAfter(lastGood); gap <= last; ++gap) gaps.emplace(gap, kUnreadKeys);
        at = resumed;
    }
    if (keys.stopped) {
        // Said where the rows it did not give begin: a read that went
        // round a circle stops past rows read next to each other.
        std::size_t gap = gapAfter(lastGood);
        while (holdsNoRow(gap)) ++gap;
        gaps[gap] = keys.error;
    }
    for (const auto& [gap, why] : gaps) {
        if (!holdsNoRow(gap)) skipped->push_back(stretchAround(gap, gap, why));
    }
}

// Whether the gap lies between two consecutive row IDs read.
bool TableReader::Work::holdsNoRow(std::size_t gap) const {
    return gap > 0 && gap < readIDs.size() && readIDs[gap - 1] + 1 == readIDs[gap];
}

// Whether the key at `at` goes on with rows in order: it reads and comes
// after the last that did, and so does the one after it (lest a key that
// damage made equal to another row's pass for one).
bool TableReader::Work::continues(const std::vector<std::int64_t>& keys, std::size_t at,
                                  std::optional<std::int64_t> lastGood) const {
    auto follows = [this](std::int64_t rowID, std::optional<std::int64_t> before) {
        return (!before || rowID > *before) && reads(rowID);
    };
    return follows(keys[at], lastGood) && (at + 1 == keys.size() || follows(keys[at + 1], keys[at]));
}

// The cells the tree gives after a larger or equal key that reads, under a
// row ID that reads: the look-up of that row ID answers another cell, where the
// tree leads, unless damage led it to this one (SQLite puts a new row on a
// damaged page under a row ID another row has, when it reads the page's
// largest row ID wrong). Each such cell that is another row did not read:
// a stretch of its own, between the rows read next to its row ID. The
// cells are reached by a second in-order read, which reads the values of
// those cells alone: one whose values do not read (damage made it, among
// keys that do not read: a stretch already) ends it, and the read starts
// again past it.
void TableReader::Work::otherCells(const Scan& keys, std::vector<APMUnreadableStretch>* skipped) {
    Picks picks = picksOf(keys.rowIDs);
    if (sqlite3_create_function_v2(db, kPickFunction, 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, &picks, &Picks::answer,
                                   nullptr, nullptr, nullptr) != SQLITE_OK) {
        return;
    }
    std::set<std::int64_t> others;
    {
        const Statement cells(db,
                              "SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(table) +
                                  " NOT INDEXED WHERE rowid >= ?1 AND " + kPickFunction + "(rowid) ORDER BY rowid",
                              steps);
        for (std::optional<std::size_t> from = 0; cells.prepared() && from;) {
            from = examine(cells.get(), *from, &picks, &others);
        }
    }
    sqlite3_create_function_v2(db, kPickFunction, 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr, nullptr, nullptr,
                               nullptr, nullptr);
    for (const std::int64_t rowID : others) {
        skipped->push_back(stretchAround(gapBefore(rowID), gapAfter(rowID),
                                         "another row is stored under row ID " + std::to_string(rowID) +
                                             ", where no look-up of that row ID leads"));
    }
}

// One in-order read of the picked cells from the key at place `from` (the
// first, or one that a look-up finds where the first read gave it). Where
// it must start again: past a picked cell whose values do not read, from
// the highest key before it that reads (from the first key when a read
// that started there went otherwise than the first); none once it is done.
std::optional<std::size_t> TableReader::Work::examine(sqlite3_stmt* cells, std::size_t from, Picks* picks,
                                                      std::set<std::int64_t>* others) {
    sqlite3_reset(cells);
    sqlite3_bind_int64(cells, 1, from == 0 ? std::numeric_limits<std::int64_t>::min() : (*picks->keys)[from]);
    picks->next = from;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(cells)) == SQLITE_ROW) {
        const std::int64_t rowID = sqlite3_column_int64(cells, 0);
        if (!others->count(rowID) && anotherRow(cells)) others->insert(rowID);
        picks->picked[picks->next - 1] = false;
    }
    sqlite3_reset(cells);
    const bool whole = from == 0 || picks->next == picks->keys->size();
    if (picks->ended || (rc == SQLITE_DONE && whole)) return std::nullopt;
    // A read from a key that went otherwise than the first: from the first.
    if (rc == SQLITE_DONE || picks->outOfStep || picks->next == from) {
        return from == 0 ? std::nullopt : std::optional<std::size_t>(0);
    }
    const std::size_t at = picks->next - 1;
    // The tree itself gives no more, as it did not to the first read.
    if (!picks->picked[at]) return std::nullopt;
    picks->picked[at] = false;
    return picks->anchors[at];
}

// The keys that come after a larger or equal one that reads, and whose row
// IDs read (a key from damaged bytes that names no row leads the look-up of
// none), each with the place of that larger or equal key, which a look-up
// finds where the in-order read gave it unless damage leads it elsewhere.
Picks TableReader::Work::picksOf(const std::vector<std::int64_t>& keys) const {
    Picks picks;
    picks.keys = &keys;
    picks.picked.assign(keys.size(), false);
    picks.anchors.assign(keys.size(), 0);
    std::optional<std::size_t> highest;
    for (std::size_t at = 0; at < keys.size(); ++at) {
        if (!reads(keys[at])) continue;
        if (highest && keys[at] <= keys[*highest]) {
            picks.picked[at] = true;
            picks.anchors[at] = *highest;
        } else {
            highest = at;
        }
    }
    return picks;
}

// Whether the cell the statement is on is another row than the look-up of
// its row ID answers: one of its shape (each column of the same type) with
// other values. A cell that does not read as such a row is what damage made
// of a page's bytes, among keys that do not read: a stretch already.
bool TableReader::Work::anotherRow(sqlite3_stmt* cell) {
    sqlite3_reset(lookup.get());
    sqlite3_bind_int64(lookup.get(), 1, sqlite3_column_int64(cell, 0));
    bool other = sqlite3_step(lookup.get()) == SQLITE_ROW && sqlite3_column_count(cell) == sqlite3_column_count(lookup.get());
    for (int column = 1; other && column < sqlite3_column_count(cell); ++column) {
        other = sqlite3_column_type(cell, column) == sqlite3_column_type(lookup.get(), column);
    }
    other = other && valuesOf(cell) != valuesOf(lookup.get());
    sqlite3_reset(lookup.get());
    return other;
}

// The gaps between rows read, numbered by the row read after them (the
// count of rows read for the gap after the last): the one that holds what
// lies just after `rowID` (none: before the first), and just before it.
std::size_t TableReader::Work::gapAfter(std::optional<std::int64_t> rowID) const {
    if (!rowID) return 0;
    return static_cast<std::size_t>(std::upper_bound(readIDs.begin(), readIDs.end(), *rowID) - readIDs.begin());
}

std::size_t TableReader::Work::gapBefore(std::int64_t rowID) const {
    return static_cast<std::size_t>(std::lower_bound(readIDs.begin(), readIDs.end(), rowID) - readIDs.begin());
}

// The stretch from the row read before gap `after` to the one after gap
// `before`.
APMUnreadableStretch TableReader::Work::stretchAround(std::size_t after, std::size_t before, std::string error) const {
    return {table, after == 0 ? std::nullopt : std::optional(readIDs[after - 1]),
            before == readIDs.size() ? std::nullopt : std::optional(readIDs[before]), std::move(error)};
}

}  // namespace measurement
