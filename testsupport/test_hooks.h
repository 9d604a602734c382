#pragma once

// The one entry point of the test hooks: what tests (and the benchmarks that
// run several engines in one process) use to put process-wide state back as
// a new process would find it, or to bend a limit. Compiled into
// velmora_test_hooks, which only test builds link; what ships has no way to
// call these.

#include <cstdint>
#include <optional>
#include <string>

namespace test_hooks {

// The default application's configuration forgotten (its start hooks stay
// registered).
void resetDefaultApp();
// The shared remote-configuration client and its options forgotten: the
// next one is made anew.
void resetSharedRemoteConfig();

// The application identifiers taken in this process, and the shared
// identity, forgotten.
void resetProcessIdentifiers();
// The decimal-number expression replaced, to test a failing compilation;
// none restores the built-in one.
void setDecimalNumberPattern(std::optional<std::string> pattern);
// The limit of one string-filter search, in the regular-expression engine's
// time units; 0 or less restores the default.
void setExpressionTimeLimit(std::int32_t units);
// The facade's queues made anew (held again until an engine starts) and its
// event listeners dropped.
void resetAnalyticsFacade();
// The engine shut down, and what outlives it in a process forgotten (the
// application identifiers, the shared identity), so that the next engine
// starts as in a new process on the same files.
void resetMeasurementEngine();
// Whether the store's read-back is refused every value a row is about to
// be written with, as SQLite refuses them when it runs out of memory.
void refuseWrittenValues(bool refused);
// All of the measurement side at once: the engine, the facade and the
// default application, as between two runs of the application.
void resetMeasurement();

// Whether the triggers a database file holds run on the engine's
// connections, and are taken for no damage at open: for tests that make a
// write fail with a trigger of their own. Off in every program that ships;
// FileTriggersRun turns it on for as long as it lives.
void setFileTriggersRun(bool run);
struct FileTriggersRun {
    FileTriggersRun() { setFileTriggersRun(true); }
    ~FileTriggersRun() { setFileTriggersRun(false); }
    FileTriggersRun(const FileTriggersRun&) = delete;
    FileTriggersRun& operator=(const FileTriggersRun&) = delete;
};

// Whether a store examines the layout another connection changed while it
// was open before its next write (APMSqliteStore::setLayoutHandler): off
// for tests that make a step fail by dropping or renaming a table behind
// the database's back, which the examination would make again.
// LayoutChangesUnexamined turns it off for as long as it lives.
void setLayoutChangesExamined(bool examined);
struct LayoutChangesUnexamined {
    LayoutChangesUnexamined() { setLayoutChangesExamined(false); }
    ~LayoutChangesUnexamined() { setLayoutChangesExamined(true); }
    LayoutChangesUnexamined(const LayoutChangesUnexamined&) = delete;
    LayoutChangesUnexamined& operator=(const LayoutChangesUnexamined&) = delete;
};

// Whether a database's lock file that is no regular file stays where it is,
// as one that cannot be set aside does: for tests of a lock file that
// cannot be locked. Off in every program that ships; OddLockKept turns it
// on for as long as it lives.
void setOddLockKept(bool kept);
struct OddLockKept {
    OddLockKept() { setOddLockKept(true); }
    ~OddLockKept() { setOddLockKept(false); }
    OddLockKept(const OddLockKept&) = delete;
    OddLockKept& operator=(const OddLockKept&) = delete;
};

// The application's colour and text constants unset: each is made again at
// its next use, in the interface style and language in force then. What was
// handed out before stays valid.
void resetApplicationConstants();

}  // namespace test_hooks
