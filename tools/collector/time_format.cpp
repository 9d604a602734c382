// ISO-8601 times from milliseconds since 1970.
#include "tools/collector/time_format.h"

#include <array>
#include <cstdio>

namespace tools::collector {

namespace {

constexpr std::int64_t kMillisPerDay = 86'400'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

struct CivilDate {
    std::int64_t year;
    int month;  // 1 to 12
    int day;    // 1 to 31
};

// Floor division, so that times before 1970 land on the day they belong to.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The proleptic Gregorian date of a day count since 1970-01-01 (the
// era-based conversion: 400-year eras of 146097 days, years from March).
CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = floorDiv(days, 146097);
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

// Never negative; computed without the product of the quotient, which can
// pass the range of the type near its ends.
std::int64_t floorMod(std::int64_t a, std::int64_t b) {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

bool printableYear(std::int64_t year) {
    return year >= 0 && year <= 9999;
}

}  // namespace

std::optional<std::string> isoTimeFromMillis(std::int64_t millis) {
    const std::int64_t days = floorDiv(millis, kMillisPerDay);
    const std::int64_t inDay = floorMod(millis, kMillisPerDay);
    const CivilDate date = civilFromDays(days);
    if (!printableYear(date.year)) return std::nullopt;
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year),
                  date.month, date.day, static_cast<int>(inDay / 3'600'000), static_cast<int>(inDay / 60'000 % 60),
                  static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    return std::string(text.data());
}

std::optional<std::string> httpDateFromSeconds(std::int64_t seconds) {
    static constexpr std::array<const char*, 7> kWeekdays = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::int64_t days = floorDiv(seconds, kSecondsPerDay);
    const std::int64_t inDay = floorMod(seconds, kSecondsPerDay);
    const CivilDate date = civilFromDays(days);
    if (!printableYear(date.year)) return std::nullopt;
    // 1970-01-01 was a Thursday.
    const auto weekday = static_cast<std::size_t>(floorMod(days, 7));
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d GMT", kWeekdays[weekday], date.day,
                  kMonths[static_cast<std::size_t>(date.month - 1)], static_cast<int>(date.year),
                  static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    return std::string(text.data());
}

}  // namespace tools::collector
