#include <doctest/doctest.h>

#include "platform/foundation/notification_center.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/storyboard.h"
#include "velmora/engine/error_manager.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/page_layouts.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/calculating_flag.h"
#include "velmora/screens/solution_view_controller.h"

using platform::gfx::Color;
using platform::ui::TextRange;
using platform::ui::findView;
using platform::ui::tap;
using velmora::CalcManager;
using velmora::Calculation;
using velmora::testing::PageFixture;
using velmora::testing::keys;
using velmora::findFlatButton;

namespace {

std::shared_ptr<platform::input::DTTextField> field(PageFixture& app, const std::string& id) {
    return std::dynamic_pointer_cast<platform::input::DTTextField>(findView(app.window(), id));
}

std::map<std::string, std::string> storedInputs(const char* key) {
    auto stored = platform::UserDefaults().dictionaryForKey(key);
    if (!stored) return {};
    return Calculation(*stored).inputParameters;
}

}  // namespace

TEST_CASE("the calculator page finds its fields and prepares them for the keypad") {
    PageFixture app;
    app.launch();
    auto page = app.calculatePage();
    REQUIRE(page);
    CHECK(page->allIds == std::vector<std::string>{"kTextField", "nTextField", "pTextField"});
    REQUIRE(page->allFields.size() == 3);
    CHECK(page->allFields[0] == page->kTextField);
    CHECK(page->kTextField->accessibilityIdentifier() == "kTextField");
    CHECK(page->pTextField->accessibilityIdentifier() == "pTextField");
    CHECK(velmora::ErrorManager::shared().allFields.size() == 3);
    CHECK(velmora::ErrorManager::shared().requiredAmountOfFields == 3);
    CHECK(page->kTextField->markingColor() == velmora::KuvoColor::neutralGray());
    CHECK(page->kTextField->floatingLabelOffset() == -12.0);

    REQUIRE(tap(*page->nTextField));
    CHECK_FALSE(app.window().isSystemKeyboardVisible());
    CHECK_FALSE(app.window().isShortcutBarVisible());
    CHECK(page->currentTextField.lock() == page->nTextField);

    // the toolbar shows the page's title and its clear button
    auto bar = app.toolbar()->toolbar();
    CHECK(bar->title() == "Bernoulli Formula");
    REQUIRE(bar->rightViews().size() == 1);
    CHECK(bar->rightViews()[0]->accessibilityIdentifier() == "toolbarRemoveButton");
    CHECK(platform::material::tabItem(*page)->title() == "Input");
}

TEST_CASE("keypad editing through the keys") {
    PageFixture app;
    app.launch();
    auto page = app.calculatePage();
    auto k = field(app, "kTextField");

    SUBCASE("the first digit of an empty field, then more") {
        app.typeOnKeypad("kTextField", {"1", "2", "3", "4"});
        CHECK(k->text() == "1234");
    }
    SUBCASE("the minus toggles and keeps the cursor after the digit") {
        app.typeOnKeypad("kTextField", {"3", "-"});
        CHECK(k->text() == "-3");
        CHECK(k->selectedTextRange() == TextRange{{2}, {2}});
        app.typeOnKeypad("kTextField", {"-"});
        CHECK(k->text() == "3");
        CHECK(k->selectedTextRange() == TextRange{{1}, {1}});
    }
    SUBCASE("a selection is replaced by a key, or deleted") {
        app.typeOnKeypad("kTextField", {"1", "2", "3", "4"});
        k->setSelectedTextRange(TextRange{{1}, {3}});
        app.typeOnKeypad("kTextField", {});
        k->setSelectedTextRange(TextRange{{1}, {3}});
        tap(*findFlatButton("5", *page->keypadStackView));
        CHECK(k->text() == "154");
        CHECK(k->selectedTextRange() == TextRange{{2}, {2}});
        k->setSelectedTextRange(TextRange{{1}, {3}});
        tap(*page->deleteButton);
        CHECK(k->text() == "1");
        CHECK(k->selectedTextRange() == TextRange{{1}, {1}});
    }
    SUBCASE("delete at the start changes nothing") {
        app.typeOnKeypad("kTextField", {"4", "2"});
        k->setSelectedTextRange(TextRange{{0}, {0}});
        tap(*page->deleteButton);
        CHECK(k->text() == "42");
    }
    SUBCASE("\".\" works only in p, also after p lost and regained focus") {
        auto dot = findFlatButton(".", *page->keypadStackView);
        REQUIRE(dot);
        app.typeOnKeypad("kTextField", {"1"});
        CHECK_FALSE(tap(*dot));
        CHECK(dot->alpha() == 0.5);
        app.typeOnKeypad("pTextField", {"0", ".", "3"});
        app.typeOnKeypad("nTextField", {"5"});
        app.typeOnKeypad("pTextField", {"3"});
        CHECK(k->text() == "1");
        CHECK(field(app, "pTextField")->text() == "0.33");
        CHECK(dot->alpha() == 1.0);
    }
    SUBCASE("while a calculation runs, keys do nothing") {
        app.typeOnKeypad("kTextField", {"1"});
        velmora::isCalculating = true;
        tap(*findFlatButton("2", *page->keypadStackView));
        tap(*page->deleteButton);
        velmora::isCalculating = false;
        CHECK(k->text() == "1");
    }
}

