#include <doctest/doctest.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#include <thread>

#include "platform/foundation/process_info.h"
#include "testsupport/scoped_launch_options.h"

using platform::ProcessInfo;

namespace {
// Restores the process defaults when a test case ends.
struct ResetProcessInfo {
    ~ResetProcessInfo() { ProcessInfo::reset(); }
};
}  // namespace

TEST_CASE("process information has device defaults and can be set") {
    ResetProcessInfo reset;
    ProcessInfo::reset();

    SUBCASE("defaults describe a phone, never a simulator") {
        const std::string model = ProcessInfo::deviceModel();
        CHECK_FALSE(model.empty());
        CHECK(model != "x86_64");
        CHECK(model != "i386");
        CHECK(model != "arm64");
        CHECK(ProcessInfo::osVersion() == ProcessInfo::defaultOSVersion());
        CHECK(ProcessInfo::preferredLanguages() == std::vector<std::string>{"en-US"});
        CHECK(ProcessInfo::arguments().empty());
        CHECK(ProcessInfo::timeZoneName().empty());
    }
    SUBCASE("launch arguments from argv, searched by exact match") {
        const char* argv[] = {"velmora", "-VEZArurerudoDebugEnabled", "--other"};
        ProcessInfo::setArguments(3, argv);
        CHECK(ProcessInfo::arguments().size() == 3);
        CHECK(ProcessInfo::hasArgument("-VEZArurerudoDebugEnabled"));
        CHECK_FALSE(ProcessInfo::hasArgument("-VEZArurerudoDebug"));
        CHECK_FALSE(ProcessInfo::hasArgument("other"));
        ProcessInfo::setArguments(0, nullptr);
        CHECK(ProcessInfo::arguments().empty());
    }
    SUBCASE("every answer can be configured and reset") {
        ProcessInfo::setDeviceModel("x86_64");
        ProcessInfo::setOSVersion("16.0");
        ProcessInfo::setPreferredLanguages({});
        ProcessInfo::setApplicationSupportDirectory("/tmp/somewhere");
        CHECK(ProcessInfo::deviceModel() == "x86_64");
        CHECK(ProcessInfo::osVersion() == "16.0");
        CHECK(ProcessInfo::preferredLanguages().empty());
        CHECK(ProcessInfo::applicationSupportDirectory() == "/tmp/somewhere");
        ProcessInfo::reset();
        CHECK(ProcessInfo::deviceModel() == ProcessInfo::defaultDeviceModel());
        CHECK(ProcessInfo::applicationSupportDirectory() == ProcessInfo::defaultApplicationSupportDirectory());
    }
    SUBCASE("the vendor identifier is one UUID for the process until set, and its requests are counted") {
        const auto first = ProcessInfo::identifierForVendor();
        REQUIRE(first);
        // Upper-case hexadecimal in groups of 8-4-4-4-12, version 4.
        CHECK(first->size() == 36);
        CHECK(first->find_first_not_of("0123456789ABCDEF-") == std::string::npos);
        CHECK((*first)[14] == '4');
        CHECK(ProcessInfo::identifierForVendor() == first);
        ProcessInfo::setIdentifierForVendor("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
        CHECK(ProcessInfo::identifierForVendor() == "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
        ProcessInfo::setIdentifierForVendor(std::nullopt);
        CHECK_FALSE(ProcessInfo::identifierForVendor());
        CHECK(ProcessInfo::identifierForVendorRequestCount() == 4);
        ProcessInfo::reset();
        CHECK(ProcessInfo::identifierForVendor() == first);
        CHECK(ProcessInfo::identifierForVendorRequestCount() == 1);
    }
    SUBCASE("the application-support folder lies under the user's data home") {
        testsupport::ScopedLaunchOptions options([](platform::LaunchOptions& o) {
            o.xdgDataHome = "/data/home";
            o.home = "/home/someone";
        });
        CHECK(ProcessInfo::applicationSupportDirectory() == "/data/home/velmora/Application Support");
        testsupport::ScopedLaunchOptions withoutXDG([](platform::LaunchOptions& o) { o.xdgDataHome.reset(); });
        CHECK(ProcessInfo::applicationSupportDirectory() ==
              "/home/someone/.local/share/velmora/Application Support");
        testsupport::ScopedLaunchOptions relativeXDG([](platform::LaunchOptions& o) { o.xdgDataHome = "data/home"; });
        CHECK(ProcessInfo::applicationSupportDirectory() ==
              "/home/someone/.local/share/velmora/Application Support");
    }
    SUBCASE("without a usable $HOME, the home the user database records, never the folder every user shares") {
        const passwd* user = ::getpwuid(::getuid());
        REQUIRE(user != nullptr);
        const std::string recorded = std::string(user->pw_dir) + "/.local/share/velmora/Application Support";
        struct Case {
            std::optional<std::string> xdgDataHome, home;
            std::string folder, source;
        };
        const Case cases[] = {
            {std::nullopt, std::nullopt, recorded, "the user's home folder"},
            {std::nullopt, "", recorded, "the user's home folder"},
            {std::nullopt, "relative/home", recorded, "the user's home folder"},
            {"data/home", std::nullopt, recorded, "the user's home folder"},
            {"data/home", "/home/someone", "/home/someone/.local/share/velmora/Application Support", "$HOME"},
            {"/data/home", "relative", "/data/home/velmora/Application Support", "$XDG_DATA_HOME"},
        };
        for (const auto& c : cases) {
            CAPTURE(c.xdgDataHome.value_or("(unset)"));
            CAPTURE(c.home.value_or("(unset)"));
            testsupport::ScopedLaunchOptions options([&c](platform::LaunchOptions& o) {
                o.xdgDataHome = c.xdgDataHome;
                o.home = c.home;
            });
            CHECK(ProcessInfo::applicationSupportDirectory() == c.folder);
            CHECK(ProcessInfo::dataHomeSource() == c.source);
        }
    }
    SUBCASE("readers and writers on several threads agree") {
        std::thread writer([] {
            for (int i = 0; i < 200; ++i) ProcessInfo::setDeviceModel(i % 2 ? "iPad13,1" : "iPhone15,2");
        });
        for (int i = 0; i < 200; ++i) {
            auto model = ProcessInfo::deviceModel();
            CHECK((model == "iPad13,1" || model == "iPhone15,2"));
        }
        writer.join();
    }
}

TEST_CASE("the device's language and region come from its locale identifier") {
    ResetProcessInfo reset;
    struct Case {
        const char* identifier;
        std::optional<std::string> language;
        std::optional<std::string> region;
    };
    const Case cases[] = {
        {"de_DE", "de", "DE"},
        {"de_DE.UTF-8", "de", "DE"},
        {"fr_CA.ISO-8859-1@euro", "fr", "CA"},
        {"pt-BR", "pt", "BR"},
        {"zh_Hans_CN", "zh", "CN"},
        {"zh-Hant", "zh", std::nullopt},
        {"EN_us", "en", "US"},
        {"es_419", "es", "419"},
        {"fil_PH", "fil", "PH"},
        {"nl", "nl", std::nullopt},
        {"C", std::nullopt, std::nullopt},
        {"C.UTF-8", std::nullopt, std::nullopt},
        {"POSIX", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"d3_DE", std::nullopt, std::nullopt},
        {"en_U1", "en", std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.identifier);
        ProcessInfo::setLocaleIdentifier(c.identifier);
        CHECK(ProcessInfo::localeIdentifier() == c.identifier);
        CHECK(ProcessInfo::languageCode() == c.language);
        CHECK(ProcessInfo::regionCode() == c.region);
    }
}

TEST_CASE("without a setting the locale is the launch options'") {
    ResetProcessInfo reset;
    ProcessInfo::reset();
    testsupport::ScopedLaunchOptions unset([](platform::LaunchOptions& o) { o.locale.reset(); });
    CHECK(ProcessInfo::localeIdentifier() == "C");
    CHECK_FALSE(ProcessInfo::languageCode());
    testsupport::ScopedLaunchOptions russian([](platform::LaunchOptions& o) { o.locale = "ru_RU.UTF-8"; });
    CHECK(ProcessInfo::localeIdentifier() == "ru_RU.UTF-8");
    CHECK(ProcessInfo::languageCode() == "ru");
    CHECK(ProcessInfo::regionCode() == "RU");
    ProcessInfo::setLocaleIdentifier("hi_IN");
    CHECK(ProcessInfo::languageCode() == "hi");
}
