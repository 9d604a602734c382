// Tests of runtime values.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/script_string.h"
#include "measurement/script/text/script_runner.h"

using namespace measurement;
using measurement::script_text::describeValue;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInfinity = std::numeric_limits<double>::infinity();

std::string text(double x) { return utf8FromUTF16(formatScriptNumber(x)); }
double number(const char16_t* s) { return parseScriptNumber(s); }

}  // namespace

TEST_CASE("numbers print in their shortest round-trip form") {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {0.1 + 0.2, "0.30000000000000004"},
        {1e21, "1e+21"},
        {-0.0, "0"},
        {0.0, "0"},
        {123456789, "123456789"},
        {1234567890123, "1234567890123"},
        {kNaN, "NaN"},
        {kInfinity, "Infinity"},
        {-kInfinity, "-Infinity"},
        {1.5e-7, "1.5e-7"},
        {1e-6, "0.000001"},
        {1e-7, "1e-7"},
        {123e-20, "1.23e-18"},
        {1e20, "100000000000000000000"},
        {-1.5, "-1.5"},
        {0.5, "0.5"},
        {100, "100"},
        {2147483648.0, "2147483648"},
        {9007199254740993.0, "9007199254740992"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
        {-1e21, "-1e+21"},
        {1.25e21, "1.25e+21"},
        {4.35, "4.35"},
        {0.000123, "0.000123"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.expected);
        CHECK(text(c.value) == c.expected);
    }
}

TEST_CASE("strings convert to numbers only when they are a whole decimal number") {
    struct Case {
        const char16_t* text;
        double expected;
    };
    const Case cases[] = {
        {u"", 0},
        {u"   ", 0},
        {u"\n\t ", 0},
        {u" 42 ", 42},
        {u"1e3", 1000},
        {u"7\n", 7},
        {u"-3.5", -3.5},
        {u"+2", 2},
        {u".5", 0.5},
        {u"5.", 5},
        {u"0x10", kNaN},
        {u"12abc", kNaN},
        {u"abc", kNaN},
        {u"1,000", kNaN},
        {u"1e", kNaN},
        {u"e5", kNaN},
        {u"NaN", kNaN},
        {u"Infinity", kInfinity},
        {u"-Infinity", -kInfinity},
        {u"+Infinity", kNaN},
        {u"infinity", kNaN},
        {u"1e400", kInfinity},
        {u"-1e400", -kInfinity},
        {u"1e-400", 0},
        {u"\u00a0 8 \u2028", 8},
        {u"01", 1},
        {u"- 1", kNaN},
    };
    for (const auto& c : cases) {
        CAPTURE(utf8FromUTF16(c.text));
        const double got = number(c.text);
        if (std::isnan(c.expected)) {
            CHECK(std::isnan(got));
        } else {
            CHECK(got == c.expected);
        }
    }
}

TEST_CASE("integer conversions: truncation, 32-bit wrapping, clamping to sizes") {
    CHECK(APMPToInteger(kNaN) == 0);
    CHECK(std::signbit(APMPToInteger(-0.0)));
    CHECK(APMPToInteger(kInfinity) == kInfinity);
    CHECK(APMPToInteger(-2.7) == -2);
    CHECK(APMPToInteger(2.7) == 2);

    struct Case {
        double x;
        std::int32_t int32;
        std::uint32_t uint32;
    };
    const Case cases[] = {
        {kNaN, 0, 0},
        {kInfinity, 0, 0},
        {-kInfinity, 0, 0},
        {-1, -1, 4294967295u},
        {2147483647, 2147483647, 2147483647u},
        {2147483648.0, -2147483647 - 1, 2147483648u},
        {4294967295.0, -1, 4294967295u},
        {4294967296.0, 0, 0},
        {4294967297.5, 1, 1},
        {-2147483649.0, 2147483647, 2147483647u},
        {-4294967297.0, -1, 4294967295u},
        {1e20, 1661992960, 1661992960u},
        {-1e20, -1661992960, 2632974336u},
        {1.9, 1, 1},
        {-1.9, -1, 4294967295u},
    };
    for (const auto& c : cases) {
        CAPTURE(c.x);
        CHECK(APMPToInt32(c.x) == c.int32);
        CHECK(APMPToUint32(c.x) == c.uint32);
    }

    CHECK(APMPClampToSize(kNaN, 10) == 0);
    CHECK(APMPClampToSize(1e300, 10) == 10);
    CHECK(APMPClampToSize(-3, 10) == 0);
    CHECK(APMPClampToSize(3.9, 10) == 3);
}

