#pragma once

// The limit of one regular-expression search of the string filters: kept by
// APMAudienceExpression, and lowered by the test hooks
// (testsupport/test_hooks.h) to test a search that runs out of time.

#include <atomic>
#include <cstdint>

namespace measurement::detail {

// About a million steps of the matcher: far beyond any sensible filter on a
// short value, and a few milliseconds at most on the worker queue.
inline constexpr std::int32_t kDefaultExpressionTimeLimit = 100;

// In the regular-expression engine's time units (about ten thousand steps
// each).
std::atomic<std::int32_t>& expressionTimeLimit();

}  // namespace measurement::detail
