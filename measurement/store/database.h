#pragma once

// APMDatabase: the measurement database.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/foundation/daily_counts.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/event_aggregates.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/raw_event_data.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/app_metadata.h"
#include "measurement/store/audience_records.h"
#include "measurement/store/conditional_user_property.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

// The measurement database's file, in the engine's application-support
// folder.
inline constexpr const char* kAPMDatabaseFileName = "rozeda-app-measurement.sql";
// The layout this build writes (PRAGMA user_version). Opening a file of an
// older layout adds what it lacks and keeps every row; a file of a newer
// layout is used as it is (newer layouts only add).
inline constexpr std::int64_t kAPMDatabaseSchemaVersion = 1;

// Codes of the errors the database writes into an error out-parameter
// (besides those of the store it passes on). A missing row and stored data
// that does not decode have codes of their own, apart from the store's (1 to
// 7), so that a caller can tell data that will never read from a failure
// that may pass.
enum : long {
    kAPMDatabaseInvalidArgumentCode = 1,
    kAPMDatabaseEmptyDataCode = 3,
    kAPMDatabaseMissingRowCode = 101,
    kAPMDatabaseUndecodableDataCode = 102,
};

// Monitor codes of the database.
enum : long {
    kAPMDatabaseOpenFailedCode = 12001,
    kAPMDatabaseSchemaFailedCode = 12002,
    kAPMDatabaseNewerSchemaCode = 12003,
    kAPMDatabaseAppMetadataLostCode = 12004,
    kAPMDatabaseBundleOutsideMaxTimeSpanCode = 12016,
    kAPMDatabaseStaleBundlesDeletedCode = 12017,
    kAPMDatabaseRefusedBundleDeletedCode = 12018,
    kAPMDatabaseStaleRawEventsDeletedCode = 12019,
    kAPMDatabaseUndecodableBundleCode = 12020,
    kAPMDatabaseRetryCountLimitCode = 12054,
    kAPMDatabaseTransactionFailedCode = 12056,
    kAPMDatabaseSnapshotTableFailedCode = 12058,
};

// Which clock stamped a stored raw event or bundle: the system's, which
// every process on the machine reads, or a manual one (the headless
// runner's, a test's). The times of one say nothing about the other's, so
// the stale clean-up only judges rows stamped by its own kind of clock.
// Rows stored before this was kept carry none and are judged by any.
inline constexpr std::int64_t kAPMSystemClockStamp = 0;
inline constexpr std::int64_t kAPMManualClockStamp = 1;
// The stamp of the process clock now.
std::int64_t APMCurrentClockStamp();

// The longest a bundle or raw event waits for upload (28 days).
inline constexpr double kAPMDefaultMaxQueueTime = 28.0 * 86400.0;
// Refusals of one bundle, sent on its own, before it is given up (the
// server flag "measurement.upload.retry_count" defaults to the same).
inline constexpr std::int64_t kAPMDefaultUploadRefusalLimit = 6;
// Raw events read for one bundle at most.
inline constexpr std::int64_t kAPMRawEventsReadLimit = 1000;
// Purchase fingerprints kept for the duplicate check.
inline constexpr std::int64_t kAPMPurchaseFingerprintLimit = 1000;

// When queued data is given up: bundles and raw events older than the
// maximum queue time, and bundles the service itself refused refusalLimit
// times. An outage, however long, only ages bundles: failed uploads alone
// never drop one. Callers pass the server's flags.
struct APMQueueLimits {
    double maxQueueTime = kAPMDefaultMaxQueueTime;
    std::int64_t refusalLimit = kAPMDefaultUploadRefusalLimit;
};

// One bundle of the upload queue with its row ID, its count of failed
// uploads, and the service's refusals of it: how often it was refused when
// sent on its own, and the status of the last refusal of a batch that held
// it (0 when none was refused).
struct APMQueuedBundle {
    APMPBMeasurementBundle bundle;
    std::int64_t rowID = 0;
    std::int64_t retryCount = 0;
    std::int64_t refusalCount = 0;
    std::int64_t refusalStatus = 0;
    // The row's data as stored (compressed): what names this bundle in a
    // file whose row IDs may name others.
    NANOBytes stored;
};

