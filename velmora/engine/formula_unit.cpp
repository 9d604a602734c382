#include "velmora/engine/formula_unit.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cctype>
#include <memory>

#include "platform/foundation/bundle.h"
#include "velmora/engine/console_line.h"
#include "velmora/engine/formula.h"
#include "velmora/engine/json_record.h"

namespace velmora {

using namespace json_record;

namespace {

// The key as a literal inside an ICU pattern: every ASCII character that is
// not a letter or digit is escaped.
std::string quotedPattern(const std::string& key) {
    std::string out;
    for (char c : key) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && !std::isalnum(u)) out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

Unit Unit::fromJSON(const nlohmann::json& object) {
    requireObject(object, "Unit");
    Unit u;
    u.key = requireString(object, "key");
    u.latex = requireString(object, "latex");
    u.name = requireString(object, "name");
    u.factor = requireNumber(object, "factor");
    return u;
}

nlohmann::ordered_json Unit::toJSON() const {
    nlohmann::ordered_json out;
    out["key"] = key;
    out["latex"] = latex;
    out["name"] = name;
    out["factor"] = factor;
    return out;
}

KuvoFormulaUnit& KuvoFormulaUnit::shared() {
    static KuvoFormulaUnit instance;
    return instance;
}

KuvoFormulaUnit::KuvoFormulaUnit() {
    try {
        loadUnits("unitsOfLength");
    } catch (const std::exception& e) {
        consoleLine(e.what());
    }
}

void KuvoFormulaUnit::loadUnits(const std::string& fromJSONNamed) {
    auto path = platform::Bundle::main().pathForResource(fromJSONNamed, "json");
    if (!path) throw FormulaError::configurationFailed();
    auto bytes = platform::readFile(*path);
    if (!bytes) throw FormulaError::configurationFailed();
    nlohmann::json document = parse(*bytes);
    if (!document.is_array()) throw DecodingError("the unit table is not a list");
    std::vector<Unit> loaded;
    for (const auto& entry : document) loaded.push_back(Unit::fromJSON(entry));
    units = std::move(loaded);
}

std::string KuvoFormulaUnit::replaceDefaultUnit(const std::string& in, bool useKey) const {
    if (!targetUnit_ || targetUnit_->key == defaultUnitKey) return in;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString pattern = icu::UnicodeString::fromUTF8("\\b" + quotedPattern(defaultUnitKey) + "\\b");
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(in);
    std::unique_ptr<icu::RegexMatcher> matcher(new icu::RegexMatcher(pattern, text, 0, status));
    if (U_FAILURE(status)) return in;
    const icu::UnicodeString replacement = icu::UnicodeString::fromUTF8(useKey ? targetUnit_->key : targetUnit_->latex);
    icu::UnicodeString out;
    int32_t last = 0;
    bool matched = false;
    while (matcher->find(status) && U_SUCCESS(status)) {
        int32_t start = matcher->start(status);
        int32_t end = matcher->end(status);
        out.append(text, last, start - last);
        out.append(replacement);
        last = end;
        matched = true;
    }
    if (!matched) return in;
    out.append(text, last, text.length() - last);
    std::string result;
    out.toUTF8String(result);
    return result;
}

}  // namespace velmora
