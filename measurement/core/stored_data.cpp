// Reads back everything the engine has stored, for tools and tests.
#include "measurement/core/stored_data.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "measurement/store/files.h"
#include "measurement/store/sqlite_store.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/utilities/gzip.h"

namespace measurement {

namespace {

// The database reports calls from the main thread; reads go through a queue
// of their own.
std::shared_ptr<platform::dispatch::Queue> readerQueue() {
    static const auto queue = [] {
        auto made = platform::dispatch::makeSerialQueue("com.rozeda.measurement.reader");
        APMScheduler::registerBackgroundQueue(made);
        return made;
    }();
    return queue;
}

std::optional<std::int64_t> integer(const APMRow& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.isInt()) return std::nullopt;
    return found->second.intValue();
}

std::optional<platform::Data> bytes(const APMRow& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.isData()) return std::nullopt;
    return found->second.asData();
}

// What keeps a raw-event row from reading back as an event.
std::string rawEventProblem(const APMRow& row) {
    auto text = row.find("name");
    if (!integer(row, "metadata_fingerprint")) return "no metadata fingerprint";
    if (text == row.end() || !text->second.isString() || text->second.asString().empty()) return "no event name";
    if (auto time = row.find("timestamp"); time == row.end() || !time->second.isNumber()) return "no timestamp";
    const auto data = bytes(row, "data");
    if (!data) return "no event data";
    if (!APMPBEvent::initWithBuffer(data->bytes)) return "the event data does not decode";
    return "the row does not read as a raw event";
}

// The tables read, in the order their rows that do not read back and their
// damage are listed.
constexpr const char* kHeaders = "raw_events_metadata";
constexpr const char* kRawEvents = "raw_events";
constexpr const char* kQueue = "queue";
constexpr const char* kUserAttributes = "user_attributes";
constexpr const char* kTablesRead[] = {kHeaders, kRawEvents, kQueue, kUserAttributes};

// One read transaction over both readings, so that the rows handed over are
// those the damage listed before them was found in. Ended however the
// reading ends.
class ReadingTogether {
public:
    explicit ReadingTogether(APMSqliteStore& store) : store_(store) {
        began_ = store_.executeStatement("BEGIN", {}, nullptr).has_value();
    }
    ~ReadingTogether() {
        if (began_ && store_.isInTransaction()) store_.executeStatement("COMMIT", {}, nullptr);
    }
    ReadingTogether(const ReadingTogether&) = delete;
    ReadingTogether& operator=(const ReadingTogether&) = delete;

private:
    APMSqliteStore& store_;
    bool began_ = false;
};

class StoredDataReader {
public:
    StoredDataReader(APMDatabase& database, APMSqliteStore& store, const APMStoredDataReceiver& receiver)
        : database_(database), store_(store), receiver_(receiver) {}

    // The damage first, from a reading of its own, then the rows, in one
    // read transaction.
    bool read(APMErrorOut error) {
        const ReadingTogether together(store_);
        if (!readDamage(error) || !readHeaders(error) || !readQueue(error) || !readRawEvents(error) ||
            !readUserAttributes(error)) {
            return false;
        }
        handOverKept();
        return true;
    }

private:
    // Every stretch of every table, then what SQLite's check of the small
    // tables finds besides: damage that reading rows may not show (the app
    // metadata, rows that read as other bytes or not at all). A table the
    // file does not hold is no failure of the reading: the others are read.
    bool readDamage(APMErrorOut error) {
        std::vector<APMUnreadableStretch> damage;
        for (const char* table : kTablesRead) {
            auto skipped = readableRows(table, [](const APMRow&) {}, error);
            if (!skipped) return false;
            // Damage to the whole file (its header) comes with every table's.
            for (auto& stretch : *skipped) {
                if (std::none_of(damage.begin(), damage.end(), [&](const APMUnreadableStretch& listed) {
                        return listed.table == stretch.table && listed.error == stretch.error &&
                               listed.afterRowID == stretch.afterRowID && listed.beforeRowID == stretch.beforeRowID;
                    })) {
                    damage.push_back(std::move(stretch));
                }
            }
        }
        for (auto& stretch : store_.damageInSmallTables(damage)) damage.push_back(std::move(stretch));
        receiver_.damage(damage);
        if (!missing_.empty()) receiver_.missingTables(missing_);
        return true;
    }

