// Monitor codes, error codes and fixed values of the experiments client.
#pragma once

namespace measurement {

// The lowest monitor level, below the named ones: calls that can never be
// right (an empty name, a missing argument).
inline constexpr int kAPMELevelCritical = 0;

// Manager (800000s) and client (830000s).
enum : long {
    kAPMERegisterNilPropertyCode = 800000,
    kAPMERegisterNoSDKNameCode = 800001,
    kAPMERegisterInvalidFlagCode = 800002,
    kAPMERegisterAgainCode = 800003,
    kAPMERegisterClientFailedCode = 800004,
    kAPMERegisteredClientCode = 800005,
    kAPMEClientInvalidSDKNameCode = 800006,
    kAPMEClientEmptySDKNameCode = 800007,
    kAPMEFlagInvalidSDKNameCode = 800008,
    kAPMEFlagInvalidFlagNameCode = 800009,
    kAPMEFlagEmptySDKNameCode = 800010,
    kAPMEFlagEmptyFlagNameCode = 800011,
    kAPMEFlagUnregisteredSDKCode = 800012,
    kAPMEFlagNoDefaultsCode = 800013,
    kAPMEFlagNoDefaultValueCode = 800014,
    kAPMEFlagLookingActivatedCode = 800015,
    kAPMEFlagLookingLaunchedCode = 800016,
    kAPMESerialAsyncExceptionCode = 800017,
    kAPMESerialSyncExceptionCode = 800018,
    kAPMEFlagDefaultValueCode = 800019,
    kAPMENoSnapshotsToNotifyCode = 800020,
    // Two messages share this code: a nil SDK name at activation (level 3)
    // and a delegate that cannot be told of a new snapshot (level 0).
    kAPMEActivateNilSDKNameCode = 800021,
    kAPMECannotNotifySnapshotCode = 800021,
    kAPMEActivateEmptySDKNameCode = 800022,
    kAPMENoPendingSnapshotCode = 800023,
    kAPMEStatusEmptySDKNameCode = 800024,
    kAPMEResetEmptySDKNameCode = 800025,
    kAPMEResetNoActivatedSnapshotCode = 800026,
    kAPMEResetToDefaultsCode = 800027,
    kAPMEActivatedSnapshotCode = 800028,
    kAPMEClientNilPropertyCode = 830000,
    kAPMEClientNilFlagsCode = 830001,
    kAPMEClientEmptyFlagNameCode = 830002,
    kAPMEClientInvalidFlagNameCode = 830003,
};

// Database (810000s).
enum : long {
    kAPMEDatabaseInvalidPathCode = 810000,
    kAPMEDatabaseOpenFailedCode = 810001,
    kAPMEDatabaseTablesFailedCode = 810002,
    kAPMEDatabaseDeleteAfterFailureCode = 810003,
    kAPMEDatabaseEnsureTableCode = 810004,
    kAPMEDatabaseDeleteDataCode = 810005,
    kAPMEDatabaseReinitializeCode = 810006,
    kAPMEDatabaseTransactionCode = 810007,
    // A stored row that gives no snapshot is left out of what is read.
    kAPMEDatabaseUnreadableRowCode = 810008,
};

// Fetch schedule and exchange (820000s), request builder (880000).
enum : long {
    kAPMEFetchingCode = 820001,
    kAPMEFetchFailedCode = 820002,
    kAPMEFetchSucceededCode = 820003,
    kAPMEDeleteStaleFailedCode = 820006,
    kAPMEAutoActivateFailedCode = 820007,
    kAPMEStartFailedCode = 820008,
    kAPMEStartedCode = 820009,
    kAPMEReadActivatedFailedCode = 820010,
    kAPMEReadPendingFailedCode = 820011,
    kAPMEReadLaunchedFailedCode = 820012,
    kAPMEActivateEmptySnapshotCode = 820013,
    kAPMEActivateInDatabaseFailedCode = 820014,
    kAPMENilResponseCode = 820015,
    kAPMESnapshotFromProtoFailedCode = 820016,
    kAPMEFetchAlreadyScheduledCode = 820017,
    kAPMEResetEmptyNameInDatabaseCode = 820018,
    kAPMEResetInDatabaseFailedCode = 820019,
    kAPMEUpsertEmptyListCode = 820020,
    kAPMEUpsertInDatabaseFailedCode = 820021,
    kAPMEUpsertFetchedFailedCode = 820022,
    kAPMEInflateFailedCode = 820023,
    kAPMERetriesExhaustedCode = 820024,
    kAPMEEmptyResponseDataCode = 820025,
    kAPMEWorkerAsyncExceptionCode = 820026,
    kAPMEWorkerSyncExceptionCode = 820027,
    // A reply that arrives after the database was deleted is dropped.
    kAPMEReplyAfterClearCode = 820028,
    // No experiments service address is configured: nothing is fetched.
    kAPMENoServiceAddressCode = 820029,
    // A fetch fell due without a network: it waits for the network.
    kAPMEHeldForNetworkCode = 820030,
    kAPMEBuilderNilPropertyCode = 880000,
};

// Snapshots (840000s), flags (850000s), SDK properties (860000s) and
// experiments (870000s).
enum : long {
    kAPMESnapshotInvalidSDKNameCode = 840000,
    kAPMESnapshotNilExperimentsCode = 840001,
    kAPMESnapshotNilExperimentIDCode = 840003,
    kAPMESnapshotInvalidFlagCode = 840004,
    kAPMEFlagNilNameCode = 850000,
    kAPMEFlagNameNotStringCode = 850001,
    kAPMEFlagInvalidValueCode = 850002,
    kAPMESDKPropertyInvalidNameCode = 860000,
    kAPMESDKPropertyNoDiversionKeyCode = 860001,
    kAPMEExperimentNilIDCode = 870000,
    kAPMEExperimentIDNotNumberCode = 870001,
    kAPMEExperimentInvalidFlagsCode = 870002,
    kAPMEExperimentAddNilFlagCode = 870004,
    kAPMEExperimentAddNamelessFlagCode = 870006,
    kAPMEExperimentEmptyFlagNameCode = 870007,
};

// The code of the errors the manager and the database write into error
// out-parameters (measurement error domain) for a missing or empty argument.
enum : long {
    kAPMEInvalidArgumentErrorCode = 1,
};

// The domain of the per-SDK fetch errors the service reports.
inline constexpr const char* kAPMEErrorDomain = "com.rozeda.experiments.ErrorDomain";

// The library version string; its version number drops the last three
// characters.
inline constexpr const char* kAPMELibraryVersionString = "10000000";

// The smallest positive difference between doubles: the client's "zero" for
// times.
inline constexpr double kAPMEDoubleEpsilon = 2.220446049250313e-16;

// An activated snapshot older than this is stale (three days).
inline constexpr double kAPMEStaleSnapshotAge = 259200;

}  // namespace measurement
