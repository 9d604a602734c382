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

class StoredDataReader {
public:
    StoredDataReader(APMDatabase& database, APMSqliteStore& store) : database_(database), store_(store) {}

    bool read(APMStoredData& data, APMErrorOut error) {
        data_ = &data;
        if (!readHeaders(error) || !readRawEvents(error) || !readQueue(error) || !readUserAttributes(error)) {
            return false;
        }
        addCheckedDamage();
        return true;
    }

private:
    void unreadable(const char* table, const APMRow& row, std::string reason) {
        data_->unreadableRows.push_back({table, integer(row, "rowid").value_or(0), std::move(reason)});
    }

    bool readHeaders(APMErrorOut error) {
        auto rows = readable("raw_events_metadata", error);
        if (!rows) return false;
        for (const auto& row : *rows) {
            const auto fingerprint = integer(row, "metadata_fingerprint");
            const auto data = bytes(row, "metadata");
            std::optional<APMPBMeasurementBundle> header;
            if (data) header = APMPBMeasurementBundle::initWithBuffer(data->bytes);
            if (!fingerprint || !header) {
                unreadable("raw_events_metadata", row, !fingerprint ? "no metadata fingerprint"
                                                        : !data  ? "no header data"
                                                                 : "the header does not decode");
                continue;
            }
            headers_.emplace(*fingerprint, std::move(*header));
        }
        return true;
    }

    bool readRawEvents(APMErrorOut error) {
        auto rows = readable("raw_events", error);
        if (!rows) return false;
        for (const auto& row : *rows) {
            auto raw = database_.rawEventDataFromDictionary(row, nullptr);
            if (!raw) {
                unreadable("raw_events", row, rawEventProblem(row));
                continue;
            }
            auto header = headers_.find(raw->metadataFingerprint());
            data_->rawEvents.push_back(APMStoredRawEvent{
                std::move(*raw), header == headers_.end() ? std::nullopt : std::optional(header->second)});
        }
        return true;
    }

    bool readQueue(APMErrorOut error) {
        auto rows = readable("queue", error);
        if (!rows) return false;
        for (const auto& row : *rows) {
            const auto data = bytes(row, "data");
            platform::RULError inflateError;
            const auto inflated =
                data ? platform::rul_dataByInflatingGzippedData(data->bytes, &inflateError) : std::nullopt;
            auto bundle = inflated ? APMPBMeasurementBundle::initWithBuffer(*inflated) : std::nullopt;
            if (!bundle) {
                unreadable("queue", row, !data      ? "no bundle data"
                                         : !inflated ? "the bundle data does not inflate: " + inflateError.description()
                                                     : "the bundle does not decode");
                continue;
            }
            data_->queuedBundles.push_back(std::move(*bundle));
        }
        return true;
    }

    bool readUserAttributes(APMErrorOut error) {
        auto rows = readable("user_attributes", error);
        if (!rows) return false;
        for (const auto& row : *rows) {
            auto name = row.find("name");
            if (name == row.end() || !name->second.isString()) {
                unreadable("user_attributes", row, "no property name");
            } else if (auto attribute = APMDatabase::userAttributeFromDictionary(row)) {
                data_->userAttributes.push_back(std::move(*attribute));
            } else {
                unreadable("user_attributes", row, "the value is neither text nor a number");
            }
        }
        std::sort(data_->userAttributes.begin(), data_->userAttributes.end(),
                  [](const auto& a, const auto& b) { return a.name() < b.name(); });
        return true;
    }

    // Damage that reading rows may not show (the app metadata, a table whose
    // rows read as other bytes or not at all): SQLite's check of each small
    // table, for the tables no stretch was found in.
    void addCheckedDamage() {
        for (auto& stretch : store_.damageInSmallTables(data_->damage)) data_->damage.push_back(std::move(stretch));
    }

    // Every row of the table whose row ID still reads by itself, in row
    // order, as the carry of a damaged file takes them: the stretches a
    // damaged file no longer gives are kept as damage, and the rest is read
    // all the same.
    std::optional<APMRows> readable(const char* table, APMErrorOut error) {
        APMRows rows;
        auto skipped = store_.readableRowsOfTable(table, [&](APMRow row) { rows.push_back(std::move(row)); }, error);
        if (!skipped) return std::nullopt;
        data_->damage.insert(data_->damage.end(), skipped->begin(), skipped->end());
        return rows;
    }

    APMDatabase& database_;
    APMSqliteStore& store_;
    APMStoredData* data_ = nullptr;
    std::map<std::int64_t, APMPBMeasurementBundle> headers_;
};

// A file that does not read as a database (a header SQLite refuses, a
// schema damaged) holds nothing that can be read: the whole of it is
// damage, said of its schema's table, where every read starts.
std::optional<APMStoredData> unreadableFile(const std::string& path, std::optional<APMError>& failure,
                                            APMErrorOut error) {
    if (!failure || failure->code() != kAPMSqliteStoreDamagedCode) {
        if (error) *error = failure;
        return std::nullopt;
    }
    const auto context = failure->monitorContext();
    std::string why = context.isString() ? context.asString() : failure->localizedDescription();
    if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
    APMStoredData data;
    data.damage.push_back(
        {kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt, "the file does not read as a database: " + why});
    return data;
}

std::optional<APMStoredData> read(APMErrorOut error) {
    const auto path = (platform::ProcessInfo::applicationSupportDirectory() / kAPMApplicationSupportFolder /
                       kAPMDatabaseFileName)
                          .string();
    // Nothing stored yet: nothing to read, and nothing is made.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return APMStoredData{};
    std::optional<APMError> failure;
    auto database = APMDatabase::makeReadOnlyWithPath(path, &failure);
    if (!database) return unreadableFile(path, failure, error);
    // Reads of whole tables, whatever the rows hold; the database's own
    // queue read would drop what it cannot read.
    auto store = APMSqliteStore::makeReadOnlyWithDatabasePath(path, error, APMDatabase::declaredTables());
    if (!store) return std::nullopt;
    APMStoredData data;
    if (!StoredDataReader(*database, *store).read(data, error)) return std::nullopt;
    return data;
}

}  // namespace

std::optional<APMStoredData> APMReadStoredData(APMErrorOut error) {
    std::optional<APMStoredData> data;
    readerQueue()->sync([&] { data = read(error); });
    return data;
}

}  // namespace measurement
