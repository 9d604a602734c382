// Short text of values.
#include "velmora/runner/value_text.h"

#include <cmath>
#include <ctime>

#include "platform/foundation/json_codec.h"

namespace velmora::runner {

namespace {

constexpr std::size_t kLongText = 60;
constexpr std::size_t kLongList = 3;
constexpr int kDeepest = 3;

std::string quoted(const std::string& text) {
    if (text.size() <= kLongText) return "\"" + text + "\"";
    std::size_t cut = kLongText;
    // Never in the middle of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return "\"" + text.substr(0, cut) + "...\"";
}

std::string entries(std::size_t count) { return std::to_string(count) + (count == 1 ? " entry" : " entries"); }

std::string text(const platform::Value& value, int depth) {
    using Kind = platform::Value::Kind;
    switch (value.kind()) {
        case Kind::Null: return "null";
        case Kind::String: return quoted(value.asString());
        case Kind::Date: return dateText(value.asDate().secondsSince1970);
        case Kind::Data: return "<" + std::to_string(value.asData().bytes.size()) + " bytes>";
        case Kind::Array: {
            const auto& list = value.asArray();
            if (list.empty()) return "[]";
            if (list.size() > kLongList || depth >= kDeepest) return "[" + entries(list.size()) + "]";
            std::string out;
            for (const auto& item : list) out += (out.empty() ? "" : ", ") + text(item, depth + 1);
            return "[" + out + "]";
        }
        case Kind::Dictionary: {
            const auto& map = value.asDictionary();
            if (map.empty()) return "{}";
            if (depth >= kDeepest) return "{" + entries(map.size()) + "}";
            std::string out;
            for (const auto& [key, item] : map) out += (out.empty() ? "" : ", ") + key + ": " + text(item, depth + 1);
            return "{" + out + "}";
        }
        default: return platform::writeJSON(value);
    }
}

}  // namespace

std::string dateText(double secondsSince1970) {
    const auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return buffer;
}

std::string valueText(const platform::Value& value) { return text(value, 0); }

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace velmora::runner
