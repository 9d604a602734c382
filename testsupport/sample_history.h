// Histories of calculations as the calculator page stores them, for the
// tests and benchmarks of the preferences' property lists.
#pragma once

#include <cstddef>
#include <string>

#include "platform/foundation/value.h"

namespace testsupport {

// Entry `i` of a sample history. k, n and p vary so that no two of the
// first 400,000 entries are alike, while the keys and the setup repeat, as
// in a real history: most of an entry is shared with others.
inline platform::Value sampleHistoryEntry(std::size_t i) {
    using platform::Value;
    const std::string k = std::to_string(i % 50), n = std::to_string(50 + i % 997);
    const std::string p = "0." + std::to_string(1 + i % 9);
    return Value(Value::Dictionary{
        {"inputParameters", Value::Dictionary{{"kTextField", k}, {"nTextField", n}, {"pTextField", p}}},
        {"latexString", "p = " + p + " \\quad k = " + k + " \\quad n = " + n},
        {"solutionSteps", Value::Array{}},
        {"setupParameter", Value::Dictionary{{"appKey", "QZT"}}},
    });
}

// The first `count` entries, as the list stored under "Calculations".
inline platform::Value sampleHistory(std::size_t count) {
    platform::Value::Array entries;
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) entries.push_back(sampleHistoryEntry(i));
    return platform::Value(std::move(entries));
}

}  // namespace testsupport
