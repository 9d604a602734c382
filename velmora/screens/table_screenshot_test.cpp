// Tests of view and table screenshots: the pieces of a table in order, the
// chart rows' pauses, the scroll position kept, and the stitched pixels.
#include <doctest/doctest.h>

#include <iostream>
#include <sstream>

#include "platform/dispatch/timer.h"
#include "platform/render/rasterizer.h"
#include "platform/ui/scroll_view.h"
#include "velmora/charts/chart_table_view_cell.h"
#include "velmora/screens/table_screenshot.h"

using platform::dispatch::Async;
using platform::gfx::Color;
using platform::gfx::DrawOp;
using platform::gfx::Image;
using platform::gfx::Rect;
using platform::render::Pixel;
using platform::ui::IndexPath;
using platform::ui::TableView;

namespace {

const Pixel red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255}, yellow{255, 255, 0, 255},
    cyan{0, 255, 255, 255}, magenta{255, 0, 255, 255}, clear{0, 0, 0, 0};

Color colourOf(Pixel p) { return Color::rgb(p.red / 255.0, p.green / 255.0, p.blue / 255.0); }

struct RowSpec {
    double height;
    Pixel colour;
    bool chart = false;
};

struct SectionSpec {
    std::vector<RowSpec> rows;
    double header = 0, footer = 0;
};

// Sections of coloured rows, headers and footers.
struct ColouredTable : platform::ui::TableViewDataSource, platform::ui::TableViewDelegate {
    std::vector<SectionSpec> sections;

    int numberOfSections(TableView&) override { return static_cast<int>(sections.size()); }
    int numberOfRows(TableView&, int s) override { return static_cast<int>(sections[static_cast<std::size_t>(s)].rows.size()); }
    std::shared_ptr<platform::ui::TableViewCell> cellForRow(TableView& table, IndexPath path) override {
        const auto& spec = sections[static_cast<std::size_t>(path.section)].rows[static_cast<std::size_t>(path.row)];
        auto cell = table.dequeueReusableCell(spec.chart ? "chart" : "plain", path);
        auto fill = std::make_shared<platform::ui::View>(Rect(0, 0, table.bounds().width(), spec.height));
        fill->setBackgroundColor(colourOf(spec.colour));
        for (auto& old : std::vector(cell->contentView()->subviews())) old->removeFromSuperview();
        cell->contentView()->addSubview(fill);
        return cell;
    }
    std::optional<double> heightForRow(TableView&, IndexPath path) override {
        return sections[static_cast<std::size_t>(path.section)].rows[static_cast<std::size_t>(path.row)].height;
    }
    std::optional<double> heightForHeader(TableView&, int s) override { return sections[static_cast<std::size_t>(s)].header; }
    std::optional<double> heightForFooter(TableView&, int s) override { return sections[static_cast<std::size_t>(s)].footer; }
    std::shared_ptr<platform::ui::View> viewForHeader(TableView&, int) override { return band(yellow); }
    std::shared_ptr<platform::ui::View> viewForFooter(TableView&, int) override { return band(cyan); }
    static std::shared_ptr<platform::ui::View> band(Pixel colour) {
        auto view = std::make_shared<platform::ui::View>();
        view->setBackgroundColor(colourOf(colour));
        return view;
    }
};

struct Fixture {
    platform::dispatch::ManualTime time;
    std::shared_ptr<TableView> table = std::make_shared<TableView>(Rect(0, 0, 200, 150));
    std::shared_ptr<ColouredTable> data = std::make_shared<ColouredTable>();
    std::optional<Image> result;
    bool done = false;
    platform::dispatch::MainTask task;

