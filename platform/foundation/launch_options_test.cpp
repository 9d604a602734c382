#include <doctest/doctest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/foundation/launch_options.h"

using platform::LaunchOptions;

namespace {

LaunchOptions optionsFrom(const std::map<std::string, std::string>& variables) {
    return LaunchOptions::fromVariables([&variables](const char* name) -> const char* {
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    });
}

}  // namespace

TEST_CASE("launch options take each variable, the first set of several first") {
    struct Case {
        std::map<std::string, std::string> variables;
        std::optional<std::string> locale;
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt},
        {{{"LANG", "ja_JP.UTF-8"}}, "ja_JP.UTF-8"},
        {{{"LANG", "ja_JP.UTF-8"}, {"LC_MESSAGES", "ko_KR"}}, "ko_KR"},
        {{{"LANG", "ja_JP.UTF-8"}, {"LC_MESSAGES", "ko_KR"}, {"LC_ALL", "ru_RU"}}, "ru_RU"},
        // Set but empty counts as not set.
        {{{"LANG", "ja_JP.UTF-8"}, {"LC_ALL", ""}}, "ja_JP.UTF-8"},
    };
    for (const auto& each : cases) {
        CAPTURE(each.locale);
        CHECK(optionsFrom(each.variables).locale == each.locale);
    }
    const auto options = optionsFrom({{"VELMORA_DATA", "/d"},
                                      {"VELMORA_MEASUREMENT_SERVICE_URL", "http://127.0.0.1:9"},
                                      {"VELMORA_EXPERIMENTS_SERVICE_URL", ""},
                                      {"HOME", "/home/someone"}});
    CHECK(options.dataFolder == "/d");
    CHECK(options.measurementServiceURL == "http://127.0.0.1:9");
    CHECK_FALSE(options.experimentsServiceURL);
    CHECK(options.home == "/home/someone");
    CHECK_FALSE(options.xdgDataHome);
}

TEST_CASE("a service address is an http or https address with a host; anything else, empty too, is refused by name") {
    const std::vector<std::pair<std::string, const char*>> values = {
        {"http://127.0.0.1:9", nullptr},
        {"https://service.example/measurement?x=1", nullptr},
        {"", "is set but empty, and names no address"},
        {"notaurl", "names no http or https address (such as http://127.0.0.1:PORT/): \"notaurl\": it does not"},
        {"ftp://127.0.0.1/", "its scheme is ftp, not http or https"},
        {"http:/path", "it names no host"},
        {"http://127.0.0.1:99999/", "names no http or https address"},
        // Taken here, the network library would refuse it only as it asks.
        {"http://[zz]/", "\"http://[zz]/\": its host [zz] is in brackets, which hold an IPv6 address"},
        {"http://[1:2:3]/", "its host [1:2:3] is in brackets"},
        {"http://[::1]:9/", nullptr},
    };
    // Every variable of the table that names an address.
    int named = 0;
    for (const auto& variable : LaunchOptions::variables()) {
        const std::string name = variable.names.front();
        if (name.size() < 4 || name.compare(name.size() - 4, 4, "_URL") != 0) continue;
        ++named;
        for (const auto& entry : values) {
            const std::string& value = entry.first;
            const char* refusal = entry.second;
            CAPTURE(name);
            CAPTURE(value);
            const auto options = optionsFrom({{name, value}});
            REQUIRE(options.refused.size() == (refusal ? 1U : 0U));
            if (refusal) {
                CHECK(options.refused[0].rfind(name + " ", 0) == 0);
                CHECK(options.refused[0].find(refusal) != std::string::npos);
            }
            if (name == "VELMORA_MEASUREMENT_SERVICE_URL") CHECK(options.measurementServiceURL.has_value() == !refusal);
        }
    }
    CHECK(named == 6);
}

TEST_CASE("the network is unreachable only for the words that say so; a word of neither kind is refused") {
    struct Case {
        std::string value;
        bool reachable;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"0", false, false}, {"no", false, false}, {"false", false, false}, {"1", true, false},
        {"yes", true, false}, {"true", true, false}, {"", true, true}, {"NO", true, true},
        {" 0", true, true}, {"maybe", true, true}, {"false\n", true, true},
    };
    for (const auto& testCase : cases) {
        CAPTURE(testCase.value);
        const auto options = optionsFrom({{"VELMORA_NETWORK_REACHABLE", testCase.value}});
        CHECK(options.networkReachable == testCase.reachable);
        REQUIRE(options.refused.size() == (testCase.refused ? 1U : 0U));
        if (testCase.refused) {
            CHECK(options.refused[0] == "VELMORA_NETWORK_REACHABLE is 0, no or false (unreachable) or 1, yes or true "
                                        "(reachable), not \"" + testCase.value + "\"");
        }
    }
    CHECK(optionsFrom({}).networkReachable);
}

TEST_CASE("a vendor identifier is a UUID as the platform writes one; anything else is refused") {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"0F0E0D0C-0B0A-4908-8706-050403020100", true},
        {"00000000-0000-0000-0000-000000000000", true},
        {"0f0e0d0c-0b0a-4908-8706-050403020100", false},
        {"0F0E0D0C0B0A490887060504030201000000", false},
        {"0F0E0D0C-0B0A-4908-8706-05040302010", false},
        {"0F0E0D0C-0B0A-4908-8706-0504030201000", false},
        {"0F0E0D0C-0B0A-4908-8706-05040302010G", false},
        {"0F0E0D0C-0B0A-4908-8706-05040302010\n", false},
        {"", false},
    };
    for (const auto& testCase : cases) {
        CAPTURE(testCase.first);
        const auto options = optionsFrom({{"VELMORA_IDENTIFIER_FOR_VENDOR", testCase.first}});
        CHECK(options.identifierForVendor == (testCase.second ? std::optional(testCase.first) : std::nullopt));
        REQUIRE(options.refused.size() == (testCase.second ? 0U : 1U));
        if (!testCase.second) {
            CHECK(options.refused[0].rfind("VELMORA_IDENTIFIER_FOR_VENDOR is a UUID", 0) == 0);
            CHECK(options.refused[0].find("not \"" + testCase.first + "\"") != std::string::npos);
        }
    }
}

TEST_CASE("installed options are what the process reads until others are installed") {
    const auto before = LaunchOptions::current();
    auto options = before;
    options.connectionProbeURL = "http://127.0.0.1:9/";
    LaunchOptions::install(options);
    CHECK(LaunchOptions::current().connectionProbeURL == "http://127.0.0.1:9/");
    LaunchOptions::install(before);
    CHECK(LaunchOptions::current().connectionProbeURL == before.connectionProbeURL);
}

// README.md's table of environment variables is this list: a variable added
// here and not there (or the reverse) fails until the two agree.
TEST_CASE("README.md's table of environment variables is the launch options' list") {
    std::ifstream readme(VELMORA_SOURCE_DIR "/README.md");
    REQUIRE(readme);
    const auto expected = LaunchOptions::markdownRows();
    std::vector<std::string> table;
    std::string line;
    while (std::getline(readme, line)) {
        if (table.empty() && line != expected.front()) continue;
        if (line.empty() || line.front() != '|') break;
        table.push_back(line);
    }
    std::string wanted;
    for (const auto& row : expected) wanted += row + "\n";
    INFO("README.md's table should read:\n" << wanted);
    CHECK(table == expected);
}
