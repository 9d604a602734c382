#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/daily_counts.h"
#include "measurement/foundation/error.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/raw_event_data.h"
#include "measurement/foundation/user_attribute.h"

struct sqlite3;

namespace measurement {

// The measurement database file in the engine's folder.
inline constexpr const char* kAPMDatabaseFileName = "rozeda-app-measurement.sql";

// Monitor codes of the core's database access.
enum : long {
    kAPMCoreDatabaseOpenFailedCode = 23001,
    kAPMCoreDatabaseStatementFailedCode = 23002,
};

// The tables the engine core writes and the tools read: raw events with
// their metadata headers, user properties, the per-day counters, the upload
// queue and the purchase fingerprints. One SQLite file opened with create
// and full mutex; every operation is safe from any thread, and a
// transaction holds the connection for the calls of its own block.
//
// The core's own access until the measurement database of the store library
// takes its place; the table and column names are those that bundling reads.
class APMEventDatabase {
public:
    // Opens (creating when missing) and makes the tables; none and an error
    // when the file cannot be opened.
    static std::unique_ptr<APMEventDatabase> open(const std::string& path, APMErrorOut error);
    // The file in "Rozeda/Measurement" under the application-support folder
    // (the folder is created).
    static std::string defaultPath();
    ~APMEventDatabase();
    APMEventDatabase(const APMEventDatabase&) = delete;
    APMEventDatabase& operator=(const APMEventDatabase&) = delete;

    const std::string& databasePath() const { return path_; }

    // The block inside one exclusive transaction: true commits, false (or an
    // exception, raised again) rolls back.
    bool performTransaction(const std::function<bool()>& block);

    // One raw event under the fingerprint of its metadata header.
    bool insertRawEvent(const APMEvent& event, std::int64_t metadataFingerprint, APMErrorOut error);
    // Stores the header under its fingerprint unless one is stored already.
    bool insertRawEventMetadata(std::int64_t metadataFingerprint, const APMPBMeasurementBundle& header,
                                APMErrorOut error);
    std::optional<std::vector<APMRawEventData>> allRawEvents(APMErrorOut error);
    std::optional<APMPBMeasurementBundle> rawEventMetadata(std::int64_t metadataFingerprint, APMErrorOut error);
    std::optional<std::int64_t> rawEventCount(APMErrorOut error);

    std::optional<APMDailyCounts> dailyCounts(APMErrorOut error);
    bool updateDailyCounts(const APMDailyCounts& counts, APMErrorOut error);

    std::optional<std::vector<APMUserAttribute>> allUserAttributes(APMErrorOut error);
    std::optional<APMUserAttribute> userAttributeWithName(const std::string& name, APMErrorOut error);
    bool updateUserAttribute(const APMUserAttribute& attribute, APMErrorOut error);
    bool deleteUserAttributeWithName(const std::string& name, APMErrorOut error);

    // The queued upload bundles, oldest first (stored gzip-compressed).
    std::optional<std::vector<APMPBMeasurementBundle>> queuedBundles(APMErrorOut error);
    // True when the fingerprint was new and is now stored; false for a
    // duplicate. Only the newest 1000 are kept.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, APMErrorOut error);

private:
    explicit APMEventDatabase(std::string path) : path_(std::move(path)) {}
    bool createTables(APMErrorOut error);
    bool execute(const std::string& sql, APMErrorOut error);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::recursive_mutex mutex_;
    int transactionDepth_ = 0;
};

}  // namespace measurement