    Fixture() {
        table->registerClass<platform::ui::TableViewCell>("plain");
        table->registerClass<velmora::ChartTableViewCell>("chart");
        table->setDataSource(data);
        table->setDelegate(data);
    }
    static Async<void> capture(Fixture* f, std::optional<std::set<int>> headers, std::optional<std::set<int>> footers) {
        f->result = co_await velmora::screenshot(f->table, std::move(headers), std::move(footers));
        f->done = true;
    }
    void start(std::optional<std::set<int>> headers = std::nullopt, std::optional<std::set<int>> footers = std::nullopt) {
        table->reloadData();
        table->layoutIfNeeded();
        task = platform::dispatch::startMainTask(platform::dispatch::TaskPriority::userInitiated,
                                                 capture(this, std::move(headers), std::move(footers)));
        time.settle();
    }
    // Where each piece lies on the stitched canvas: its top and height.
    std::vector<std::pair<double, double>> pieces() const {
        std::vector<std::pair<double, double>> out;
        for (const auto& op : result->drawing().ops()) {
            if (op.kind == DrawOp::Kind::image) out.emplace_back(op.rect.minY(), op.rect.height());
        }
        return out;
    }
};

std::vector<std::pair<double, double>> stacked(const std::vector<double>& heights) {
    std::vector<std::pair<double, double>> out;
    double y = 0;
    for (double h : heights) {
        out.emplace_back(y, h);
        y += h;
    }
    return out;
}

bool near(Pixel a, Pixel b) {
    return std::abs(a.red - b.red) <= 2 && std::abs(a.green - b.green) <= 2 && std::abs(a.blue - b.blue) <= 2 &&
           std::abs(a.alpha - b.alpha) <= 2;
}

}  // namespace

TEST_CASE("a view's screenshot shows the rectangle asked for") {
    auto square = [](Rect frame) {
        auto view = std::make_shared<platform::ui::View>(frame);
        view->setBackgroundColor(Color::rgb(1, 0, 0));
        return view;
    };
    // The square is in sight each time (a scroll view draws only what is in
    // its bounds), away from the top-left corner.
    struct Case {
        const char* name;
        double scrolledBy, squareY;
    };
    for (const auto& c : std::vector<Case>{{"at rest", 0, 70}, {"scrolled", 50, 120}}) {
        CAPTURE(c.name);
        auto scroller = std::make_shared<platform::ui::ScrollView>(Rect(0, 0, 100, 100));
        scroller->setContentSize({100, 300});
        scroller->addSubview(square(Rect(60, c.squareY, 10, 10)));
        scroller->setContentOffset({0, c.scrolledBy});
        auto image = velmora::screenshotForCroppingRect(*scroller, Rect(60, c.squareY, 10, 10));
        REQUIRE(image);
        CHECK(image->size() == platform::gfx::Size{10, 10});
        auto pixels = platform::render::rasterize(*image);
        REQUIRE(pixels);
        CHECK(pixels->width() == 30);  // the main screen's scale
        CHECK(near(pixels->pixel(1, 1), red));
        CHECK(near(pixels->pixel(28, 28), red));
    }
    CHECK_FALSE(velmora::screenshotForCroppingRect(*square(Rect(0, 0, 10, 10)), Rect(0, 0, 0, 5)));
    auto whole = velmora::screenshot(*square(Rect(5, 5, 8, 4)));
    REQUIRE(whole);
    CHECK(whole->size() == platform::gfx::Size{8, 4});
}

TEST_CASE("images stitched one under another") {
    CHECK_FALSE(velmora::verticallyStitched({}));
    auto filled = [](platform::gfx::Size size, Pixel colour) {
        return *platform::gfx::ImageRenderer(size, {1, false}).image([&](platform::gfx::GraphicsContext& c) {
            c.setFillColor(colourOf(colour));
            c.fill(Rect(0, 0, size.width, size.height));
        });
    };
    auto stitched = velmora::verticallyStitched({filled({10, 5}, red), filled({20, 7}, blue), filled({4, 1}, green)});
    REQUIRE(stitched);
    CHECK(stitched->size() == platform::gfx::Size{20, 13});
    CHECK(stitched->scale() == 3);
    auto pixels = platform::render::rasterize(*stitched, {1, std::nullopt});
    REQUIRE(pixels);
    struct Probe {
        int x, y;
        Pixel colour;
    };
    for (const auto& p : std::vector<Probe>{{5, 2, red}, {15, 2, clear}, {15, 8, blue}, {2, 12, green}, {8, 12, clear}}) {
        CAPTURE(p.x);
        CAPTURE(p.y);
        CHECK(near(pixels->pixel(p.x, p.y), p.colour));
    }
    // On a background, the canvas beside the narrower images takes it.
    auto onBackground = velmora::verticallyStitched({filled({10, 5}, red), filled({20, 7}, blue)}, colourOf(green));
    REQUIRE(onBackground);
    auto backed = platform::render::rasterize(*onBackground, {1, std::nullopt});
    REQUIRE(backed);
    CHECK(near(backed->pixel(15, 2), green));
    CHECK(near(backed->pixel(5, 2), red));
}

