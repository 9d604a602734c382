#pragma once

// The decimal-number expression, compiled once for the process: kept by
// APMNumericUtil, and replaced by the test hooks (testsupport/test_hooks.h)
// to test a failing compilation.

#include <unicode/regex.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace measurement::detail {

struct DecimalPattern {
    std::mutex mutex;
    // The expression in force instead of the built-in one.
    std::optional<std::string> override;
    std::shared_ptr<const icu::RegexPattern> compiled;
};

DecimalPattern& decimalPattern();

}  // namespace measurement::detail
