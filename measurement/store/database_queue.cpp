// The database's queue of bundles waiting for upload.
#include "measurement/store/database.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/monitor.h"
#include "measurement/store/database_rows.h"
#include "platform/dispatch/clock.h"
#include "platform/frameworks/utilities/gzip.h"

namespace measurement {

using namespace database_detail;

namespace {

constexpr std::int64_t kMaxRetryCount = std::numeric_limits<std::int32_t>::max();

void logDropped(long code, const std::string& message, std::int64_t count) {
    if (count <= 0) return;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, code, message, platform::Value(count));
}

// Rows of the process clock's kind, or of no known clock, for the stale
// clean-up's conditions.
constexpr const char* kOwnClockRows = "(clock IS NULL OR clock = ?)";

}  // namespace

std::int64_t APMCurrentClockStamp() {
    return platform::dispatch::currentClock()->isManual() ? kAPMManualClockStamp : kAPMSystemClockStamp;
}

bool APMDatabase::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, APMErrorOut error,
                               const APMQueueLimits& limits, std::optional<std::int64_t> clockStamp) {
    checkWorkerQueue("insertBundle:isRealtime:error:");
    const auto appID = NANOGetString(bundle, bundleFieldIndex(bundle_tag::kAppID));
    if (!appID || appID->empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received bundle without app ID");
        return false;
    }
    const std::int64_t endMillis = NANOGetInt64(bundle, bundleFieldIndex(bundle_tag::kEndTimestamp));
    if (endMillis < 1) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received bundle without valid end timestamp");
        return false;
    }
    if (!removeStaleData(limits, error)) return false;

    const double endSeconds = static_cast<double>(endMillis) / 1000.0;
    const double now = platform::dispatch::currentClock()->now();
    const bool ownClock = clockStamp.value_or(APMCurrentClockStamp()) == APMCurrentClockStamp();
    if (ownClock && now - endSeconds > limits.maxQueueTime) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMDatabaseBundleOutsideMaxTimeSpanCode,
                                          "Storing bundle outside of the max uploading time span",
                                          platform::Value(endSeconds));
    }
    platform::RULError gzipError;
    auto compressed = platform::rul_dataByGzippingData(bundle.protoBuffer(), &gzipError);
    if (!compressed) {
        if (error) {
            *error = apm_errorWithCode(kAPMDatabaseUndecodableDataCode, "Failed to compress bundle",
                                       platform::Value(gzipError.description()));
        }
        return false;
    }
    // The row takes an ID no bundle had before, so that an upload deleting
    // the rows it sent by their IDs never deletes a bundle queued since.
    const bool inserted = transaction(error, [&](APMErrorOut inner) {
        std::optional<APMError> readError;
        const auto highest = highestQueueRowIDUsed(&readError);
        if (readError) {
            if (inner) *inner = readError;
            return false;
        }
        // Past the largest ID (or with no usable record of it), 0 lets
        // SQLite find an unused one itself.
        const std::int64_t rowID =
            highest && *highest >= 0 && *highest < std::numeric_limits<std::int64_t>::max() ? *highest + 1 : 0;
        platform::Value stamp;
        if (clockStamp) stamp = platform::Value(*clockStamp);
        if (!store_->executeStatement("INSERT INTO queue (rowid, data, bundle_end_timestamp, is_realtime, retry_count, "
                                      "clock) VALUES (NULLIF(?, 0), ?, ?, ?, 0, ?)",
                                      {rowID, bytesValue(*compressed), endSeconds, isRealtime, stamp}, inner)) {
            return false;
        }
        return recordQueueRowIDUsed(std::max(highest.value_or(0), store_->lastInsertRowID()), inner);
    });
    forget(bundleFacts_);
    return inserted;
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                                    std::int64_t sizeLimit,
                                                                                    APMErrorOut error) {
    checkWorkerQueue("queryBundlesWithCountLimit:sizeLimit:error:");
    std::vector<APMQueuedBundle> bundles;
    // SQLite reads a negative limit as no limit at all.
    if (countLimit <= 0) return bundles;
    auto rows = query("SELECT rowid, data, retry_count, refusal_count, refusal_status FROM queue ORDER BY rowid ASC "
                      "LIMIT ?",
                      {countLimit}, error);
    if (!rows) return std::nullopt;
    UnreadableBundles unreadable;
    std::int64_t totalSize = 0;
    for (const auto& row : *rows) {
        const auto rowID = rowInteger(row, "rowid").value_or(0);
        const auto data = rowBytes(row, "data");
        auto stored = data.value_or(NANOBytes());
        platform::RULError inflateError;
        auto inflated = data ? platform::rul_dataByInflatingGzippedData(stored, &inflateError) : std::nullopt;
        std::optional<APMPBMeasurementBundle> bundle;
        if (inflated) bundle = APMPBMeasurementBundle::initWithBuffer(*inflated);
        if (!bundle) {
            unreadable.emplace_back(rowID, !data      ? "no bundle data"
                                           : !inflated ? "the bundle data does not inflate: " + inflateError.description()
                                                       : "the bundle does not decode");
            continue;
        }
        const auto size = static_cast<std::int64_t>(inflated->size());
        if (!bundles.empty() && totalSize + size > sizeLimit) break;
        totalSize += size;
        bundles.push_back({std::move(*bundle), rowID, rowInteger(row, "retry_count").value_or(0),
                           rowInteger(row, "refusal_count").value_or(0), rowInteger(row, "refusal_status").value_or(0),
                           std::move(stored)});
    }
    dropUnreadableBundles(unreadable);
    return bundles;
}

