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

}  // namespace measurement::detail
