// Reading a table's rows from the cells that hold them, each row ID once, naming what does not read.
#include "measurement/store/sqlite_page_rows.h"

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

namespace measurement::sqlite_page_rows {

namespace {

using Type = RecordValue::Type;

int storageClass(Type type) {
    switch (type) {
        case Type::integer: return SQLITE_INTEGER;
        case Type::real: return SQLITE_FLOAT;
        case Type::text: return SQLITE_TEXT;
        case Type::blob: return SQLITE_BLOB;
        case Type::null: return SQLITE_NULL;
    }
    return SQLITE_NULL;
}

// The row IDs given: runs of consecutive ones as an intact tree gives them,
// in few entries whatever the rows, and apart those damage put out of that
// order.
class RowIDs {
public:
    bool contains(std::int64_t rowID) const {
        const auto run = runAtOrBefore(rowID);
        return (run != runs_.end() && rowID <= run->last) || others_.count(rowID) > 0;
    }

    void add(std::int64_t rowID) {
        if (!runs_.empty() && rowID <= runs_.back().last) {
            others_.insert(rowID);
        } else if (!runs_.empty() && runs_.back().last + 1 == rowID) {
            runs_.back().last = rowID;
        } else {
            runs_.push_back({rowID, rowID});
        }
    }

    // The least given above the row ID.
    std::optional<std::int64_t> above(std::int64_t rowID) const {
        std::optional<std::int64_t> found;
        if (rowID == std::numeric_limits<std::int64_t>::max()) return found;
        const auto run = std::upper_bound(runs_.begin(), runs_.end(), rowID,
                                          [](std::int64_t id, const Run& r) { return id < r.last; });
        if (run != runs_.end()) found = std::max(run->first, rowID + 1);
        const auto other = others_.upper_bound(rowID);
        if (other != others_.end() && (!found || *other < *found)) found = *other;
        return found;
    }

    std::optional<std::int64_t> least() const {
        constexpr std::int64_t kLeast = std::numeric_limits<std::int64_t>::min();
        return contains(kLeast) ? std::optional(kLeast) : above(kLeast);
    }

private:
    struct Run {
        std::int64_t first;
        std::int64_t last;
    };
    // The run whose first row ID is the greatest at or below rowID.
    std::vector<Run>::const_iterator runAtOrBefore(std::int64_t rowID) const {
        const auto after = std::upper_bound(runs_.begin(), runs_.end(), rowID,
                                           [](std::int64_t id, const Run& r) { return id < r.first; });
        return after == runs_.begin() ? runs_.end() : std::prev(after);
    }

    std::vector<Run> runs_;
    std::set<std::int64_t> others_;
};

// The stretches one read names apart, at most.
constexpr std::size_t kMostStretches = 1000;

// A read under way: rows given, and the stretches of what did not read,
// placed once every row is known.
class Reading {
public:
    Reading(const std::string& table, const std::vector<Column>& columns, const std::function<bool(const Row&)>& visit,
            std::vector<APMUnreadableStretch>* skipped, sqlite_btree::TextEncoding encoding)
        : table_(table), columns_(columns), visit_(visit), skipped_(skipped), encoding_(encoding) {}

    bool cell(const sqlite_btree::TableCell& cell) {
        auto named = [&](const std::string& why) { return "row " + std::to_string(cell.rowID) + ": " + why; };
        if (given_.contains(cell.rowID)) {
            unread(named("another cell under this row ID came first"), true);
            return true;
        }
        std::string why;
        auto record = sqlite_btree::decodeRecord(cell.payload, &why);
        if (record) asUtf8(&*record);
        row_.rowID = cell.rowID;
        if (auto wrong = record ? rowOf(std::move(*record), columns_, &row_) : std::optional<std::string>(why)) {
            unread(named(*wrong), true);
            return true;
        }
        given_.add(cell.rowID);
        last_ = cell.rowID;
        givenSinceDamage_ = true;
        return visit_(row_);
    }

    // Damage met where the tree holds it: after the last row given (a key
    // that damage may have made says nothing of where its row belongs).
    // Damage that names no row joins the stretch before it when no row was
    // given since, and all damage past kMostStretches joins the last: the
    // stretches stay few whatever damage makes of the pages.
    void unread(std::string why, bool namesRow = false) {
        if (!open_.empty() && ((!givenSinceDamage_ && !namesRow) || open_.size() >= kMostStretches)) {
            ++open_.back().more;
            return;
        }
        givenSinceDamage_ = false;
        open_.push_back({std::move(why), last_, 0});
    }

