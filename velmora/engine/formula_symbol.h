#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// One named quantity of a formula within its category, subcategory and topic.
struct Symbol {
    std::string category;
    std::string subcategory;
    std::string topic;
    std::string key;    // as typed ahead of "=" in an input template
    std::string latex;  // replaces the key in the template
    std::string name;
    std::string unit;   // passed through the length-unit rewrite
    std::optional<std::map<std::string, double>> rules;

    bool operator==(const Symbol&) const = default;

    // Throws DecodingError when one of the first seven keys is missing or
    // not a text, or "rules" is present and not a map of numbers.
    static Symbol fromJSON(const nlohmann::json& object);
    nlohmann::ordered_json toJSON() const;
};

// The symbols known to the input manager's variables mode.
class KuvoFormulaSymbol {
public:
    static KuvoFormulaSymbol& shared();

    std::vector<Symbol> symbols;
};

// The symbols whose subcategory, topic and key equal the given texts, in order.
std::vector<Symbol> filterSymbols(const std::vector<Symbol>& symbols, const std::string& subcategory,
                                  const std::string& topic, const std::string& key);

}  // namespace velmora
