// Tests of the remote-configuration manager: loaders and fallback, fetch handling, lists, lookups, threads.
#include <doctest/doctest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/process_info.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "velmora/engine/console_line.h"
#include "velmora/shell/remote_config_manager.h"

using namespace velmora;
using platform::VEZRemoteConfig;
using platform::VEZRemoteConfigFetchStatus;
using platform::VEZRemoteConfigOptions;

namespace {

const std::filesystem::path kResources = VELMORA_TEST_RESOURCES;

const std::vector<std::string> kAllFive = {"didLoadMenu", "didLoadKuvoAds", "didLoadOffers",
                                           "didLoadUmpReferenceData", "didLoadVideoTutorialsData"};

std::string infoPlist(const std::string& identifier) {
    std::string plist = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)";
    if (!identifier.empty()) plist += "<key>CFBundleIdentifier</key><string>" + identifier + "</string>";
    return plist + "</dict></plist>";
}

std::vector<std::string> englishNames(const std::vector<AppMetaData>& apps) {
    std::vector<std::string> names;
    for (const auto& app : apps) names.push_back(app.appName.count("en") ? app.appName.at("en") : "?");
    return names;
}

// An application entry in JSON, for documents written by the tests.
std::string appEntry(const std::string& id, const std::string& name, const std::string& flags,
                     const std::string& rating = "https://r.example") {
    return R"({"appIdentifiers": [")" + id + R"("], "appName": {"en": ")" + name +
           R"("}, "appURL": "a://", "appURLPro": "ap://", "ratingURL": "r", "ratingURLPro": ")" + rating +
           R"(", "storeURL": "s", "storeURLPro": "sp", "calculationsUntilInterstitial": 1)" +
           (flags.empty() ? "" : ", " + flags) + "}";
}

