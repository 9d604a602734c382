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

TEST_CASE("reachability and the vendor identifier take only the values they can use; others are refused by name") {
    struct Case {
        std::string name;
        std::string value;
        bool unreachable;
        bool refused;
        std::string kept = {};  // the identifier taken, when not the value as given
    };
    const std::string uuid = "0F0E0D0C-0B0A-4908-8706-050403020100";
    const std::string reachable = "VELMORA_NETWORK_REACHABLE", vendor = "VELMORA_IDENTIFIER_FOR_VENDOR";
    const std::vector<Case> cases = {
        {reachable, "0", true, false}, {reachable, "no", true, false}, {reachable, "false", true, false},
        {reachable, "1", false, false}, {reachable, "yes", false, false}, {reachable, "true", false, false},
        {reachable, "NO", false, true}, {reachable, " 0", false, true}, {reachable, "", false, true},
        {vendor, uuid, false, false},
        // A UUID in lower case, as uuidgen prints one, kept as the platform writes it.
        {vendor, "0f0e0d0c-0b0a-4908-8706-050403020100", false, false, uuid},
        {vendor, "0F0e0D0c-0B0a-4908-8706-050403020100", false, false, uuid},
        {vendor, uuid.substr(0, 35) + "g", false, true},
        {vendor, "0F0E0D0C0B0A490887060504030201000000", false, true},
        {vendor, uuid.substr(0, 35) + "G", false, true}, {vendor, uuid.substr(0, 35) + "\n", false, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.value);
        const auto options = optionsFrom({{c.name, c.value}});
        CHECK(options.networkReachable != c.unreachable);
        const std::string kept = c.kept.empty() ? c.value : c.kept;
        CHECK(options.identifierForVendor == (c.name == vendor && !c.refused ? std::optional(kept) : std::nullopt));
        REQUIRE(options.refused.size() == (c.refused ? 1U : 0U));
        if (c.refused) CHECK(options.refused[0].rfind(c.name + " is ", 0) == 0);
        if (c.refused) CHECK(options.refused[0].find("not \"" + c.value + "\"") != std::string::npos);
    }
    // Unset, the network is there and the platform makes its own identifier.
    const auto unset = optionsFrom({});
    CHECK(unset.networkReachable);
    CHECK_FALSE(unset.identifierForVendor);
    CHECK(unset.refused.empty());
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
