#include "velmora/engine/digit_analyser.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>

#include "velmora/engine/plain_text.h"

namespace velmora {

namespace {

// An optional sign, then digits only, within the 64-bit range.
bool readsAsInteger(const std::string& text) {
    std::size_t start = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (start >= text.size() || text[start] < '0' || text[start] > '9') return false;
    std::int64_t value = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    if (text[0] == '-') --first;
    auto result = std::from_chars(first, last, value);
    return result.ec == std::errc() && result.ptr == last;
}

std::optional<std::size_t> countingPlaces(const std::string& text) {
    if (!text::contains(text, ".")) return std::nullopt;
    auto pieces = text::split(text, ".");
    std::string fraction = pieces.empty() ? std::string() : pieces.back();
    if (!readsAsInteger(fraction)) return std::nullopt;
    return fraction.size();
}

}  // namespace

double KuvoDigitAnalyser::decimalPlaces(const std::string& a, const std::string& b) {
    auto placesA = countingPlaces(a);
    auto placesB = countingPlaces(b);
    std::size_t places = std::max(placesA.value_or(0), placesB.value_or(0));
    return static_cast<double>(places);
}

}  // namespace velmora
