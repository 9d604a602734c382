// Locale-free number texts of the charts.
#include "velmora/charts/chart_number_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace velmora {

std::string formatG(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

std::optional<double> readNumber(const std::string& text) {
    double value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last) return std::nullopt;
    return value;
}

std::string shortestText(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    std::string text = ec == std::errc() ? std::string(buf, end) : std::string();
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string nearestWholeText(double value) {
    if (!std::isfinite(value)) return std::isnan(value) ? "0" : (value > 0 ? "inf" : "-inf");
    double whole = std::round(value);
    if (whole == 0) return "0";
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.0f", whole);  // digits only: no locale mark
    return buf;
}

}  // namespace velmora
