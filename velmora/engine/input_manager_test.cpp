#include <doctest/doctest.h>

#include "velmora/engine/formula_unit.h"
#include "velmora/engine/input_manager.h"
#include "velmora/engine/math_operation.h"

using namespace velmora;

namespace {

struct Steps {
    InputReadResult result;
    std::vector<SolutionStep> steps;
};

Steps read(const std::vector<std::string>& texts, const std::string& format, bool forced = false,
           bool allFraction = false) {
    auto& output = KuvoStringOutput::shared();
    output.clear();
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < texts.size(); ++i) ids.push_back("f" + std::to_string(i));
    KuvoInputManager manager;
    auto result = manager.readInputs(texts, {}, ids, {format}, true, allFraction, forced, FormatMode::formula, "", "",
                                     std::nullopt, {});
    Steps out{result, output.solutionSteps};
    output.clear();
    return out;
}

InputReadResult count(const std::vector<std::string>& texts, std::optional<int> required,
                      const std::vector<std::string>& requiredIds = {}, const std::vector<int>& tags = {}) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < texts.size(); ++i) ids.push_back("f" + std::to_string(i));
    KuvoStringOutput::shared().clear();
    KuvoInputManager manager;
    auto result = manager.readInputs(texts, tags, ids, {}, false, false, false, FormatMode::formula, "", "", required,
                                     requiredIds);
    KuvoStringOutput::shared().clear();
    return result;
}

std::vector<std::pair<std::string, std::string>> pairs(const std::vector<SolutionStep>& steps) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& step : steps) out.emplace_back(step.at("title"), step.at("latexString"));
    return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

}  // namespace

TEST_CASE("readInputs writes the given values and the rewritings of the inputs") {
    SUBCASE("plain Bernoulli inputs give one step") {
        auto r = read({"2", "5", "0.3"}, "p = %2 \\quad k = %0 \\quad n = %1");
        REQUIRE(r.result.inputs);
        CHECK(pairs(r.steps) == Pairs{{"Your Input", "p = 0.3 \\quad k = 2 \\quad n = 5"}});
        CHECK(r.result.solutionSteps->size() == 1);
        CHECK_FALSE(r.result.isWithFraction);
    }
    SUBCASE("a negative denominator moves to the numerator") {
        auto r = read({"3/-4"}, "a = %0");
        CHECK(pairs(r.steps) == Pairs{{"Your Input", "a = \\frac{3}{-4}"}, {"Modified Input", "a = -\\frac{3}{4}"}});
        CHECK(*r.result.inputs->front().z == -3);
        CHECK(r.result.inputs->front().n == 4);
    }
    SUBCASE("a decimal fraction is expanded, then cancelled") {
        auto r = read({"0.5/2"}, "a = %0");
        CHECK(pairs(r.steps) ==
              Pairs{{"Your Input", "a = \\frac{0.5}{2}"},
                    {"Expand", "\\frac{0.5}{2} = \\frac{0.5 \\cdot 10}{2 \\cdot 10} = \\frac{5}{20}"},
                    {"Cancel", "\\frac{5}{20}= \\frac{5 : 5}{20 : 5} =  \\frac{1}{4}"},
                    {"Modified Input", "a = \\frac{1}{4}"}});
        CHECK(r.result.isWithFraction);
    }
    SUBCASE("expansion keeps every digit") {
        auto r = read({"0.1234567/2"}, "a = %0");
        REQUIRE(r.steps.size() == 3);
        CHECK(r.steps[1].at("latexString") ==
              "\\frac{0.1234567}{2} = \\frac{0.1234567 \\cdot 10000000}{2 \\cdot 10000000} = "
              "\\frac{1234567}{20000000}");
        CHECK(*r.result.inputs->front().z == 1234567);
        CHECK(r.result.inputs->front().n == 20000000);
    }
    SUBCASE("plain decimals stay unless forced or some field is a fraction") {
        CHECK(read({"0.3"}, "a = %0").steps.size() == 1);
        auto forced = read({"0.25"}, "a = %0", true);
        CHECK(pairs(forced.steps) == Pairs{{"Your Input", "a = 0.25"},
                                           {"Expand", "0.25 = \\frac{0.25 \\cdot 100}{1 \\cdot 100} = \\frac{25}{100}"},
                                           {"Cancel", "\\frac{25}{100}= \\frac{25 : 25}{100 : 25} =  \\frac{1}{4}"},
                                           {"Modified Input", "a = \\frac{1}{4}"}});
        auto mixed = read({"0.3", "1/2"}, "a = %0, b = %1", false, true);
        REQUIRE(mixed.steps.size() == 3);
        CHECK(mixed.steps[1].at("latexString") == "0.3 = \\frac{0.3 \\cdot 10}{1 \\cdot 10} = \\frac{3}{10}");
        CHECK(mixed.steps[2].at("latexString") == "a = \\frac{3}{10}, b = \\frac{1}{2}");
    }
    SUBCASE("only the first expansion and the first cancelling carry a title") {
        auto r = read({"0.5/2", "0.3/3"}, "%0; %1");
        auto p = pairs(r.steps);
        REQUIRE(p.size() == 6);
        CHECK(p[1].first == "Expand");
        CHECK(p[2].first.empty());
        CHECK(p[3].first == "Cancel");
        CHECK(p[4].first.empty());
        CHECK(p[5] == std::make_pair(std::string("Modified Input"), std::string("\\frac{1}{4}; \\frac{1}{10}")));
    }
    SUBCASE("placeholders name fields by their whole index") {
        std::vector<std::string> texts;
        std::string format;
        for (int i = 0; i < 11; ++i) texts.push_back(std::to_string(i + 100));
        auto r = read(texts, "%10|%1|%0|%");
        CHECK(r.steps.front().at("latexString") == "110|101|100|%");
    }
}