TEST_CASE("a table's screenshot: every piece in table order, the scroll position kept") {
    Fixture f;
    auto header = std::make_shared<platform::ui::View>(Rect(0, 0, 200, 30));
    header->setBackgroundColor(colourOf(magenta));
    f.table->setTableHeaderView(header);
    f.data->sections = {
        {{{40, red}, {50, green}, {60, blue}}, 20, 10},
        {{{30, red}}, 0, 0},
    };
    f.table->reloadData();
    f.table->setContentOffset({0, 25});

    SUBCASE("all headers and footers") {
        f.start();
        REQUIRE(f.done);
        REQUIRE(f.result);
        // zero-high header and footer of section 1 leave no piece
        CHECK(f.pieces() == stacked({30, 20, 40, 50, 60, 10, 30}));
        CHECK(f.result->size() == platform::gfx::Size{200, 240});
        CHECK(f.table->contentOffset() == platform::gfx::Point{0, 25});
        auto pixels = platform::render::rasterize(*f.result, {1, std::nullopt});
        REQUIRE(pixels);
        const std::vector<std::pair<int, Pixel>> middles{{15, magenta}, {40, yellow}, {70, red},   {115, green},
                                                         {170, blue},   {205, cyan},  {225, red}};
        for (const auto& middle : middles) {
            const int y = middle.first;
            const Pixel& colour = middle.second;
            CAPTURE(y);
            CHECK(near(pixels->pixel(100, y), colour));
        }
    }
    SUBCASE("a section in neither set gives only its rows") {
        f.start(std::set<int>{1}, std::set<int>{});
        REQUIRE(f.result);
        CHECK(f.pieces() == stacked({30, 40, 50, 60, 30}));
    }
    SUBCASE("a table with nothing gives no image") {
        f.table->setTableHeaderView(nullptr);
        f.data->sections.clear();
        f.start();
        CHECK(f.done);
        CHECK_FALSE(f.result);
    }
}

TEST_CASE("chart rows are given two seconds each before their capture") {
    Fixture f;
    f.data->sections = {{{{40, red}, {50, green}, {60, blue}, {120, yellow, true}, {120, cyan, true}}, 0, 0}};
    f.table->reloadData();

    SUBCASE("two chart rows take four seconds; five pieces in order") {
        f.start();
        f.time.advance(3.9);
        CHECK_FALSE(f.done);
        f.time.advance(0.1);
        REQUIRE(f.done);
        REQUIRE(f.result);
        CHECK(f.pieces() == stacked({40, 50, 60, 120, 120}));
        CHECK(f.table->contentOffset() == platform::gfx::Point{0, 0});
        // the chart rows' cells were given the system background
        f.table->scrollToRow({0, 4}, platform::ui::TableViewScrollPosition::top, false);
        f.table->layoutIfNeeded();
        CHECK(f.table->cellForRow({0, 4})->backgroundColor() == Color::systemBackground());
    }
    SUBCASE("a pause that fails says so and the row is captured at once") {
        std::ostringstream printed;
        auto* saved = std::cout.rdbuf(printed.rdbuf());
        f.start();
        f.task.cancel();
        f.time.settle();
        std::cout.rdbuf(saved);
        REQUIRE(f.done);
        CHECK(printed.str() == "Error during delay: CancellationError()\nError during delay: CancellationError()\n");
        CHECK(f.pieces().size() == 5);
    }
}
