// String helpers: bit flags in text, URL argument unescaping and query strings.
#include "measurement/foundation/string_util.h"

#include <algorithm>

#include "measurement/foundation/text.h"
#include "platform/foundation/url.h"

namespace measurement {

bool isBitEnabledAtIndex(const std::string& text, std::int64_t index) {
    if (index < 0) return false;
    auto unit = APMUTF16UnitAt(text, static_cast<std::size_t>(index));
    return unit && *unit == u'1';
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& text) {
    // "+" stands for a space only where it is written as such; an escaped
    // "%2B" stays a plus, so the spaces go in before the escapes are decoded.
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    auto result = platform::percentDecode(spaced);
    if (!result || !APMIsValidUTF8(*result)) return std::nullopt;
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