TEST_CASE("conversions of the value classes") {
    ScriptError error;
    SUBCASE("undefined, null and booleans") {
        CHECK(APMPUndefined()->stringValueOrError(error) == u"undefined");
        CHECK(std::isnan(APMPUndefined()->doubleValueOrError(error)));
        CHECK_FALSE(APMPUndefined()->booleanValueOrError(error));
        CHECK(APMPNull()->stringValueOrError(error) == u"null");
        CHECK(APMPNull()->doubleValueOrError(error) == 0);
        CHECK(APMPBoolean(true)->doubleValueOrError(error) == 1);
        CHECK(APMPBoolean(true).get() == APMPBooleanValue::booleanValueWithBool(true));
        APMPBooleanValue fresh(true);
        CHECK(&fresh != APMPBooleanValue::booleanValueWithBool(true));
        CHECK_FALSE(error);
    }
    SUBCASE("truth of numbers and strings") {
        CHECK_FALSE(APMPNumber(0)->booleanValueOrError(error));
        CHECK_FALSE(APMPNumber(-0.0)->booleanValueOrError(error));
        CHECK_FALSE(APMPNumber(kNaN)->booleanValueOrError(error));
        CHECK(APMPNumber(-1)->booleanValueOrError(error));
        CHECK_FALSE(APMPString(u"")->booleanValueOrError(error));
        CHECK(APMPString(u"0")->booleanValueOrError(error));
        CHECK(makeRef<APMPMapValue>()->booleanValueOrError(error));
        CHECK(makeRef<APMPArrayValue>()->booleanValueOrError(error));
        CHECK_FALSE(error);
    }
    SUBCASE("control and statement values and the hole have no conversions") {
        APMPStatementValue statement(u"0", {});
        statement.stringValueOrError(error);
        CHECK(error.is(5));
        error.clear();
        CHECK(std::isnan(APMPControlValue::breakValue()->doubleValueOrError(error)));
        CHECK(error.is(4));
        error.clear();
        APMPHole()->booleanValueOrError(error);
        CHECK(error.is(3));
    }
    SUBCASE("the first error is the one kept") {
        error.fail(9);
        error.fail(10);
        CHECK(error.is(9));
    }
}