    // The table's rows as readableRowsOfTable reads them; a table the file
    // does not hold, its schema read whole (a file of 0 bytes, another
    // program's that dropped it), reads as no row and is kept in missing_.
    std::optional<std::vector<APMUnreadableStretch>> readableRows(const char* table,
                                                                  const std::function<void(APMRow)>& visit,
                                                                  APMErrorOut error) {
        if (std::find(missing_.begin(), missing_.end(), table) != missing_.end()) {
            return std::vector<APMUnreadableStretch>{};
        }
        std::optional<APMError> failure;
        auto skipped = store_.readableRowsOfTable(table, visit, &failure);
        if (skipped) return skipped;
        std::optional<APMError> lookedUp;
        if (!store_.tableExists(table, &lookedUp) && !lookedUp) {
            missing_.push_back(table);
            return std::vector<APMUnreadableStretch>{};
        }
        if (error) *error = failure;
        return std::nullopt;
    }

    // What waited for its turn after the raw events.
    void handOverKept() {
        std::vector<APMUnreadableRow> unreadable;
        for (const char* table : kTablesRead) {
            const auto& rows = unreadable_[table];
            unreadable.insert(unreadable.end(), rows.begin(), rows.end());
        }
        receiver_.unreadableRows(unreadable);
        std::sort(attributes_.begin(), attributes_.end(), [](const auto& a, const auto& b) { return a.name() < b.name(); });
        receiver_.userAttributes(attributes_);
    }

    void unreadable(const char* table, const APMRow& row, std::string reason) {
        unreadable_[table].push_back({table, integer(row, "rowid").value_or(0), std::move(reason)});
    }

    bool readHeaders(APMErrorOut error) {
        return readable(kHeaders, error, [&](const APMRow& row) {
            const auto fingerprint = integer(row, "metadata_fingerprint");
            const auto data = bytes(row, "metadata");
            std::optional<APMPBMeasurementBundle> header;
            if (data) header = APMPBMeasurementBundle::initWithBuffer(data->bytes);
            if (!fingerprint || !header) {
                unreadable(kHeaders, row, !fingerprint ? "no metadata fingerprint"
                                          : !data     ? "no header data"
                                                      : "the header does not decode");
                return;
            }
            headers_.emplace(*fingerprint, std::move(*header));
        });
    }

    bool readRawEvents(APMErrorOut error) {
        return readable(kRawEvents, error, [&](const APMRow& row) {
            auto raw = database_.rawEventDataFromDictionary(row, nullptr);
            if (!raw) {
                unreadable(kRawEvents, row, rawEventProblem(row));
                return;
            }
            auto header = headers_.find(raw->metadataFingerprint());
            receiver_.rawEvent(APMStoredRawEvent{
                std::move(*raw), header == headers_.end() ? std::nullopt : std::optional(header->second)});
        });
    }

    bool readQueue(APMErrorOut error) {
        return readable(kQueue, error, [&](const APMRow& row) {
            const auto data = bytes(row, "data");
            platform::RULError inflateError;
            const auto inflated =
                data ? platform::rul_dataByInflatingGzippedData(data->bytes, &inflateError) : std::nullopt;
            auto bundle = inflated ? APMPBMeasurementBundle::initWithBuffer(*inflated) : std::nullopt;
            if (!bundle) {
                unreadable(kQueue, row, !data      ? "no bundle data"
                                        : !inflated ? "the bundle data does not inflate: " + inflateError.description()
                                                    : "the bundle does not decode");
                return;
            }
            receiver_.queuedBundle(std::move(*bundle));
        });
    }