// Offered each raw-event row of a run with its position (from 0); false
// ends the run before that row.
using APMRawEventFilter = std::function<bool(const APMRow& row, std::size_t position)>;

// The hour bucket of a time (seconds since 1970): whole seconds, floored,
// divided by 3600 with truncation; 64-bit so that no date overflows it.
std::int64_t APMHourBucket(double timestampSeconds);

// The engine's SQLite database: raw events and their metadata headers, the
// upload queue, per-event aggregates and daily counts, user properties, app
// metadata and the stored server configuration, audience filters and
// results, conditional user properties and purchase fingerprints. Every
// operation runs on the measurement worker queue (each reports a call from
// the main thread through the scheduler and carries on). Operations that can
// fail answer false or none and fill the optional error out-parameter; a
// missing row is none without an error.
class APMDatabase {
public:
    // Opens (creating when missing) the file at the path and brings its
    // layout up to date. A file the engine's writes cannot go into as it
    // is, found when its layout is examined (another program's objects or
    // tables under the engine's names, a table without row IDs, a column
    // that takes the row ID's name, a generated column, a declaration that
    // refuses the writes of every event) is set aside as "<path>.corrupt"
    // once every row of the engine's tables that still reads is carried
    // into a new one made from the engine's declarations (see
    // APMSqliteStore::setAsideAndReopen); a file that is only held by
    // another connection, or a full disk, fails the open and is kept. None
    // and an error on failure.
    static std::unique_ptr<APMDatabase> makeWithPath(const std::string& path, APMErrorOut error);
    // The file "rozeda-app-measurement.sql" in the engine's folder.
    static std::unique_ptr<APMDatabase> makeDefault(APMErrorOut error);
    // An existing file, for reading only: its layout is taken as it is and
    // every write fails.
    static std::unique_ptr<APMDatabase> makeReadOnlyWithPath(const std::string& path, APMErrorOut error);
    // The tables and columns the database fills, as it declares them: a
    // store that reads its file takes no row of other types from them.
    static const APMDeclaredTables& declaredTables();
    // Those tables with their indexes: what a carry of a damaged file makes.
    static const APMDeclaredSchema& declaredSchema();
    ~APMDatabase();
    APMDatabase(const APMDatabase&) = delete;
    APMDatabase& operator=(const APMDatabase&) = delete;

    const std::string& databasePath() const;
    // See APMSqliteStore::fileGeneration.
    std::uint64_t fileGeneration() const;
    // Why the open file takes no write (damage found in it, which the next
    // write replaces it for, when it can); none otherwise.
    std::optional<std::string> damageKept() const;
    // See APMSqliteStore::checkRowsNotFound.
    bool checkRowsNotFound(const std::string& what);

    // Runs the block inside one exclusive transaction (a savepoint inside
    // another): true commits; false, or an exception (which goes on to the
    // caller), rolls back, logged at level 1 with code 12056; the error says
    // why the transaction failed (the store's: a file that takes no write,
    // a commit refused), or only that the block did.
    bool performTransaction(const std::function<bool()>& block, APMErrorOut error = nullptr);

    // Write groups (see APMSqliteStore): one transaction left open across
    // calls, in which grouped blocks run as savepoints; every other write
    // commits it first. The handler hears once how the group ended.
    bool openWriteGroup(std::function<void(bool committed)> closed, APMErrorOut error);
    bool isWriteGroupOpen() const;
    // Runs the block in the open group: true keeps its work for the group's
    // commit; false undoes only its own work, unlogged (its caller writes
    // the work again alone, through performTransaction, which logs).
    bool performGroupedTransaction(const std::function<bool()>& block, APMErrorOut error);
    // True when the group committed, or none was open.
    bool closeWriteGroup();
    bool isInTransaction() const;

    // ---- raw events (database_raw_events.cpp) ----

