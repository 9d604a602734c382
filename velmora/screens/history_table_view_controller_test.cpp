#include <doctest/doctest.h>

#include "platform/dispatch/main_loop_turn.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/storyboard.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/history_table_view_controller.h"
#include "velmora/screens/page_test_support.h"

using platform::ui::IndexPath;
using velmora::CalcManager;
using velmora::Calculation;
using velmora::HistoryTableViewController;
using velmora::testing::PageFixture;

namespace {

Calculation entry(const std::string& k, const std::string& n, const std::string& p) {
    return Calculation({{"kTextField", k}, {"nTextField", n}, {"pTextField", p}},
                       "p = " + p + " \\quad k = " + k + " \\quad n = " + n, {}, {{"appKey", "QZT"}});
}

// The history as the preferences file holds it: k of each entry, in order.
std::vector<std::string> storedKs() {
    auto bytes = platform::readFile(platform::UserDefaults::standard().filePath());
    REQUIRE(bytes);
    auto root = platform::parsePropertyList(*bytes);
    REQUIRE(root);
    std::vector<std::string> out;
    for (const auto& item : (*root)["Calculations"].asArray()) out.push_back(item["inputParameters"]["kTextField"].stringValue());
    return out;
}

std::vector<std::string> shownKs(platform::ui::TableView& table) {
    std::vector<std::string> out;
    for (int row = 0; row < table.numberOfRows(0); ++row) {
        table.scrollToRow({0, row}, platform::ui::TableViewScrollPosition::top, false);
        auto cell = std::dynamic_pointer_cast<velmora::HistoryTableViewCell>(table.cellForRow({0, row}));
        REQUIRE(cell);
        // "p = 0.1 \quad k = 1 \quad n = 9": k follows "k = "
        auto latex = cell->mathLabel->latex();
        auto at = latex.find("k = ");
        out.push_back(latex.substr(at + 4, latex.find(' ', at + 4) - at - 4));
    }
    return out;
}

// The history screen shown in the application toolbar, as the drawer menu shows it.
std::shared_ptr<HistoryTableViewController> showHistory(PageFixture& app) {
    auto screen = platform::ui::Storyboard::named("Main")->instantiate<HistoryTableViewController>(
        "HistoryTableViewController");
    REQUIRE(screen);
    app.toolbar()->transition(screen, {}, false);
    app.settle();
    return screen;
}

// Entries with k = 1, 2, 3 from the top.
void seedHistory() {
    auto& store = CalcManager::shared();
    store.removeAllCalculations();
    for (const char* k : {"3", "2", "1"}) store.addCalculation(entry(k, "9", "0.1"));
}

}  // namespace

TEST_CASE("the history screen shows the store's entries and its two toolbar buttons") {
    PageFixture app;
    seedHistory();
    app.launch();
    auto screen = showHistory(app);
    auto table = screen->tableView();
    CHECK(shownKs(*table) == std::vector<std::string>{"1", "2", "3"});
    auto bar = app.toolbar()->toolbar();
    CHECK(bar->title() == "History");
    REQUIRE(bar->rightViews().size() == 2);
    CHECK(bar->rightViews()[0] == screen->clearAllButton);
    CHECK(bar->rightViews()[1] == screen->editButton);

    REQUIRE(platform::ui::tap(*screen->editButton));
    CHECK(table->isEditing());
    REQUIRE(platform::ui::tap(*screen->editButton));
    CHECK_FALSE(table->isEditing());
}

