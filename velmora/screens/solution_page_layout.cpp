// The solution page's layout: the table with its step prototype, the strip
// below it with the two round buttons, and the banner area.
#include "platform/ui/application.h"
#include "velmora/screens/kuvo_color.h"
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

constexpr double kButtonSide = 52, kStripMargin = 8, kButtonSpacing = 12, kButtonTrailing = 20;

// The strip along the bottom that holds the two buttons: a button floating
// over the rows would cover whatever a row shows at its bottom right (a
// chart's legend, a long formula, the video row's buttons) whenever that row
// stands there, and on a small screen that is where a chart scrolled to the
// top ends. The banner spacing keeps the strip, and so the table, above the
// banner area.
std::shared_ptr<View> pinButtonStrip(View& root, SolutionViewController& page) {
    auto strip = std::make_shared<View>();
    strip->setTranslatesAutoresizingMaskIntoConstraints(false);
    root.addSubview(strip);
    page.bottomBannerConstraint = root.bottomAnchor().constraint(strip->bottomAnchor(), 0);
    LayoutConstraint::activate({strip->leadingAnchor().constraint(root.leadingAnchor()),
                                strip->trailingAnchor().constraint(root.trailingAnchor()),
                                strip->heightAnchor().constraint(kButtonSide + 2 * kStripMargin),
                                page.bottomBannerConstraint});
    return strip;
}

void pinTable(View& root, View& strip, SolutionViewController& page) {
    auto& table = *page.tableView;
    table.setTranslatesAutoresizingMaskIntoConstraints(false);
    LayoutConstraint::activate({table.topAnchor().constraint(root.topAnchor()),
                                table.leadingAnchor().constraint(root.leadingAnchor()),
                                root.trailingAnchor().constraint(table.trailingAnchor()),
                                table.bottomAnchor().constraint(strip.topAnchor())});
}

std::shared_ptr<platform::material::FABButton> makeFloatingButton(SolutionViewController& page, const char* name,
                                                                 void (SolutionViewController::*action)()) {
    auto button = std::make_shared<platform::material::FABButton>(Rect(0, 0, kButtonSide, kButtonSide));
    button->setTag(103);
    button->setTranslatesAutoresizingMaskIntoConstraints(false);
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

// The share button at the strip's right end, the manual button before it.
void pinButtons(View& root, View& strip, SolutionViewController& page) {
    auto& share = *page.shareButton;
    auto& manual = *page.manualButton;
    LayoutConstraint::activate({
        share.widthAnchor().constraint(kButtonSide), share.heightAnchor().constraint(kButtonSide),
        share.trailingAnchor().constraint(root.trailingAnchor(), -kButtonTrailing),
        share.centerYAnchor().constraint(strip.centerYAnchor()),
        manual.widthAnchor().constraint(kButtonSide), manual.heightAnchor().constraint(kButtonSide),
        manual.trailingAnchor().constraint(share.leadingAnchor(), -kButtonSpacing),
        manual.centerYAnchor().constraint(strip.centerYAnchor()),
    });
}

}  // namespace

std::shared_ptr<View> layoutSolutionPage(SolutionViewController& page) {
    Rect screen = platform::ui::Screen::main().bounds();
    double width = screen.width(), height = screen.height();
    auto root = std::make_shared<View>(Rect(0, 0, width, height));
    root->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth | platform::ui::autoresizing::flexibleHeight);
    root->setBackgroundColor(KuvoColor::background());
    page.tableView = std::make_shared<platform::ui::TableView>(Rect(0, 0, width, height));
    page.tableView->registerPrototype(SolutionStepTableViewCell::reuseIdentifier,
                                      [width] { return makeStepPrototype(width); });
    root->addSubview(page.tableView);
    auto strip = pinButtonStrip(*root, page);
    pinTable(*root, *strip, page);
    page.bannerBackgroundView = std::make_shared<View>(Rect(0, height, width, 0));
    page.bannerBackgroundView->setAutoresizingMask(platform::ui::autoresizing::flexibleWidth |
                                                   platform::ui::autoresizing::flexibleTopMargin);
    root->addSubview(page.bannerBackgroundView);
    page.shareButton = makeFloatingButton(page, "tappedShareButton", &SolutionViewController::tappedShareButton);
    page.shareButton->setAccessibilityIdentifier("shareButton");
    root->addSubview(page.shareButton);
    page.manualButton = makeFloatingButton(page, "manualButtonPressed", &SolutionViewController::manualButtonPressed);
    root->addSubview(page.manualButton);
    pinButtons(*root, *strip, page);
    return root;
}

}  // namespace velmora