// Stored bytes that do not inflate or decode never will: kept, such a
// bundle would only wait out the maximum queue time and keep the upload
// believing there is data to send.
void APMDatabase::dropUnreadableBundles(const UnreadableBundles& bundles) {
    if (bundles.empty()) return;
    std::vector<std::int64_t> rowIDs;
    for (const auto& bundle : bundles) rowIDs.push_back(bundle.first);
    std::optional<APMError> deleteError;
    const bool deleted = deleteBundlesWithRowIDs(rowIDs, &deleteError);
    for (const auto& bundle : bundles) {
        if (deleted) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseUndecodableBundleCode,
                                              "Dropped a queued bundle that cannot be read. Row ID, reason",
                                              platform::Value(bundle.first), platform::Value(bundle.second));
            continue;
        }
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseUndecodableBundleCode,
                                          "Unable to drop a queued bundle that cannot be read. Row ID, reason, error",
                                          platform::Value(bundle.first), platform::Value(bundle.second),
                                          deleteError ? deleteError->asContext() : platform::Value("unknown"));
    }
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                                         APMErrorOut error) {
    checkWorkerQueue("incrementRetryCounterForBundlesWithIDs:error:");
    std::vector<std::int64_t> atLimit;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        return forEachSlice(rowIDs, [&](const std::string& marks, const APMBindings& values) {
            APMBindings withLimit = values;
            withLimit.emplace_back(kMaxRetryCount);
            auto capped = query("SELECT rowid FROM queue WHERE rowid IN (" + marks + ") AND retry_count >= ?",
                                withLimit, inner);
            if (!capped) return false;
            for (const auto& row : *capped) atLimit.push_back(rowInteger(row, "rowid").value_or(0));
            return store_
                ->executeStatement("UPDATE queue SET retry_count = retry_count + 1 WHERE rowid IN (" + marks +
                                       ") AND retry_count < ?",
                                   withLimit, inner)
                .has_value();
        });
    });
    if (done) {
        for (auto rowID : atLimit) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseRetryCountLimitCode,
                                              "The number of upload retries exceeds the limit. Will remain unchanged.",
                                              platform::Value(rowID));
        }
    }
    return done;
}

bool APMDatabase::recordRefusalOfBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, int status,
                                                 bool countsAgainstBundles, APMErrorOut error) {
    checkWorkerQueue("recordRefusalOfBundlesWithIDs:status:error:");
    const std::int64_t raise = countsAgainstBundles ? 1 : 0;
    return transaction(error, [&](APMErrorOut inner) {
        return forEachSlice(rowIDs, [&](const std::string& marks, const APMBindings& values) {
            APMBindings bound{std::int64_t{status}, raise, kMaxRetryCount};
            bound.insert(bound.end(), values.begin(), values.end());
            return store_
                ->executeStatement("UPDATE queue SET refusal_status = ?, refusal_count = MIN(refusal_count + ?, ?) "
                                   "WHERE rowid IN (" + marks + ")",
                                   bound, inner)
                .has_value();
        });
    });
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error,
                                          std::int64_t* deleted) {
    checkWorkerQueue("deleteBundlesWithRowIDs:error:");
    std::int64_t count = 0;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        count = 0;
        return forEachSlice(rowIDs, [&](const std::string& marks, const APMBindings& values) {
            const auto changed = store_->deleteRecordsFromTableWithName("queue", "rowid IN (" + marks + ")", values, inner);
            count += changed.value_or(0);
            return changed.has_value();
        });
    });
    forget(bundleFacts_);
    if (deleted) *deleted = done ? count : 0;
    return done;
}

std::optional<std::int64_t> APMDatabase::deleteBundlesStoredAs(const std::vector<APMQueuedBundle>& bundles,
                                                              APMErrorOut error) {
    checkWorkerQueue("deleteBundlesStoredAs:error:");
    std::int64_t deleted = 0;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        for (const auto& bundle : bundles) {
            const auto changed = store_->deleteRecordsFromTableWithName(
                "queue", "rowid = ? AND data = ?", {bundle.rowID, platform::Value(platform::Data{bundle.stored})}, inner);
            if (!changed) return false;
            deleted += *changed;
        }
        return true;
    });
    forget(bundleFacts_);
    return done ? std::optional(deleted) : std::nullopt;
}

