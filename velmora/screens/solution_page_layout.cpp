// The solution page's layout: the table with its step prototype, two
// floating buttons and the banner area.
#include "platform/ui/application.h"
#include "velmora/screens/page_layouts.h"
#include "velmora/screens/solution_step_table_view_cell.h"
#include "velmora/screens/solution_view_controller.h"

namespace velmora {

using platform::gfx::Rect;
using platform::ui::LayoutConstraint;
using platform::ui::View;

namespace {

// The prototype row: a title line above the storyboard's LaTeX label,
// which the cell replaces when it wakes.
std::shared_ptr<platform::ui::TableViewCell> makeStepPrototype(double width) {
    auto cell = std::make_shared<SolutionStepTableViewCell>();
    cell->setFrame(Rect(0, 0, width, 100));
    cell->stepTitleLabel = std::make_shared<platform::ui::Label>(Rect(20, 8, width - 40, 20));
    cell->contentView()->addSubview(cell->stepTitleLabel);
    cell->mathLabel = std::make_shared<platform::math::MTMathUILabel>(Rect(20, 36, width - 40, 56));
    cell->contentView()->addSubview(cell->mathLabel);
    return cell;
}

void pinTable(View& root, SolutionViewController& page) {
    auto& table = *page.tableView;
    table.setTranslatesAutoresizingMaskIntoConstraints(false);
    page.bottomBannerConstraint = root.bottomAnchor().constraint(table.bottomAnchor(), 0);
    LayoutConstraint::activate({table.topAnchor().constraint(root.topAnchor()),
                                table.leadingAnchor().constraint(root.leadingAnchor()),
                                root.trailingAnchor().constraint(table.trailingAnchor()),
                                page.bottomBannerConstraint});
}

std::shared_ptr<platform::material::FABButton> makeFloatingButton(SolutionViewController& page, double x, double y,
                                                                 const char* name, void (SolutionViewController::*action)()) {
    auto button = std::make_shared<platform::material::FABButton>(Rect(x, y, 52, 52));
    button->setTag(103);
    button->setAutoresizingMask(platform::ui::autoresizing::flexibleLeftMargin |
                                platform::ui::autoresizing::flexibleTopMargin);
    std::weak_ptr<SolutionViewController> weak = page.sharedAs<SolutionViewController>();
    if (action) {
        button->addTarget(
            [weak, action](platform::ui::Control&) {
                if (auto p = weak.lock()) ((*p).*action)();
            },
            platform::ui::controlEvent::touchUpInside, name);
    }
    return button;
}

}  // namespace

std::shared_ptr<View> layoutSolutionPage(SolutionViewController& page) {
    Rect screen = platform::ui::Screen::main().bounds();
    double width = screen.width(), height = screen.height();
    auto root = std::make_shared<View>(Rect(0, 0, width, height));
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    page.tableView = std::make_shared<platform::ui::TableView>(Rect(0, 0, width, height));
    page.tableView->registerPrototype(SolutionStepTableViewCell::reuseIdentifier,
                                      [width] { return makeStepPrototype(width); });
    root->addSubview(page.tableView);
    pinTable(*root, page);
    page.bannerBackgroundView = std::make_shared<View>(Rect(0, height, width, 0));
    page.bannerBackgroundView->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                                   platform::ui::autoresizing::flexibleTopMargin);
    root->addSubview(page.bannerBackgroundView);
    page.shareButton = makeFloatingButton(page, width - 72, height - 140, "tappedShareButton",
                                          &SolutionViewController::tappedShareButton);
    page.shareButton->setAccessibilityIdentifier("shareButton");
    root->addSubview(page.shareButton);
    page.manualButton = makeFloatingButton(page, width - 72, height - 204, "manualButtonPressed",
                                           &SolutionViewController::manualButtonPressed);
    root->addSubview(page.manualButton);
    return root;
}

}  // namespace velmora
