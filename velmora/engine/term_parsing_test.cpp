#include <doctest/doctest.h>

#include <cmath>

#include "velmora/engine/digit_analyser.h"
#include "velmora/engine/input_manager.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/plain_text.h"

using namespace velmora;

namespace {

const std::string kPi = "\xCF\x80";

std::string errorOf(const std::string& text) {
    return KuvoInputManager::parseTerm(text).errorKey.value_or("");
}

// Reads the fields as a calculator without steps would.
InputReadResult readFields(const std::vector<std::string>& texts, const std::vector<int>& tags = {},
                           bool allFraction = false) {
    KuvoStringOutput::shared().clear();
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < texts.size(); ++i) ids.push_back("field" + std::to_string(i));
    KuvoInputManager manager;
    auto result = manager.readInputs(texts, tags, ids, {}, false, allFraction, false, FormatMode::formula, "", "",
                                     std::nullopt, {});
    KuvoStringOutput::shared().clear();
    return result;
}

}  // namespace

TEST_CASE("parseTerm reads constants, variables and decimal numbers") {
    SUBCASE("constants stay in the list, a lone constant counts as 1") {
        auto pi = KuvoInputManager::parseTerm(kPi);
        CHECK(*pi.value == 1);
        REQUIRE(pi.constants->size() == 1);
        CHECK(pi.constants->front() == NaturalConstant::pi());
        auto minusPi = KuvoInputManager::parseTerm("-" + kPi);
        CHECK(*minusPi.value == -1);
        CHECK(*KuvoInputManager::parseTerm("2" + kPi).value == 2);
        auto twoE = KuvoInputManager::parseTerm("2e");
        CHECK(*twoE.value == 2);
        CHECK(twoE.constants->front() == NaturalConstant::e());
        CHECK(twoE.variable->empty());
        CHECK(*twoE.power == 0);
    }
    SUBCASE("misplaced or repeated constants") {
        CHECK(errorOf(kPi + "2") == "naturalConstantInWrongPositionOfSubstring");
        CHECK(errorOf("1e5") == "naturalConstantInWrongPositionOfSubstring");
        CHECK(errorOf(kPi + kPi) == "toManyNaturalConstantsInSubstring");
        CHECK(errorOf(kPi + "e") == "toManyNaturalConstantsInSubstring");
    }
    SUBCASE("variables") {
        auto x = KuvoInputManager::parseTerm("x");
        CHECK(*x.value == 1);
        CHECK(*x.variable == "x");
        CHECK(*x.power == 1);
        CHECK(*KuvoInputManager::parseTerm("2x").value == 2);
        CHECK(*KuvoInputManager::parseTerm("-y").value == -1);
        CHECK(errorOf("xy") == "toManyVariablesInSubstring");
        CHECK(errorOf("x2") == "naturalConstantInWrongPositionOfSubstring");
        CHECK(errorOf("0x1p3") == "naturalConstantInWrongPositionOfSubstring");
    }
    SUBCASE("numbers") {
        CHECK(*KuvoInputManager::parseTerm("1E5").value == 100000);
        CHECK(*KuvoInputManager::parseTerm("+2.5").value == 2.5);
        CHECK(*KuvoInputManager::parseTerm(".5").value == 0.5);
        CHECK(*KuvoInputManager::parseTerm("1E-400").value == 0);
        CHECK(errorOf("1,5") == "inputParameterError");
        CHECK(errorOf(" 1") == "inputParameterError");
        CHECK(errorOf("1 ") == "inputParameterError");
        CHECK(errorOf("-") == "inputParameterError");
        CHECK(errorOf("") == "inputParameterError");
        CHECK(errorOf("1.2.3") == "inputParameterError");
    }
    SUBCASE("non-finite numbers are refused") {
        CHECK(errorOf("INF") == "inputParameterError");
        CHECK(errorOf("inf") == "inputParameterError");
        CHECK(errorOf("nan") == "inputParameterError");
        CHECK(errorOf("NAN") == "inputParameterError");
        CHECK(errorOf("1E400") == "inputParameterError");
        CHECK(errorOf("-1E400") == "inputParameterError");
    }
}