// Restores the console and the device locale when a test ends.
struct ConsoleCapture {
    ConsoleCapture() {
        setConsoleSink([this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
    }
    ~ConsoleCapture() {
        setConsoleSink(nullptr);
        platform::ProcessInfo::reset();
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(lines, {});
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// A manager over a client on a manual queue, a bundle in a folder and a
// notification centre of their own; what is posted is recorded with
// whether it was posted on the client's queue.
struct Fixture {
    explicit Fixture(std::filesystem::path bundleFolder = kResources, std::filesystem::path data = {})
        : bundle(std::move(bundleFolder)),
          dataDirectory(data.empty() ? dir / "data" : std::move(data)),
          queue(std::make_shared<platform::dispatch::ManualQueue>("remote config")),
          client(std::make_shared<VEZRemoteConfig>(
              VEZRemoteConfigOptions{dataDirectory, (dir / "values.json").string(), nullptr, queue})),
          manager(RemoteConfigManager::make(client, bundle, center)) {
        token = center.addObserver("", nullptr, [this](const platform::Notification& note) {
            posted.push_back(note.name);
            onQueue.push_back(queue->isCurrent());
        });
    }

    // Makes this document's entries the active values, as a fetch and an
    // activation would, without the manager hearing of it.
    void activate(const std::string& document) {
        testsupport::writeText(dir / "values.json", document);
        client->fetch(0, nullptr);
        client->activate(nullptr);
        queue->drain();
    }
    void activateResource(const std::string& name) { activate(testsupport::readText(kResources / name)); }

    std::vector<std::string> takePosted() {
        onQueue.clear();
        return std::exchange(posted, {});
    }

    ConsoleCapture console;
    testsupport::TempDir dir;
    platform::Bundle bundle;
    std::filesystem::path dataDirectory;
    std::shared_ptr<platform::dispatch::ManualQueue> queue;
    std::shared_ptr<VEZRemoteConfig> client;
    platform::NotificationCenter center;
    std::shared_ptr<RemoteConfigManager> manager;
    platform::ObserverToken token;
    std::vector<std::string> posted;
    std::vector<bool> onQueue;
};

const std::vector<std::string> kRemoteApps = {"Bernoulli Formula", "Math Suite",  "Geometry Suite",
                                              "Quadratic Equations", "Statistics", "Percentages",
                                              "Fractions",         "Trigonometry"};
const std::vector<std::string> kBundleApps = {"Bernoulli Formula", "Math Suite", "Geometry Suite",
                                              "Quadratic Equations", "Percentages", "Fractions", "Trigonometry"};

}  // namespace

TEST_CASE("the five values load in order from the active values") {
    Fixture f;
    CHECK(f.client->configSettings().minimumFetchInterval() == 0);

    SUBCASE("nothing active yet: the bundle's list stands in for the applications") {
        f.manager->loadAllConfigValues(*f.client);
        CHECK(f.takePosted() == std::vector<std::string>{"didLoadMenu"});
        CHECK(englishNames(f.manager->apps()) == kBundleApps);
        // The other four print why they did not decode and keep their values.
        CHECK(f.console.take().size() == 4);
        CHECK(f.manager->ads().empty());
        CHECK_FALSE(f.manager->umpReferenceData());
        CHECK_FALSE(f.manager->videoTutorials());
    }
    SUBCASE("good values") {
        f.activateResource("remote_values_good.json");
        f.manager->loadAllConfigValues(*f.client);
        CHECK(f.takePosted() == kAllFive);
        CHECK(f.console.take().empty());
        CHECK(englishNames(f.manager->apps()) == kRemoteApps);
        const auto ads = f.manager->ads();
        REQUIRE(ads.count("default"));
        CHECK(ads.at("default").at(0) == KuvoAdData{"adMathSuite",
                                                    "https://store.velmora.example/app/mathsuite-pro?offer=spring", "30"});
        CHECK(f.manager->offers().at("spring").at(0).offerId == "spring-30");
        CHECK(f.manager->umpReferenceData() ==
              UmpReferenceData{false, "11111111111", "01111111111", "1", "0"});
        CHECK(f.manager->videoTutorials()->at("QZT").at("fr").size() == 1);

        SUBCASE("then a broken \"ads\" keeps the old map and posts nothing for it") {
            f.activateResource("remote_values_broken_ads.json");
            f.manager->loadAllConfigValues(*f.client);
            CHECK(f.takePosted() == std::vector<std::string>{"didLoadMenu", "didLoadOffers",
                                                             "didLoadUmpReferenceData", "didLoadVideoTutorialsData"});
            CHECK(f.manager->ads() == ads);
            const auto printed = f.console.take();
            REQUIRE(printed.size() == 1);
            CHECK(printed[0].find("dataCorrupted") == 0);
        }
        SUBCASE("then a broken \"apps\" falls back to the bundle's list, silently") {
            f.activateResource("remote_values_broken_apps.json");
            f.manager->loadApps(*f.client);
            CHECK(f.takePosted() == std::vector<std::string>{"didLoadMenu"});
            CHECK(englishNames(f.manager->apps()) == kBundleApps);
            CHECK(f.console.take().empty());
        }
        SUBCASE("then an empty \"apps\" falls back to the bundle's list too") {
            f.activate(R"({"entries": {"apps": ""}})");
            f.manager->loadApps(*f.client);
            CHECK(f.takePosted() == std::vector<std::string>{"didLoadMenu"});
            CHECK(englishNames(f.manager->apps()) == kBundleApps);
        }
    }
}

TEST_CASE("a bundle list that cannot stand in leaves the applications as they were") {
    testsupport::TempDir bundles;
    const std::string dated =
        R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>apps</key><array>)"
        R"(<dict><key>added</key><date>2024-01-01T00:00:00Z</date></dict></array></dict></plist>)";
    struct Case {
        const char* name;
        std::optional<std::string> plist;  // none: no such resource
        const char* printedPart;           // empty: nothing printed
    };
    const Case cases[] = {
        {"missing", std::nullopt, ""},
        {"not a property list", "<plist><dict><key>apps", "is no property list"},
        {"a date inside", dated, "apps[0].added: a date has no JSON form"},
        {"an array root", R"(<plist version="1.0"><array/></plist>)", "root is not a dictionary"},
        {"entries that do not decode", R"(<plist version="1.0"><dict><key>apps</key><array><dict/></array></dict></plist>)",
         ""},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        const auto folder = bundles / c.name;
        testsupport::writeText(folder / "Info.plist", infoPlist("com.velmora.bernoulli"));
        if (c.plist) testsupport::writeText(folder / "RemoteConfigDefaults.plist", *c.plist);
        Fixture f(folder);
        f.activate(R"({"entries": {"apps": {"apps": [)" + appEntry("x", "Remote", R"("shouldShow": true)") + "]}}}");
        f.manager->loadApps(*f.client);
        REQUIRE(englishNames(f.manager->apps()) == std::vector<std::string>{"Remote"});
        f.takePosted();
        f.console.take();

        f.activate(R"({"entries": {"apps": "{broken"}})");
        f.manager->loadApps(*f.client);
        CHECK(f.takePosted().empty());
        CHECK(englishNames(f.manager->apps()) == std::vector<std::string>{"Remote"});
        const auto printed = f.console.take();
        if (*c.printedPart) {
            REQUIRE(printed.size() == 1);
            CHECK(printed[0].find(c.printedPart) != std::string::npos);
        } else {
            CHECK(printed.empty());
        }
    }
}

TEST_CASE("a fetch's result decides what is reloaded") {
    Fixture f;
    testsupport::writeText(f.dir / "values.json", testsupport::readText(kResources / "remote_values_good.json"));

    SUBCASE("success activates and reloads all five on the client's queue") {
        f.manager->fetchConfig();
        CHECK(f.posted.empty());
        f.queue->drain();
        CHECK(f.posted == kAllFive);
        CHECK(f.onQueue == std::vector<bool>(5, true));
        CHECK(englishNames(f.manager->apps()) == kRemoteApps);
        CHECK(f.client->configValue("apps").hasValue());
    }
    SUBCASE("an error reloads the values already active") {
        f.activateResource("remote_values_good.json");
        std::filesystem::remove(f.dir / "values.json");
        f.manager->fetchConfig(0);
        f.queue->drain();
        CHECK(f.client->lastFetchStatus() == VEZRemoteConfigFetchStatus::failure);
        CHECK(f.posted == kAllFive);
        CHECK(englishNames(f.manager->apps()) == kRemoteApps);
    }
    SUBCASE("another status without an error changes nothing") {
        for (auto status : {VEZRemoteConfigFetchStatus::noFetchYet, VEZRemoteConfigFetchStatus::failure,
                            VEZRemoteConfigFetchStatus::throttled}) {
            f.manager->handleFetchResult(status, std::nullopt);
            f.queue->drain();
            CHECK(f.posted.empty());
            CHECK(f.manager->apps().empty());
            CHECK_FALSE(f.client->configValue("apps").hasValue());  // not activated
            CHECK(f.console.take() == std::vector<std::string>{"Config not fetched", "Error: No error available."});
        }
    }
    SUBCASE("a manager gone before the answer is left alone") {
        f.manager->fetchConfig();
        f.manager.reset();
        CHECK(f.queue->drain() == 1);
        CHECK(f.posted.empty());
        // The fetched values stay pending for whoever asks next.
        CHECK_FALSE(f.client->configValue("apps").hasValue());
    }
}

TEST_CASE("across two launches on one data folder the second starts from the activated values") {
    testsupport::TempDir data;
    {
        Fixture first(kResources, data.path());
        testsupport::writeText(first.dir / "values.json", testsupport::readText(kResources / "remote_values_good.json"));
        first.manager->fetchConfig();
        first.queue->drain();
        REQUIRE(englishNames(first.manager->apps()) == kRemoteApps);
    }
    Fixture second(kResources, data.path());  // its source file does not exist
    second.manager->loadAllConfigValues(*second.client);
    CHECK(second.posted == kAllFive);
    CHECK(englishNames(second.manager->apps()) == kRemoteApps);
    CHECK(second.manager->currentApp()->ratingURLPro ==
          "https://store.velmora.example/app/bernoulli-pro?action=write-review&from=remote");
}

TEST_CASE("the drawer's lists and the running application's entry") {
    Fixture f;
    const std::string own = appEntry("com.velmora.bernoulli", "Own", R"("shouldShow": true)", "https://r.example/1");
    const std::string document =
        R"({"entries": {"apps": {"apps": [)" + own + "," +
        appEntry("s1", "Single absent", R"("shouldShow": true)") + "," +
        appEntry("m1", "Multi", R"("shouldShow": true, "isMultiApp": true)") + "," +
        appEntry("s2", "Single false", R"("shouldShow": true, "isMultiApp": false)") + "," +
        appEntry("h1", "Hidden multi", R"("shouldShow": false, "isMultiApp": true)") + "," +
        appEntry("h2", "Hidden single", R"("shouldShow": false)") + "]}}}";
    f.activate(document);
    f.manager->loadApps(*f.client);

    CHECK(englishNames(f.manager->singleApps()) == std::vector<std::string>{"Single absent", "Single false"});
    CHECK(englishNames(f.manager->multiApps()) == std::vector<std::string>{"Multi"});
    REQUIRE(f.manager->currentApp());
    CHECK(f.manager->currentApp()->appName.at("en") == "Own");

    SUBCASE("the entry found is kept for the rest of the process, whatever list of applications follows") {
        const std::vector<std::string> later{
            // the same application with a new rating address
            appEntry("com.velmora.bernoulli", "Own again", R"("shouldShow": true)", "https://r.example/2"),
            // another application alone
            appEntry("s1", "Single absent", R"("shouldShow": true)"),
            // none at all
            "",
        };
        for (const auto& entries : later) {
            CAPTURE(entries);
            f.activate(R"({"entries": {"apps": {"apps": [)" + entries + "]}}}");
            f.manager->loadApps(*f.client);
            REQUIRE(f.manager->apps().size() == (entries.empty() ? 0u : 1u));
            REQUIRE(f.manager->currentApp());
            CHECK(f.manager->currentApp()->ratingURLPro == "https://r.example/1");
            CHECK(f.manager->currentApp()->appName.at("en") == "Own");
        }
    }
    SUBCASE("the two lists get a section each, and only together") {
        const auto both = f.manager->appSections();
        REQUIRE(both.size() == 2);
        CHECK(both[0].headerKey == "All in one:");
        CHECK(both[0].isMultiApp);
        CHECK(englishNames(both[0].apps) == std::vector<std::string>{"Multi"});
        CHECK(both[1].headerKey == "Other apps:");
        CHECK(englishNames(both[1].apps) == std::vector<std::string>{"Single absent", "Single false"});

        f.activate(R"({"entries": {"apps": {"apps": [)" + own + "," +
                   appEntry("s1", "Only single", R"("shouldShow": true)") + "]}}}");
        f.manager->loadApps(*f.client);
        CHECK(englishNames(f.manager->singleApps()) == std::vector<std::string>{"Only single"});
        CHECK(f.manager->appSections().empty());

        f.activate(R"({"entries": {"apps": {"apps": [)" + own + "," +
                   appEntry("m1", "Only multi", R"("shouldShow": true, "isMultiApp": true)") + "]}}}");
        f.manager->loadApps(*f.client);
        CHECK(englishNames(f.manager->multiApps()) == std::vector<std::string>{"Only multi"});
        CHECK(f.manager->appSections().empty());

        f.activate(R"({"entries": {"apps": {"apps": [)" + own + "]}}}");
        f.manager->loadApps(*f.client);
        CHECK(f.manager->appSections().empty());
    }
    SUBCASE("the running application is found under any of its identifiers, or not at all") {
        // A process that has not looked for its entry yet.
        Fixture fresh;
        fresh.activate(R"({"entries": {"apps": {"apps": [)" +
                       appEntry("com.velmora.other", "Other", R"("shouldShow": true)") + "," +
                       R"({"appIdentifiers": ["x", "com.velmora.bernoulli"], "appName": {}, "appURL": "",)"
                       R"( "appURLPro": "", "ratingURL": "", "ratingURLPro": "r2", "storeURL": "", "storeURLPro": "",)"
                       R"( "shouldShow": true, "isMultiApp": true, "calculationsUntilInterstitial": 0}]}}})");
        fresh.manager->loadApps(*fresh.client);
        CHECK(fresh.manager->currentApp()->ratingURLPro == "r2");
        CHECK(fresh.manager->multiApps().empty());
        CHECK(englishNames(fresh.manager->singleApps()) == std::vector<std::string>{"Other"});
    }
}

TEST_CASE("the running application not found is looked for again in the next list, then kept") {
    Fixture f;
    f.activate(R"({"entries": {"apps": {"apps": [)" + appEntry("s1", "Other", R"("shouldShow": true)") + "]}}}");
    f.manager->loadApps(*f.client);
    CHECK_FALSE(f.manager->currentApp());
    f.activate(R"({"entries": {"apps": {"apps": [)" +
               appEntry("com.velmora.bernoulli", "Own", R"("shouldShow": true)", "https://r.example/1") + "]}}}");
    f.manager->loadApps(*f.client);
    REQUIRE(f.manager->currentApp());
    CHECK(f.manager->currentApp()->ratingURLPro == "https://r.example/1");
    f.activate(R"({"entries": {"apps": {"apps": [)" +
               appEntry("com.velmora.bernoulli", "Own", R"("shouldShow": true)", "https://r.example/2") + "]}}}");
    f.manager->loadApps(*f.client);
    CHECK(f.manager->currentApp()->ratingURLPro == "https://r.example/1");
}

TEST_CASE("without a bundle identifier no application is listed or current") {
    testsupport::TempDir folder;
    testsupport::writeText(folder / "Info.plist", infoPlist(""));
    Fixture f(folder.path());
    f.activate(R"({"entries": {"apps": {"apps": [)" + appEntry("a", "A", R"("shouldShow": true)") + "," +
               appEntry("b", "B", R"("shouldShow": true, "isMultiApp": true)") + "]}}}");
    f.manager->loadApps(*f.client);
    REQUIRE(f.manager->apps().size() == 2);
    CHECK(f.manager->singleApps().empty());
    CHECK(f.manager->multiApps().empty());
    CHECK_FALSE(f.manager->currentApp());
}

TEST_CASE("video addresses follow the device language, then English, each list as it is") {
    Fixture f;
    f.activate(R"({"entries": {"videoTutorials": {
        "QZT": {"fr": ["a"], "en": ["b", "a"], "ko": [], "de": ["d", "d", "e"]},
        "PLF": {"en": ["p"]}}}})");
    f.manager->loadVideoTutorials(*f.client);
    struct Case {
        const char* locale;
        std::optional<CalculatorType> type;
        std::vector<std::string> addresses;
    };
    const Case cases[] = {
        {"fr_FR", CalculatorType::bernoulliFormula, {"a", "b", "a"}},
        {"en_US", CalculatorType::bernoulliFormula, {"b", "a"}},
        {"nl_NL", CalculatorType::bernoulliFormula, {"b", "a"}},
        {"ja_JP", CalculatorType::bernoulliFormula, {"b", "a"}},
        {"ko_KR", CalculatorType::bernoulliFormula, {"b", "a"}},
        {"de_DE", CalculatorType::bernoulliFormula, {"d", "d", "e", "b", "a"}},
        {"C", CalculatorType::bernoulliFormula, {"b", "a"}},
        {"fr_FR", std::nullopt, {}},
        {"fr_FR", CalculatorType::powerAndLogarithmicFunction, {"p"}},
        {"fr_FR", CalculatorType::pyramid, {}},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.locale));
        platform::ProcessInfo::setLocaleIdentifier(c.locale);
        CHECK(f.manager->videoTutorialAddresses(c.type) == c.addresses);
    }
    SUBCASE("no lists at all") {
        Fixture empty;
        CHECK(empty.manager->videoTutorialAddresses(CalculatorType::bernoulliFormula).empty());
        empty.activate(R"({"entries": {"videoTutorials": {}}})");
        empty.manager->loadVideoTutorials(*empty.client);
        CHECK(empty.manager->videoTutorials());
        CHECK(empty.manager->videoTutorialAddresses(CalculatorType::bernoulliFormula).empty());
    }
}

