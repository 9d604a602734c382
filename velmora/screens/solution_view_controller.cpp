// The solution page: steps, charts and videos of the last calculation.
#include "velmora/screens/solution_view_controller.h"

#include "platform/frameworks/material/style.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"
#include "platform/gfx/animation.h"
#include "platform/ui/application.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/tab_bar_controller.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/window.h"
#include "velmora/charts/chart_manager.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/color_manager.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_step_table_view_cell.h"
#include "velmora/screens/video_row_cell.h"

namespace velmora {

using platform::ui::IndexPath;
using platform::ui::TableView;
using platform::ui::TableViewCell;

namespace {

// The code of this application's calculator, the topic of its videos.
constexpr const char* kCalculatorCode = "QZT";
constexpr double kFooterShareOfTableHeight = 0.25;
constexpr double kChartRestartDelay = 0.5;

std::string resultTitle() { return LocalizedString::localized("Result"); }

// The video row is as high as the key window's root view is wide (square
// video tiles); without a key window, as the page is wide.
double videoRowHeight(platform::ui::View& page) {
    if (auto window = platform::ui::Application::shared().keyWindow()) {
        if (auto root = window->rootViewController()) {
            if (auto rootView = root->viewIfLoaded()) return rootView->bounds().width();
        }
    }
    return page.bounds().width();
}

}  // namespace

SolutionViewController::SolutionViewController() { configureTabItem(*this, resultTitle(), !solutionSteps.empty()); }

SolutionViewController::~SolutionViewController() = default;

void SolutionViewController::viewDidLoad() {
    AdHandlingViewController::viewDidLoad();
    tableView->setDataSource(sharedAs<platform::ui::TableViewDataSource>());
    tableView->setDelegate(sharedAs<platform::ui::TableViewDelegate>());
    tableView->registerNib(ChartTableViewCell::nib(), ChartTableViewCell::cellIdentifier);
    if (auto nib = platform::ui::Nib::named(VideoRowCell::nibName)) tableView->registerNib(*nib, VideoRowCell::reuseIdentifier);
    if (shareButton) shareButton->setImage(platform::material::Icon::share());
    configureTabItem(*this, resultTitle(), !solutionSteps.empty());
    std::weak_ptr<SolutionViewController> weak = sharedAs<SolutionViewController>();
    clearObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        kClearCurrentCalculationNotification, nullptr, [weak](const platform::Notification&) {
            if (auto page = weak.lock()) page->handleClearAllButton();
        });
    widenTableUnderTrailingEdge();
}

// Pushes the table's trailing edge 50 points past the page's. A layout
// without that constraint keeps its table as it is; the page still works.
void SolutionViewController::widenTableUnderTrailingEdge() {
    auto root = view();
    for (const auto& constraint : root->constraints()) {
        if (constraint->secondItem() == tableView &&
            constraint->secondAttribute() == platform::ui::LayoutAttribute::trailing) {
            constraint->setConstant(-50.0);
            root->layoutIfNeeded();
            return;
        }
    }
    platform::ui::logMessage(missingTrailingConstraintMessage);
}

void SolutionViewController::viewWillAppear(bool animated) {
    AdHandlingViewController::viewWillAppear(animated);
    auto root = view();
    ColorManager::styleViewHierarchy(*root);
    if (manualButton) manualButton->setHidden(!manualImageName || manualImageName->empty());
    if (shareButton) shareButton->setHidden(solutionSteps.empty());
    styleTabItem();
    videoUrlStrings = videoTutorialAddresses(kCalculatorCode);
    setFooterHeight(kFooterShareOfTableHeight * tableView->frame().height());
    tableView->reloadData();
    if (bannerView) bannerView->setHidden(true);
    if (bottomBannerConstraint) bottomBannerConstraint->setConstant(bottomSafeAreaInset());
    root->layoutIfNeeded();
    if (auto toolbar = platform::material::toolbarController(*this)) {
        toolbar->toolbar()->setTitle(LocalizedString::localized("Calculate Title"));
    }
}

void SolutionViewController::styleTabItem() {
    auto item = platform::material::tabItem(*this);
    bool filled = !solutionSteps.empty();
    item->setEnabled(filled);
    item->setTitleColor(filled ? KuvoColor::darkGray() : KuvoColor::disabledText());
}

void SolutionViewController::setFooterHeight(double height) {
    tableView->setTableFooterView(std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 0, 0, height)));
}

void SolutionViewController::scrollToFirstStep() {
    if (tableView->numberOfSections() > 0 && tableView->numberOfRows(0) > 0) {
        tableView->scrollToRow({0, 0}, platform::ui::TableViewScrollPosition::top, false);
    }
}

void SolutionViewController::showSolution(std::vector<SolutionStep> steps, std::vector<ChartList> charts,
                                          std::optional<std::string> imageName,
                                          std::optional<std::map<int, double>> rowHeights, double rowHeight) {
    loadViewIfNeeded();
    solutionSteps = std::move(steps);
    chartSteps = std::move(charts);
    manualImageName = std::move(imageName);
    configuredRowHeight = std::move(rowHeights);
    tableView->setRowHeight(rowHeight);
    tableView->reloadData();
    scrollToFirstStep();
}

void SolutionViewController::handleClearAllButton() {
    loadViewIfNeeded();
    scrollToFirstStep();
    solutionSteps.clear();
    chartSteps.clear();
    manualImageName.reset();
    tableView->setTableFooterView(nullptr);
    tableView->reloadData();
    styleTabItem();
    if (auto tabs = tabBarController()) tabs->setSelectedIndex(0);
}

