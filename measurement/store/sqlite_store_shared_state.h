#pragma once

// What the SQLite store keeps for the whole process, which the test hooks
// reach. Not part of the public surface.

#include <atomic>

namespace measurement::detail {

// Whether the store's connections let the triggers a file holds run, and
// take none found at open for damage. False in every program that ships;
// set only by tests that make a write fail with a trigger of their own
// (test_hooks::setFileTriggersRun).
std::atomic<bool>& fileTriggersRun();

// Whether a lock file that is no regular file stays where it is, as one that
// cannot be set aside does. False in every program that ships; set only by
// tests of a lock file that cannot be locked (test_hooks::setOddLockKept).
std::atomic<bool>& oddLockKept();

// Whether a store examines a layout another connection changed before its
// next write (see APMSqliteStore::setLayoutHandler). True in every program
// that ships; cleared only by tests that make a step fail by dropping or
// renaming a table (test_hooks::setLayoutChangesExamined).
std::atomic<bool>& layoutChangesExamined();

}  // namespace measurement::detail
