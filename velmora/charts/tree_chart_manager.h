#pragma once
// Builds the probability tree of a record and the scrolling card that shows it.

#include <memory>

#include "platform/ui/view.h"
#include "velmora/charts/tree_chart_view.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

class TreeChartManager {
public:
    // The tree doubles with every trial: past this many it is not drawn.
    static constexpr int maximumTrials = 10;

    // A card of the frame's size holding the title and, in a scroll view,
    // the tree view (33 × 2^n + 200 by 60 × n + 140 points). None for a
    // trial count outside 0...maximumTrials.
    static std::shared_ptr<platform::ui::View> makeTreeChart(const BernoulliDistributionTreeChartData& data,
                                                             const platform::gfx::Rect& frame);
    // Fills the subtree below a node that still needs `hits` successes in
    // `levels` trials. Levels outside 0...maximumTrials leave the node a leaf.
    static void buildTreeNode(TreeChartView::TreeNode& node, int hits, int levels);
    // The size of the tree view for a number of trials within the limit.
    static platform::gfx::Size treeSize(int trials);
};

}  // namespace velmora