TEST_CASE("array slots, holes, length and keys") {
    ScriptError error;
    auto array = makeRef<APMPArrayValue>();
    SUBCASE("writing index 5 of an empty array leaves holes at 0 to 4") {
        CHECK(array->setValue(APMPNumber(1), APMPNumber(5), error));
        CHECK(array->count() == 6);
        CHECK(describeValue(array) == "[<hole>,<hole>,<hole>,<hole>,<hole>,1]");
        CHECK(describeValue(makeRef<APMPArrayValue>(array->allPropertyNames())) == "[\"5\"]");
        CHECK(describeValue(array->valueForProperty(APMPNumber(0), error)) == "undefined");
        CHECK_FALSE(array->hasProperty(APMPNumber(0), error));
        CHECK(array->hasProperty(APMPString(u"5"), error));
    }
    SUBCASE("length writes need a whole non-negative number") {
        array->setValue(APMPNumber(2.5), APMPString(u"length"), error);
        CHECK(error.is(11));
        error.clear();
        array->setValue(APMPNumber(-1), APMPString(u"length"), error);
        CHECK(error.is(11));
        error.clear();
        CHECK(array->setValue(APMPString(u"3"), APMPString(u"length"), error));
        CHECK(array->count() == 3);
        CHECK(array->setValue(APMPNumber(1), APMPString(u"length"), error));
        CHECK(array->count() == 1);
    }
    SUBCASE("string keys that parse as whole numbers are indices") {
        auto values = makeRef<APMPArrayValue>(APMPValueList{APMPNumber(7), APMPNumber(8)});
        CHECK(describeValue(values->valueForProperty(APMPString(u"01"), error)) == "8");
        CHECK(describeValue(values->valueForProperty(APMPString(u"length"), error)) == "2");
        CHECK(describeValue(values->valueForProperty(APMPNumber(1.5), error)) == "undefined");
        values->setValue(APMPNumber(3), APMPString(u"name"), error);
        values->setValue(APMPNumber(4), APMPNumber(-1), error);
        CHECK(describeValue(makeRef<APMPArrayValue>(values->allPropertyNames())) == "[\"name\",\"-1\",\"0\",\"1\"]");
        CHECK(values->removeValueForProperty(APMPNumber(0), error));
        CHECK(values->count() == 2);
        CHECK(values->slots()[0]->isHole());
        CHECK(describeValue(values->valueForProperty(APMPNumber(-1), error)) == "4");
        CHECK_FALSE(error);
    }
    SUBCASE("a key without a string form ends every keyed operation with error 5") {
        const APMPValueRef key = APMPControlValue::breakValue();
        CHECK(array->valueForProperty(key, error)->isUndefined());
        CHECK(error.is(5));
        error.clear();
        CHECK_FALSE(array->setValue(APMPNumber(1), key, error));
        CHECK(error.is(5));
        error.clear();
        CHECK_FALSE(array->hasProperty(key, error));
        CHECK(error.is(5));
        error.clear();
        CHECK_FALSE(array->removeValueForProperty(key, error));
        CHECK(error.is(5));
        CHECK(array->count() == 0);
        CHECK(array->allPropertyNames().empty());
    }
    SUBCASE("the string form skips holes, undefined and null") {
        auto values = makeRef<APMPArrayValue>(APMPValueList{APMPNumber(1), APMPUndefined(), APMPNumber(2), APMPHole()});
        CHECK(values->stringValueOrError(error) == u"1,,2,");
        CHECK(describeValue(values->allElements().back()) == "undefined");
        auto nulls = makeRef<APMPArrayValue>(APMPValueList{APMPNumber(1), APMPNull(), APMPNumber(2)});
        CHECK(nulls->stringValueOrError(error) == u"1,,2");
        CHECK(makeRef<APMPArrayValue>()->stringValueOrError(error).empty());
        CHECK(std::isnan(makeRef<APMPArrayValue>(APMPValueList{APMPString(u"x")})->doubleValueOrError(error)));
        CHECK(makeRef<APMPArrayValue>(APMPValueList{APMPString(u" 12 ")})->doubleValueOrError(error) == 12);
        CHECK(makeRef<APMPArrayValue>()->doubleValueOrError(error) == 0);
        auto broken = makeRef<APMPArrayValue>(APMPValueList{APMPNumber(1), APMPControlValue::breakValue()});
        CHECK(broken->stringValueOrError(error).empty());
        CHECK(error.is(5));
    }
    SUBCASE("an array that contains itself joins its inner self as empty") {
        array->appendElements({APMPNumber(1), array}, error);
        CHECK(array->stringValueOrError(error) == u"1,");
        array->removeLastElement();
    }
    SUBCASE("sorting without a comparison puts undefined and holes last") {
        auto values = makeRef<APMPArrayValue>(APMPValueList{APMPUndefined(), APMPHole(), APMPString(u"b"), APMPString(u"a")});
        APMPScope scope;
        CHECK(values->sortUsingFunctionValue(nullptr, scope, error));
        CHECK(describeValue(values) == "[\"a\",\"b\",undefined,<hole>]");
        auto numbers = makeRef<APMPArrayValue>(APMPValueList{APMPNumber(10), APMPNumber(9), APMPNumber(1)});
        numbers->sortUsingFunctionValue(nullptr, scope, error);
        CHECK(describeValue(numbers) == "[1,10,9]");
    }
    SUBCASE("slices and splices clamp their bounds") {
        auto values = makeRef<APMPArrayValue>(APMPValueList{APMPNumber(1), APMPHole(), APMPNumber(3)});
        CHECK(describeValue(values->subarrayWithRange(1, 10)) == "[<hole>,3]");
        CHECK(describeValue(values->subarrayWithRange(-5, 1)) == "[1]");
        CHECK(describeValue(values->subarrayWithRange(kNaN, kInfinity)) == "[1,<hole>,3]");
        const auto removed = values->spliceFrom(1, 100, {APMPNumber(9)}, error);
        CHECK(removed.size() == 2);
        CHECK(describeValue(values) == "[1,9]");
        CHECK(values->indexOfValue(APMPNumber(9), 0, error) == 1);
        CHECK(values->indexOfValue(APMPNumber(9), 5, error) == -1);
        CHECK(values->lastIndexOfValue(APMPNumber(1), 1e300, error) == 0);
        CHECK(values->lastIndexOfValue(APMPNumber(9), 0, error) == -1);
        values->concat(APMPControlValue::breakValue(), error);
        CHECK(error.is(10));
    }
}

