#include "velmora/engine/formula_symbol.h"

#include "velmora/engine/json_record.h"

namespace velmora {

using namespace json_record;

Symbol Symbol::fromJSON(const nlohmann::json& object) {
    requireObject(object, "Symbol");
    Symbol s;
    s.category = requireString(object, "category");
    s.subcategory = requireString(object, "subcategory");
    s.topic = requireString(object, "topic");
    s.key = requireString(object, "key");
    s.latex = requireString(object, "latex");
    s.name = requireString(object, "name");
    s.unit = requireString(object, "unit");
    if (auto it = object.find("rules"); it != object.end() && !it->is_null()) {
        requireObject(*it, "rules");
        std::map<std::string, double> rules;
        for (auto rule = it->begin(); rule != it->end(); ++rule) rules[rule.key()] = requireNumber(*it, rule.key());
        s.rules = std::move(rules);
    }
    return s;
}

nlohmann::ordered_json Symbol::toJSON() const {
    nlohmann::ordered_json out;
    out["category"] = category;
    out["subcategory"] = subcategory;
    out["topic"] = topic;
    out["key"] = key;
    out["latex"] = latex;
    out["name"] = name;
    out["unit"] = unit;
    if (rules) out["rules"] = *rules;
    return out;
}

KuvoFormulaSymbol& KuvoFormulaSymbol::shared() {
    static KuvoFormulaSymbol instance;
    return instance;
}

std::vector<Symbol> filterSymbols(const std::vector<Symbol>& symbols, const std::string& subcategory,
                                  const std::string& topic, const std::string& key) {
    std::vector<Symbol> out;
    for (const auto& symbol : symbols) {
        if (symbol.subcategory == subcategory && symbol.topic == topic && symbol.key == key) out.push_back(symbol);
    }
    return out;
}

}  // namespace velmora
