// The receipt's date texts, written and read in GMT.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "measurement/audience/purchase_item.h"

namespace measurement {

namespace {

// Years 1 to 9999, as the text form allows.
constexpr double kEarliest = -62135596800.0;
constexpr double kLatest = 253402300799.0;

bool isDigits(const std::string& text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) return false;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int number(const std::string& text, std::size_t from, std::size_t count) {
    return std::stoi(text.substr(from, count));
}

}  // namespace

std::string APMIAPDateString(double secondsSince1970) {
    const double clamped = std::isfinite(secondsSince1970)
                               ? std::fmin(std::fmax(std::floor(secondsSince1970), kEarliest), kLatest)
                               : 0;
    const auto seconds = static_cast<std::time_t>(clamped);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::optional<double> APMIAPDateFromString(const std::string& text) {
    if (text.size() < 20 || !isDigits(text, 0, 4) || text[4] != '-' || !isDigits(text, 5, 2) || text[7] != '-' ||
        !isDigits(text, 8, 2) || text[10] != 'T' || !isDigits(text, 11, 2) || text[13] != ':' ||
        !isDigits(text, 14, 2) || text[16] != ':' || !isDigits(text, 17, 2)) {
        return std::nullopt;
    }
    int offsetSeconds = 0;
    const std::string zone = text.substr(19);
    if (zone != "Z") {
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !isDigits(zone, 1, 2) || zone[3] != ':' ||
            !isDigits(zone, 4, 2)) {
            return std::nullopt;
        }
        offsetSeconds = (number(zone, 1, 2) * 3600 + number(zone, 4, 2) * 60) * (zone[0] == '-' ? -1 : 1);
    }
    std::tm parts{};
    parts.tm_year = number(text, 0, 4) - 1900;
    parts.tm_mon = number(text, 5, 2) - 1;
    parts.tm_mday = number(text, 8, 2);
    parts.tm_hour = number(text, 11, 2);
    parts.tm_min = number(text, 14, 2);
    parts.tm_sec = number(text, 17, 2);
    if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 || parts.tm_min > 59 ||
        parts.tm_sec > 60) {
        return std::nullopt;
    }
    const std::tm given = parts;
    const std::time_t seconds = timegm(&parts);
    // A day that the month does not have rolls over: refuse it.
    if (parts.tm_mday != given.tm_mday || parts.tm_mon != given.tm_mon) return std::nullopt;
    return static_cast<double>(seconds) - offsetSeconds;
}

}  // namespace measurement
