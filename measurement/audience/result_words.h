#pragma once

// The two bit words of an audience result: filter f lives in word f / 64 of
// the status list (set: evaluated) and of the result list (set: its latest
// outcome is true), at bit f % 64.

#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/foundation/messages.h"

namespace measurement {

// Filter IDs run from 0 to below this bound (the highest maximum filter
// count the server may set). An ID outside it is never true and never
// written, so stored or fetched data cannot make a result grow without
// bound.
inline constexpr std::int32_t kAPMFilterIDBound = 100;

struct APMResultWords {
    std::vector<std::uint64_t> status;
    std::vector<std::uint64_t> results;

    static APMResultWords fromResultData(const APMPBResultData& data);
    // Replaces both lists of the message.
    void writeInto(APMPBResultData& data) const;

    // Evaluated, with a true outcome; a word beyond either list is zero.
    bool isTrue(std::int32_t filterID) const;
    // Extends both lists with zero words up to the filter's word, then sets
    // the status bit (clears it for no outcome) and sets or clears the
    // result bit by the outcome. False, changing nothing, for an ID outside
    // the bound.
    bool write(std::int32_t filterID, std::optional<bool> outcome);
    // Clears both bits; a word beyond the lists has nothing to clear.
    void clear(std::int32_t filterID);
    bool anyStatusSet() const;
};

}  // namespace measurement