    // Stores an event under the fingerprint of its metadata header: the
    // encoded event, its name, time, real-time flag and the stamp of the
    // process clock. The new row ID.
    std::optional<std::int64_t> insertRawEvent(const APMEvent& event, std::int64_t metadataFingerprint,
                                               APMErrorOut error);
    // Stores the metadata header of a fingerprint, replacing a different one
    // stored under it; the same header is not written again.
    bool insertRawEventMetadata(const APMPBMeasurementBundle& metadata, std::int64_t metadataFingerprint,
                                APMErrorOut error);
    // The fingerprint of the oldest raw event; none without an error when
    // there is no raw event. One that is no integer (damage made it) is an
    // error of kAPMDatabaseUndecodableDataCode, with the row's ID in
    // *unreadableRowID: that row never bundles, and none after it would
    // while it stays.
    std::optional<std::int64_t> nextMetadataFingerprintToProcess(
        APMErrorOut error, std::optional<std::int64_t>* unreadableRowID = nullptr);
    // The header of the fingerprint; none with an error when it is missing
    // or does not decode.
    std::optional<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(std::int64_t metadataFingerprint,
                                                                                APMErrorOut error);
    // The fingerprint's rows in row order, at most 1000, each offered to the
    // filter; the run ends at the first refused row (or at a row that does
    // not read as a raw event, whose reason fills *unreadableRow). None on a
    // query error.
    std::optional<std::vector<APMRawEventData>> rawEventsWithMetadataFingerprint(
        std::int64_t metadataFingerprint, APMErrorOut error, const APMRawEventFilter& eventFilter,
        APMErrorOut unreadableRow = nullptr);
    // The raw event a row holds; none, with the reason (code
    // kAPMDatabaseUndecodableDataCode), for a row the engine could not have
    // written: a value of a type other than its column's declared one (see
    // declaredTables), an empty name, data that does not decode.
    std::optional<APMRawEventData> rawEventDataFromDictionary(const APMRow& row, APMErrorOut error) const;
    bool deleteRawEventsWithMaxRowID(std::int64_t rowID, APMErrorOut error);
    std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t metadataFingerprint, APMErrorOut error);
    bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t metadataFingerprint, APMErrorOut error);
    // Seconds since 1970; 0 when there is none.
    std::optional<double> queryLatestRawEventTime(APMErrorOut error);
    std::optional<bool> containsRealtimeRawEventsWithError(APMErrorOut error);
    std::optional<bool> isRawEventsTableEmpty(APMErrorOut error);

    // ---- upload queue (database_queue.cpp) ----

    // Stores the bundle gzip-compressed, with its end time (tag 6, in
    // seconds), the real-time flag, retry count 0 and the stamp of the clock
    // its events' times come from (none: unknown), after the stale clean-up.
    // Refuses a bundle without application identifier (tag 14) or with an
    // end time below 1 ms.
    bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, APMErrorOut error,
                      const APMQueueLimits& limits = {},
                      std::optional<std::int64_t> clockStamp = APMCurrentClockStamp());
    // Bundles in row order, at most countLimit rows read: the first one that
    // decodes always, then each next while the summed encoded sizes stay at
    // or below sizeLimit. A bundle that cannot be read never will be: it is
    // deleted, each logged with code 12020 and its row ID.
    std::optional<std::vector<APMQueuedBundle>> queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                           std::int64_t sizeLimit, APMErrorOut error);
    // Adds 1 to the retry count of each bundle below 2147483647 (one at it
    // stays, logged with code 12054).
    bool incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error);
    // Records that the service refused a batch of these bundles with the
    // status; countsAgainstBundles also raises their refusal counts (the
    // caller asks for it when the batch held a bundle alone, so that only a
    // refusal of the bundle itself counts toward giving it up).
    bool recordRefusalOfBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, int status, bool countsAgainstBundles,
                                       APMErrorOut error);
    bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error,
                                 std::int64_t* deleted = nullptr);
    // Deletes each of these bundles that is in the file under its row ID
    // with the same stored data (a file carried from the one they were read
    // from keeps their row IDs; a file made anew may give those to others):
    // the number deleted.
    std::optional<std::int64_t> deleteBundlesStoredAs(const std::vector<APMQueuedBundle>& bundles, APMErrorOut error);
    // Seconds since 1970; 0 when the queue is empty.
    std::optional<double> queryLatestBundleTime(APMErrorOut error);
    std::optional<bool> containsRealtimeBundlesWithError(APMErrorOut error);
    std::optional<bool> isQueuedBundleTableEmpty(APMErrorOut error);
    // Drops bundles older than the maximum queue time or refused refusalLimit
    // times (each of those logged with its row ID and the refusing status),
    // and raw events older than the maximum queue time (with the headers no
    // raw event uses any more). Age is judged on the process clock, so only
    // rows stamped by its kind of clock (or by none) are old. The number of
    // rows dropped.
    std::optional<std::int64_t> deleteStaleData(const APMQueueLimits& limits, APMErrorOut error);

    // ---- aggregates and daily counts (database_counts.cpp) ----

    // All zero (day 0) when nothing is stored.
    std::optional<APMDailyCounts> dailyCounts(APMErrorOut error);
    bool updateDailyCounts(const APMDailyCounts& counts, APMErrorOut error);
    std::optional<APMEventAggregates> eventAggregatesWithName(const std::string& name, APMErrorOut error);
    bool updateEventAggregates(const APMEventAggregates& aggregates, APMErrorOut error);
    std::optional<std::vector<APMEventAggregates>> allEventAggregates(APMErrorOut error);
    bool clearCurrentSessionCounts(APMErrorOut error);
    // Copies every aggregate into the snapshot table (made anew).
    bool createEventsSnapshotTable(APMErrorOut error);
    // Replaces the aggregates by the snapshot's, keeping the current "_f"
    // when the snapshot's "_f" has a lifetime count of 0 or is missing; then
    // empties the snapshot. True when there is nothing to restore.
    bool restoreFromEventsSnapshotTable(APMErrorOut error);

    // ---- user properties (database_user_properties.cpp) ----

    std::optional<APMUserAttribute> userAttributeWithName(const std::string& name, APMErrorOut error);
    bool containsUserAttributeWithName(const std::string& name, APMErrorOut error);
    // A list value cannot be stored (code 1).
    bool updateUserAttribute(const APMUserAttribute& attribute, APMErrorOut error);
    bool deleteUserAttributeWithName(const std::string& name, APMErrorOut error);
    // The user property a row of its table holds; none when the row has no
    // name, or a value that is neither text nor a number.
    static std::optional<APMUserAttribute> userAttributeFromDictionary(const APMRow& row);
    // Every user property, by name.
    std::optional<std::vector<APMUserAttribute>> allUserAttributes(APMErrorOut error);
    // Changes whenever the stored user properties may have changed (a write
    // of one, or work the store undid), and differs between databases: what
    // is made from the properties stays valid while it is unchanged.
    std::uint64_t userAttributesVersion();

    // ---- app metadata and server configuration (database_app_metadata.cpp) ----

    // Index 0 and no times when nothing is stored.
    std::optional<APMAppMetadata> queryAppMetadata(APMErrorOut error);
    bool updateAppMetadata(const APMAppMetadata& metadata, APMErrorOut error);
    // The time (seconds since 1970) of the last successful configuration
    // update; 0 when there was none.
    bool updateRemoteConfigSuccessfulTimestamp(double timestamp, APMErrorOut error);
    std::optional<double> remoteConfigSuccessfulTimestamp(APMErrorOut error);
    // The last stored server configuration, encoded; empty when none was
    // stored.
    bool updateMeasurementConfigData(const NANOBytes& data, APMErrorOut error);
    std::optional<NANOBytes> measurementConfigData(APMErrorOut error);
    // The first open (milliseconds since 1970) that the file records; when
    // it records none, records the given one and sets *recorded. Called
    // inside the transaction that stores the first-open event, so that of
    // processes starting together on one file exactly one reports it. 0
    // (nothing recorded) when the file's app metadata was lost to damage
    // (appMetadataLostToDamage): the first open was, its time is unknown.
    std::optional<std::int64_t> recordFirstOpenUnlessRecorded(std::int64_t millis, bool* recorded, APMErrorOut error);
    // The app instance ID the file records; when it records none, records
    // the one proposed, in a transaction of its own, so that processes
    // starting together on one file all take the same.
    std::optional<std::string> recordAppInstanceIDUnlessRecorded(const std::string& proposed, APMErrorOut error);
    // The app instance ID the file records once it was changed from
    // `replacing` to `proposed` (a new advertising identifier): the one
    // proposed when the file records `replacing` or none; else the one it
    // records, which another process put in `replacing`'s place first.
    std::optional<std::string> replaceAppInstanceID(const std::string& replacing, const std::string& proposed,
                                                    APMErrorOut error);
    // Whether the file was carried from a damaged one whose app metadata
    // did not come across whole (see prepareFile): what it lacks of the
    // first open and the app instance ID was lost, not never there.
    std::optional<bool> appMetadataLostToDamage(APMErrorOut error);

    // ---- audiences (database_audiences.cpp) ----

    std::optional<std::vector<APMEventFilter>> eventFiltersForEventName(const std::string& eventName,
                                                                        APMErrorOut error);
    std::optional<std::vector<APMPropertyFilter>> propertyFiltersForPropertyName(const std::string& propertyName,
                                                                                 APMErrorOut error);
    std::optional<std::vector<std::int32_t>> allAudienceIDs(APMErrorOut error);
    // Audience ID to the IDs of its session-scoped filters.
    std::optional<std::map<std::int32_t, std::vector<std::int32_t>>> allSessionScopedFilters(APMErrorOut error);
    bool updateEventFilters(const std::vector<APMEventFilter>& filters, APMErrorOut error);
    bool updatePropertyFilters(const std::vector<APMPropertyFilter>& filters, APMErrorOut error);
    bool deleteAllEventFilters(APMErrorOut error);
    bool deleteAllPropertyFilters(APMErrorOut error);
    std::optional<APMFilterResult> filterResultForAudienceID(std::int32_t audienceID, APMErrorOut error);
    std::optional<std::map<std::int32_t, APMFilterResult>> allFilterResults(APMErrorOut error);
    bool updateFilterResults(const std::vector<APMFilterResult>& results, APMErrorOut error);
    bool deleteFilterResults(const std::vector<APMFilterResult>& results, APMErrorOut error);

    // ---- conditional user properties (database_conditional_properties.cpp) ----

    std::optional<APMConditionalUserProperty> conditionalUserPropertyWithName(const std::string& name,
                                                                              APMErrorOut error);
    // Refuses a record without name, origin or value (code 1).
    bool updateConditionalUserProperty(const APMConditionalUserProperty& property, APMErrorOut error);
    bool deleteConditionalUserPropertyWithName(const std::string& name, APMErrorOut error);
    // Waiting ones whose trigger timeout has passed (now from the process
    // clock).
    std::optional<std::vector<APMConditionalUserProperty>> timedOutConditionalUserPropertiesWithError(
        APMErrorOut error);
    // Active ones whose time to live has passed.
    std::optional<std::vector<APMConditionalUserProperty>> expiredConditionalUserPropertiesWithError(
        APMErrorOut error);
    // Waiting ones for that trigger event still within their timeout.
    std::optional<std::vector<APMConditionalUserProperty>> triggeredConditionalUserPropertiesWithEventName(
        const std::string& eventName, APMErrorOut error);
    // Those whose name begins with the prefix (compared exactly), and of
    // that origin when one is given.
    std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
        const std::optional<std::string>& prefix, const std::optional<std::string>& origin, APMErrorOut error);

    // ---- purchases (database_purchases.cpp) ----

    // True when the fingerprint was new and is now stored, false for a
    // duplicate, none with the error when it could not be stored. Only the
    // newest 1000 fingerprints are kept.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, APMErrorOut error);

