#include <doctest/doctest.h>

#include <map>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/script/editing/editing_factory.h"
#include "measurement/script/editing/editing_test_support.h"

using namespace measurement;
using measurement::testing::describeEvent;
using measurement::testing::describePlain;
using measurement::testing::programFromText;
using platform::Value;

namespace {

const char* const kModules =
    "(var \"reg\" \"kv\" \"meta\" \"lg\") "
    "(set \"reg\" (\"require\" \"internal.registerCallback\")) "
    "(set \"kv\" (\"require\" \"internal.remoteConfig\")) "
    "(set \"meta\" (\"require\" \"internal.appMetadata\")) "
    "(set \"lg\" (\"require\" \"internal.logger\")) ";

APMEventEditingModules engineModules() {
    APMEventEditingModules modules;
    modules.remoteConfigValue = [](const std::string& key) -> std::optional<std::string> {
        static const std::map<std::string, std::string> settings{{"greeting", "hello"}, {"limit", "25"}};
        const auto found = settings.find(key);
        if (found == settings.end()) return std::nullopt;
        return found->second;
    };
    modules.appMetadata = [] {
        return Value::Dictionary{
            {"platform", "ios"}, {"package_name", "com.example.app"}, {"ruz_version", 110200}, {"app_version", "2.1"}};
    };
    return modules;
}

struct Loaded {
    std::shared_ptr<APMEventEditingHost> host;
    std::optional<APMError> error;
};

Loaded load(const std::string& text, APMPEventEditingFactory& factory) {
    Loaded loaded;
    loaded.host = factory.makeEventEditingWithProgram(programFromText(kModules + text), engineModules(),
                                                      &loaded.error);
    return loaded;
}

// One edit callback writing "out" from the expression.
std::string writeOut(const std::string& expression) {
    return "(function \"cb\" (array \"e\") (call $e \"setParamValue\" (array \"out\" " + expression +
           ")) (return 0)) (\"reg\" 0 $cb (object \"type\" \"edit\"))";
}

std::string entryText(const APMMonitorEntry& entry) {
    std::string text = std::to_string(entry.level) + " " + entry.message;
    if (!entry.contexts.empty()) {
        text += " [";
        for (std::size_t i = 0; i < entry.contexts.size(); ++i) {
            text += (i ? "," : "") + entry.contexts[i].stringValue();
        }
        text += "]";
    }
    return text;
}

}  // namespace

TEST_CASE("the engine's modules as programs see them") {
    APMPEventEditingFactory factory;
    struct Case {
        const char* what;
        std::string expression;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"a setting's text", "(call $kv \"getValue\" (array \"greeting\" 0))", "\"hello\""},
        {"a numeric setting stays text", "(typeof (call $kv \"getValue\" (array \"limit\" 0)))", "\"string\""},
        {"a missing setting gives the default itself", "(call $kv \"getValue\" (array \"absent\" 5))", "5.0"},
        {"a missing setting's default array",
         "(prop (call $kv \"getValue\" (array \"absent\" (array 1 2))) \"length\")", "2.0"},
        {"the application's metadata",
         "(add (add (add (prop (\"meta\") \"platform\") (prop (\"meta\") \"package_name\")) "
         "(prop (\"meta\") \"ruz_version\")) (prop (\"meta\") \"app_version\"))",
         "\"ioscom.example.app1102002.1\""},
        {"a new map on every call", "(is (\"meta\") (\"meta\"))", "0.0"},
        {"the same module on every require", "(is $kv (\"require\" \"internal.remoteConfig\"))", "1.0"},
        {"the platform's version", "(call (\"require\" \"internal.platform\") \"getVersion\" (array))", "0.0"},
        {"calling the settings module", "(typeof (\"kv\" 1 2))", "\"undefined\""},
        {"calling the logger", "(typeof (\"lg\"))", "\"undefined\""},
    };
    for (const auto& c : cases) {
        INFO(std::string(c.what));
        auto loaded = load(writeOut(c.expression), factory);
        REQUIRE(loaded.host);
        std::optional<APMError> error;
        const auto result = loaded.host->handleEvent(APMPEvent("e", 1, {}), &error);
        REQUIRE(result);
        REQUIRE(result->hasEdits);
        CHECK(describePlain(result->outputEvent.parameters().at("out")) == c.out);
    }
    SUBCASE("getValue takes exactly two arguments") {
        auto loaded = load("(call $kv \"getValue\" (array \"greeting\"))", factory);
        CHECK_FALSE(loaded.host);
        REQUIRE(loaded.error);
        CHECK(loaded.error->domain() == kAPMPScriptErrorDomain);
        CHECK(loaded.error->code() == 9);
    }
}

TEST_CASE("each runtime makes its own module objects") {
    APMPEventEditingFactory factory;
    auto first = load("(setprop $kv \"mark\" 1) (setprop $lg \"mark\" 1)" +
                          writeOut("(add (prop $kv \"mark\") (prop $lg \"mark\"))"),
                      factory);
    auto second = load(writeOut("(add (typeof (prop $kv \"mark\")) (typeof (prop $lg \"mark\")))"), factory);
    REQUIRE(first.host);
    REQUIRE(second.host);
    std::optional<APMError> error;
    CHECK(describePlain(first.host->handleEvent(APMPEvent("e", 1, {}), &error)->outputEvent.parameters().at("out")) ==
          "2.0");
    CHECK(describePlain(second.host->handleEvent(APMPEvent("e", 1, {}), &error)->outputEvent.parameters().at("out")) ==
          "\"undefinedundefined\"");
}