TEST_CASE("checkInputCount") {
    SUBCASE("count mode") {
        auto oneEmpty = count({"1", "", "3"}, 3);
        CHECK(oneEmpty.errorKey == "notEnoughInputValues");
        CHECK(*oneEmpty.failingIds == std::vector<std::string>{"f1"});
        CHECK_FALSE(oneEmpty.failingTags.has_value());
        auto allEmpty = count({"", "", ""}, 3);
        CHECK(*allEmpty.failingIds == std::vector<std::string>{"f0", "f1", "f2"});
        auto enough = count({"1", "", "3"}, 2);
        REQUIRE(enough.inputs);
        CHECK_FALSE((*enough.inputs)[1].z.has_value());
        auto none = count({}, std::nullopt);
        CHECK(none.errorKey == "notEnoughInputValues");
        CHECK(none.failingIds->empty());
        CHECK(count({"1", ""}, std::nullopt).errorKey == "notEnoughInputValues");
    }
    SUBCASE("fields after the required number are not looked at") {
        auto r = count({"1", "", "3", ""}, 2);
        CHECK_FALSE(r.errorKey.has_value());
    }
    SUBCASE("listed mode and tags") {
        auto listed = count({"1", "", ""}, 3, {"f0", "f2"});
        CHECK(listed.errorKey == "notEnoughInputValues");
        CHECK(*listed.failingIds == std::vector<std::string>{"f2"});
        CHECK_FALSE(count({"1", "", "3"}, 3, {"f0", "f2"}).errorKey.has_value());
        auto tagged = count({"", "2"}, 2, {}, {11, 12});
        CHECK(*tagged.failingIds == std::vector<std::string>{"11"});
        CHECK(*tagged.failingTags == std::vector<int>{11});
    }
    SUBCASE("the count check comes before the parse") {
        auto r = count({"xy", ""}, 2);
        CHECK(r.errorKey == "notEnoughInputValues");
    }
}