private:
    explicit APMDatabase(std::unique_ptr<APMSqliteStore> store);
    bool prepareFile(APMErrorOut error);
    bool prepareLayout(APMErrorOut error);
    // After the store carried the file out of a damaged one: notes in the
    // app metadata when it lost its row there.
    void noteCarriedLoss();
    // What the file's record of its layout's last examination says of it
    // now.
    enum class LayoutSinceChecked { unchanged, changed, schemaRewritten };
    LayoutSinceChecked layoutSinceChecked();
    std::optional<std::string> foreignLayout();
    // *refusal, when given, is set (and nothing kept) when the file
    // refuses what an event's write does.
    bool ensureSchema(APMErrorOut error, std::optional<std::string>* refusal);
    // The rows of a select, with the worker-queue check already done.
    std::optional<APMRows> query(const std::string& sql, const APMBindings& values, APMErrorOut error);
    // The first column of the first row as an integer (none when NULL).
    std::optional<std::optional<std::int64_t>> queryInteger(const std::string& sql, const APMBindings& values,
                                                            APMErrorOut error);
    std::optional<bool> queryExists(const std::string& sql, const APMBindings& values, APMErrorOut error);
    std::optional<bool> queryIsEmpty(const std::string& table, APMErrorOut error);
    // Writes the rows into the table in one transaction.
    bool upsertRows(const std::string& table, const APMRows& rows, APMErrorOut error);
    std::optional<double> queryMaxTime(const std::string& table, const std::string& column, APMErrorOut error);
    bool transaction(APMErrorOut error, const std::function<bool(APMErrorOut)>& block);
    std::optional<std::int64_t> removeStaleData(const APMQueueLimits& limits, APMErrorOut error);
    std::optional<std::int64_t> removeRawEventsBefore(double cutoff, std::int64_t clock, APMErrorOut error);
    // Queued rows that cannot be read as bundles: each row ID with why.
    using UnreadableBundles = std::vector<std::pair<std::int64_t, std::string>>;
    void dropUnreadableBundles(const UnreadableBundles& bundles);
    bool updateAppMetadataColumns(const APMRow& columns, APMErrorOut error);
    // Records `proposed` unless the file records an ID other than
    // `replacing`, in a transaction of its own; answers the recorded one.
    std::optional<std::string> changeAppInstanceID(const std::optional<std::string>& replacing,
                                                   const std::string& proposed, APMErrorOut error);
    // The highest row ID the queue has used: the larger of its rows' and
    // the one recorded as each bundle was queued, since rows go. None
    // (without an error) when the file holds no number there.
    std::optional<std::int64_t> highestQueueRowIDUsed(APMErrorOut error);
    bool recordQueueRowIDUsed(std::int64_t rowID, APMErrorOut error);
    std::optional<std::vector<APMConditionalUserProperty>> conditionalUserProperties(const std::string& condition,
                                                                                     const APMBindings& values,
                                                                                     APMErrorOut error);

    // ---- what is remembered of the rows (database_remembered_rows.cpp) ----
    //
    // The upload schedule asks after every event whether the raw events and
    // the queue hold anything, their newest times and whether they hold
    // real-time data; the session's properties are deleted after every event
    // while the session is expired; conditional properties are looked up
    // for every event, though most installations never store one. The
    // answers are read once and then kept up to date by this object's own
    // writes; a write that may change them in ways not worked out here
    // forgets them, and so does anything the store may have undone (a
    // rollback, a failed statement) or a commit by another connection (other
    // processes on the same folder), after which they are read again.
    struct TableFacts {
        std::optional<bool> empty;
        std::optional<double> latestTime;
        std::optional<bool> holdsRealtime;
        void noteInsert(double time, bool realtime);
    };
    template <typename T>
    std::optional<T> remembered(TableFacts& facts, std::optional<T> TableFacts::*fact,
                                const std::function<std::optional<T>()>& read);
    void noteRawEventInserted(double time, bool realtime);
    void noteRowStored(TableFacts& facts);
    void forget(TableFacts& facts);
    // True when the user property is known not to be stored.
    bool isUserAttributeKnownAbsent(const std::string& name);
    // After a write of the property; a delete that succeeded, with nothing
    // undone since undoCountBefore, leaves it known absent.
    void noteUserAttributeWritten(const std::string& name, bool deleted, std::uint64_t undoCountBefore);
    // Forgets everything when the store may have undone work since it was
    // learnt. Called with factsMutex_ held.
    void forgetIfUndone();

    std::unique_ptr<APMSqliteStore> store_;
    std::mutex factsMutex_;
    std::uint64_t factsUndoCount_ = 0;
    TableFacts rawEventFacts_;
    TableFacts bundleFacts_;
    TableFacts conditionalPropertyFacts_;
    std::set<std::string> absentUserAttributes_;
    std::uint64_t userAttributesVersion_ = 0;
};

}  // namespace measurement