TEST_CASE("delete, move and clear persist across a restart") {
    PageFixture app;
    seedHistory();
    app.launch();
    auto screen = showHistory(app);
    auto table = screen->tableView();

    SUBCASE("a swipe deletes one entry, logged first, the row fading") {
        REQUIRE(table->commitEditingStyle({0, 1}));
        CHECK(app.eventNames() == std::vector<std::string>{"tapped_history_delete_single_calc"});
        CHECK(app.events("tapped_history_delete_single_calc")[0].parameters.empty());
        CHECK(shownKs(*table) == std::vector<std::string>{"1", "3"});
        CHECK(table->updateHistory().back().kind == platform::ui::TableUpdate::Kind::deleteRows);
        CHECK(table->updateHistory().back().animation == platform::ui::TableViewRowAnimation::fade);
        CHECK(storedKs() == std::vector<std::string>{"1", "3"});
        app.relaunch();
        CHECK(shownKs(*showHistory(app)->tableView()) == std::vector<std::string>{"1", "3"});
    }
    SUBCASE("dragging the first row to the end moves that entry there") {
        table->setEditing(true, false);
        REQUIRE(table->dragRow({0, 0}, {0, 2}));
        CHECK(storedKs() == std::vector<std::string>{"2", "3", "1"});
        table->reloadData();
        CHECK(shownKs(*table) == std::vector<std::string>{"2", "3", "1"});  // the store agrees with the table
        app.relaunch();
        CHECK(shownKs(*showHistory(app)->tableView()) == std::vector<std::string>{"2", "3", "1"});
    }
    SUBCASE("a move the store cannot write puts the rows back, though a turn of the main loop holds other writes") {
        table->setEditing(true, false);
        app.toasts.clear();
        {
            velmora::testing::UnwritableFolder blocked(platform::UserDefaults::standard().filePath().parent_path());
            platform::dispatch::MainLoopTurn turn;
            REQUIRE(table->dragRow({0, 0}, {0, 2}));
        }
        CHECK(shownKs(*table) == std::vector<std::string>{"1", "2", "3"});
        CHECK(storedKs() == std::vector<std::string>{"1", "2", "3"});
        CHECK(app.toasts.size() == 1);
    }
    SUBCASE("clearing asks first; cancel changes nothing") {
        REQUIRE(platform::ui::tap(*screen->clearAllButton));
        auto alert = std::dynamic_pointer_cast<platform::ui::AlertController>(screen->presentedViewController());
        REQUIRE(alert);
        CHECK(alert->alertTitle() == "Clear History");
        CHECK(alert->message() == "Are you sure to delete your whole history?");
        REQUIRE(alert->actions().size() == 2);
        CHECK(alert->actions()[0]->title() == "Clear");
        CHECK(alert->actions()[1]->style() == platform::ui::AlertActionStyle::cancel);
        app.advance(0.3);
        REQUIRE(alert->tapAction("Cancel"));
        app.advance(0.3);
        CHECK(app.eventNames().empty());
        CHECK(storedKs() == std::vector<std::string>{"1", "2", "3"});
    }
    SUBCASE("clear empties the history, which stays empty") {
        REQUIRE(platform::ui::tap(*screen->clearAllButton));
        app.advance(0.3);
        auto alert = std::dynamic_pointer_cast<platform::ui::AlertController>(screen->presentedViewController());
        REQUIRE(alert->tapAction("Clear"));
        app.advance(0.3);
        REQUIRE(app.events("tapped_history_clear").size() == 1);
        CHECK(app.events("tapped_history_clear")[0].parameters.at("calc_count").intValue() == 3);
        CHECK(table->numberOfRows(0) == 0);
        CHECK(storedKs().empty());
        app.relaunch();
        CHECK(showHistory(app)->tableView()->numberOfRows(0) == 0);
    }
}

TEST_CASE("picking an entry opens it on a new calculator page and closes the drawer") {
    PageFixture app;
    seedHistory();
    app.launch();
    auto oldToolbar = app.toolbar();
    auto screen = showHistory(app);
    app.drawer()->openLeftView();
    app.settle();
    CalcManager::shared().setCurrentCalculation(entry("7", "7", "0.7"));

    auto cell = screen->tableView()->cellForRow({0, 1});
    REQUIRE(cell);
    REQUIRE(platform::ui::tap(*cell));
    // the log comes after the store has the entry
    REQUIRE(app.events("tapped_history_item").size() == 1);
    const auto parameters = app.events("tapped_history_item")[0].parameters;
    CHECK(parameters.at("latex_string").stringValue() == "p = 0.1 \\quad k = 2 \\quad n = 9");
    const auto& list = parameters.at("calc_parameters").asArray();
    REQUIRE(list.size() == 1);
    CHECK(list[0]["kTextField"].stringValue() == "2");
    CHECK(list[0]["pTextField"].stringValue() == "0.1");
    CHECK_FALSE(platform::UserDefaults().dictionaryForKey("CurrentCalculation"));

    app.advance(0.3);
    REQUIRE(app.toolbar() != oldToolbar);
    auto page = app.calculatePage();
    REQUIRE(page);
    CHECK(page->kTextField->text() == "2");
    CHECK(page->nTextField->text() == "9");
    CHECK(page->pTextField->text() == "0.1");
    CHECK_FALSE(CalcManager::shared().currentSelectedCalculation());  // taken by the new page
    CHECK_FALSE(app.drawer()->isLeftViewOpened());
    CHECK(app.tabs()->selectedIndex() == 0);
}