TEST_CASE("structural equality compares values as data") {
    auto array = [](APMPValueList v) { return makeRef<APMPArrayValue>(std::move(v)); };
    CHECK(APMPNumber(kNaN)->isEqualToRuntimeValue(APMPNumber(kNaN)));
    ScriptError error;
    CHECK_FALSE(APMPStrictEquals(APMPNumber(kNaN), APMPNumber(kNaN), error));
    CHECK(APMPNumber(1)->isEqualToRuntimeValue(APMPNumber(1)));
    CHECK_FALSE(APMPNumber(1)->isEqualToRuntimeValue(APMPString(u"1")));
    CHECK(array({APMPNumber(1), APMPString(u"a")})->isEqualToRuntimeValue(*array({APMPNumber(1), APMPString(u"a")})));
    CHECK_FALSE(array({APMPNumber(1)})->isEqualToRuntimeValue(*array({APMPNumber(1), APMPNumber(2)})));
    auto a = makeRef<APMPMapValue>();
    auto b = makeRef<APMPMapValue>();
    a->setValue(APMPNumber(1), u"x");
    b->setValue(APMPNumber(1), u"x");
    CHECK(a->isEqualToRuntimeValue(*b));
    b->setValue(APMPNumber(2), u"y");
    CHECK_FALSE(a->isEqualToRuntimeValue(*b));
    CHECK(APMPControlValue::returnValueWithData(APMPNumber(1))
              ->isEqualToRuntimeValue(APMPControlValue::returnValueWithData(APMPNumber(1))));
    CHECK_FALSE(APMPControlValue::breakValue()->isEqualToRuntimeValue(APMPControlValue::continueValue()));
    APMPStatementValue s1(u"0", {APMPNumber(1)});
    APMPStatementValue s2(u"0", {APMPNumber(1)});
    CHECK(s1.isEqualToRuntimeValue(s2));
    auto f = makeRef<APMPFunctionValue>(u"f", std::vector<std::u16string>{}, APMPValueList{}, nullptr);
    auto g = makeRef<APMPFunctionValue>(u"f", std::vector<std::u16string>{}, APMPValueList{}, nullptr);
    auto anonymous = makeRef<APMPFunctionValue>(u"", std::vector<std::u16string>{}, APMPValueList{}, nullptr);
    auto anonymous2 = makeRef<APMPFunctionValue>(u"", std::vector<std::u16string>{}, APMPValueList{}, nullptr);
    CHECK(f->isEqualToRuntimeValue(*g));
    CHECK(anonymous->isEqualToRuntimeValue(*anonymous));
    CHECK_FALSE(anonymous->isEqualToRuntimeValue(*anonymous2));
    // A map that contains itself compares without exhausting the stack.
    a->setValue(a, u"self");
    b->setValue(b, u"self");
    b->removeValueForProperty(u"y");
    CHECK_FALSE(a->isEqualToRuntimeValue(*b));
    a->removeValueForProperty(u"self");
    b->removeValueForProperty(u"self");
}

TEST_CASE("property maps guard immutable names and maps") {
    APMPPropertyMap map;
    map.setImmutableValue(APMPNumber(1), u"fixed");
    map.setValue(APMPNumber(2), u"free");
    map.setValue(APMPNumber(3), u"fixed");
    map.removeValueForName(u"fixed");
    CHECK(describeValue(map.valueForName(u"fixed")) == "1");
    map.setValue(APMPNumber(4), u"free");
    CHECK(describeValue(map.valueForName(u"free")) == "4");
    map.makeImmutable();
    map.setValue(APMPNumber(5), u"free");
    map.setValue(APMPNumber(5), u"new");
    map.removeValueForName(u"free");
    CHECK(describeValue(map.valueForName(u"free")) == "4");
    CHECK(map.valueForName(u"new")->isUndefined());
    CHECK(map.allNames() == std::vector<std::u16string>{u"fixed", u"free"});

    // Names keep insertion order past the size where an index is built.
    APMPPropertyMap large;
    for (int i = 0; i < 40; ++i) large.setValue(APMPNumber(i), formatScriptNumber(39 - i));
    large.removeValueForName(u"20");
    CHECK(large.count() == 39);
    CHECK(large.allNames().front() == u"39");
    CHECK(describeValue(large.valueForName(u"0")) == "39");
    CHECK(large.valueForName(u"20")->isUndefined());
}

TEST_CASE("scopes: lookup outward, writes where the name lives") {
    auto global = makeRef<APMPScope>();
    auto child = global->createChildScope();
    global->addValue(APMPNumber(1), u"g");
    child->setValue(APMPNumber(2), u"g");
    CHECK(describeValue(global->valueForName(u"g")) == "2");
    CHECK_FALSE(child->contents().hasName(u"g"));
    child->setValue(APMPNumber(3), u"local");
    CHECK(child->contents().hasName(u"local"));
    CHECK_FALSE(global->hasName(u"local"));
    CHECK(global->valueForName(u"missing")->isUndefined());
    child->addImmutableValue(APMPNumber(4), u"c");
    child->setValue(APMPNumber(5), u"c");
    CHECK(describeValue(child->valueForName(u"c")) == "4");
    // An immutable scope passes no write through to its parent.
    child->makeImmutable();
    child->setValue(APMPNumber(6), u"g");
    child->addValue(APMPNumber(6), u"other");
    CHECK(describeValue(global->valueForName(u"g")) == "2");
    CHECK_FALSE(child->hasName(u"other"));
}

