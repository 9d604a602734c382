// Reading and writing the per-filter bits of an audience result.
#include "measurement/audience/result_words.h"

#include <algorithm>

#include "measurement/audience/audience_fields.h"

namespace measurement {

namespace {

bool inBound(std::int32_t filterID) { return filterID >= 0 && filterID < kAPMFilterIDBound; }

std::size_t wordOf(std::int32_t filterID) { return static_cast<std::size_t>(filterID) / 64; }

std::uint64_t bitOf(std::int32_t filterID) { return std::uint64_t{1} << (filterID % 64); }

}  // namespace

APMResultWords APMResultWords::fromResultData(const APMPBResultData& data) {
    return {NANOGetArray<std::uint64_t>(data, audience_field::kResultStatusWords),
            NANOGetArray<std::uint64_t>(data, audience_field::kResultResultWords)};
}

void APMResultWords::writeInto(APMPBResultData& data) const {
    NANOSetArray(data, audience_field::kResultStatusWords, status);
    NANOSetArray(data, audience_field::kResultResultWords, results);
}

bool APMResultWords::isTrue(std::int32_t filterID) const {
    if (!inBound(filterID)) return false;
    const std::size_t word = wordOf(filterID);
    if (word >= status.size() || !(status[word] & bitOf(filterID))) return false;
    return word < results.size() && (results[word] & bitOf(filterID));
}

bool APMResultWords::write(std::int32_t filterID, std::optional<bool> outcome) {
    if (!inBound(filterID)) return false;
    const std::size_t word = wordOf(filterID);
    const std::size_t length = std::max({status.size(), results.size(), word + 1});
    status.resize(length, 0);
    results.resize(length, 0);
    const std::uint64_t bit = bitOf(filterID);
    if (outcome) {
        status[word] |= bit;
        if (*outcome) {
            results[word] |= bit;
        } else {
            results[word] &= ~bit;
        }
    } else {
        status[word] &= ~bit;
    }
    return true;
}

void APMResultWords::clear(std::int32_t filterID) {
    if (!inBound(filterID)) return;
    const std::size_t word = wordOf(filterID);
    if (word < status.size()) status[word] &= ~bitOf(filterID);
    if (word < results.size()) results[word] &= ~bitOf(filterID);
}

bool APMResultWords::anyStatusSet() const {
    return std::any_of(status.begin(), status.end(), [](std::uint64_t word) { return word != 0; });
}

}  // namespace measurement
