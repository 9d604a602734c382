#pragma once

// The application identifiers and shared identity that hold for the
// process: kept by APMIdentity, and forgotten between cases by the test
// hooks (testsupport/test_hooks.h), as a new process would start.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace measurement {

class APMIdentity;

namespace detail {

// The first non-empty value given wins, whatever identity it was given to.
struct ProcessIdentifiers {
    std::mutex mutex;
    std::optional<std::string> rozedaAppID;
    std::optional<std::string> dozudAppID;
    std::shared_ptr<APMIdentity> shared;
};

ProcessIdentifiers& processIdentifiers();

}  // namespace detail

}  // namespace measurement