TEST_CASE("value handles hold numbers inline and count heap values") {
    ScriptError error;
    SUBCASE("numbers are no heap value and keep every bit of their double") {
        const APMPValueRef number = APMPNumber(-0.0);
        CHECK(number->isNumber());
        CHECK(number.get() == nullptr);
        CHECK(std::signbit(number.numberValue()));
        CHECK(describeValue(APMPNumber(0.1 + 0.2)) == "0.30000000000000004");
        CHECK(APMPNumber(kNaN)->stringValueOrError(error) == u"NaN");
        CHECK(describeValue(APMPNumber(5)->applyWithName(u"toString", {}, *makeRef<APMPScope>(), error)) == "\"5\"");
        APMPNumber(5)->applyWithName(u"toFixed", {}, *makeRef<APMPScope>(), error);
        CHECK(error.is(17));
    }
    SUBCASE("copies, moves and assignments keep the count") {
        auto array = makeRef<APMPArrayValue>();
        const auto base = array->referenceCount();
        {
            APMPValueRef a = array;
            APMPValueRef b = a;
            CHECK(array->referenceCount() == base + 2);
            const APMPValueRef& itself = a;
            a = itself;
            CHECK(a.get() == array.get());
            CHECK(array->referenceCount() == base + 2);
            APMPValueRef c = std::move(b);
            CHECK_FALSE(b);
            CHECK(array->referenceCount() == base + 2);
            c = APMPNumber(1);
            CHECK(array->referenceCount() == base + 1);
            a = APMPUndefined();
        }
        CHECK(array->referenceCount() == base);
        // Shared values are never counted.
        const auto undefinedCount = APMPUndefinedValue::sharedInstance()->referenceCount();
        std::vector<APMPValueRef> many(100, APMPUndefined());
        CHECK(APMPUndefinedValue::sharedInstance()->referenceCount() == undefinedCount);
    }
    SUBCASE("a value held only through the value being replaced survives the assignment") {
        APMPValueRef holder = makeRef<APMPArrayValue>(APMPValueList{APMPString(u"inner")});
        holder = valueAs<APMPArrayValue>(holder).slots()[0];
        CHECK(describeValue(holder) == "\"inner\"");
    }
    SUBCASE("a value on the stack compares without being counted") {
        APMPStatementValue s1(u"0", {APMPNumber(1)});
        APMPStatementValue s2(u"0", {APMPNumber(1)});
        CHECK(s1.isEqualToRuntimeValue(s2));
        CHECK(s1.referenceCount() == 0);
    }
}

TEST_CASE("text converts between UTF-8 and UTF-16, damaged sequences becoming U+FFFD") {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case both[] = {
        {"", u""},
        {"plain_ascii_7", u"plain_ascii_7"},
        {"a\xC3\xA9" "b", u"a\u00E9b"},
        {"\xE2\x82\xAC" "5", u"\u20AC5"},
        {"\xF0\x9F\x98\x80x", std::u16string{0xD83D, 0xDE00, u'x'}},
        {"z\xF0\x9F\x98\x80", std::u16string{u'z', 0xD83D, 0xDE00}},
    };
    for (const auto& c : both) {
        CAPTURE(c.utf8);
        CHECK(utf16FromUTF8(c.utf8) == c.utf16);
        CHECK(utf8FromUTF16(c.utf16) == c.utf8);
    }
    const Case fromUTF8[] = {
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\xE2\x82z", u"\uFFFDz"},
        {"\x80", u"\uFFFD"},
    };
    for (const auto& c : fromUTF8) {
        CAPTURE(c.utf8);
        CHECK(utf16FromUTF8(c.utf8) == c.utf16);
    }
    const Case fromUTF16[] = {
        {"x\xEF\xBF\xBDy", std::u16string{u'x', 0xD800, u'y'}},
        {"\xEF\xBF\xBD" "a", std::u16string{0xDE00, u'a'}},
    };
    for (const auto& c : fromUTF16) {
        CAPTURE(c.utf8);
        CHECK(utf8FromUTF16(c.utf16) == c.utf8);
    }
}