TEST_CASE("a history row's formula is centred on its row and ends before edit mode's controls, on every screen") {
    struct Entry {
        std::string what;
        std::string latex;
        std::size_t lines;  // on the narrowest screen in edit mode
        bool cut;           // a part too long for any room
    };
    const std::vector<Entry> entries{
        {"short", "p = 0.3 \\quad k = 2 \\quad n = 5", 1, false},
        {"long", "p = 0.3 \\quad k = 57 \\quad n = 200", 1, false},
        {"a fraction", "p = \\frac{1}{6} \\quad k = 57 \\quad n = 200", 1, false},
        {"the longest decimal", "p = 0.000000001 \\quad k = 199 \\quad n = 200", 2, false},
        {"the tallest fraction",
         "p = \\frac{1.23457 \\cdot 10^{12}}{1.23457 \\cdot 10^{13}} \\quad k = 199 \\quad n = 200", 2, false},
        {"one part longer than any room", "p = 0.12345678901234567890123456789012345678901234567890", 1, true},
    };
    for (const auto size : {platform::gfx::Size{320, 568}, platform::gfx::Size{430, 932}}) {
        struct ScreenSize {
            platform::gfx::Rect before = platform::ui::Screen::main().bounds();
            explicit ScreenSize(platform::gfx::Size size) { platform::ui::Screen::main().setBounds({{0, 0}, size}); }
            ~ScreenSize() { platform::ui::Screen::main().setBounds(before); }
        } screen(size);
        PageFixture app;
        auto& store = CalcManager::shared();
        store.removeAllCalculations();
        for (auto each = entries.rbegin(); each != entries.rend(); ++each) {
            store.addCalculation(Calculation({}, each->latex, {}, {}));
        }
        app.launch();
        auto table = showHistory(app)->tableView();
        for (const bool editing : {false, true}) {
            table->setEditing(editing, false);
            for (int row = 0; row < table->numberOfRows(0); ++row) {
                const auto& e = entries[static_cast<std::size_t>(row)];
                CAPTURE(size.width);
                CAPTURE(editing);
                CAPTURE(e.what);
                table->scrollToRow({0, row}, platform::ui::TableViewScrollPosition::top, false);
                table->layoutIfNeeded();
                auto cell = std::dynamic_pointer_cast<velmora::HistoryTableViewCell>(table->cellForRow({0, row}));
                REQUIRE(cell);
                CHECK(cell->mathLabel->latex() == e.latex);  // the entry, whichever way it is shown
                const auto rowFrame = cell->convertRect(cell->bounds(), nullptr);
                // Where the text may go: within the row's margins, and
                // between the controls edit mode shows.
                double left = rowFrame.minX() + 16, right = rowFrame.maxX() - 16;
                std::vector<platform::gfx::Rect> controls;
                for (const auto& control : cell->editingControls()) {
                    if (control->isHidden()) continue;
                    controls.push_back(control->convertRect(control->bounds(), nullptr));
                    if (controls.back().midX() < rowFrame.midX()) left = controls.back().maxX() + 16;
                    if (controls.back().midX() > rowFrame.midX()) right = controls.back().minX() - 16;
                }
                CHECK(controls.size() == (editing ? 2u : 0u));
                // The lines shown, top to bottom.
                std::vector<std::shared_ptr<platform::math::MTMathUILabel>> shown;
                if (!cell->mathLabel->isHidden()) shown.push_back(cell->mathLabel);
                for (const auto& line : cell->wrappedLines()) {
                    if (!line->isHidden()) shown.push_back(line);
                }
                REQUIRE(!shown.empty());
                std::string text;
                platform::gfx::Rect block = shown.front()->convertRect(shown.front()->bounds(), nullptr);
                for (const auto& line : shown) {
                    const auto frame = line->convertRect(line->bounds(), nullptr);
                    block = block.unionWith(frame);
                    CHECK(frame.minX() == doctest::Approx(left));
                    CHECK(frame.maxX() <= right + 1e-9);
                    // Smaller only where it must be, never below the smallest size, all lines alike.
                    CHECK(line->fontSize() >= velmora::HistoryTableViewCell::smallestFontSize);
                    CHECK(line->fontSize() == shown.front()->fontSize());
                    // Cut only where a part is longer than the room.
                    CHECK(line->clipsToBounds() == (line->intrinsicContentSize().width > right - left));
                    text += (text.empty() ? "" : " \\quad ") + line->latex();
                }
                CHECK(text == e.latex);  // every part shown, in order
                CHECK(block.midY() == doctest::Approx(rowFrame.midY()));
                for (const auto& control : controls) CHECK(block.midY() == doctest::Approx(control.midY()));
                CHECK(block.height() <= rowFrame.height());
                CHECK(shown.front()->clipsToBounds() == e.cut);
                platform::math::MTMathUILabel full;
                full.setLatex(e.latex);
                if (full.bounds().width() <= right - left) CHECK(shown.front()->fontSize() == full.fontSize());
                if (size.width == 320 && editing) CHECK(shown.size() == e.lines);
            }
        }
    }
}
