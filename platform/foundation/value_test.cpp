#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "platform/foundation/value.h"

using platform::Value;

TEST_CASE("typed values convert only where the kinds allow") {
    SUBCASE("numbers") {
        CHECK(Value(3).intValue() == 3);
        CHECK(Value(3).realValue() == 3.0);
        CHECK(Value(2.9).intValue() == 2);
        CHECK(Value(-2.9).intValue() == -2);
        CHECK(Value(true).intValue() == 1);
    }
    SUBCASE("doubles saturate when made integers") {
        CHECK(Value(std::nan("")).intValue() == 0);
        CHECK(Value(1e300).intValue() == std::numeric_limits<std::int64_t>::max());
        CHECK(Value(-1e300).intValue() == std::numeric_limits<std::int64_t>::min());
        CHECK(Value(std::numeric_limits<double>::infinity()).intValue() == std::numeric_limits<std::int64_t>::max());
    }
    SUBCASE("other kinds give the fallback") {
        CHECK(Value("12").intValue(7) == 7);
        CHECK(Value(12).stringValue("none") == "none");
        CHECK_FALSE(Value().boolValue());
    }
    SUBCASE("dictionary lookup") {
        Value dict(Value::Dictionary{{"a", 1}, {"b", Value::Array{1, "x"}}});
        CHECK(dict["a"].intValue() == 1);
        CHECK(dict["b"].asArray().size() == 2);
        CHECK(dict["missing"].isNull());
        CHECK(Value(5)["a"].isNull());
        CHECK(dict.find("missing") == nullptr);
    }
}