TEST_CASE("a refused calculation marks exactly the fields at fault, explains, logs, and records nothing") {
    PageFixture app;
    app.launch();
    auto page = app.calculatePage();
    auto k = field(app, "kTextField");
    auto n = field(app, "nTextField");
    auto p = field(app, "pTextField");
    const Color neutral = velmora::KuvoColor::neutralGray();
    struct Case {
        const char* k;
        const char* n;
        const char* p;
        const char* key;
        Color kMark, nMark, pMark;
        const char* toast;
    };
    const Color red = Color::systemRed(), orange = Color::systemOrange();
    const std::vector<Case> cases{
        {"7", "5", "0.3", "binomialCoefficientKBiggerThanN", red, red, neutral, "k must not be greater than n."},
        {"2", "201", "0.3", "mustBeLessThanX\xC2\xA7" "200", neutral, red, neutral,
         "The value must not be greater than 200."},
        {"2", "5", "2", "mustBeBiggerThanXAndLessThanY\xC2\xA7" "0\xC2\xA7" "1", neutral, neutral, red,
         "The value must lie between 0 and 1."},
        {"2", "5", "", "notEnoughInputValues", neutral, neutral, orange, "Please fill in all required values."},
    };
    for (const auto& c : cases) {
        CAPTURE(c.key);
        for (const auto& f : {k, n, p}) f->setText("");
        app.toasts.clear();
        app.recorder->clear();
        app.typeOnKeypad("kTextField", keys(c.k));
        app.typeOnKeypad("nTextField", keys(c.n));
        app.typeOnKeypad("pTextField", keys(c.p));
        REQUIRE(tap(*page->calculateButton));
        CHECK(k->markingColor() == c.kMark);
        CHECK(n->markingColor() == c.nMark);
        CHECK(p->markingColor() == c.pMark);
        CHECK(app.toasts == std::vector<std::string>{c.toast});
        REQUIRE(app.events("kuvo_got_error").size() == 1);
        CHECK(app.events("kuvo_got_error")[0].parameters.at("error_case").stringValue() == c.key);
        CHECK(app.events("kuvo_calculate").empty());
        CHECK(CalcManager::shared().calculations().empty());
        CHECK_FALSE(velmora::isCalculating);
        CHECK(app.tabs()->selectedIndex() == 0);
    }

    SUBCASE("the next calculation starts with neutral markings") {
        for (const auto& f : {k, n, p}) f->setText("");
        app.calculate("2", "5", "0.5");
        for (const auto& f : {k, n, p}) CHECK(f->markingColor() == neutral);
    }
}

TEST_CASE("the contradiction key is shown as an alert over the key window's root") {
    PageFixture app;
    app.launch();
    velmora::ErrorManager::shared().showInputError("oppositionError", {});
    auto alert = std::dynamic_pointer_cast<platform::ui::AlertController>(app.drawer()->presentedViewController());
    REQUIRE(alert);
    CHECK(alert->alertTitle() == "Error");
    CHECK(alert->message() == "The inputs contradict each other.");
    REQUIRE(alert->actions().size() == 1);
    CHECK(alert->actions()[0]->title() == "OK");
    CHECK(app.toasts.empty());
}

