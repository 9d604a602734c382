// Tests of the selection popup (size, rows, selection, border) and of the add cell.
#include <doctest/doctest.h>

#include "platform/gfx/layer.h"
#include "platform/ui/label.h"
#include "platform/ui/storyboard.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/shell/add_cell_table_view_cell.h"
#include "velmora/shell/selection_popup_table_view_controller.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;
using platform::gfx::Rect;
using platform::ui::IndexPath;

namespace {

std::vector<std::string> entries(int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back("entry " + std::to_string(i));
    return out;
}

// The popover's outline: a view whose layer is a shape layer, as the
// platform's popover container uses for its mask.
class OutlineView : public platform::ui::View {
public:
    explicit OutlineView(const Rect& frame) : platform::ui::View(std::make_shared<platform::gfx::ShapeLayer>(), frame) {}
};

}  // namespace

TEST_CASE("the popup is as wide as its rows and as high as all of them") {
    const std::vector<std::tuple<int, double, int, platform::gfx::Size>> cases = {
        {12, 40.0, 80, {80, 480}},
        {0, 40.0, 80, {80, 0}},
        {3, 25.5, 120, {120, 76.5}},
    };
    for (const auto& [count, height, width, size] : cases) {
        SelectionPopupTableViewController popup;
        popup.data = entries(count);
        popup.rowHeight = height;
        popup.rowWidth = width;
        popup.setPreferredContentSize({1, 1});  // kept by the platform, not answered
        CHECK(popup.preferredContentSize() == size);
    }
}

TEST_CASE("rows, the selected one highlighted and scrolled to the middle, a chosen one handed on") {
    testing::ShellStage stage;
    auto popup = std::make_shared<SelectionPopupTableViewController>();
    popup->data = entries(12);
    popup->selectedIndex = 3;
    std::vector<int> chosen;
    popup->completion = [&](int row) { chosen.push_back(row); };
    auto table = popup->tableView();
    table->setFrame({0, 0, 80, 120});
    CHECK(table->numberOfSections() == 1);
    CHECK(table->numberOfRows(0) == 12);

    popup->beginAppearanceTransition(true, false);
    popup->endAppearanceTransition();
    stage.advance(1);
    // row 3 spans 120 to 160: its middle, 140, at the table's middle, 60
    CHECK(table->contentOffset().y == doctest::Approx(80));
    table->layoutIfNeeded();
    for (int row = 2; row <= 4; ++row) {
        auto cell = table->cellForRow({0, row});
        REQUIRE(cell);
        CHECK(cell->textLabel()->text() == "entry " + std::to_string(row));
        CHECK(cell->textLabel()->textAlignment() == platform::ui::TextAlignment::center);
        CHECK(cell->backgroundColor() == (row == 3 ? popup->cellHighlightColor : popup->cellBgColor));
        CHECK(table->rectForRow({0, row}).height() == 40);
    }
    CHECK(table->backgroundColor() == KuvoColor::color(KuvoColor::paletteDarkBlue));

    stage.root()->present(popup, false);
    stage.settle();
    REQUIRE(table->tapRow({0, 2}));
    stage.advance(1);
    CHECK(chosen == std::vector<int>{2});
    CHECK(popup->selectedIndex == 3);
    CHECK(stage.root()->presentedViewController() == nullptr);
}

TEST_CASE("a selected index beyond the rows scrolls nowhere") {
    testing::ShellStage stage;
    auto popup = std::make_shared<SelectionPopupTableViewController>();
    popup->data = entries(2);
    popup->selectedIndex = 7;
    popup->tableView()->setFrame({0, 0, 80, 40});
    popup->beginAppearanceTransition(true, false);
    popup->endAppearanceTransition();
    stage.advance(1);
    CHECK(popup->tableView()->contentOffset().y == 0);
}

TEST_CASE("the border follows the popover's outline, once") {
    testing::ShellStage stage;
    auto popup = std::make_shared<SelectionPopupTableViewController>();
    popup->data = entries(4);
    auto container = std::make_shared<platform::ui::View>(Rect(20, 20, 80, 160));
    auto wrapper = std::make_shared<platform::ui::View>(Rect(0, 0, 80, 160));
    container->addSubview(wrapper);
    wrapper->addSubview(popup->view());

    SUBCASE("without a mask nothing is drawn") {
        popup->viewWillLayoutSubviews();
        CHECK(container->layer()->sublayers().size() == 1);  // the wrapper's own layer
    }
    SUBCASE("a shape mask: one border along its path, however often the popup lays out") {
        auto outline = std::make_shared<OutlineView>(Rect(0, 0, 80, 160));
        auto shape = std::dynamic_pointer_cast<platform::gfx::ShapeLayer>(outline->layer());
        REQUIRE(shape);
        platform::gfx::Path path;
        path.addRoundedRect({0, 0, 80, 160}, 13);
        shape->setPath(path);
        container->setMaskView(outline);
        for (int pass = 0; pass < 3; ++pass) popup->viewWillLayoutSubviews();
        std::vector<std::shared_ptr<platform::gfx::ShapeLayer>> borders;
        for (const auto& layer : container->layer()->sublayers()) {
            if (layer->name() == "border") borders.push_back(std::dynamic_pointer_cast<platform::gfx::ShapeLayer>(layer));
        }
        REQUIRE(borders.size() == 1);
        REQUIRE(borders[0]);
        CHECK(borders[0]->path() == shape->path());
        CHECK(borders[0]->lineWidth() == 4.0);
        CHECK(borders[0]->strokeColor() == popup->cellHighlightColor);
        CHECK_FALSE(borders[0]->fillColor());
        CHECK(borders[0]->frame() == shape->bounds());
    }
}

TEST_CASE("the add cell tints its plus green when loaded from its interface file") {
    registerAddCellNib();
    auto nib = platform::ui::Nib::named(AddCellTableViewCell::nibName);
    REQUIRE(nib);
    auto views = nib->instantiate(nullptr);
    REQUIRE(views.size() == 1);
    auto cell = std::dynamic_pointer_cast<AddCellTableViewCell>(views.front());
    REQUIRE(cell);
    REQUIRE(cell->plusImageview);
    CHECK(cell->plusImageview->tintColor() == KuvoColor::color(KuvoColor::paletteGreen));
    AddCellTableViewCell plain;
    CHECK_FALSE(plain.plusImageview);
}
