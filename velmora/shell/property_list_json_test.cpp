// Tests of turning bundle property lists into JSON.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/foundation/plist_codec.h"
#include "velmora/shell/property_list_json.h"

using platform::Value;
using velmora::jsonFromPropertyList;

TEST_CASE("a property list converts to JSON or says what cannot") {
    struct Case {
        const char* name;
        Value root;
        const char* json;   // empty: no JSON form
        const char* error;  // part of the error text
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"plain values", Value::Dictionary{{"a", true}, {"b", 5}, {"c", 2.5}, {"d", "x"}},
         R"({"a":true,"b":5,"c":2.5,"d":"x"})", ""},
        {"nested", Value::Dictionary{{"apps", Value::Array{Value::Dictionary{{"n", -1}}, Value::Array{}}}},
         R"({"apps":[{"n":-1},[]]})", ""},
        {"a whole real stays a real", Value::Dictionary{{"n", 5.0}}, R"({"n":5.0})", ""},
        {"empty", Value::Dictionary{}, "{}", ""},
        {"a date", Value::Dictionary{{"apps", Value::Array{Value::Dictionary{{"when", platform::Date{0}}}}}}, "",
         "apps[0].when: a date"},
        {"data", Value::Dictionary{{"blob", platform::Data{{1, 2}}}}, "", "blob: data"},
        {"NaN", Value::Dictionary{{"x", nan}}, "", "x: a NaN"},
        {"infinity", Value::Dictionary{{"x", Value::Array{1, -inf}}}, "", "x[1]: a NaN or an infinity"},
        {"a null", Value::Dictionary{{"x", Value()}}, "", "x: an empty value"},
        {"text that is not UTF-8", Value::Dictionary{{"x", "\xff"}}, "", "not UTF-8"},
        {"an array root", Value::Array{1}, "", "root is not a dictionary"},
        {"a text root", Value("apps"), "", "root is not a dictionary"},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        std::string error;
        const auto json = jsonFromPropertyList(c.root, &error);
        if (*c.json) {
            CHECK(json == std::string(c.json));
            CHECK(error.empty());
        } else {
            CHECK_FALSE(json);
            CHECK(error.find(c.error) != std::string::npos);
        }
    }
    SUBCASE("nesting deeper than 256 levels is refused, not followed") {
        Value deep = Value::Dictionary{};
        for (int i = 0; i < 300; ++i) deep = Value::Dictionary{{"k", deep}};
        std::string error;
        CHECK_FALSE(jsonFromPropertyList(deep, &error));
        CHECK(error.find("nested too deeply") != std::string::npos);
    }
    SUBCASE("a parsed XML property list with a date") {
        const auto plist = platform::parsePropertyList(
            R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>apps</key><array>)"
            R"(<dict><key>d</key><date>2024-01-01T00:00:00Z</date></dict></array></dict></plist>)");
        REQUIRE(plist);
        std::string error;
        CHECK_FALSE(jsonFromPropertyList(*plist, &error));
        CHECK(error == "apps[0].d: a date has no JSON form");
    }
}