    bool readUserAttributes(APMErrorOut error) {
        return readable(kUserAttributes, error, [&](const APMRow& row) {
            auto name = row.find("name");
            if (name == row.end() || !name->second.isString()) {
                unreadable(kUserAttributes, row, "no property name");
            } else if (auto attribute = APMDatabase::userAttributeFromDictionary(row)) {
                attributes_.push_back(std::move(*attribute));
            } else {
                unreadable(kUserAttributes, row, "the value is neither text nor a number");
            }
        });
    }

    // Every row of the table that still reads from the cell that holds it,
    // in the tree's order, as the carry of a damaged file takes them, each handed to
    // `visit` as it is read; the stretches it skips were listed before.
    bool readable(const char* table, APMErrorOut error, const std::function<void(const APMRow&)>& visit) {
        return readableRows(table, [&](APMRow row) { visit(row); }, error).has_value();
    }

    APMDatabase& database_;
    APMSqliteStore& store_;
    const APMStoredDataReceiver& receiver_;
    std::map<std::int64_t, APMPBMeasurementBundle> headers_;
    std::map<std::string, std::vector<APMUnreadableRow>> unreadable_;
    std::vector<APMUserAttribute> attributes_;
    // In the order of kTablesRead.
    std::vector<std::string> missing_;
};

void handOverNothingBut(const std::vector<APMUnreadableStretch>& damage, const APMStoredDataReceiver& receiver) {
    receiver.damage(damage);
    receiver.unreadableRows({});
    receiver.userAttributes({});
}

// A file that does not read as a database (a header SQLite refuses, a
// schema damaged) holds nothing that can be read: the whole of it is
// damage, said of its schema's table, where every read starts.
bool unreadableFile(const std::string& path, std::optional<APMError>& failure, const APMStoredDataReceiver& receiver,
                    APMErrorOut error) {
    if (!failure || failure->code() != kAPMSqliteStoreDamagedCode) {
        if (error) *error = failure;
        return false;
    }
    const auto context = failure->monitorContext();
    std::string why = context.isString() ? context.asString() : failure->localizedDescription();
    if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
    handOverNothingBut({{kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt,
                         "the file does not read as a database: " + why}},
                       receiver);
    return true;
}

bool read(const APMStoredDataReceiver& receiver, APMErrorOut error) {
    const auto path = (platform::ProcessInfo::applicationSupportDirectory() / kAPMApplicationSupportFolder /
                       kAPMDatabaseFileName)
                          .string();
    // Nothing stored yet: nothing to read, and nothing is made.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) {
        handOverNothingBut({}, receiver);
        return true;
    }
    std::optional<APMError> failure;
    auto database = APMDatabase::makeReadOnlyWithPath(path, &failure);
    if (!database) return unreadableFile(path, failure, receiver, error);
    // Reads of whole tables, whatever the rows hold; the database's own
    // queue read would drop what it cannot read.
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path, error, APMDatabase::declaredTables());
    if (!store) return false;
    return StoredDataReader(*database, *store, receiver).read(error);
}

}  // namespace

bool APMReadStoredDataInTurn(const APMStoredDataReceiver& receiver, APMErrorOut error) {
    bool done = false;
    readerQueue()->sync([&] { done = read(receiver, error); });
    return done;
}

std::optional<APMStoredData> APMReadStoredData(APMErrorOut error) {
    APMStoredData data;
    const APMStoredDataReceiver receiver{
        [&](const std::vector<APMUnreadableStretch>& damage) { data.damage = damage; },
        [&](const std::vector<std::string>& tables) { data.missingTables = tables; },
        [&](APMPBMeasurementBundle bundle) { data.queuedBundles.push_back(std::move(bundle)); },
        [&](APMStoredRawEvent event) { data.rawEvents.push_back(std::move(event)); },
        [&](const std::vector<APMUnreadableRow>& rows) { data.unreadableRows = rows; },
        [&](const std::vector<APMUserAttribute>& attributes) { data.userAttributes = attributes; }};
    if (!APMReadStoredDataInTurn(receiver, error)) return std::nullopt;
    return data;
}

}  // namespace measurement
