#include <doctest/doctest.h>

#include <string>

#include "platform/foundation/json_codec.h"
#include "platform/foundation/plist_codec.h"

using platform::Value;

namespace {
Value sample() {
    return Value(Value::Dictionary{
        {"name", "Bernoulli"},
        {"count", -42},
        {"big", 9007199254740993LL},
        {"ratio", 0.25},
        {"flag", true},
        {"blob", platform::Data{{0, 1, 2, 255}}},
        {"when", platform::Date{1700000000.0}},
        {"list", Value::Array{1, "two", Value::Dictionary{{"three", 3}}}},
    });
}
}  // namespace

TEST_CASE("property lists round-trip in both forms") {
    const Value original = sample();
    SUBCASE("xml") {
        auto xml = platform::writePropertyListXML(original);
        CHECK(xml.find("<key>name</key>") != std::string::npos);
        auto back = platform::parsePropertyList(xml);
        REQUIRE(back);
        CHECK(*back == original);
    }
    SUBCASE("binary") {
        auto bin = platform::writePropertyListBinary(original);
        CHECK(bin.rfind("bplist00", 0) == 0);
        auto back = platform::parsePropertyList(bin);
        REQUIRE(back);
        CHECK(*back == original);
    }
    SUBCASE("dates count from 1970 though the format counts from 2001") {
        const std::string xml =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">"
            "<date>2001-01-01T00:00:00Z</date></plist>";
        auto v = platform::parsePropertyList(xml);
        REQUIRE(v);
        REQUIRE(v->isDate());
        CHECK(v->asDate().secondsSince1970 == doctest::Approx(978307200.0));
    }
    SUBCASE("the binary form keeps dates to the microsecond, before 2001 too") {
        const auto roundTrip = [](double secondsSince1970) {
            auto back = platform::parsePropertyList(platform::writePropertyListBinary(platform::Date{secondsSince1970}));
            REQUIRE(back);
            REQUIRE(back->isDate());
            return back->asDate().secondsSince1970;
        };
        CHECK(roundTrip(1700000000.25) == doctest::Approx(1700000000.25).epsilon(1e-15));
        // A fraction that rounds up to a whole second carries into it.
        CHECK(roundTrip(1700000000.9999997) == doctest::Approx(1700000001.0).epsilon(1e-15));
        // 2000-12-31T23:59:58.5Z, a second and a half before the format's epoch.
        CHECK(roundTrip(978307198.5) == doctest::Approx(978307198.5).epsilon(1e-15));
    }
    SUBCASE("malformed input gives no value and a reason") {
        std::string why;
        CHECK_FALSE(platform::parsePropertyList("", &why));
        CHECK_FALSE(why.empty());
        CHECK_FALSE(platform::parsePropertyList("<plist><dict><key>a</key>", &why));
        CHECK_FALSE(platform::parsePropertyList("bplist00 garbage", &why));
    }
}

TEST_CASE("JSON documents become typed values") {
    SUBCASE("kinds") {
        auto v = platform::parseJSON(R"({"i": 3, "r": 3.5, "s": "x", "b": false, "n": null, "a": [1, 2]})");
        REQUIRE(v);
        CHECK((*v)["i"].isInt());
        CHECK((*v)["r"].isReal());
        CHECK((*v)["s"].asString() == "x");
        CHECK((*v)["b"].isBool());
        CHECK((*v)["n"].isNull());
        CHECK((*v)["a"].asArray().size() == 2);
    }
    SUBCASE("round trip") {
        Value original(Value::Dictionary{{"k", Value::Array{1, 2.5, "t", nullptr}}});
        auto back = platform::parseJSON(platform::writeJSON(original));
        REQUIRE(back);
        CHECK(*back == original);
    }
    SUBCASE("malformed input and excessive nesting are refused") {
        std::string why;
        CHECK_FALSE(platform::parseJSON("{\"a\": ", &why));
        CHECK(why == "malformed JSON");
        std::string deep(2000, '[');
        deep += std::string(2000, ']');
        CHECK_FALSE(platform::parseJSON(deep, &why));
    }
    SUBCASE("non-finite reals are written as null") {
        CHECK(platform::writeJSON(Value(1.0 / 0.0)) == "null");
    }
}
