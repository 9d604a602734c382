// Drawing the probability tree node by node.
#include "velmora/charts/tree_chart_view.h"

#include "platform/gfx/font.h"
#include "velmora/charts/chart_number_text.h"
#include "velmora/charts/chart_style.h"
#include "velmora/engine/math_operation.h"

namespace velmora {

using platform::gfx::Color;
using platform::gfx::Font;
using platform::gfx::GraphicsContext;
using platform::gfx::Rect;

namespace {

constexpr double leafLabelAngle = -0.6981317007977318;  // −40°

Color strokeFor(bool highlighted) {
    return highlighted ? chartPaletteGreen() : Color::systemGray().withAlphaComponent(0.3);
}

Font smallFont() { return Font::system(12); }

}  // namespace

TreeChartView::TreeChartView() = default;

TreeChartView::TreeChartView(const Rect& frame) : View(frame) { setBackgroundColor(Color::systemBackground()); }

void TreeChartView::draw(const Rect& rect) {
    View::draw(rect);
    GraphicsContext* context = GraphicsContext::current();
    if (!context) return;
    const double width = rect.width();
    const double midX = rect.midX();
    if (probabilitySuccess_) {
        context->drawText(*probabilitySuccess_, Rect(midX + 0.125 * width, 80, width, 30), smallFont(), Color::label());
    }
    if (probabilityFailure_) {
        double w = smallFont().widthOf(*probabilityFailure_);
        context->drawText(*probabilityFailure_, Rect(midX - 0.125 * width - w, 80, width, 30), smallFont(),
                          Color::label());
    }
    if (!rootNode_) return;
    context->setLineWidth(2.0);
    drawNode(*rootNode_, *context, midX, 60, width - 200);
}

void TreeChartView::drawNode(const TreeNode& node, GraphicsContext& context, double x, double y, double width) const {
    context.setStrokeColor(strokeFor(node.isHighlighted));
    context.strokeEllipse(Rect(x - 15, y, 30, 30));
    auto size = smallFont().measure(node.value);
    context.drawText(node.value, Rect(x - size.width / 2, y + 15 - size.height / 2, size.width, size.height),
                     smallFont());
    if (node.children.empty()) {
        drawLeafLabel(node, context, x, y);
        return;
    }
    const double count = static_cast<double>(node.children.size());
    const double step = width / count;
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        const TreeNode& child = node.children[i];
        double childX = x - step * (count / 2 - static_cast<double>(i)) + step / 2;
        context.setStrokeColor(strokeFor(child.isHighlighted));
        context.beginPath();
        context.moveTo({x, y + 30});
        context.addLineTo({childX, y + 50});
        context.strokePath();
        drawNode(child, context, childX, y + 50, width / 2);
    }
}

std::optional<std::string> TreeChartView::leafLabel(const TreeNode& leaf) const {
    // The "%g" texts are read back, so the percentages come from p with
    // six significant digits, as shown beside the root.
    auto success = probabilitySuccess_ ? readNumber(*probabilitySuccess_) : std::nullopt;
    auto failure = probabilityFailure_ ? readNumber(*probabilityFailure_) : std::nullopt;
    if (!success || !failure) return std::nullopt;
    double probability = 1.0;
    std::string path;
    for (const auto& event : leaf.chainOfEvents) {
        probability *= event == "0" ? *failure : *success;
        path += event;
    }
    return formatG(round(probability * 100, 2).value) + "%   " + path;
}

void TreeChartView::drawLeafLabel(const TreeNode& leaf, GraphicsContext& context, double x, double y) const {
    auto text = leafLabel(leaf);
    if (!text) return;
    auto size = smallFont().measure(*text);
    const double m = static_cast<double>(leaf.chainOfEvents.size());
    context.saveGState();
    context.translateBy(x - 0.86 * size.width + 0.5 * size.width, y + 30 + 2.2 * m + 18 + 0.5 * size.height);
    context.rotateBy(leafLabelAngle);
    context.drawText(*text, Rect(-size.width / 2, -size.height / 2, size.width, size.height), smallFont(),
                     strokeFor(leaf.isHighlighted));
    context.restoreGState();
}

}  // namespace velmora