    // Each stretch up to the row given next after it, in row-ID order.
    void place() {
        for (auto& open : open_) {
            const auto before = open.after ? given_.above(*open.after) : given_.least();
            if (open.more > 0) open.why += " (and " + std::to_string(open.more) + " more that did not read after it)";
            skipped_->push_back({table_, open.after, before, std::move(open.why)});
        }
    }

private:
    // Text as SQLite gives it to its readers, whatever the file stores:
    // the rows' checks and the files they go into take UTF-8.
    void asUtf8(sqlite_btree::Record* record) const {
        if (encoding_ == sqlite_btree::TextEncoding::utf8) return;
        for (auto& value : *record) {
            if (value.type == Type::text) value.bytes = sqlite_btree::utf8Text(value.bytes, encoding_);
        }
    }

    struct Open {
        std::string why;
        std::optional<std::int64_t> after;
        std::size_t more;
    };

    const std::string& table_;
    const std::vector<Column>& columns_;
    const std::function<bool(const Row&)>& visit_;
    std::vector<APMUnreadableStretch>* skipped_;
    const sqlite_btree::TextEncoding encoding_;
    Row row_;
    RowIDs given_;
    std::optional<std::int64_t> last_;
    bool givenSinceDamage_ = true;
    std::vector<Open> open_;
};

// The schema's table: type, name, table, root page, declaration.
constexpr std::size_t kTypePlace = 0;
constexpr std::size_t kNamePlace = 1;
constexpr std::size_t kRootPlace = 3;
constexpr std::uint32_t kSchemaRoot = 1;

}  // namespace

std::optional<std::string> rowOf(sqlite_btree::Record record, const std::vector<Column>& columns, Row* row) {
    row->values.assign(columns.size(), std::nullopt);
    for (std::size_t at = 0; at < columns.size(); ++at) {
        const Column& column = columns[at];
        auto& value = row->values[at];
        // Places are distinct: each value is taken once.
        if (column.place && *column.place < record.size()) value = std::move(record[*column.place]);
        if (column.rowID && row->rowID && (!value || value->type == Type::null)) {
            value = RecordValue{};
            value->type = Type::integer;
            value->integer = *row->rowID;
        }
        if (!column.rule) continue;
        if (!value) {
            if (!column.rule->notNull || column.rule->defaulted) continue;
            return declared_types::wrongValue(column.name, *column.rule, SQLITE_NULL, {});
        }
        // SQLite keeps a whole real of a REAL column as an integer, and
        // reads it back as a real.
        if (column.rule->type == SQLITE_FLOAT && value->type == Type::integer) {
            value->type = Type::real;
            value->real = static_cast<double>(value->integer);
        }
        const int type = storageClass(value->type);
        const std::string_view text = type == SQLITE_TEXT ? std::string_view(value->bytes) : std::string_view();
        if (auto wrong = declared_types::wrongValue(column.name, *column.rule, type, text)) return wrong;
    }
    return std::nullopt;
}

bool readRows(const sqlite_btree::FileImage& image, std::uint32_t root, const std::string& table,
              const std::vector<Column>& columns, const std::function<bool(const Row&)>& visit,
              std::vector<APMUnreadableStretch>* skipped, Work* work, std::optional<std::string>* failed) {
    Reading reading(table, columns, visit, skipped, image.textEncoding());
    const auto walk = sqlite_btree::walkTable(
        image, root, [&](const sqlite_btree::TableCell& cell) { return reading.cell(cell); },
        [&](const sqlite_btree::PageDamage& damage) {
            reading.unread("page " + std::to_string(damage.page) + ": " + damage.why);
        });
    reading.place();
    if (work) {
        work->pagesRead += walk.pagesRead;
        work->cellsRead += walk.cellsRead;
    }
    if (failed) *failed = walk.failed;
    return !walk.ended && !walk.failed;
}

std::vector<SchemaEntry> schemaOf(const sqlite_btree::FileImage& image, std::vector<APMUnreadableStretch>* skipped,
                                  std::optional<std::string>* failed) {
    std::vector<SchemaEntry> entries;
    // A file of no page yet holds no object.
    if (image.pageCount() == 0) return entries;
    declared_types::ColumnRule text;
    text.type = SQLITE_TEXT;
    const std::vector<Column> columns = {
        {"type", kTypePlace, false, text}, {"name", kNamePlace, false, text}, {"rootpage", kRootPlace, false, {}}};
    readRows(image, kSchemaRoot, kAPMSqliteStoreSchemaTable, columns,
             [&](const Row& row) {
                 SchemaEntry entry;
                 entry.type = row.values[0] ? row.values[0]->bytes : "";
                 entry.name = row.values[1] ? row.values[1]->bytes : "";
                 const auto& root = row.values[2];
                 if (root && root->type == Type::integer && root->integer >= 1 &&
                     root->integer <= std::numeric_limits<std::uint32_t>::max()) {
                     entry.root = static_cast<std::uint32_t>(root->integer);
                 }
                 entries.push_back(std::move(entry));
                 return true;
             },
             skipped, nullptr, failed);
    return entries;
}

}  // namespace measurement::sqlite_page_rows
