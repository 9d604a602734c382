#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include "platform/foundation/notification_center.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/ui/interaction.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/ui_log.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/charts/unit_circle_chart_view.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/page_layouts.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_step_table_view_cell.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/screens/video_row_cell.h"

using platform::ui::IndexPath;
using velmora::ChartList;
using velmora::SolutionStep;
using velmora::SolutionViewController;
using velmora::testing::PageFixture;

namespace {

class RecordingVideoCell : public velmora::VideoRowCell {
public:
    RecordingVideoCell() : VideoRowCell(platform::ui::TableViewCellStyle::defaultStyle, reuseIdentifier) {}
    void showVideos(const std::vector<std::string>& urls) override { shown = urls; }
    std::vector<std::string> shown;
};

void registerTestCells() {
    platform::ui::Nib::registerNib(velmora::VideoRowCell::nibName, [](platform::ui::Responder*) {
        return std::vector<std::shared_ptr<platform::ui::View>>{std::make_shared<RecordingVideoCell>()};
    });
}

std::vector<SolutionStep> steps(int count) {
    std::vector<SolutionStep> out;
    for (int i = 0; i < count; ++i) out.push_back({{"title", "Step " + std::to_string(i)}, {"latexString", "x = 1"}});
    return out;
}

ChartList chart(double ratio) {
    auto record = std::make_shared<velmora::HistogramChartData>();
    record->frameRatio = ratio;
    return {record};
}

// The rows of every section, as the table counts them.
std::vector<int> rowsPerSection(platform::ui::TableView& table) {
    std::vector<int> rows;
    for (int s = 0; s < table.numberOfSections(); ++s) rows.push_back(table.numberOfRows(s));
    return rows;
}

// The visible cell of a row, the table scrolled to it.
std::shared_ptr<platform::ui::TableViewCell> cellAt(platform::ui::TableView& table, IndexPath path) {
    table.scrollToRow(path, platform::ui::TableViewScrollPosition::top, false);
    table.layoutIfNeeded();
    return table.cellForRow(path);
}

}  // namespace

