#include "measurement/foundation/string_util.h"

#include "measurement/foundation/text.h"

namespace measurement {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool isBitEnabledAtIndex(const std::string& text, std::int64_t index) {
    if (index < 0) return false;
    auto unit = APMUTF16UnitAt(text, static_cast<std::size_t>(index));
    return unit && *unit == u'1';
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            result += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            result += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            result += c;
        }
    }
    if (!APMIsValidUTF8(result)) return std::nullopt;
    return result;
}

std::map<std::string, std::string> apm_dictionaryWithHttpArgumentsString(const std::string& query) {
    std::map<std::string, std::string> arguments;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string part = query.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        std::size_t equals = part.find('=');
        auto key = apm_stringByUnescapingFromURLArgument(part.substr(0, equals));
        auto value = equals == std::string::npos ? std::optional<std::string>("")
                                                 : apm_stringByUnescapingFromURLArgument(part.substr(equals + 1));
        if (key && value) arguments.emplace(*key, *value);
    }
    return arguments;
}

}  // namespace measurement