std::optional<double> APMDatabase::queryLatestBundleTime(APMErrorOut error) {
    checkWorkerQueue("queryLatestBundleTime:");
    return remembered<double>(bundleFacts_, &TableFacts::latestTime,
                              [&] { return queryMaxTime("queue", "bundle_end_timestamp", error); });
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(APMErrorOut error) {
    checkWorkerQueue("containsRealtimeBundlesWithError:");
    return remembered<bool>(bundleFacts_, &TableFacts::holdsRealtime,
                            [&] { return queryExists("SELECT 1 FROM queue WHERE is_realtime = 1", {}, error); });
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(APMErrorOut error) {
    checkWorkerQueue("isQueuedBundleTableEmpty:");
    return remembered<bool>(bundleFacts_, &TableFacts::empty, [&] { return queryIsEmpty("queue", error); });
}

// A bundle the service always refuses would otherwise stay at the head of
// the queue for ever, and raw events that never get bundled would pile up.
std::optional<std::int64_t> APMDatabase::deleteStaleData(const APMQueueLimits& limits, APMErrorOut error) {
    checkWorkerQueue("deleteStaleData:error:");
    return removeStaleData(limits, error);
}

std::optional<std::int64_t> APMDatabase::removeStaleData(const APMQueueLimits& limits, APMErrorOut error) {
    const double now = platform::dispatch::currentClock()->now();
    const bool byAge = std::isfinite(limits.maxQueueTime) && limits.maxQueueTime > 0;
    const double cutoff = now - limits.maxQueueTime;
    const std::int64_t clock = APMCurrentClockStamp();
    const std::int64_t refusalLimit = std::max<std::int64_t>(limits.refusalLimit, 1);
    std::int64_t oldBundles = 0, oldEvents = 0;
    APMRows refused;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        if (byAge) {
            auto deleted = store_->deleteRecordsFromTableWithName(
                "queue", std::string("bundle_end_timestamp < ? AND ") + kOwnClockRows, {cutoff, clock}, inner);
            if (!deleted) return false;
            oldBundles = *deleted;
        }
        auto found = query("SELECT rowid, refusal_count, refusal_status FROM queue WHERE refusal_count >= ?",
                           {refusalLimit}, inner);
        if (!found) return false;
        refused = std::move(*found);
        if (!refused.empty() &&
            !store_->deleteRecordsFromTableWithName("queue", "refusal_count >= ?", {refusalLimit}, inner)) {
            return false;
        }
        if (!byAge) return true;
        auto deleted = removeRawEventsBefore(cutoff, clock, inner);
        if (!deleted) return false;
        oldEvents = *deleted;
        return true;
    });
    forget(bundleFacts_);
    forget(rawEventFacts_);
    if (!done) return std::nullopt;
    logDropped(kAPMDatabaseStaleBundlesDeletedCode, "Deleted bundles older than the max queue time. Count",
               oldBundles);
    for (const auto& row : refused) {
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelSampledWarning, kAPMDatabaseRefusedBundleDeletedCode,
            "Deleted a bundle the service refused. Row ID, status code, refusals",
            platform::Value(rowInteger(row, "rowid").value_or(0)), platform::Value(rowInteger(row, "refusal_status").value_or(0)),
            platform::Value(rowInteger(row, "refusal_count").value_or(0)));
    }
    logDropped(kAPMDatabaseStaleRawEventsDeletedCode, "Deleted raw events older than the max queue time. Count",
               oldEvents);
    return oldBundles + static_cast<std::int64_t>(refused.size()) + oldEvents;
}

// Raw events stamped by that clock before the cutoff, with the headers none
// of the remaining raw events uses. Runs inside the caller's transaction.
std::optional<std::int64_t> APMDatabase::removeRawEventsBefore(double cutoff, std::int64_t clock, APMErrorOut error) {
    const std::string old = std::string("timestamp < ? AND ") + kOwnClockRows;
    auto fingerprints = query("SELECT DISTINCT metadata_fingerprint FROM raw_events WHERE " + old, {cutoff, clock},
                              error);
    if (!fingerprints) return std::nullopt;
    auto deleted = store_->deleteRecordsFromTableWithName("raw_events", old, {cutoff, clock}, error);
    if (!deleted) return std::nullopt;
    for (const auto& row : *fingerprints) {
        const auto fingerprint = rowInteger(row, "metadata_fingerprint");
        if (!fingerprint) continue;
        if (!store_->deleteRecordsFromTableWithName(
                "raw_events_metadata",
                "metadata_fingerprint = ? AND NOT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ?)",
                {*fingerprint, *fingerprint}, error)) {
            return std::nullopt;
        }
    }
    return deleted;
}

}  // namespace measurement
