#pragma once

// The texts looked up so far, one per key for the process: kept by
// localizedOnce(), and unset between test cases by the test hooks
// (testsupport/test_hooks.h), so that each case's first use fixes them.

#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace velmora::detail {

struct TextConstants {
    std::mutex mutex;
    std::map<std::string, const std::string*> made;
    // Every text ever handed out, so that a reference outlives an unset.
    std::deque<std::string> kept;
};

TextConstants& textConstants();

}  // namespace velmora::detail
