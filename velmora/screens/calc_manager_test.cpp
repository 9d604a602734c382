#include <doctest/doctest.h>

#include <functional>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/main_loop_turn.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/temp_dir.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/shell_hooks.h"

using platform::Date;
using platform::UserDefaults;
using platform::Value;
using velmora::CalcManager;
using velmora::Calculation;

namespace {

// A fresh preferences folder for the length of one test.
struct PreferencesFolder {
    testsupport::TempDir dir;
    platform::ScopedDataDirectory scope{dir.path()};
};

// Installs a clock standing at the given time for the length of one test.
struct FixedClock {
    explicit FixedClock(double seconds) {
        platform::dispatch::setClock(std::make_shared<platform::dispatch::ManualClock>(seconds));
    }
    ~FixedClock() { platform::dispatch::setClock(nullptr); }
};

Calculation entry(const std::string& name) {
    return Calculation({{"kTextField", name}}, name, {{{"title", "Given"}, {"latexString", name}}}, {{"appKey", "QZT"}});
}

// The history as the file on disk holds it: the latex line of each entry.
std::vector<std::string> storedLatex() {
    auto bytes = platform::readFile(UserDefaults::standard().filePath());
    REQUIRE(bytes);
    auto root = platform::parsePropertyList(*bytes);
    REQUIRE(root);
    const Value& list = (*root)["Calculations"];
    REQUIRE(list.isArray());
    std::vector<std::string> out;
    for (const auto& item : list.asArray()) out.push_back(item["latexString"].stringValue());
    return out;
}

std::vector<std::string> latex(const std::vector<Calculation>& calculations) {
    std::vector<std::string> out;
    for (const auto& c : calculations) out.push_back(c.latexString);
    return out;
}

using Lines = std::vector<std::string>;

const Value::Dictionary kExample{
    {"inputParameters", Value::Dictionary{{"kTextField", "2"}, {"nTextField", "5"}, {"pTextField", "0.3"}}},
    {"latexString", "p = 0.3 \\quad k = 2 \\quad n = 5"},
    {"solutionSteps", Value::Array{}},
    {"setupParameter", Value::Dictionary{{"appKey", "QZT"}}},
};

}  // namespace

TEST_CASE("the first start seeds the example exactly once") {
    PreferencesFolder folder;

    SUBCASE("on a fresh device") {
        {
            FixedClock clock(1700000000);
            CalcManager manager{UserDefaults()};
            CHECK(manager.calculations().empty());
            CHECK(storedLatex().empty());  // an absent history is stored as an empty list
            manager.handleFirstStart();
            REQUIRE(manager.calculations().size() == 1);
            CHECK(manager.calculations()[0] == Calculation(kExample));
            CHECK(UserDefaults().arrayForKey("Calculations") == Value::Array{kExample});
            CHECK(UserDefaults().dateForKey("firstAppStartAt")->secondsSince1970 == 1700000000);
            manager.addCalculation(entry("A"));
        }
        FixedClock later(1800000000);
        CalcManager restarted{UserDefaults()};
        restarted.handleFirstStart();
        CHECK(latex(restarted.calculations()) == Lines{"A", "p = 0.3 \\quad k = 2 \\quad n = 5"});
        CHECK(UserDefaults().dateForKey("firstAppStartAt")->secondsSince1970 == 1700000000);
    }
    SUBCASE("a stored history without a first-start date is replaced by the example") {
        {
            CalcManager earlier{UserDefaults()};
            earlier.addCalculation(entry("old"));
        }
        CalcManager manager{UserDefaults()};
        CHECK(latex(manager.calculations()) == Lines{"old"});
        manager.handleFirstStart();
        CHECK(latex(manager.calculations()) == Lines{"p = 0.3 \\quad k = 2 \\quad n = 5"});
        CHECK(storedLatex() == Lines{"p = 0.3 \\quad k = 2 \\quad n = 5"});
    }
}