TEST_CASE("remote content is localised for eleven languages, else English") {
    ConsoleCapture restore;
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE", "de"}, {"zh_Hans_CN", "zh"}, {"ja_JP", "ja"}, {"en_GB", "en"}, {"es_419", "es"},
        {"ko", "ko"},    {"pt-BR", "pt"},      {"ru_RU", "ru"}, {"fr_CA", "fr"}, {"id_ID", "id"},
        {"hi_IN", "hi"}, {"nl_NL", "en"},      {"it", "en"},    {"C", "en"},     {"", "en"},
    };
    for (const auto& row : cases) {
        const char* locale = row.first;
        const char* code = row.second;
        CAPTURE(std::string(locale));
        platform::ProcessInfo::setLocaleIdentifier(locale);
        CHECK(RemoteConfigManager::supportedLanguageCode() == code);
    }
}

TEST_CASE("every calculator has its own short code") {
    std::set<std::string> codes;
    for (auto type : allCalculatorTypes()) {
        const std::string code = calculatorShortCode(type);
        CAPTURE(code);
        CHECK(code.size() >= 2);
        CHECK(code.size() <= 5);
        CHECK(std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
        codes.insert(code);
    }
    CHECK(codes.size() == kCalculatorTypeCount);
    CHECK(calculatorShortCode(CalculatorType::bernoulliFormula) == "QZT");
}

TEST_CASE("readers on the main thread and loaders on the client's queue share the fields safely") {
    ConsoleCapture console;
    testsupport::TempDir dir;
    testsupport::writeText(dir / "values.json", testsupport::readText(kResources / "remote_values_good.json"));
    platform::Bundle bundle(kResources);
    platform::NotificationCenter center;
    // A real queue with a thread of its own, as the client has in the application.
    auto client = std::make_shared<VEZRemoteConfig>(
        VEZRemoteConfigOptions{dir / "data", (dir / "values.json").string(), nullptr, nullptr});
    auto manager = RemoteConfigManager::make(client, bundle, center);

    std::mutex mutex;
    int rounds = 0;
    auto token = center.addObserver("didLoadVideoTutorialsData", nullptr, [&](const platform::Notification&) {
        {
            std::lock_guard lock(mutex);
            ++rounds;
        }
    });
    constexpr int kRounds = 20;
    std::size_t seen = 0;
    for (int round = 1; round <= kRounds; ++round) {
        manager->fetchConfig(0);
        for (;;) {
            // Read everything while the queue may be writing it.
            seen += manager->singleApps().size() + manager->multiApps().size() + manager->ads().size();
            if (auto own = manager->currentApp()) seen += own->appIdentifiers.size();
            seen += manager->videoTutorialAddresses(CalculatorType::bernoulliFormula).size();
            std::lock_guard lock(mutex);
            if (rounds >= round) break;
        }
    }
    CHECK(seen > 0);
    CHECK(englishNames(manager->apps()) == kRemoteApps);
    token.remove();
}
