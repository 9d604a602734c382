#include <doctest/doctest.h>

#include <fstream>

#include "platform/foundation/bundle.h"
#include "testsupport/temp_dir.h"
#include "velmora/engine/console_line.h"
#include "velmora/engine/formula.h"
#include "velmora/engine/formula_symbol.h"
#include "velmora/engine/formula_unit.h"
#include "velmora/engine/json_record.h"

using namespace velmora;
using nlohmann::json;

namespace {

json formulaObject() {
    return json{{"category", "stochastics"}, {"subcategory", "bernoulli"}, {"topic", "formula"},
                {"type", "calculator"},      {"imageName", "bernoulli"},   {"searched", "P"},
                {"given", {"n", "p", "k"}},  {"latex", "P = x"},           {"identifier", "QZT"},
                {"description", "The probability of k hits"}};
}

// Points the main bundle at a folder for the life of the scope.
struct BundleScope {
    explicit BundleScope(const std::filesystem::path& path) : saved(platform::Bundle::main().resourcePath()) {
        platform::Bundle::setMainResourcePath(path);
    }
    ~BundleScope() { platform::Bundle::setMainResourcePath(saved); }
    std::filesystem::path saved;
};

void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace

TEST_CASE("formula records decode and encode their eleven keys") {
    SUBCASE("absent or null conditions give none and are not written") {
        Formula f = Formula::fromJSON(formulaObject());
        CHECK(f.given == std::vector<std::string>{"n", "p", "k"});
        CHECK_FALSE(f.conditions.has_value());
        CHECK(f.toJSON().size() == 10);
        json withNull = formulaObject();
        withNull["conditions"] = nullptr;
        CHECK_FALSE(Formula::fromJSON(withNull).conditions.has_value());
        CHECK(Formula::fromJSON(withNull).toJSON().size() == 10);
    }
    SUBCASE("an empty list of conditions is a value") {
        json object = formulaObject();
        object["conditions"] = json::array();
        object["unknown"] = 5;
        Formula f = Formula::fromJSON(object);
        REQUIRE(f.conditions.has_value());
        CHECK(f.conditions->empty());
        auto encoded = f.toJSON();
        CHECK(encoded.size() == 11);
        CHECK(encoded["conditions"].is_array());
        std::vector<std::string> keys;
        for (auto it = encoded.begin(); it != encoded.end(); ++it) keys.push_back(it.key());
        CHECK(keys == std::vector<std::string>{"category", "subcategory", "topic", "type", "imageName", "searched",
                                               "given", "latex", "identifier", "conditions", "description"});
        CHECK(Formula::fromJSON(json::parse(encoded.dump())) == f);
    }
    SUBCASE("missing or mistyped keys fail") {
        json noDescription = formulaObject();
        noDescription.erase("description");
        CHECK_THROWS_AS(Formula::fromJSON(noDescription), DecodingError);
        json badConditions = formulaObject();
        badConditions["conditions"] = "x";
        CHECK_THROWS_AS(Formula::fromJSON(badConditions), DecodingError);
        json badGiven = formulaObject();
        badGiven["given"] = {1, 2};
        CHECK_THROWS_AS(Formula::fromJSON(badGiven), DecodingError);
        json caseMatters = formulaObject();
        caseMatters.erase("imageName");
        caseMatters["imagename"] = "x";
        CHECK_THROWS_AS(Formula::fromJSON(caseMatters), DecodingError);
        CHECK(KuvoFormula().formulas.empty());
    }
}

TEST_CASE("symbols decode with optional rules and filter by subcategory, topic and key") {
    json object = {{"category", "geometry"}, {"subcategory", "circle"}, {"topic", "area"}, {"key", "r"},
                   {"latex", "r"},           {"name", "Radius"},        {"unit", "m"}};
    Symbol s = Symbol::fromJSON(object);
    CHECK_FALSE(s.rules.has_value());
    CHECK_FALSE(s.toJSON().contains("rules"));
    object["rules"] = {{"min", 0}, {"max", 10.5}};
    Symbol withRules = Symbol::fromJSON(object);
    CHECK(withRules.rules->at("max") == 10.5);
    CHECK(Symbol::fromJSON(json::parse(withRules.toJSON().dump())) == withRules);
    json noUnit = object;
    noUnit.erase("unit");
    CHECK_THROWS_AS(Symbol::fromJSON(noUnit), DecodingError);

    CHECK(filterSymbols({}, "circle", "area", "r").empty());
    Symbol second = s;
    second.latex = "r_2";
    Symbol elsewhere = s;
    elsewhere.topic = "perimeter";
    auto found = filterSymbols({elsewhere, s, second}, "circle", "area", "r");
    REQUIRE(found.size() == 2);
    CHECK(found[0] == s);
    CHECK(found[1] == second);
}

TEST_CASE("the unit table of the bundle") {
    SUBCASE("the shipped table loads with the default unit in it") {
        KuvoFormulaUnit units;
        CHECK(units.defaultUnitKey == "m");
        REQUIRE_FALSE(units.units.empty());
        bool hasMetre = false;
        for (const auto& unit : units.units) hasMetre = hasMetre || (unit.key == "m" && unit.factor == 1);
        CHECK(hasMetre);
        CHECK_FALSE(units.targetUnit().has_value());
        CHECK(Unit::fromJSON(json::parse(units.units.front().toJSON().dump())) == units.units.front());
    }
    SUBCASE("a missing resource is a configuration failure, a bad one a decoding error") {
        testsupport::TempDir dir;
        write(dir.path() / "broken.json", "[{\"key\": \"m\", \"latex\": \"m\", \"name\": \"Metre\"}]");
        write(dir.path() / "garbage.json", "[{");
        BundleScope scope(dir.path());
        std::vector<std::string> console;
        setConsoleSink([&](const std::string& line) { console.push_back(line); });
        KuvoFormulaUnit units;
        setConsoleSink(nullptr);
        CHECK(units.units.empty());  // no table in this bundle
        CHECK(console == std::vector<std::string>{"FormulaError.configurationFailed"});
        CHECK_THROWS_AS(units.loadUnits("absent"), FormulaError);
        CHECK_THROWS_AS(units.loadUnits("broken"), DecodingError);
        CHECK_THROWS_AS(units.loadUnits("garbage"), DecodingError);
        CHECK(units.units.empty());
    }
}

TEST_CASE("replaceDefaultUnit rewrites whole words literally") {
    KuvoFormulaUnit units;
    CHECK(units.replaceDefaultUnit("5 m", true) == "5 m");
    units.setTargetUnit(Unit{"cm", "\\mathrm{cm}", "Centimetre", 0.01});
    CHECK(units.replaceDefaultUnit("5 m", true) == "5 cm");
    CHECK(units.replaceDefaultUnit("5 mm", true) == "5 mm");
    CHECK(units.replaceDefaultUnit("5 km", true) == "5 km");
    CHECK(units.replaceDefaultUnit("5 m + 3 m", true) == "5 cm + 3 cm");
    CHECK(units.replaceDefaultUnit("5 m", false) == "5 \\mathrm{cm}");
    CHECK(units.replaceDefaultUnit("5 \xC2\xB5m", true) == "5 \xC2\xB5m");
    units.setTargetUnit(Unit{"$1", "\\$0", "odd", 1});
    CHECK(units.replaceDefaultUnit("2 m", true) == "2 $1");
    CHECK(units.replaceDefaultUnit("2 m", false) == "2 \\$0");
    units.setTargetUnit(Unit{"m", "\\mathrm{m}", "Metre", 1});
    CHECK(units.replaceDefaultUnit("5 m", false) == "5 m");
}