TEST_CASE("variables mode reads symbols and writes one line per input") {
    auto& symbols = KuvoFormulaSymbol::shared().symbols;
    const auto saved = symbols;
    symbols = {Symbol{"geometry", "circle", "area", "r", "r_{1}", "Radius", "m", std::nullopt},
               Symbol{"geometry", "circle", "area", "r", "r_{2}", "Other radius", "m", std::nullopt}};
    auto& output = KuvoStringOutput::shared();
    output.clear();
    auto run = [&](std::vector<std::string> texts, std::vector<std::string> formats, bool forced) {
        output.clear();
        KuvoInputManager manager;
        std::vector<std::string> ids;
        for (std::size_t i = 0; i < texts.size(); ++i) ids.push_back("v" + std::to_string(i));
        return manager.readInputs(texts, {}, ids, formats, true, false, forced, FormatMode::variables, "circle", "area",
                                  std::nullopt, {});
    };
    SUBCASE("the given value is extended in place by its expansion") {
        auto r = run({"2.5"}, {"r = %0"}, true);
        REQUIRE(r.inputs);
        REQUIRE(output.solutionSteps.size() == 2);
        CHECK(output.solutionSteps[0].at("title") == "Your Input");
        CHECK(output.solutionSteps[0].at("latexString") ==
              "r_{1} = 2.5 m = \\frac{2.5 \\cdot 10}{1 \\cdot 10} = \\frac{25}{10} m");
        CHECK(output.solutionSteps[1].at("latexString") == "\\frac{25}{10}= \\frac{25 : 5}{10 : 5} =  \\frac{5}{2}");
    }
    SUBCASE("no symbol, no key, no template: refused in field order") {
        auto unknown = run({"1", "2"}, {"r = %0", "s = %0"}, false);
        CHECK(unknown.errorKey == "unknownInputSymbol");
        CHECK(*unknown.failingIds == std::vector<std::string>{"v1"});
        auto empty = run({"1"}, {" = %0"}, false);
        CHECK(empty.errorKey == "missingInputSymbol");
        auto bare = run({"1"}, {""}, false);
        CHECK(bare.errorKey == "missingInputSymbol");
        auto missing = run({"1", "2"}, {"r = %0"}, false);
        CHECK(missing.errorKey == "missingInputSymbol");
        CHECK(*missing.failingIds == std::vector<std::string>{"v1"});
        CHECK(output.solutionSteps.empty());
    }
    symbols = saved;
    output.clear();
}

TEST_CASE("convertUnits extends only the steps that begin with the prefix") {
    Symbol symbol{"c", "s", "t", "h", "h", "Height", "m", std::nullopt};
    SolutionStep other = makeStep("Title", "a = 1 m\n");
    CHECK(KuvoStringOutput::convertUnits(other, "h = ", "2", symbol) == other);
    SolutionStep noLatex = {{"title", "x"}};
    CHECK(KuvoStringOutput::convertUnits(noLatex, "", "2", symbol) == noLatex);
    SolutionStep mine = makeStep("", "h = 1.5 m\n");
    auto converted = KuvoStringOutput::convertUnits(mine, "h = ", "\\frac{15}{10}", symbol);
    CHECK(converted.at("latexString") == "h = 1.5 m = \\frac{15}{10} m");
    CHECK(converted.at("title").empty());

    auto& output = KuvoStringOutput::shared();
    output.clear();
    output.solutionSteps = {mine, other};
    output.convertUnits("h = ", "3", symbol);
    CHECK(output.solutionSteps[0].at("latexString") == "h = 1.5 m = 3 m");
    CHECK(output.solutionSteps[1] == other);
    output.solutionStepCounter = 4;
    output.clear();
    CHECK(output.solutionSteps.empty());
    CHECK(output.solutionStepCounter == 0);
}

TEST_CASE("steps become value dictionaries key for key, in order") {
    using platform::Value;
    const std::vector<SolutionStep> steps = {makeStep("Result", "P = 0.3"),
                                             {{"title", ""}, {"latexString", ""}, {"messageString", "note"}}};
    CHECK(stepDictionaries(steps) ==
          Value::Array{Value::Dictionary{{"title", "Result"}, {"latexString", "P = 0.3"}},
                       Value::Dictionary{{"title", ""}, {"latexString", ""}, {"messageString", "note"}}});
    CHECK(stepDictionaries({}).empty());
}