TEST_CASE("the history keeps its order through every change and a restart") {
    PreferencesFolder folder;
    auto restart = [] { return CalcManager(UserDefaults()); };
    {
        CalcManager manager = restart();
        manager.addCalculation(entry("A"));
        manager.addCalculation(entry("B"));
        manager.addCalculation(entry("C"));
        CHECK(latex(manager.calculations()) == Lines{"C", "B", "A"});
    }
    CalcManager manager = restart();
    REQUIRE(latex(manager.calculations()) == Lines{"C", "B", "A"});
    CHECK(manager.calculations()[0] == entry("C"));  // every field survives
    CHECK(storedLatex() == Lines{"C", "B", "A"});

    SUBCASE("moving a row shifts the rows between, as the table shows them") {
        CHECK(manager.moveCalculation(0, 2));
        CHECK(latex(manager.calculations()) == Lines{"B", "A", "C"});
        CHECK(storedLatex() == Lines{"B", "A", "C"});
        CHECK(manager.moveCalculation(2, 0));
        CHECK(latex(manager.calculations()) == Lines{"C", "B", "A"});
        CHECK(manager.moveCalculation(1, 2));
        CHECK(manager.moveCalculation(1, 1));
        CHECK(latex(restart().calculations()) == Lines{"C", "A", "B"});
    }
    SUBCASE("deleting an entry") {
        CHECK(manager.deleteCalculation(1));
        CHECK(latex(manager.calculations()) == Lines{"C", "A"});
        CHECK(latex(restart().calculations()) == Lines{"C", "A"});
        CHECK(manager.deleteCalculation(0));
        CHECK(manager.deleteCalculation(0));
        CHECK(UserDefaults().arrayForKey("Calculations") == Value::Array{});
    }
    SUBCASE("an index outside the history is refused and nothing is written") {
        auto before = platform::readFile(UserDefaults::standard().filePath());
        CHECK_FALSE(manager.deleteCalculation(-1));
        CHECK_FALSE(manager.deleteCalculation(3));
        CHECK_FALSE(manager.moveCalculation(0, 3));
        CHECK_FALSE(manager.moveCalculation(-1, 0));
        CHECK_FALSE(manager.moveCalculation(3, 3));
        CHECK(latex(manager.calculations()) == Lines{"C", "B", "A"});
        CHECK(platform::readFile(UserDefaults::standard().filePath()) == before);
    }
    SUBCASE("clearing leaves an empty list") {
        manager.removeAllCalculations();
        CHECK(manager.calculations().empty());
        CHECK(UserDefaults().arrayForKey("Calculations") == Value::Array{});
        CHECK(restart().calculations().empty());
        manager.addCalculation(entry("D"));
        CHECK(latex(restart().calculations()) == Lines{"D"});
    }
}

TEST_CASE("a history change that cannot be written is undone, and the person is told why") {
    PreferencesFolder folder;
    std::vector<std::string> toasts;
    velmora::shellHooks().showToast = [&](const std::string& message) { toasts.push_back(message); };
    {
        // The form of an empty history written at load is nothing the person made.
        velmora::testing::UnwritableFolder blocked(folder.dir.path());
        CHECK(CalcManager{UserDefaults()}.calculations().empty());
        CHECK(toasts.empty());
    }
    CalcManager manager{UserDefaults()};
    REQUIRE(manager.addCalculation(entry("A")));
    REQUIRE(manager.addCalculation(entry("B")));
    struct Case {
        const char* what;
        std::function<bool(CalcManager&)> change;
    };
    const std::vector<Case> cases = {
        {"adding", [](CalcManager& m) { return m.addCalculation(entry("C")); }},
        {"deleting", [](CalcManager& m) { return m.deleteCalculation(0); }},
        {"moving", [](CalcManager& m) { return m.moveCalculation(0, 1); }},
        {"clearing", [](CalcManager& m) { return m.removeAllCalculations(); }},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        toasts.clear();
        {
            velmora::testing::UnwritableFolder blocked(folder.dir.path());
            CHECK_FALSE(c.change(manager));
            CHECK(latex(manager.calculations()) == Lines{"B", "A"});
        }
        CHECK(toasts == Lines{"The history could not be saved: Not a directory"});
        // The next write that succeeds carries no trace of the undone change.
        manager.setCurrentCalculation(entry("X"));
        CHECK(storedLatex() == Lines{"B", "A"});
    }
    SUBCASE("entries added during a turn are undone together at its end, or with a move made after them") {
        for (const bool move : {false, true}) {
            CAPTURE(move);
            toasts.clear();
            {
                velmora::testing::UnwritableFolder blocked(folder.dir.path());
                platform::dispatch::MainLoopTurn turn;
                CHECK(manager.addCalculation(entry("C")));
                CHECK(manager.addCalculation(entry("D")));
                CHECK(latex(manager.calculations()) == Lines{"D", "C", "B", "A"});
                CHECK(toasts.empty());
                // A move writes at once: its failure undoes it and both entries.
                if (move) CHECK_FALSE(manager.moveCalculation(0, 3));
            }
            CHECK(latex(manager.calculations()) == Lines{"B", "A"});
            CHECK(toasts == Lines{"The history could not be saved: Not a directory"});
            manager.setCurrentCalculation(entry("X"));
            CHECK(storedLatex() == Lines{"B", "A"});
        }
    }
    velmora::shellHooks() = velmora::ShellHooks{};
}