void SolutionViewController::manualButtonPressed() {
    if (!manualImageName || manualImageName->empty()) return;
    presentManual(*this, *manualImageName);
}

// ---- table ----

bool SolutionViewController::hasVideoSection() const { return !solutionSteps.empty() && !videoUrlStrings.empty(); }

// Each section by what it holds, counted as numberOfSections counts them,
// so that a video row can never take the place of the charts.
SolutionViewController::Section SolutionViewController::sectionKind(int section) const {
    if (section == 0) return Section::steps;
    int chartSections = chartSteps.empty() ? 0 : 1;
    if (section == chartSections) return Section::charts;
    if (section == chartSections + 1 && hasVideoSection()) return Section::videos;
    return Section::none;
}

int SolutionViewController::numberOfSections(TableView&) {
    return (chartSteps.empty() ? 1 : 2) + (hasVideoSection() ? 1 : 0);
}

int SolutionViewController::numberOfRows(TableView&, int section) {
    switch (sectionKind(section)) {
        case Section::steps: return static_cast<int>(solutionSteps.size());
        case Section::charts: return static_cast<int>(chartSteps.size());
        case Section::videos: return 1;
        case Section::none: return 0;
    }
    return 0;
}

double SolutionViewController::chartRowHeight(int row) const {
    auto page = viewIfLoaded();
    if (!page || row < 0 || row >= static_cast<int>(chartSteps.size())) return 0;
    // A record without a positive ratio has no height to give: its row is
    // not laid out rather than made infinitely tall.
    return ChartTableViewCell::rowHeight(chartSteps[static_cast<std::size_t>(row)], page->bounds().width()).value_or(0);
}

std::optional<double> SolutionViewController::heightForRow(TableView& table, IndexPath indexPath) {
    switch (sectionKind(indexPath.section)) {
        case Section::steps:
            if (configuredRowHeight) {
                if (auto it = configuredRowHeight->find(indexPath.row); it != configuredRowHeight->end()) return it->second;
            }
            return table.rowHeight();
        case Section::charts: return chartRowHeight(indexPath.row);
        case Section::videos: return videoRowHeight(*view());
        case Section::none: return table.rowHeight();
    }
    return table.rowHeight();
}

std::shared_ptr<TableViewCell> SolutionViewController::cellForRow(TableView& table, IndexPath indexPath) {
    auto kind = sectionKind(indexPath.section);
    if (kind == Section::steps) {
        auto cell = table.dequeueReusableCell(SolutionStepTableViewCell::reuseIdentifier, indexPath);
        const auto& step = solutionSteps[static_cast<std::size_t>(indexPath.row)];
        if (auto stepCell = std::dynamic_pointer_cast<SolutionStepTableViewCell>(cell)) {
            auto title = step.find("title");
            stepCell->formattedText(title == step.end() ? std::string() : title->second);
            stepCell->configure(step);
        }
        return cell;
    }
    if (kind == Section::videos) return videoCell(table);
    if (kind == Section::charts) {
        auto cell = table.dequeueReusableCell(ChartTableViewCell::cellIdentifier, indexPath);
        cell->setBackgroundColor(platform::gfx::Color::clear());
        if (auto chartCell = std::dynamic_pointer_cast<ChartTableViewCell>(cell)) {
            chartCell->configure(chartSteps[static_cast<std::size_t>(indexPath.row)], *view());
        }
        return cell;
    }
    return std::make_shared<TableViewCell>();
}

// The shell's video cell when one is registered; an empty row otherwise.
std::shared_ptr<TableViewCell> SolutionViewController::videoCell(TableView& table) {
    auto cell = table.dequeueReusableCell(VideoRowCell::reuseIdentifier);
    if (!cell) return std::make_shared<TableViewCell>();
    if (auto videos = std::dynamic_pointer_cast<VideoRowCell>(cell)) videos->showVideos(videoUrlStrings);
    return cell;
}

void SolutionViewController::willDisplayCell(TableView&, TableViewCell& cell, IndexPath indexPath) {
    auto* chartCell = dynamic_cast<ChartTableViewCell*>(&cell);
    if (!chartCell || indexPath.section != 1 || chartSteps.empty()) return;
    std::weak_ptr<ChartTableViewCell> weak = chartCell->sharedAs<ChartTableViewCell>();
    platform::gfx::runOnMainAfter(kChartRestartDelay, [weak] {
        if (auto c = weak.lock()) ChartManager::restartUnitCircleAnimations(*c);
    });
}

// ---- hand-off ----

void showSolution(platform::ui::ViewController& caller, std::vector<SolutionStep> steps,
                  std::vector<ChartList> chartSteps, std::optional<std::string> manualImageName,
                  std::optional<std::map<int, double>> configuredRowHeight, double rowHeight) {
    auto tabs = platform::material::tabsController(caller);
    if (!tabs || tabs->viewControllers().size() < 2) return;
    auto page = std::dynamic_pointer_cast<SolutionViewController>(tabs->viewControllers()[1]);
    if (!page || steps.empty()) return;
    page->showSolution(std::move(steps), std::move(chartSteps), std::move(manualImageName),
                       std::move(configuredRowHeight), rowHeight);
    tabs->select(1);
}

}  // namespace velmora