TEST_CASE("script log calls write monitor entries with code 24005") {
    APMPEventEditingFactory factory;
    struct Case {
        const char* call;
        const char* expected;  // "level message [contexts]", or the error
    };
    const std::vector<Case> cases = {
        {"(call $lg \"log\" (array \"hello\"))", "6 hello"},
        {"(call $lg \"log\" (array 6 \"bad\"))", "1 bad"},
        {"(call (prop $lg \"silent\") \"log\" (array 6 \"bad\"))", "2 bad"},
        {"(call (prop $lg \"unmonitored\") \"log\" (array 6 \"bad\"))", "0 bad"},
        {"(call $lg \"log\" (array 5 \"w\"))", "4 w"},
        {"(call (prop $lg \"silent\") \"log\" (array 5 \"w\"))", "5 w"},
        {"(call (prop $lg \"unmonitored\") \"log\" (array 5 \"w\"))", "3 w"},
        {"(call (prop $lg \"silent\") \"log\" (array 2 \"d\"))", "8 d"},
        {"(call (prop $lg \"unmonitored\") \"log\" (array 3 \"d\"))", "7 d"},
        {"(call $lg \"log\" (array 4 \"n\"))", "6 n"},
        {"(call $lg \"log\" (array 7 \"n\"))", "6 n"},
        {"(call $lg \"log\" (array 2.9 \"d\"))", "8 d"},
        {"(call $lg \"log\" (array \"6\" \"text level\"))", "1 text level"},
        {"(call $lg \"log\" (array NaN \"n\"))", "6 n"},
        {"(call $lg \"log\" (array 1e30 \"n\"))", "6 n"},
        {"(call $lg \"log\" (array -Infinity \"n\"))", "6 n"},
        {"(call $lg \"log\" (array 3 \"m\" \"a\" 2 \"c\" \"d\"))", "7 m [a,2,c]"},
        {"(call $lg \"log\" (array 3 \"m\" \"a\"))", "7 m [a]"},
        {"(call $lg \"log\" (array))", "error 9"},
        {"(call $lg \"log\" (array (break)))", "error 5"},
        {"(call $lg \"log\" (array 3 \"m\" (break)))", "error 5"},
    };
    for (const auto& c : cases) {
        INFO(std::string(c.call));
        APMMonitorCapture capture;
        auto loaded = load(c.call, factory);
        std::string outcome = loaded.error ? "error " + std::to_string(loaded.error->code()) : "";
        for (const auto& entry : capture.entriesWithCode(24005)) {
            outcome += (outcome.empty() ? "" : "; ") + entryText(entry);
        }
        CHECK(outcome == c.expected);
    }
}

TEST_CASE("the factory's hosts report edits, created events and failures") {
    APMPEventEditingFactory factory;
    SUBCASE("a program that does not load gives no host and its error") {
        auto loaded = load("(\"reg\" 0 1 (object))", factory);
        CHECK_FALSE(loaded.host);
        REQUIRE(loaded.error);
        CHECK(loaded.error->code() == 10);
        loaded = load("(return 0)", factory);
        REQUIRE(loaded.error);
        CHECK(loaded.error->domain() == kAPMPEditingErrorDomain);
        CHECK(loaded.error->code() == 5);
    }
    SUBCASE("results of one event after another") {
        auto loaded = load(
            "(var \"log\") (set \"log\" (\"require\" \"internal.eventLogger\")) "
            "(function \"cb\" (array \"e\") (if (is (call $e \"getEventName\" (array)) \"bad\") "
            "(code (call undefined \"x\" (array)))) (call $e \"setParamValue\" (array \"n\" null)) (return 0)) "
            "(function \"mk\" (array \"e\") (if (is (call $e \"getEventName\" (array)) \"twice\") "
            "(code (\"log\" \"copy\" 7 (object \"_o\" \"script\")))))"
            "(\"reg\" 0 $cb (object \"type\" \"edit\")) (\"reg\" 0 $mk (object \"type\" \"create\"))",
            factory);
        REQUIRE(loaded.host);
        std::optional<APMError> error;
        auto result = loaded.host->handleEvent(APMPEvent("plain", 5, {}), &error);
        REQUIRE(result);
        CHECK_FALSE(result->hasEdits);
        CHECK_FALSE(result->hasCreatedEvents);
        result = loaded.host->handleEvent(APMPEvent("twice", 5, Value::Dictionary{{"n", 1}}), &error);
        REQUIRE(result);
        CHECK(result->hasEdits);
        CHECK(describeEvent(result->outputEvent) == "twice@5.0");
        REQUIRE(result->hasCreatedEvents);
        REQUIRE(result->eventsToLog.size() == 1);
        CHECK(describeEvent(result->eventsToLog[0]) == "copy@7.0 _o=\"script\"");
        CHECK_FALSE(loaded.host->handleEvent(APMPEvent("bad", 5, {}), &error));
        REQUIRE(error);
        CHECK(error->domain() == kAPMPScriptErrorDomain);
        CHECK(error->code() == 7);
    }
}
