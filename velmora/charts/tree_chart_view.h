#pragma once
// The probability tree of a Bernoulli chain, drawn node by node: circles,
// edges, the two branch probabilities and a rotated label at every leaf.

#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/graphics_context.h"
#include "platform/ui/view.h"

namespace velmora {

class TreeChartView : public platform::ui::View {
public:
    // One outcome so far: "" for the root, "0" a failure, "1" a success.
    struct TreeNode {
        std::string value;
        std::vector<TreeNode> children;  // none for a leaf, else failure then success
        bool isHighlighted = false;      // some path through it still ends with exactly k successes
        std::vector<std::string> chainOfEvents;  // the values from the first trial down to here
    };

    TreeChartView();  // as from an archive: fields empty
    explicit TreeChartView(const platform::gfx::Rect& frame);  // fields empty, system background

    const std::optional<TreeNode>& rootNode() const { return rootNode_; }
    void setRootNode(std::optional<TreeNode> node) { rootNode_ = std::move(node); }
    const std::optional<std::string>& chartTitle() const { return chartTitle_; }
    void setChartTitle(std::optional<std::string> title) { chartTitle_ = std::move(title); }
    // p and 1 − p as "%g" texts; the leaf labels read them back.
    const std::optional<std::string>& probabilitySuccess() const { return probabilitySuccess_; }
    void setProbabilitySuccess(std::optional<std::string> text) { probabilitySuccess_ = std::move(text); }
    const std::optional<std::string>& probabilityFailure() const { return probabilityFailure_; }
    void setProbabilityFailure(std::optional<std::string> text) { probabilityFailure_ = std::move(text); }

    // The probabilities beside the root's edges, then the tree from
    // (midX, 60) over the width less 200.
    void draw(const platform::gfx::Rect& rect) override;
    // One node with its circle top at y and centre (x, y + 15), its edges,
    // and its subtree spread over the width; a leaf gets its label.
    void drawNode(const TreeNode& node, platform::gfx::GraphicsContext& context, double x, double y,
                  double width) const;

    // A leaf's label: the path's probability in percent, rounded to two
    // places, "%g", then "%", three spaces and the path ("3.09%   00011").
    // None when p or 1 − p is missing or not a number text.
    std::optional<std::string> leafLabel(const TreeNode& leaf) const;

private:
    void drawLeafLabel(const TreeNode& leaf, platform::gfx::GraphicsContext& context, double x, double y) const;

    std::optional<TreeNode> rootNode_;
    std::optional<std::string> chartTitle_;
    std::optional<std::string> probabilitySuccess_;
    std::optional<std::string> probabilityFailure_;
};

}  // namespace velmora
