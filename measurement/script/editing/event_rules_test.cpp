#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "measurement/script/editing/event_rules.h"
#include "measurement/script/script_string.h"

using namespace measurement;
using platform::Value;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInfinity = std::numeric_limits<double>::infinity();

// The value and its kind, so that 3 and 3.0 read differently.
std::string shown(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Int: return "int " + std::to_string(value.intValue());
        case Value::Kind::Real: return "real " + utf8FromUTF16(formatScriptNumber(value.realValue()));
        case Value::Kind::String: return "string " + value.asString();
        default: return kindName(value.kind());
    }
}

}  // namespace

TEST_CASE("numbers written into events take the type of what they replace") {
    struct Case {
        const char* name;
        std::optional<Value> present;
        Value written;
        const char* stored;
    };
    const Value list = Value::Array{Value::Dictionary{{"a", 1}}};
    const std::vector<Case> cases = {
        {"label", std::nullopt, "abc", "string abc"},
        {"n", Value(3), "x", "string x"},
        {"value", std::nullopt, 2.0, "real 2"},
        {"value", Value(3), 3.7, "int 3"},
        {"value", Value(3), -3.7, "int -3"},
        {"_value", Value(3), 3.7, "real 3.7"},
        {"_value", Value(3), 4.0, "int 4"},
        {"_value", Value(3), 1e300, "real 1e+300"},
        {"value", Value(1.5), 2.0, "real 2"},
        {"value", Value(1.5), Value(2), "int 2"},
        {"value", Value("a"), 5.0, "string 5"},
        {"value", Value("a"), 0.1 + 0.2, "string 0.30000000000000004"},
        {"value", Value("a"), 1e21, "string 1e+21"},
        {"value", Value("a"), Value(7), "string 7"},
        {"value", list, 2.0, "real 2"},
        {"_err", std::nullopt, 2.9, "int 2"},
        {"_err", Value(1.5), 2.9, "int 2"},
        {"_el", std::nullopt, kInfinity, "int 9223372036854775807"},
        {"_syn", Value(1), kNaN, "int 0"},
        {"value", Value(1), -1e300, "int -9223372036854775808"},
        {"value", Value(1), kNaN, "int 0"},
    };
    for (const auto& c : cases) {
        INFO(c.name << " over " << (c.present ? shown(*c.present) : "nothing") << " written " << shown(c.written));
        const Value stored = APMPEventCoerceParameterValue(c.name, c.present ? &*c.present : nullptr, c.written);
        CHECK(shown(stored) == c.stored);
    }
}

TEST_CASE("parameter writes store, type and remove") {
    APMPEvent event("e", 1, Value::Dictionary{{"count", 2}, {"label", "a"}});
    APMPEventSetParameter(event, "count", Value(5.9));
    APMPEventSetParameter(event, "label", Value(5.0));
    APMPEventSetParameter(event, "fresh", Value(1.5));
    CHECK(event.parameters() == Value::Dictionary{{"count", 5}, {"label", "5"}, {"fresh", 1.5}});
    APMPEventSetParameter(event, "count", std::nullopt);
    APMPEventSetParameter(event, "absent", std::nullopt);
    CHECK(event.parameters() == Value::Dictionary{{"label", "5"}, {"fresh", 1.5}});
}

TEST_CASE("events are equal when name, time and every parameter agree") {
    const Value::Dictionary base{{"a", 1}, {"b", "x"}, {"items", Value::Array{Value::Dictionary{{"id", 2.5}}}}};
    const APMPEvent event("purchase", 0.5, base);
    auto with = [&](auto change) {
        APMPEvent copy = event;
        change(copy);
        return copy;
    };
    struct Case {
        const char* what;
        APMPEvent other;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"a copy", event, true},
        {"time within epsilon", with([](APMPEvent& e) { e.setTimestamp(std::nextafter(0.5, 1.0)); }), true},
        {"time beyond epsilon", with([](APMPEvent& e) { e.setTimestamp(0.5 + 4e-16); }), false},
        {"another name", with([](APMPEvent& e) { e.setName("purchase2"); }), false},
        {"a parameter removed", with([](APMPEvent& e) { e.parameters().erase("b"); }), false},
        {"a parameter added", with([](APMPEvent& e) { e.parameters()["c"] = 1; }), false},
        {"an integer as a double", with([](APMPEvent& e) { e.parameters()["a"] = 1.0; }), false},
        {"a changed list entry", with([](APMPEvent& e) {
             e.parameters()["items"] = Value::Array{Value::Dictionary{{"id", 2.6}}};
         }),
         false},
        {"a longer list", with([](APMPEvent& e) {
             e.parameters()["items"] = Value::Array{Value::Dictionary{{"id", 2.5}}, Value::Dictionary{}};
         }),
         false},
    };
    for (const auto& c : cases) {
        INFO(std::string(c.what));
        CHECK(APMPEventIsEqualToEvent(event, c.other) == c.equal);
        CHECK(APMPEventIsEqualToEvent(c.other, event) == c.equal);
    }
    const APMPEvent notANumber("n", 1, Value::Dictionary{{"x", kNaN}});
    const APMPEvent copy = notANumber;
    CHECK(APMPEventIsEqualToEvent(notANumber, copy));
}