TEST_CASE("the selected and the current calculation are stored under their own keys") {
    PreferencesFolder folder;
    {
        CalcManager manager{UserDefaults()};
        manager.setCurrentSelectedCalculation(entry("picked"));
        manager.setCurrentCalculation(entry("typed"));
        CHECK(UserDefaults().dictionaryForKey("CurrentSelectedCalculation") == entry("picked").dictionary());
        CHECK(UserDefaults().dictionaryForKey("CurrentCalculation") == entry("typed").dictionary());
    }
    CalcManager manager{UserDefaults()};
    CHECK(manager.currentSelectedCalculation() == entry("picked"));
    CHECK(manager.currentCalculation() == entry("typed"));

    SUBCASE("none removes the key") {
        manager.setCurrentCalculation(std::nullopt);
        CHECK_FALSE(UserDefaults().objectForKey("CurrentCalculation"));
        CHECK(UserDefaults().objectForKey("CurrentSelectedCalculation"));
        manager.setCurrentSelectedCalculation(std::nullopt);
        CHECK_FALSE(UserDefaults().objectForKey("CurrentSelectedCalculation"));
        CalcManager restarted{UserDefaults()};
        CHECK_FALSE(restarted.currentCalculation());
        CHECK_FALSE(restarted.currentSelectedCalculation());
    }
    SUBCASE("loading a key that holds no dictionary gives none") {
        UserDefaults().setObject("text", "Elsewhere");
        CHECK_FALSE(manager.loadCalculation("Elsewhere"));
        CHECK_FALSE(manager.loadCalculation("Absent"));
    }
}

TEST_CASE("stored entries are read field by field") {
    SUBCASE("a field of another type is left empty, the others kept") {
        Value::Dictionary stored = kExample;
        stored["latexString"] = 42;
        stored["extra"] = "ignored";
        Calculation read(stored);
        CHECK(read.latexString.empty());
        CHECK(read.inputParameters.at("nTextField") == "5");
        CHECK(read.setupParameter == Value::Dictionary{{"appKey", "QZT"}});
        CHECK(read.dictionary().size() == 4);
    }
    SUBCASE("containers whose items have another type are left empty") {
        Calculation read(Value::Dictionary{
            {"inputParameters", Value::Dictionary{{"kTextField", "2"}, {"nTextField", 5}}},
            {"solutionSteps", Value::Array{Value::Dictionary{{"title", "t"}}, "not a step"}},
            {"setupParameter", Value::Array{}},
        });
        CHECK(read.inputParameters.empty());
        CHECK(read.solutionSteps.empty());
        CHECK(read.setupParameter.empty());
    }
    SUBCASE("an empty dictionary gives an empty entry") {
        CHECK(Calculation(Value::Dictionary{}) == Calculation());
    }
    SUBCASE("the stored form holds the fields unchanged") {
        auto dictionary = CalcManager::dictionary(entry("A"));
        CHECK(dictionary == Value::Dictionary{
                                {"inputParameters", Value::Dictionary{{"kTextField", "A"}}},
                                {"latexString", "A"},
                                {"solutionSteps", Value::Array{Value::Dictionary{{"title", "Given"}, {"latexString", "A"}}}},
                                {"setupParameter", Value::Dictionary{{"appKey", "QZT"}}},
                            });
        CHECK(Calculation(dictionary) == entry("A"));
    }
    SUBCASE("a stored history keeps its entries around one that is no dictionary") {
        PreferencesFolder folder;
        Value::Dictionary mistyped = kExample;
        mistyped["latexString"] = 3.5;
        UserDefaults().setObject(Value::Array{entry("A").dictionary(), "junk", mistyped}, "Calculations");
        CalcManager manager{UserDefaults()};
        CHECK(latex(manager.calculations()) == Lines{"A", ""});
        CHECK(manager.calculations()[1].inputParameters.at("pTextField") == "0.3");
    }
    SUBCASE("a stored history with no entry at all is stored as an empty list at once") {
        PreferencesFolder folder;
        UserDefaults().setObject(Value::Array{"junk", 7}, "Calculations");
        CalcManager manager{UserDefaults()};
        CHECK(storedLatex().empty());
        CHECK(manager.calculations().empty());
    }
}