TEST_CASE("inputs are restored from a picked entry first, else from the current calculation") {
    PageFixture app;
    Calculation picked({{"kTextField", "1"}, {"nTextField", "4"}}, "picked", {}, {});
    Calculation current({{"kTextField", "3"}, {"nTextField", "6"}, {"pTextField", "0.5"}}, "", {}, {});

    SUBCASE("a picked entry wins and is taken once") {
        CalcManager::shared().setCurrentCalculation(current);
        CalcManager::shared().setCurrentSelectedCalculation(picked);
        app.launch();
        CHECK(field(app, "kTextField")->text() == "1");
        CHECK(field(app, "nTextField")->text() == "4");
        CHECK(field(app, "pTextField")->text().empty());  // missing from the entry
        CHECK_FALSE(CalcManager::shared().currentSelectedCalculation());
        CHECK_FALSE(platform::UserDefaults().dictionaryForKey("CurrentSelectedCalculation"));
    }
    SUBCASE("else the current calculation, leaving the store as it is") {
        CalcManager::shared().setCurrentCalculation(current);
        app.launch();
        CHECK(field(app, "pTextField")->text() == "0.5");
        CHECK(CalcManager::shared().currentCalculation() == current);
    }
    SUBCASE("neither: the fields keep their contents") {
        app.launch();
        CHECK(field(app, "kTextField")->text().empty());
    }
}

TEST_CASE("leaving the page keeps its inputs in the store") {
    PageFixture app;
    app.launch();
    app.typeOnKeypad("kTextField", {"4"});
    app.typeOnKeypad("pTextField", {"0", ".", "2"});
    app.tabs()->select(1);
    CHECK(storedInputs("CurrentCalculation") == std::map<std::string, std::string>{{"kTextField", "4"},
                                                                                  {"pTextField", "0.2"}});
    app.relaunch();
    CHECK(field(app, "kTextField")->text() == "4");
    CHECK(field(app, "pTextField")->text() == "0.2");
}

TEST_CASE("clear-all empties the page, the solution and the store's inputs") {
    PageFixture app;
    app.launch();
    app.calculate("2", "5", "0.3");
    REQUIRE(app.tabs()->selectedIndex() == 1);
    REQUIRE_FALSE(app.solutionPage()->solutionSteps.empty());
    app.recorder->clear();
    auto clear = findView(app.window(), "toolbarRemoveButton");
    REQUIRE(clear);
    REQUIRE(tap(*clear));
    CHECK(app.eventNames() == std::vector<std::string>{"tapped_clear"});
    CHECK(app.tabs()->selectedIndex() == 0);
    CHECK(app.solutionPage()->solutionSteps.empty());
    CHECK(app.solutionPage()->chartSteps.empty());
    CHECK_FALSE(platform::material::tabItem(*app.solutionPage())->isEnabled());
    for (const auto& id : {"kTextField", "nTextField", "pTextField"}) CHECK(field(app, id)->text().empty());
    CHECK_FALSE(platform::UserDefaults().dictionaryForKey("CurrentCalculation"));
    CHECK_FALSE(platform::UserDefaults().dictionaryForKey("CurrentSelectedCalculation"));
    CHECK(CalcManager::shared().calculations().size() == 1);  // the history stays

    SUBCASE("while a calculation runs, only the event is logged") {
        app.typeOnKeypad("kTextField", {"9"});
        velmora::isCalculating = true;
        tap(*clear);
        velmora::isCalculating = false;
        CHECK(field(app, "kTextField")->text() == "9");
    }
}

