// Reading colour texts into colours.
#include "platform/frameworks/charts/color_text.h"

#include <cctype>
#include <charconv>
#include <map>
#include <vector>

namespace platform::charts {

namespace {

std::optional<int> hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return std::nullopt;
}

std::optional<gfx::Color> fromHex(const std::string& digits) {
    std::vector<int> values;
    for (char c : digits) {
        auto d = hexDigit(c);
        if (!d) return std::nullopt;
        values.push_back(*d);
    }
    if (values.size() == 3) {
        return gfx::Color::rgb(values[0] * 17 / 255.0, values[1] * 17 / 255.0, values[2] * 17 / 255.0);
    }
    if (values.size() == 6) {
        return gfx::Color::rgb((values[0] * 16 + values[1]) / 255.0, (values[2] * 16 + values[3]) / 255.0,
                               (values[4] * 16 + values[5]) / 255.0);
    }
    return std::nullopt;
}

// "r, g, b[, a]" between the parentheses of rgb(...) or rgba(...).
std::optional<gfx::Color> fromFunction(const std::string& inner, std::size_t expected) {
    std::vector<double> parts;
    std::size_t start = 0;
    while (start <= inner.size()) {
        std::size_t end = inner.find(',', start);
        if (end == std::string::npos) end = inner.size();
        std::string part = inner.substr(start, end - start);
        std::size_t a = part.find_first_not_of(' ');
        std::size_t b = part.find_last_not_of(' ');
        if (a == std::string::npos) return std::nullopt;
        part = part.substr(a, b - a + 1);
        double value = 0;
        auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || ptr != part.data() + part.size()) return std::nullopt;
        parts.push_back(value);
        start = end + 1;
    }
    if (parts.size() != expected) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!(parts[i] >= 0 && parts[i] <= 255)) return std::nullopt;
    }
    double alpha = expected == 4 ? parts[3] : 1.0;
    if (!(alpha >= 0 && alpha <= 1)) return std::nullopt;
    return gfx::Color::rgb(parts[0] / 255.0, parts[1] / 255.0, parts[2] / 255.0, alpha);
}

std::optional<gfx::Color> fromName(const std::string& name) {
    static const std::map<std::string, gfx::RGBA> names{
        {"black", {0, 0, 0, 1}},         {"white", {1, 1, 1, 1}},
        {"red", {1, 0, 0, 1}},           {"green", {0, 128 / 255.0, 0, 1}},
        {"blue", {0, 0, 1, 1}},          {"gray", {128 / 255.0, 128 / 255.0, 128 / 255.0, 1}},
        {"grey", {128 / 255.0, 128 / 255.0, 128 / 255.0, 1}},
        {"orange", {1, 165 / 255.0, 0, 1}}, {"yellow", {1, 1, 0, 1}},
        {"purple", {128 / 255.0, 0, 128 / 255.0, 1}}, {"transparent", {0, 0, 0, 0}},
    };
    auto it = names.find(name);
    if (it == names.end()) return std::nullopt;
    return gfx::Color::rgb(it->second.red, it->second.green, it->second.blue, it->second.alpha);
}

bool hasAffixes(const std::string& text, const std::string& prefix) {
    return text.size() > prefix.size() + 1 && text.compare(0, prefix.size(), prefix) == 0 && text.back() == ')';
}

}  // namespace

std::optional<gfx::Color> colorFromText(const std::string& text) {
    if (!text.empty() && text.front() == '#') return fromHex(text.substr(1));
    if (hasAffixes(text, "rgba(")) return fromFunction(text.substr(5, text.size() - 6), 4);
    if (hasAffixes(text, "rgb(")) return fromFunction(text.substr(4, text.size() - 5), 3);
    return fromName(text);
}

}  // namespace platform::charts
