// Tests of the probability tree: highlighted paths, leaf labels, geometry and guards.
#include <doctest/doctest.h>

#include <climits>
#include <cstdio>

#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "velmora/charts/chart_style.h"
#include "velmora/charts/chart_test_support.h"
#include "velmora/charts/tree_chart_manager.h"

using namespace velmora;
using namespace velmora::testing;
using platform::gfx::DrawOp;
using platform::gfx::Rect;
using TreeNode = TreeChartView::TreeNode;

namespace {

std::shared_ptr<TreeChartView> treeOf(const std::shared_ptr<platform::ui::View>& card) {
    REQUIRE(card);
    REQUIRE_FALSE(card->subviews().empty());
    auto scroll = std::dynamic_pointer_cast<platform::ui::ScrollView>(card->subviews()[0]);
    REQUIRE(scroll);
    auto tree = std::dynamic_pointer_cast<TreeChartView>(scroll->subviews().at(0));
    REQUIRE(tree);
    return tree;
}

BernoulliDistributionTreeChartData treeData(int k, int n, double p) {
    BernoulliDistributionTreeChartData data;
    data.chartTitle = "Probability Tree";
    data.hits = k;
    data.trials = n;
    data.probabilityOfSuccess = p;
    data.frameRatio = 1.0;
    return data;
}

// Every path of n trials in drawing order (failures first), with its
// number of successes.
std::vector<std::string> paths(int n) {
    std::vector<std::string> out;
    for (int bits = 0; bits < (1 << n); ++bits) {
        std::string path;
        for (int i = n - 1; i >= 0; --i) path += (bits >> i) & 1 ? '1' : '0';
        out.push_back(path);
    }
    return out;
}

int ones(const std::string& path) { return static_cast<int>(std::count(path.begin(), path.end(), '1')); }

// The label a leaf should carry, by printf in the C locale.
std::string expectedLabel(const std::string& path, double p) {
    double probability = 100;
    for (char c : path) probability *= c == '1' ? p : 1 - p;
    char text[64];
    std::snprintf(text, sizeof text, "%g", std::round(probability * 100) / 100);
    return std::string(text) + "%   " + path;
}

bool isGreen(const DrawOp& op) { return op.color && *op.color == chartPaletteGreen(); }

std::vector<const DrawOp*> rotatedTexts(const platform::gfx::DisplayList& list) {
    std::vector<const DrawOp*> out;
    for (const auto& op : list.ops()) {
        if (op.kind == DrawOp::Kind::text && !op.transform.isIdentity()) out.push_back(&op);
    }
    return out;
}

}  // namespace

TEST_CASE("the probability tree of k=2, n=5, p=0.3") {
    auto data = record<BernoulliDistributionTreeChartData>(bernoulliCharts("2", "5", "0.3"), 2);
    auto card = TreeChartManager::makeTreeChart(*data, Rect(20, 20, 360, 360));
    auto tree = treeOf(card);
    CHECK(tree->frame() == Rect(0, 0, 33 * 32 + 200, 60 * 5 + 140));
    CHECK(tree->probabilitySuccess() == "0.3");
    CHECK(tree->probabilityFailure() == "0.7");
    auto list = drawView(*tree);

    SUBCASE("every path with exactly two successes is green, the others faint") {
        // a node at depth d with j successes so far is on such a path when
        // the 5 − d trials left can still add the 2 − j missing
        int greenNodes = 0, allNodes = 0;
        for (int d = 0; d <= 5; ++d) {
            for (const auto& path : paths(d)) {
                ++allNodes;
                if (ones(path) <= 2 && 2 <= ones(path) + (5 - d)) ++greenNodes;
            }
        }
        int circles = 0, green = 0;
        for (const auto& op : list.ops()) {
            if (op.kind != DrawOp::Kind::strokeEllipse) continue;
            ++circles;
            CHECK(op.rect.size == platform::gfx::Size{30, 30});
            if (isGreen(op)) ++green;
        }
        CHECK(circles == allNodes);
        CHECK(green == greenNodes);
        CHECK(circles == 63);
    }
    SUBCASE("leaf labels: percentage, three spaces, the path; turned by −40°") {
        auto labels = rotatedTexts(list);
        auto expected = paths(5);
        REQUIRE(labels.size() == expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            CAPTURE(expected[i]);
            CHECK(labels[i]->text == expectedLabel(expected[i], 0.3));
            CHECK(isGreen(*labels[i]) == (ones(expected[i]) == 2));
            CHECK(labels[i]->transform.rotationAngle() == doctest::Approx(-40 * M_PI / 180));
        }
        CHECK(labels[3]->text == "3.09%   00011");  // 0.7³ · 0.3² = 3.087 %
    }
    SUBCASE("the two probabilities beside the root and the levels 50 points apart") {
        const double width = tree->bounds().width(), midX = tree->bounds().midX();
        const DrawOp* success = nullptr;
        const DrawOp* failure = nullptr;
        for (const auto& op : list.ops()) {
            if (op.kind == DrawOp::Kind::text && op.text == "0.3") success = &op;
            if (op.kind == DrawOp::Kind::text && op.text == "0.7") failure = &op;
        }
        REQUIRE(success);
        REQUIRE(failure);
        CHECK(success->rect.origin == platform::gfx::Point{midX + 0.125 * width, 80});
        CHECK(failure->rect.origin.x + platform::gfx::Font::system(12).widthOf("0.7") ==
              doctest::Approx(midX - 0.125 * width));
        std::vector<double> tops;
        for (const auto& op : list.ops()) {
            if (op.kind == DrawOp::Kind::strokeEllipse &&
                std::find(tops.begin(), tops.end(), op.rect.origin.y) == tops.end()) {
                tops.push_back(op.rect.origin.y);
            }
        }
        std::sort(tops.begin(), tops.end());
        CHECK(tops == std::vector<double>{60, 110, 160, 210, 260, 310});
    }
    SUBCASE("the card: title, scrolling tree, shadow") {
        CHECK(card->frame() == Rect(20, 20, 360, 360));
        auto scroll = std::dynamic_pointer_cast<platform::ui::ScrollView>(card->subviews()[0]);
        CHECK(scroll->contentSize() == tree->bounds().size);
        card->layoutIfNeeded();
        CHECK(scroll->frame() == Rect(0, 0, 360, 360));
        auto title = std::dynamic_pointer_cast<platform::ui::Label>(card->subviews().back());
        REQUIRE(title);
        CHECK(title->text() == "Probability Tree");
        CHECK(title->frame().origin == platform::gfx::Point{20, 12});
        CHECK(card->layer()->shadowOpacity() == 0.5);
    }
}

