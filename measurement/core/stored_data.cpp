// Reads back everything the engine has stored, for tools and tests.
#include "measurement/core/stored_data.h"

#include <limits>
#include <map>
#include <memory>

#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "measurement/store/sqlite_store.h"
#include "platform/dispatch/queue.h"

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

std::optional<APMStoredData> read(APMErrorOut error) {
    auto database = APMDatabase::makeDefault(error);
    if (!database) return std::nullopt;
    // Every raw event whatever its fingerprint, in row order.
    auto store = APMSqliteStore::makeWithDatabasePath(database->databasePath(), error);
    if (!store) return std::nullopt;
    auto rows = store->recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid ASC", {}, error);
    if (!rows) return std::nullopt;
    APMStoredData data;
    // Most rows share a few headers: each is read once.
    std::map<std::int64_t, std::optional<APMPBMeasurementBundle>> headers;
    for (const auto& row : *rows) {
        auto raw = database->rawEventDataFromDictionary(row, nullptr);
        if (!raw) continue;
        const auto fingerprint = raw->metadataFingerprint();
        auto header = headers.find(fingerprint);
        if (header == headers.end()) {
            header = headers.emplace(fingerprint, database->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr))
                         .first;
        }
        data.rawEvents.push_back(APMStoredRawEvent{std::move(*raw), header->second});
    }
    auto bundles = database->queryBundlesWithCountLimit(std::numeric_limits<std::int32_t>::max(),
                                                        std::numeric_limits<std::int64_t>::max(), error);
    auto attributes = database->allUserAttributes(error);
    if (!bundles || !attributes) return std::nullopt;
    for (auto& queued : *bundles) data.queuedBundles.push_back(std::move(queued.bundle));
    data.userAttributes = std::move(*attributes);
    return data;
}

}  // namespace

std::optional<APMStoredData> APMReadStoredData(APMErrorOut error) {
    std::optional<APMStoredData> data;
    readerQueue()->sync([&] { data = read(error); });
    return data;
}

}  // namespace measurement