TEST_CASE("clear-all posts the notification when its neighbour is not the solution page") {
    PageFixture app;
    auto board = platform::ui::Storyboard::named("Main");
    REQUIRE(board);
    auto page = board->instantiate<velmora::CalculateViewController>("CalculateViewController");
    auto other = std::make_shared<platform::ui::ViewController>();
    auto tabs = std::make_shared<platform::material::TabsController>(
        std::vector<std::shared_ptr<platform::ui::ViewController>>{page, other});
    auto window = std::make_shared<platform::ui::Window>();
    window->setRootViewController(tabs);
    window->makeKeyAndVisible();
    int posted = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        velmora::kClearCurrentCalculationNotification, nullptr, [&](const platform::Notification&) { ++posted; });
    tabs->select(1);
    page->handleClearAllButton();
    CHECK(posted == 1);
    CHECK(tabs->selectedIndex() == 0);
    window->setRootViewController(nullptr);
}

TEST_CASE("a page without all three fields refuses to calculate and is not left calculating") {
    PageFixture app;
    platform::ui::Storyboard::registerScene("TwoFields", "CalculateViewController", [] {
        auto page = std::make_shared<velmora::CalculateViewController>();
        page->setViewLoader([](platform::ui::ViewController& owner) {
            auto& calculator = static_cast<velmora::CalculateViewController&>(owner);
            auto root = velmora::layoutCalculatePage(calculator);
            calculator.pTextField->removeFromSuperview();
            return root;
        });
        return page;
    });
    auto page = platform::ui::Storyboard::named("TwoFields")->instantiate<velmora::CalculateViewController>(
        "CalculateViewController");
    auto window = std::make_shared<platform::ui::Window>();
    window->setRootViewController(page);
    window->makeKeyAndVisible();
    CHECK(page->allIds == std::vector<std::string>{"kTextField", "nTextField"});
    CHECK_FALSE(page->performCalculation());
    CHECK_FALSE(velmora::isCalculating);
    CHECK(app.events("kuvo_calculate").empty());
    CHECK(app.events("kuvo_got_error").empty());
    window->setRootViewController(nullptr);
    platform::ui::Storyboard::unregister("TwoFields");
}

TEST_CASE("on every phone the keypad stays below the fields, the fields side by side, and all of it within the page") {
    const auto before = platform::ui::Screen::main().bounds();
    for (const auto& size : {platform::gfx::Size{320, 568}, platform::gfx::Size{375, 667},
                             platform::gfx::Size{390, 844}, platform::gfx::Size{430, 932}}) {
        CAPTURE(size.width);
        platform::ui::Screen::main().setBounds({{0, 0}, size});
        PageFixture app;
        app.launch();
        auto page = app.calculatePage();
        auto& root = *page->view();
        root.layoutIfNeeded();
        const auto keypad = page->keypadStackView->convertRect(page->keypadStackView->bounds(), &root);
        double previousEnd = 0;
        for (const auto& id : {"kTextField", "nTextField", "pTextField"}) {
            auto f = field(app, id);
            const auto frame = f->convertRect(f->bounds(), &root);
            CHECK(frame.minX() >= previousEnd);  // no field on its neighbour
            CHECK(frame.maxX() <= root.bounds().width());
            CHECK(frame.maxY() < keypad.minY());
            previousEnd = frame.maxX();
        }
        CHECK(keypad.minX() >= 0);
        CHECK(keypad.maxX() <= root.bounds().width());
        CHECK(keypad.maxY() <= root.bounds().height());
        CHECK(keypad.height() <= 320);
        CHECK(keypad.height() > 200);  // still keys a finger can hit
    }
    platform::ui::Screen::main().setBounds(before);
}

TEST_CASE("a calculation the history cannot store is solved, kept out of the history and explained") {
    PageFixture app;
    app.launch();
    const auto before = CalcManager::shared().calculationsAsDictionaries();
    app.toasts.clear();
    {
        velmora::testing::UnwritableFolder blocked(platform::UserDefaults::standard().filePath().parent_path());
        app.calculate("3", "6", "0.4");
        CHECK(app.tabs()->selectedIndex() == 1);
        CHECK(app.events("kuvo_calculate").size() == 1);
        CHECK(CalcManager::shared().calculationsAsDictionaries() == before);
    }
    REQUIRE(app.toasts.size() == 1);
    CHECK(app.toasts[0] == "The history could not be saved: Not a directory");
    app.relaunch();
    CHECK(CalcManager::shared().calculationsAsDictionaries() == before);
}