TEST_CASE("small trees and their edges") {
    struct Case {
        int k, n;
        double p;
        std::vector<std::string> greenLeaves;
    };
    for (const Case& c : {Case{1, 1, 0.3, {"1"}}, Case{0, 3, 0.3, {"000"}}, Case{2, 2, 1.0, {"11"}},
                          Case{0, 0, 0.5, {""}}, Case{3, 2, 0.5, {}}}) {
        CAPTURE(c.n);
        CAPTURE(c.k);
        auto tree = treeOf(TreeChartManager::makeTreeChart(treeData(c.k, c.n, c.p), Rect(0, 0, 300, 300)));
        auto list = drawView(*tree);
        auto labels = rotatedTexts(list);
        auto all = paths(c.n);
        REQUIRE(labels.size() == all.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            CHECK(labels[i]->text == expectedLabel(all[i], c.p));
            bool green = std::find(c.greenLeaves.begin(), c.greenLeaves.end(), all[i]) != c.greenLeaves.end();
            CAPTURE(all[i]);
            CHECK(isGreen(*labels[i]) == green);
        }
    }
    auto one = treeOf(TreeChartManager::makeTreeChart(treeData(1, 1, 0.3), Rect(0, 0, 300, 300)));
    CHECK(one->bounds().size == platform::gfx::Size{266, 200});
    auto oneList = drawView(*one);
    auto labels = rotatedTexts(oneList);
    CHECK(labels[0]->text == "70%   0");
    CHECK(labels[1]->text == "30%   1");
    auto certainList = drawView(*treeOf(TreeChartManager::makeTreeChart(treeData(2, 2, 1), Rect(0, 0, 300, 300))));
    auto certain = rotatedTexts(certainList);
    CHECK(certain[0]->text == "0%   00");
    CHECK(certain[2]->text == "0%   10");
}

TEST_CASE("the card opens on the root, horizontally centred, at the drawing's top") {
    for (int n : {0, 1, 3, 5, 10}) {
        CAPTURE(n);
        auto card = TreeChartManager::makeTreeChart(treeData(0, n, 0.5), Rect(0, 0, 300, 300));
        auto tree = treeOf(card);
        auto scroll = std::dynamic_pointer_cast<platform::ui::ScrollView>(card->subviews()[0]);
        // The root is the first circle drawn.
        auto list = drawView(*tree);
        auto root = std::find_if(list.ops().begin(), list.ops().end(),
                                 [](const DrawOp& op) { return op.kind == DrawOp::Kind::strokeEllipse; });
        REQUIRE(root != list.ops().end());
        const double wider = tree->bounds().width() - 300;
        CHECK(scroll->contentOffset().y == 0);
        CHECK(scroll->contentOffset().x == doctest::Approx(std::max(0.0, wider / 2)));
        if (wider > 0) CHECK(root->rect.midX() - scroll->contentOffset().x == doctest::Approx(150));
    }
}

TEST_CASE("trees that cannot be drawn") {
    for (int trials : {-1, -100, 11, INT_MAX}) {
        CAPTURE(trials);
        CHECK_FALSE(TreeChartManager::makeTreeChart(treeData(0, trials, 0.5), Rect(0, 0, 300, 300)));
    }
    CHECK(TreeChartManager::makeTreeChart(treeData(0, 10, 0.5), Rect(0, 0, 300, 300)));
    TreeNode node;
    TreeChartManager::buildTreeNode(node, 0, -5);
    CHECK(node.children.empty());
    TreeChartManager::buildTreeNode(node, 0, 11);
    CHECK(node.children.empty());
    TreeChartManager::buildTreeNode(node, INT_MIN, 2);  // one less would not be an int
    REQUIRE(node.children.size() == 2);
    CHECK_FALSE(node.children[1].isHighlighted);
    CHECK(node.children[1].children[1].chainOfEvents == std::vector<std::string>{"1", "1"});

    TreeChartView view(Rect(0, 0, 300, 300));
    view.setProbabilitySuccess("0,3");  // not a number text: no label rather than a wrong one
    view.setProbabilityFailure("0.7");
    TreeNode leaf{"1", {}, true, {"1"}};
    CHECK_FALSE(view.leafLabel(leaf));
    view.setProbabilitySuccess("0.3");
    CHECK(view.leafLabel(leaf) == "30%   1");
    auto empty = drawView(view);  // no root: the two texts only
    CHECK(empty.texts() == std::vector<std::string>{"0.3", "0.7"});
}