TEST_CASE("parseInputTexts reads every field in order; the first failure wins") {
    SUBCASE("brackets are ignored") {
        auto r = readFields({"(3)", "(1)/(2)", "(-(2))"});
        REQUIRE(r.inputs);
        CHECK(*(*r.inputs)[0].z == 3);
        CHECK(*(*r.inputs)[1].z == 1);
        CHECK((*r.inputs)[1].n == 2);
        CHECK(*(*r.inputs)[2].z == -2);
    }
    SUBCASE("fractions") {
        auto r = readFields({"3" + kPi + "/4"});
        REQUIRE(r.inputs);
        const Digit& d = r.inputs->front();
        CHECK(*d.z == 3);
        CHECK(d.n == 4);
        CHECK(d.zConstants.size() == 1);
        CHECK(readFields({"3/0"}).errorKey == "inputZeroInDenominator");
        CHECK(readFields({"3/-0"}).errorKey == "inputZeroInDenominator");
        CHECK(readFields({"3/"}).errorKey == "fractionIncomplete");
        CHECK(readFields({"/3"}).errorKey == "fractionIncomplete");
        CHECK(readFields({"/"}).errorKey == "fractionIncomplete");
        CHECK(readFields({"x/y"}).inputs->front().nVariable == "y");
    }
    SUBCASE("the slash pass runs over all fields first") {
        auto r = readFields({"1e5", "1/2/3"});
        CHECK(r.errorKey == "inputParameterError");
        CHECK(*r.failingIds == std::vector<std::string>{"field1"});
        CHECK_FALSE(r.failingTags.has_value());
    }
    SUBCASE("failures name the field, by tag when tags are used") {
        auto r = readFields({"1", "2", "xy"}, {7, 8, 9});
        CHECK(r.errorKey == "toManyVariablesInSubstring");
        CHECK(*r.failingIds == std::vector<std::string>{"9"});
        CHECK(*r.failingTags == std::vector<int>{9});
        CHECK_FALSE(r.inputs.has_value());
    }
    SUBCASE("a field with brackets and no number counts as not filled") {
        for (const std::string text : {"()", "(", ")", "(())"}) {
            auto r = readFields({"1", text});
            CHECK(r.errorKey == "notEnoughInputValues");
            CHECK(*r.failingIds == std::vector<std::string>{"field1"});
        }
    }
    SUBCASE("an empty field has no number and no error") {
        KuvoStringOutput::shared().clear();
        KuvoInputManager manager;
        auto r = manager.readInputs({"1", ""}, {}, {"a", "b"}, {}, false, false, false, FormatMode::formula, "", "",
                                    1, {});
        REQUIRE(r.inputs);
        CHECK_FALSE((*r.inputs)[1].z.has_value());
    }
    SUBCASE("once a field holds a slash every field can be read as a fraction") {
        auto r = readFields({"5", "1/2"}, {}, true);
        REQUIRE(r.inputs);
        CHECK(*(*r.inputs)[0].z == 5);
        CHECK((*r.inputs)[0].n == 1);
        CHECK(r.isWithFraction);
        CHECK(readFields({"5" + kPi + "2", "1/2"}, {}, true).errorKey == "naturalConstantInWrongPositionOfSubstring");
    }
    SUBCASE("a slash switches fraction mode on even when a later check fails") {
        KuvoStringOutput::shared().clear();
        KuvoInputManager manager;
        auto r = manager.readInputs({"1/2", "xy"}, {}, {"a", "b"}, {}, false, false, false, FormatMode::formula, "", "",
                                    std::nullopt, {});
        CHECK(r.errorKey == "toManyVariablesInSubstring");
        CHECK(r.isWithFraction);
        CHECK(KuvoMathOperation::shared().withFraction);
        // The next read starts afresh.
        manager.readInputs({"1", "2"}, {}, {"a", "b"}, {}, false, false, false, FormatMode::formula, "", "",
                           std::nullopt, {});
        CHECK_FALSE(KuvoMathOperation::shared().withFraction);
    }
}

TEST_CASE("the error keys of a field come in a fixed order") {
    // Each text fails two checks; the earlier key of the order wins.
    CHECK(errorOf(kPi + kPi + "xy") == "toManyNaturalConstantsInSubstring");
    CHECK(errorOf(kPi + "2xy") == "naturalConstantInWrongPositionOfSubstring");
    CHECK(errorOf("xy,1") == "toManyVariablesInSubstring");
    CHECK(errorOf("x1,5") == "naturalConstantInWrongPositionOfSubstring");
    CHECK(readFields({"1,5/0"}).errorKey == "inputParameterError");
    CHECK(readFields({"5/"}).errorKey == "fractionIncomplete");
    CHECK(readFields({"1//2"}).errorKey == "inputParameterError");
    CHECK(readFields({kPi + kPi + "/0"}).errorKey == "toManyNaturalConstantsInSubstring");
    CHECK(readFields({"1/" + kPi + kPi}).errorKey == "toManyNaturalConstantsInSubstring");
    CHECK(readFields({"x/0"}).errorKey == "inputZeroInDenominator");
}

TEST_CASE("decimalPlaces counts the fraction digits that read as a whole number") {
    CHECK(KuvoDigitAnalyser::decimalPlaces("0.25", "2") == 2);
    CHECK(KuvoDigitAnalyser::decimalPlaces("1.5", "0.125") == 3);
    CHECK(KuvoDigitAnalyser::decimalPlaces("3", "4") == 0);
    CHECK(KuvoDigitAnalyser::decimalPlaces("1.5e-07", "1") == 0);
    CHECK(KuvoDigitAnalyser::decimalPlaces("1.5e-07", "0.5") == 1);
    CHECK(KuvoDigitAnalyser::decimalPlaces("2.50", "1") == 2);
    CHECK(KuvoDigitAnalyser::decimalPlaces("-0.5", "1") == 1);
    CHECK(KuvoDigitAnalyser::decimalPlaces("0.12345678901234567890123", "1") == 0);  // beyond 64 bits
    CHECK(KuvoDigitAnalyser::decimalPlaces("1.+5", "1") == 2);
    CHECK(KuvoDigitAnalyser::decimalPlaces("1.+-5", "1") == 0);
}

TEST_CASE("graphemes are the user-perceived characters, call after call") {
    using Pieces = std::vector<std::string>;
    // "é" written as e and a combining acute accent is one character.
    CHECK(text::graphemes("2e\xCC\x81x") == Pieces{"2", "e\xCC\x81", "x"});
    CHECK(text::graphemes("3" + kPi) == Pieces{"3", kPi});
    // A shorter text after a longer one is split on its own.
    CHECK(text::graphemes("12345") == Pieces{"1", "2", "3", "4", "5"});
    CHECK(text::graphemes("x") == Pieces{"x"});
    CHECK(text::graphemes("").empty());
}
