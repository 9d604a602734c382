// The findings the design's own colours and frames make, with the reasons they stay.
#include "velmora/runner/known_findings.h"

#include <cmath>

#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/ui/label.h"
#include "platform/ui/view_controller.h"
#include "velmora/charts/chart_style.h"
#include "velmora/charts/tree_chart_view.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/solution_step_table_view_cell.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/shell/left_view_controller.h"
#include "velmora/shell/navigation_chrome.h"

namespace velmora::runner {

namespace {

using platform::ui::View;

// The controller whose page holds the view.
const platform::ui::ViewController* pageOf(const View& view) {
    for (const View* v = &view; v; v = v->superviewPointer()) {
        if (v->viewController()) return v->viewController();
    }
    return nullptr;
}

template <class Controller>
const Controller* onPage(const View& view) {
    return dynamic_cast<const Controller*>(pageOf(view));
}

bool sameColour(const platform::gfx::RGBA& drawn, const platform::gfx::Color& expected) {
    auto c = expected.rgba().value_or(platform::gfx::RGBA{});
    const double step = 1.0 / 255;
    return std::fabs(drawn.red - c.red) <= step && std::fabs(drawn.green - c.green) <= step &&
           std::fabs(drawn.blue - c.blue) <= step;
}

bool faintIn(const Finding& finding, const platform::gfx::Color& text) {
    return finding.kind == FindingKind::contrast && sameColour(finding.foreground, text);
}

bool onlyPastTheRight(const Finding& finding, double points) {
    const auto& o = finding.overhang;
    return finding.kind == FindingKind::cut && o.left == 0 && o.top == 0 && o.bottom == 0 && o.right <= points + 0.5;
}

// The solution table and the step rows' formula scroll views, which span
// their row: how far the table reaches past the page's right edge.
bool solutionTableWidth(const Finding& finding) {
    const View& view = *finding.item.view;
    const auto* page = onPage<SolutionViewController>(view);
    if (!page || !page->tableView) return false;
    const auto* root = page->viewIfLoaded().get();
    const double past = root ? page->tableView->frame().maxX() - root->bounds().width() : 0;
    if (!onlyPastTheRight(finding, past)) return false;
    if (&view == page->tableView.get()) return true;
    for (const View* v = view.superviewPointer(); v; v = v->superviewPointer()) {
        if (auto* cell = dynamic_cast<const SolutionStepTableViewCell*>(v)) return cell->scrollView.get() == &view;
    }
    return false;
}

bool tabTitle(const Finding& finding) {
    const View* parent = finding.item.view->superviewPointer();
    return faintIn(finding, KuvoColor::darkGray()) && dynamic_cast<const platform::material::TabItem*>(parent);
}

bool drawerHeaderTitle(const Finding& finding) {
    const View* parent = finding.item.view->superviewPointer();
    return faintIn(finding, KuvoColor::darkGray()) && onPage<LeftViewController>(*finding.item.view) && parent &&
           parent->backgroundColor() == KuvoColor::color(KuvoColor::paletteBlue);
}

bool drawerTitle(const Finding& finding) {
    const auto* menu = onPage<MenuToolbarController>(*finding.item.view);
    return faintIn(finding, KuvoColor::darkGray()) && menu && menu->toolbar() &&
           finding.item.view == menu->toolbar()->titleLabel().get();
}

bool floatingFieldLabel(const Finding& finding) {
    const auto* field = dynamic_cast<const platform::input::DTTextField*>(finding.item.view->superviewPointer());
    return finding.kind == FindingKind::contrast && field && finding.item.view == field->floatingLabel().get() &&
           (sameColour(finding.foreground, KuvoColor::color(KuvoColor::paletteLightBlue)) ||
            sameColour(finding.foreground, KuvoColor::color(KuvoColor::paletteDarkBlue)));
}

// The colour a text of that colour (its alpha included) shows over the
// background.
bool drawnAs(const platform::gfx::RGBA& drawn, const platform::gfx::Color& text, const platform::gfx::RGBA& under) {
    const auto c = text.rgba().value_or(platform::gfx::RGBA{});
    const double a = c.alpha;
    const platform::gfx::Color over = platform::gfx::Color::rgb(c.red * a + under.red * (1 - a),
                                                                c.green * a + under.green * (1 - a),
                                                                c.blue * a + under.blue * (1 - a));
    return sameColour(drawn, over);
}

bool treeLeafLabel(const Finding& finding) {
    if (finding.kind != FindingKind::contrast || !dynamic_cast<const TreeChartView*>(finding.item.view)) return false;
    const auto faint = platform::gfx::Color::systemGray().withAlphaComponent(0.3);
    return drawnAs(finding.foreground, chartPaletteGreen(), finding.background) ||
           drawnAs(finding.foreground, faint, finding.background);
}

bool treeUnderItsTitle(const Finding& finding) {
    if (finding.kind != FindingKind::overlap || !finding.other) return false;
    const auto* tree = dynamic_cast<const TreeChartView*>(finding.other->view);
    const View* card = tree && tree->superviewPointer() ? tree->superviewPointer()->superviewPointer() : nullptr;
    return card && finding.item.view->superviewPointer() == card &&
           dynamic_cast<const platform::ui::Label*>(finding.item.view);
}

}  // namespace

const std::vector<KnownFinding>& knownFindings() {
    static const std::vector<KnownFinding> table{
        {"the solution table is 50 points wider than the page",
         "the solution page sets its table's trailing constraint to -50, so the table, and each step's formula "
         "scroll view that spans its row, reach 50 points past the window's right edge",
         solutionTableWidth},
        {"the tab titles in the dark style",
         "tab titles are the palette's dark gray (white 0.1) on the tab bar's palette blue, which the dark style "
         "darkens to 70 % of its brightness",
         tabTitle},
        {"the drawer's section titles in the dark style",
         "the drawer's section headers are the palette blue, darkened to 70 % in the dark style, under the "
         "palette's dark gray (white 0.1)",
         drawerHeaderTitle},
        {"the drawer's title",
         "the drawer's toolbar is the palette's dark blue under the toolbars' dark gray (white 0.1) title, in "
         "both styles",
         drawerTitle},
        {"the probability tree's leaf labels",
         "each leaf is labelled in its path's colour: the palette green where the path ends with exactly k "
         "successes, which is light on the white page, and the faint grey (system grey at 30 %) of the paths "
         "that cannot",
         treeLeafLabel},
        {"the probability tree under its title",
         "the tree's title lies on its card above the scrolling drawing, which passes under it as it is panned",
         treeUnderItsTitle},
        {"the fields' floating labels",
         "the calculator page gives the fields' floating labels the palette's dark blue while editing and its "
         "light blue otherwise: the light blue is too light on the white page, and the dark blue, darkened in "
         "the dark style, too dark on the black one",
         floatingFieldLabel},
    };
    return table;
}

const KnownFinding* knownFindingFor(const Finding& finding) {
    if (!finding.item.view) return nullptr;
    for (const auto& known : knownFindings()) {
        if (known.matches(finding)) return &known;
    }
    return nullptr;
}

}  // namespace velmora::runner
