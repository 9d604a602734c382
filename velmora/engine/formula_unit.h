#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace velmora {

// One unit of length of the bundle's table.
struct Unit {
    std::string key;    // as written in formula texts ("m")
    std::string latex;
    std::string name;
    double factor = 1;

    bool operator==(const Unit&) const = default;

    // Throws DecodingError when a key is missing or has a wrong type.
    static Unit fromJSON(const nlohmann::json& object);
    nlohmann::ordered_json toJSON() const;
};

// The table of length units and the rewrite of the default unit into a
// chosen target unit.
class KuvoFormulaUnit {
public:
    // Loads "unitsOfLength" at first use; a missing or bad table leaves the
    // list empty after a console line.
    static KuvoFormulaUnit& shared();
    KuvoFormulaUnit();

    std::string defaultUnitKey = "m";
    std::vector<Unit> units;

    const std::optional<Unit>& targetUnit() const { return targetUnit_; }
    void setTargetUnit(std::optional<Unit> unit) { targetUnit_ = std::move(unit); }

    // Replaces `units` with the bundle resource "<name>.json". Throws
    // FormulaError when the resource is missing or unreadable, DecodingError
    // when it is malformed (then `units` stays as it was).
    void loadUnits(const std::string& fromJSONNamed);

    // Every whole-word occurrence of the default unit key replaced by the
    // target unit's key (useKey) or LaTeX, taken literally. Unchanged without
    // a target unit or when the target is the default unit.
    std::string replaceDefaultUnit(const std::string& in, bool useKey) const;

private:
    std::optional<Unit> targetUnit_;
};

}  // namespace velmora
