#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/main_task.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/table_view.h"
#include "velmora/engine/chart_data.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/ad_handling_view_controller.h"

namespace velmora {

// Posted by the calculator page's clear-all when the solution page is not
// its neighbour; the solution page clears itself on it.
inline constexpr const char* kClearCurrentCalculationNotification = "ClearCurrentCalculationNotification";

// The second tab: the last successful calculation as one table of steps,
// then its charts, then a row of video tutorials. Everything it shows is
// handed to it by the calculator page.
class SolutionViewController : public AdHandlingViewController,
                               public platform::ui::TableViewDataSource,
                               public platform::ui::TableViewDelegate {
public:
    static constexpr const char* storyboardName = "SolutionViewController";
    static constexpr const char* storyboardIdentifier = "SolutionViewController";
    // Said when the table view's trailing constraint is missing; the table
    // then keeps its width.
    static constexpr const char* missingTrailingConstraintMessage =
        "Der trailing Constraint der tableView wurde nicht gefunden.";

    SolutionViewController();
    ~SolutionViewController() override;

    // Outlets.
    std::shared_ptr<platform::ui::TableView> tableView;
    std::shared_ptr<platform::material::FABButton> shareButton;
    std::shared_ptr<platform::material::FABButton> manualButton;
    std::shared_ptr<platform::ui::View> bannerBackgroundView;
    std::shared_ptr<platform::ui::LayoutConstraint> bottomBannerConstraint;

    std::optional<std::map<int, double>> configuredRowHeight;
    std::optional<std::string> manualImageName;
    std::vector<SolutionStep> solutionSteps;
    std::vector<ChartList> chartSteps;
    std::vector<std::string> videoUrlStrings;

    // The hand-off from the calculator: everything is taken first and the
    // table reloaded once, then row 0 scrolled to the top.
    void showSolution(std::vector<SolutionStep> steps, std::vector<ChartList> charts,
                      std::optional<std::string> imageName, std::optional<std::map<int, double>> rowHeights,
                      double rowHeight);
    // Empties the page (steps, charts, manual, footer), greys its tab, and
    // goes back to the first tab of a platform tab bar around it. The video
    // addresses and row heights stay.
    void handleClearAllButton();
    void manualButtonPressed();
    // Shares the whole solution as one tall image: logs the tap, then (with
    // steps, and unless a screenshot is being taken already) covers the
    // window, tells the user about the image's quality, takes the table's
    // screenshot and offers the share sheet once both the image is ready
    // and the notice is dismissed.
    void tappedShareButton();

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;

    int numberOfSections(platform::ui::TableView&) override;
    int numberOfRows(platform::ui::TableView&, int section) override;
    std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView&,
                                                            platform::ui::IndexPath indexPath) override;
    bool canEditRow(platform::ui::TableView&, platform::ui::IndexPath) override { return false; }
    std::optional<double> heightForRow(platform::ui::TableView&, platform::ui::IndexPath indexPath) override;
    void willDisplayCell(platform::ui::TableView&, platform::ui::TableViewCell& cell,
                         platform::ui::IndexPath indexPath) override;

private:
    enum class Section { steps, charts, videos, none };
    Section sectionKind(int section) const;
    bool hasVideoSection() const;
    void widenTableUnderTrailingEdge();
    void styleTabItem();
    void setFooterHeight(double height);
    void scrollToFirstStep();
    std::shared_ptr<platform::ui::TableViewCell> videoCell(platform::ui::TableView& table);
    double chartRowHeight(int row) const;

    // What the share flow's two halves (the screenshot and the quality
    // notice) leave for whichever of them ends last.
    struct ShareHandoff {
        std::vector<platform::gfx::Image> images;
        bool imageReady = false;
        bool noticeDismissed = false;
        bool sheetOffered = false;
    };
    static platform::dispatch::Async<void> shareSolution(std::shared_ptr<SolutionViewController> page);
    void showQualityNotice(const std::shared_ptr<ShareHandoff>& handoff);
    void offerShareSheet(ShareHandoff& handoff);

    platform::ObserverToken clearObserver_;
    platform::dispatch::MainTask shareTask_;
};

// What the calculator does on success, on any page of the tabs: hands the
// solution to the solution page on tab 1 (when that is one and there are
// steps) and selects that tab.
void showSolution(platform::ui::ViewController& caller, std::vector<SolutionStep> steps,
                  std::vector<ChartList> chartSteps, std::optional<std::string> manualImageName,
                  std::optional<std::map<int, double>> configuredRowHeight, double rowHeight);

}  // namespace velmora
