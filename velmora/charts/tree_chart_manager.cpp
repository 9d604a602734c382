// Building the probability tree and its scrolling card.
#include "velmora/charts/tree_chart_manager.h"

#include <cmath>

#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "velmora/charts/chart_number_text.h"
#include "velmora/charts/chart_style.h"

namespace velmora {

using platform::gfx::Color;
using platform::gfx::Rect;
using TreeNode = TreeChartView::TreeNode;

namespace {

// Hits are carried as long long so that one less than the smallest int is
// still a number.
void fill(TreeNode& node, long long hits, int levels) {
    if (levels <= 0) return;
    TreeNode failure{"0", {}, 0 <= hits && hits <= levels - 1, node.chainOfEvents};
    failure.chainOfEvents.push_back("0");
    fill(failure, hits, levels - 1);
    TreeNode success{"1", {}, 0 <= hits - 1 && hits - 1 <= levels - 1, node.chainOfEvents};
    success.chainOfEvents.push_back("1");
    fill(success, hits - 1, levels - 1);
    node.children = {std::move(failure), std::move(success)};
}

std::shared_ptr<platform::ui::View> card(const Rect& frame, const std::shared_ptr<TreeChartView>& tree) {
    auto scroll = std::make_shared<platform::ui::ScrollView>();
    scroll->setTranslatesAutoresizingMaskIntoConstraints(false);
    scroll->addSubview(tree);
    scroll->setContentSize(tree->bounds().size);
    auto view = std::make_shared<platform::ui::View>(frame);
    view->setBackgroundColor(Color::systemBackground());
    view->addSubview(scroll);
    platform::ui::LayoutConstraint::activate({
        scroll->topAnchor().constraint(view->topAnchor()),
        scroll->leadingAnchor().constraint(view->leadingAnchor()),
        scroll->trailingAnchor().constraint(view->trailingAnchor()),
        scroll->bottomAnchor().constraint(view->bottomAnchor()),
    });
    view->setFrame(frame);
    // Nothing sets where the drawing opens, and its top-left corner is
    // empty: it opens on the root, horizontally centred, at its top.
    view->layoutIfNeeded();
    const double sideways = (scroll->contentSize().width - scroll->bounds().width()) / 2;
    scroll->setContentOffset(scroll->clampedOffset({sideways, 0}));
    return view;
}

}  // namespace

void TreeChartManager::buildTreeNode(TreeNode& node, int hits, int levels) {
    if (levels < 0 || levels > maximumTrials) return;
    fill(node, hits, levels);
}

platform::gfx::Size TreeChartManager::treeSize(int trials) {
    const double leaves = std::pow(2.0, trials);
    return {33 * leaves + 200, 60.0 * trials + 140};
}

std::shared_ptr<platform::ui::View> TreeChartManager::makeTreeChart(const BernoulliDistributionTreeChartData& data,
                                                                    const Rect& frame) {
    if (data.trials < 0 || data.trials > maximumTrials) return nullptr;
    TreeNode root{"", {}, true, {}};
    buildTreeNode(root, data.hits, data.trials);
    auto tree = std::make_shared<TreeChartView>(Rect({0, 0}, treeSize(data.trials)));
    tree->setChartTitle(data.chartTitle);
    tree->setProbabilitySuccess(formatG(data.probabilityOfSuccess));
    tree->setProbabilityFailure(formatG(1 - data.probabilityOfSuccess));
    tree->setRootNode(std::move(root));
    tree->setNeedsDisplay();
    auto view = card(frame, tree);
    const platform::gfx::Font titleFont = platform::gfx::Font::system(18);
    auto size = titleFont.measure(data.chartTitle);
    auto title = std::make_shared<platform::ui::Label>(Rect(20, 12, size.width, size.height));
    title->setFont(titleFont);
    title->setText(data.chartTitle);
    title->setTextColor(Color::label());
    view->addSubview(title);
    applyChartCardShadow(*view->layer());
    return view;
}

}  // namespace velmora