TEST_CASE("the solution table: sections and rows over steps, charts and videos") {
    PageFixture app;
    registerTestCells();
    std::vector<std::string> videos;
    velmora::shellHooks().videoTutorialAddresses = [&](const std::string& code) {
        CHECK(code == "QZT");
        return videos;
    };
    app.launch();
    auto page = app.solutionPage();

    struct Case {
        const char* name;
        int stepCount;
        int chartCount;
        std::vector<std::string> videos;
        std::vector<int> rows;
    };
    const std::vector<Case> cases{
        {"steps only", 3, 0, {}, {3}},
        {"steps and videos", 3, 0, {"https://v.example/a"}, {3, 1}},
        {"steps and charts", 3, 2, {}, {3, 2}},
        {"steps, charts and videos", 3, 2, {"https://v.example/a", "https://v.example/b"}, {3, 2, 1}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        videos = c.videos;
        app.tabs()->select(0);
        std::vector<ChartList> charts(static_cast<std::size_t>(c.chartCount), chart(2.0));
        velmora::showSolution(*app.calculatePage(), steps(c.stepCount), charts, std::nullopt, std::nullopt, 100.0);
        CHECK(app.tabs()->selectedIndex() == 1);
        CHECK(rowsPerSection(*page->tableView) == c.rows);
        if (!c.videos.empty()) {
            int last = page->tableView->numberOfSections() - 1;
            auto cell = std::dynamic_pointer_cast<RecordingVideoCell>(cellAt(*page->tableView, {last, 0}));
            REQUIRE(cell);
            CHECK(cell->shown == c.videos);
            CHECK(page->tableView->rectForRow({last, 0}).height() == 390);  // as high as the root is wide
        }
        if (c.chartCount > 0) {
            auto cell = std::dynamic_pointer_cast<velmora::ChartTableViewCell>(cellAt(*page->tableView, {1, 0}));
            REQUIRE(cell);
            CHECK(cell->chartData() == charts[0]);
        }
    }

    SUBCASE("a hand-off replaces what an earlier one left, with no video row in place of the charts") {
        videos = {"https://v.example/a"};
        app.tabs()->select(0);
        velmora::showSolution(*app.calculatePage(), steps(2), {chart(2.0)}, std::nullopt, std::nullopt, 100.0);
        CHECK(rowsPerSection(*page->tableView) == std::vector<int>{2, 1, 1});
        CHECK(std::dynamic_pointer_cast<velmora::ChartTableViewCell>(cellAt(*page->tableView, {1, 0})));
        CHECK(std::dynamic_pointer_cast<RecordingVideoCell>(cellAt(*page->tableView, {2, 0})));
    }
}

TEST_CASE("row heights of steps and charts") {
    PageFixture app;
    registerTestCells();
    app.launch();
    auto page = app.solutionPage();
    auto withoutRatio = std::make_shared<velmora::HistogramChartData>();
    std::vector<ChartList> charts{chart(2.0), chart(0.0), chart(-1.0), chart(std::numeric_limits<double>::quiet_NaN()),
                                  ChartList{}, ChartList{withoutRatio}};
    velmora::showSolution(*app.calculatePage(), steps(3), charts, std::nullopt, std::map<int, double>{{1, 150.0}},
                          100.0);
    auto& table = *page->tableView;
    struct Case {
        IndexPath path;
        double height;
    };
    const std::vector<Case> cases{
        {{0, 0}, 100}, {{0, 1}, 150}, {{0, 2}, 100},  // configured row 1, the default elsewhere
        {{1, 0}, 195},                                // 390 points wide, ratio 2
        {{1, 1}, 0},   {{1, 2}, 0},   {{1, 3}, 0},    // no positive ratio: not laid out
        {{1, 4}, 0},                                  // no record at all
        {{1, 5}, 0},                                  // a record without a ratio
    };
    for (const auto& c : cases) {
        CAPTURE(describe(c.path));
        CHECK(table.rectForRow(c.path).height() == doctest::Approx(c.height));
    }
    // nothing to draw for the rows without height
    for (int row = 1; row < 6; ++row) CHECK_FALSE(cellAt(table, {1, row}));
}

TEST_CASE("the round buttons stand in a strip below the table, never over a row") {
    PageFixture app;
    registerTestCells();
    app.launch();
    velmora::showSolution(*app.calculatePage(), steps(3), {chart(1.0)}, std::nullopt, std::nullopt, 100.0);
    auto page = app.solutionPage();
    auto& root = *page->view();
    root.layoutIfNeeded();
    const auto table = page->tableView->frame();
    for (const auto& button : {page->shareButton, page->manualButton}) {
        const auto frame = button->frame();
        CHECK(frame.minY() >= table.maxY());
        CHECK(frame.maxX() <= root.bounds().width());
        CHECK(frame.maxY() <= root.bounds().height() - velmora::bottomSafeAreaInset());
    }
    CHECK_FALSE(page->shareButton->frame().intersects(page->manualButton->frame()));
    // The banner spacing still keeps the table and the strip off the bottom inset.
    REQUIRE(page->bottomBannerConstraint);
    CHECK(page->bottomBannerConstraint->constant() == velmora::bottomSafeAreaInset());
}

TEST_CASE("step rows: titles, rewritten LaTeX and messages") {
    PageFixture app;
    app.launch();
    auto page = app.solutionPage();
    std::vector<SolutionStep> shown{
        {{"title", "Result#bold"}, {"latexString", "P(X=2) = 0.3*2"}},
        {{"title", "Plain"}, {"latexString", "3.0"}},
        {{"title", "Note"}, {"messageString", "Nothing to compute"}, {"latexString", "1"}},
    };
    velmora::showSolution(*app.calculatePage(), shown, {}, std::nullopt, std::nullopt, 100.0);
    auto cell = [&](int row) {
        return std::dynamic_pointer_cast<velmora::SolutionStepTableViewCell>(cellAt(*page->tableView, {0, row}));
    };
    auto bold = cell(0);
    REQUIRE(bold);
    CHECK(bold->stepTitleLabel->text() == "Result");
    REQUIRE(bold->stepTitleLabel->attributedText());
    CHECK(bold->stepTitleLabel->attributedText()->runs().at(0).attributes.font->name() == "Avenir-Heavy");
    CHECK(bold->mathLabel->latex() == "P\\left(X=2\\right) = 0.3\\cdot 2");
    // the scroll area is as large as the typeset formula
    CHECK(bold->scrollView->contentSize().width >= bold->mathLabel->bounds().width());
    CHECK(bold->mathLabel->bounds().width() > 0);

    auto plain = cell(1);
    CHECK(plain->stepTitleLabel->text() == "Plain");
    CHECK_FALSE(plain->stepTitleLabel->attributedText());
    CHECK(plain->stepTitleLabel->font().name() == "Avenir-Book");
    CHECK(plain->stepTitleLabel->font().pointSize() == 14);
    CHECK(plain->mathLabel->latex() == "3");

    auto message = cell(2);
    CHECK(message->messageLabel->text() == "Nothing to compute");
    CHECK(message->mathLabel->latex().empty());
}

TEST_CASE("clearing the solution page") {
    PageFixture app;
    registerTestCells();
    int videoReads = 0;
    velmora::shellHooks().videoTutorialAddresses = [&](const std::string&) {
        ++videoReads;
        return std::vector<std::string>{"https://v.example/a"};
    };
    app.launch();
    auto page = app.solutionPage();
    velmora::showSolution(*app.calculatePage(), steps(4), {chart(2.0)}, std::string("manual"),
                          std::map<int, double>{{0, 120.0}}, 100.0);
    CHECK(platform::material::tabItem(*page)->isEnabled());
    CHECK_FALSE(page->shareButton->isHidden());
    CHECK_FALSE(page->manualButton->isHidden());
    int readsBefore = videoReads;

    platform::NotificationCenter::defaultCenter().post(velmora::kClearCurrentCalculationNotification);
    CHECK(rowsPerSection(*page->tableView) == std::vector<int>{0});
    CHECK(page->chartSteps.empty());
    CHECK_FALSE(page->manualImageName);
    CHECK_FALSE(page->tableView->tableFooterView());
    CHECK_FALSE(platform::material::tabItem(*page)->isEnabled());
    CHECK(platform::material::tabItem(*page)->titleColor() == platform::gfx::Color::systemGray());
    CHECK(page->videoUrlStrings.size() == 1);   // kept
    CHECK(page->configuredRowHeight->at(0) == 120.0);

    page->handleClearAllButton();  // a second clear changes nothing
    CHECK(rowsPerSection(*page->tableView) == std::vector<int>{0});

    app.tabs()->select(0);
    app.tabs()->select(1);
    CHECK(videoReads == readsBefore + 1);  // read again on the next appearance
    CHECK(page->shareButton->isHidden());
    CHECK(page->manualButton->isHidden());
}

TEST_CASE("the manual button opens the manual only with an image name") {
    PageFixture app;
    std::vector<std::string> opened;
    velmora::shellHooks().presentManual = [&](platform::ui::ViewController&, const std::string& name) {
        opened.push_back(name);
    };
    app.launch();
    auto page = app.solutionPage();
    velmora::showSolution(*app.calculatePage(), steps(1), {}, std::string(), std::nullopt, 100.0);
    CHECK(page->manualButton->isHidden());
    page->manualButtonPressed();
    CHECK(opened.empty());
    app.tabs()->select(0);
    velmora::showSolution(*app.calculatePage(), steps(1), {}, std::string("bernoulliManual"), std::nullopt, 100.0);
    REQUIRE(platform::ui::tap(*page->manualButton));
    CHECK(opened == std::vector<std::string>{"bernoulliManual"});
}

TEST_CASE("a shown unit-circle row has its animation started again half a second later") {
    PageFixture app;
    app.launch();
    auto page = app.solutionPage();
    ChartList circle{std::make_shared<velmora::UnitCircleChartData>(30.0, 1.0, 30.0, 0, velmora::Quadrant::first)};
    velmora::showSolution(*app.calculatePage(), steps(1), {circle}, std::nullopt, std::nullopt, 100.0);
    auto cell = std::dynamic_pointer_cast<velmora::ChartTableViewCell>(page->tableView->cellForRow({1, 0}));
    REQUIRE(cell);
    REQUIRE_FALSE(cell->contentView()->subviews().empty());
    auto view = std::dynamic_pointer_cast<velmora::UnitCircleChartView>(cell->contentView()->subviews().front());
    REQUIRE(view);
    app.advance(0.4);
    CHECK_FALSE(view->isAnimationRunning());
    app.advance(0.1);
    CHECK(view->isAnimationRunning());
}

TEST_CASE("without the table's trailing constraint the page says so and loads anyway") {
    PageFixture app;
    platform::ui::Storyboard::registerScene("SolutionWithoutConstraint", "SolutionViewController", [] {
        auto page = std::make_shared<SolutionViewController>();
        page->setViewLoader([](platform::ui::ViewController& owner) {
            auto root = velmora::layoutSolutionPage(static_cast<SolutionViewController&>(owner));
            for (const auto& c : std::vector(root->constraints())) {
                if (c->secondAttribute() == platform::ui::LayoutAttribute::trailing) root->removeConstraint(c.get());
            }
            return root;
        });
        return page;
    });
    auto page = platform::ui::Storyboard::named("SolutionWithoutConstraint")
                    ->instantiate<SolutionViewController>("SolutionViewController");
    REQUIRE(page);
    page->loadViewIfNeeded();
    auto messages = platform::ui::loggedMessages();
    CHECK(std::find(messages.begin(), messages.end(), SolutionViewController::missingTrailingConstraintMessage) !=
          messages.end());
    page->showSolution(steps(2), {}, std::nullopt, std::nullopt, 100.0);
    CHECK(page->tableView->numberOfRows(0) == 2);
    platform::ui::Storyboard::unregister("SolutionWithoutConstraint");

    SUBCASE("with it, the table reaches 50 points past the page's trailing edge") {
        auto normal = platform::ui::Storyboard::named("SolutionViewController")
                          ->instantiate<SolutionViewController>("SolutionViewController");
        normal->loadViewIfNeeded();
        CHECK(normal->tableView->frame().maxX() == doctest::Approx(normal->view()->bounds().width() + 50));
    }
}
