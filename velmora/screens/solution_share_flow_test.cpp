// Tests of sharing the solution: the event, the overlay, the quality
// notice, the screenshot on the clock, and one share sheet with the image.
#include <doctest/doctest.h>

#include <cairo.h>

#include <algorithm>
#include <cstdlib>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "platform/frameworks/charts/chart_renderer.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/render/png_codec.h"
#include "platform/render/rasterizer.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/ui_log.h"
#include "velmora/charts/screenshot_flag.h"
#include "velmora/screens/page_test_support.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_view_controller.h"
#include "velmora/screens/step_latex.h"
#include "velmora/shell/view_manager.h"
#include "testsupport/temp_dir.h"

using platform::render::Pixel;
using platform::ui::ActivityViewController;
using platform::ui::AlertController;
using velmora::testing::PageFixture;

namespace {

// The example calculation: 27 steps, then the histogram, the distribution
// function and the tree (n is at most 10): three chart rows, six seconds.
constexpr double kWalkSeconds = 6.0;

struct ShareFixture {
    PageFixture app;
    std::vector<std::string> overlay;  // "show"/"hide", with the screenshot mark at that moment

    // The shell's overlay, noted as it is asked for.
    ShareFixture() {
        velmora::shellHooks().showLoadingOverlayOnMain = [this] {
            overlay.push_back(velmora::isTakingScreenshot() ? "show, taking" : "show");
            velmora::ViewManager::showLoadingOverlayOnMain();
        };
        velmora::shellHooks().hideLoadingOverlayOnMain = [this] {
            overlay.push_back(velmora::isTakingScreenshot() ? "hide, taking" : "hide");
            velmora::ViewManager::hideLoadingOverlayOnMain();
        };
    }
    std::shared_ptr<platform::ui::View> overlayView() {
        return app.window().viewWithTag(velmora::ViewManager::loadingOverlayTag);
    }
    void solve() {
        app.launch();
        app.calculate("2", "5", "0.3");
        REQUIRE(page()->solutionSteps.size() == 27);
        REQUIRE(page()->chartSteps.size() == 3);
    }
    std::shared_ptr<velmora::SolutionViewController> page() { return app.solutionPage(); }
    template <class T>
    std::shared_ptr<T> presented() {
        return std::dynamic_pointer_cast<T>(app.window().topViewController());
    }
    bool refusedPresentation() const {
        auto messages = platform::ui::loggedMessages();
        return std::any_of(messages.begin(), messages.end(),
                           [](const std::string& m) { return m.find("Attempt to present") != std::string::npos; });
    }
    std::vector<platform::gfx::Image> sharedImages() {
        std::vector<platform::gfx::Image> images;
        if (auto sheet = presented<ActivityViewController>()) {
            for (const auto& item : sheet->activityItems()) {
                if (auto image = std::get_if<platform::gfx::Image>(&item)) images.push_back(*image);
            }
        }
        return images;
    }
};

bool near(Pixel a, Pixel b, int tolerance) {
    return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
           std::abs(a.blue - b.blue) <= tolerance;
}

bool anyPixelNear(const platform::render::Bitmap& bitmap, int top, int bottom, Pixel colour) {
    for (int y = std::max(0, top); y < std::min(bitmap.height(), bottom); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) {
            if (near(bitmap.pixel(x, y), colour, 2)) return true;
        }
    }
    return false;
}

Pixel hexPixel(const std::string& text) {
    unsigned value = static_cast<unsigned>(std::stoul(text.substr(1), nullptr, 16));
    return {static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>(value & 0xFF), 255};
}

std::shared_ptr<platform::charts::AAChartView> chartViewIn(platform::ui::View& cell) {
    for (const auto& view : cell.allDescendants()) {
        if (auto chart = std::dynamic_pointer_cast<platform::charts::AAChartView>(view)) return chart;
    }
    return nullptr;
}

}  // namespace

TEST_CASE("sharing with nothing to share logs the tap and does nothing else") {
    ShareFixture f;
    f.app.launch();
    f.page()->tappedShareButton();
    f.app.advance(10);
    auto events = f.app.events("kuvo_tapped_share");
    REQUIRE(events.size() == 1);
    CHECK(events[0].parameters.at("solutionStepsCount") == platform::Value(0LL));
    CHECK(events[0].parameters.at("solutionSteps") == platform::Value(platform::Value::Array{}));
    CHECK(f.overlay.empty());
    CHECK_FALSE(f.presented<AlertController>());
    CHECK_FALSE(velmora::isTakingScreenshot());
}

TEST_CASE("the share flow: overlay, notice, screenshot and one share sheet") {
    ShareFixture f;
    f.solve();
    auto page = f.page();
    auto offset = page->tableView->contentOffset();
    REQUIRE(platform::ui::tap(*page->shareButton));
    auto events = f.app.events("kuvo_tapped_share");
    REQUIRE(events.size() == 1);
    CHECK(events[0].parameters.at("solutionStepsCount") == platform::Value(27LL));
    CHECK(events[0].parameters.at("solutionSteps").asArray().size() == 27);
    CHECK(f.overlay.empty());  // the task starts on the next turn

    f.app.settle();
    CHECK(f.overlay == std::vector<std::string>{"show, taking"});
    auto notice = f.presented<AlertController>();
    REQUIRE(notice);
    CHECK(notice->alertTitle() == "Sharing your solution");
    CHECK(notice->message()->find("one image") != std::string::npos);
    REQUIRE(notice->actions().size() == 1);
    CHECK(notice->actions()[0]->title() == "OK");
    // the overlay covers the page, the notice lies above it
    auto cover = f.overlayView();
    REQUIRE(cover);
    const auto& layers = f.app.window().subviews();
    auto at = [&](const std::shared_ptr<platform::ui::View>& v) { return std::find(layers.begin(), layers.end(), v); };
    CHECK(at(cover) < at(notice->view()));

    // The sheet was offered once, never refused by the platform; the table
    // is where it was.
    auto offeredOnce = [&] {
        CHECK(f.sharedImages().size() == 1);
        CHECK_FALSE(f.overlayView());
        CHECK_FALSE(f.refusedPresentation());
        CHECK(page->tableView->contentOffset() == offset);
        CHECK_FALSE(velmora::isTakingScreenshot());
    };

    SUBCASE("the notice dismissed first: the sheet follows the image") {
        f.app.advance(0.5);
        REQUIRE(notice->tapAction("OK"));
        f.app.advance(0.3);
        CHECK_FALSE(f.presented<ActivityViewController>());
        f.app.advance(kWalkSeconds - 0.8 - 0.01);
        CHECK(velmora::isTakingScreenshot());
        CHECK(f.overlay.size() == 1);
        f.app.advance(0.01);
        CHECK(f.overlay == std::vector<std::string>{"show, taking", "hide, taking"});
        offeredOnce();

        SUBCASE("sharing again after the sheet is done starts afresh") {
            auto sheet = f.presented<ActivityViewController>();
            REQUIRE(sheet->finish(std::nullopt, false));
            f.app.advance(0.3);
            page->tappedShareButton();
            f.app.settle();
            CHECK(f.overlay.size() == 3);
            CHECK(f.presented<AlertController>());
        }
    }
    SUBCASE("the image ready first: the sheet follows the notice, not before") {
        f.app.advance(kWalkSeconds + 1);
        CHECK(f.overlay.size() == 2);
        CHECK(f.presented<AlertController>() == notice);
        REQUIRE(notice->tapAction("OK"));
        f.app.advance(0.3);
        offeredOnce();
    }
    SUBCASE("a second tap while the screenshot is taken starts no second walk") {
        page->tappedShareButton();
        f.app.advance(kWalkSeconds);
        CHECK(f.app.events("kuvo_tapped_share").size() == 2);
        CHECK(f.overlay == std::vector<std::string>{"show, taking", "hide, taking"});
        REQUIRE(notice->tapAction("OK"));
        f.app.advance(0.3);
        offeredOnce();
    }
}

TEST_CASE("on a tablet the share sheet points at the bottom of the page") {
    platform::ui::Device::current().setUserInterfaceIdiom(platform::ui::UserInterfaceIdiom::pad);
    ShareFixture f;
    f.solve();
    auto page = f.page();
    page->tappedShareButton();
    f.app.settle();
    REQUIRE(f.presented<AlertController>()->tapAction("OK"));
    f.app.advance(kWalkSeconds);
    auto sheet = f.presented<ActivityViewController>();
    platform::ui::Device::current().setUserInterfaceIdiom(platform::ui::UserInterfaceIdiom::phone);
    REQUIRE(sheet);
    auto* popover = sheet->popoverPresentationController();
    REQUIRE(popover);
    auto root = page->view();
    CHECK(popover->sourceView() == root);
    CHECK(popover->sourceRect() == platform::gfx::Rect(0, root->bounds().height(), root->bounds().width(), 50));
}

TEST_CASE("the shared image is the whole solution in pixels") {
    // A small screen, on which steps reach well past the table's width.
    struct SmallScreen {
        platform::gfx::Rect before = platform::ui::Screen::main().bounds();
        SmallScreen() { platform::ui::Screen::main().setBounds({0, 0, 320, 568}); }
        ~SmallScreen() { platform::ui::Screen::main().setBounds(before); }
    } small;
    ShareFixture f;
    f.solve();
    auto page = f.page();
    page->tappedShareButton();
    f.app.settle();
    REQUIRE(f.presented<AlertController>()->tapAction("OK"));
    f.app.advance(kWalkSeconds);
    auto images = f.sharedImages();
    REQUIRE(images.size() == 1);
    auto& table = *page->tableView;

    // As high as the table's content without its (blank) footer view, which
    // the walk leaves out, and as wide as the widest step with its margins
    // (20 + 4 before the formula, 48 + 20 after it), at the screen's scale.
    double footer = table.tableFooterView() ? table.tableFooterView()->frame().height() : 0;
    double rows = table.contentSize().height - footer;
    double widestStep = table.bounds().width();
    int widestRow = -1;
    for (std::size_t r = 0; r < page->solutionSteps.size(); ++r) {
        platform::math::MTMathUILabel typeset;
        typeset.setLatex(velmora::rewriteStepLatex(page->solutionSteps[r]["latexString"]));
        if (24 + typeset.bounds().width() + 68 > widestStep) {
            widestStep = 24 + typeset.bounds().width() + 68;
            widestRow = static_cast<int>(r);
        }
    }
    REQUIRE(widestRow >= 0);  // one step is wider than the table
    // The probability tree (the last chart row) whole: its drawing of 33 ×
    // 2^5 + 200 by 60 × 5 + 140 points for n = 5, on its card, which the
    // page's width places (90 % of it, 5 % in) in a row as wide as the table.
    const auto treeBand = table.rectForRow({1, 2});
    const double pageWidth = page->view()->bounds().width();
    const double treeWidth = table.bounds().width() - 0.9 * pageWidth + (33 * 32 + 200);
    const double treeHeight = treeBand.height() + std::max(0.0, 440 - 0.9 * treeBand.height());
    REQUIRE(treeWidth > widestStep);
    const double widest = treeWidth;
    rows += treeHeight - treeBand.height();
    CHECK(images[0].size().width == doctest::Approx(widest));
    CHECK(images[0].size().height == doctest::Approx(rows));
    std::string why;
    auto pixels = platform::render::rasterize(images[0], {}, &why);
    INFO(why);
    REQUIRE(pixels);
    int width = static_cast<int>(std::ceil(widest * 3 - 1e-6));
    int height = static_cast<int>(std::ceil(rows * 3 - 1e-6));
    CHECK(pixels->width() == width);
    CHECK(pixels->height() == height);
    // the PNG file as another reader sees it
    testsupport::TempDir folder;
    REQUIRE(platform::render::writePNG(*pixels, folder / "solution.png"));
    cairo_surface_t* file = cairo_image_surface_create_from_png((folder / "solution.png").c_str());
    REQUIRE(cairo_surface_status(file) == CAIRO_STATUS_SUCCESS);
    CHECK(cairo_image_surface_get_width(file) == width);
    CHECK(cairo_image_surface_get_height(file) == height);
    cairo_surface_destroy(file);

    SUBCASE("the widest step's end, beyond the table's width, in its row") {
        auto band = table.rectForRow({0, widestRow});
        bool inked = false;
        for (int y = static_cast<int>(band.minY() * 3); y < static_cast<int>(band.maxY() * 3) && !inked; ++y) {
            for (int x = static_cast<int>(table.bounds().width() * 3); x < pixels->width() && !inked; ++x) {
                const Pixel p = pixels->pixel(x, y);
                inked = p.alpha > 200 && p.red < 100 && p.green < 100 && p.blue < 100;
            }
        }
        CHECK(inked);
    }
    SUBCASE("the probability tree to its last leaf, beyond the table's width and the row's height") {
        auto inked = [&](double x0, double x1, double y0, double y1) {
            for (int y = static_cast<int>(y0 * 3); y < static_cast<int>(y1 * 3); ++y) {
                for (int x = static_cast<int>(x0 * 3); x < std::min(pixels->width(), static_cast<int>(x1 * 3)); ++x) {
                    const Pixel p = pixels->pixel(x, y);
                    if (p.alpha > 200 && (p.red < 200 || p.green < 200 || p.blue < 200)) return true;
                }
            }
            return false;
        };
        const double card = 0.05 * pageWidth;
        // The leaves' end of the drawing: its last 150 points, left of its 100-point margin.
        CHECK(inked(card + 1256 - 250, card + 1256 - 100, treeBand.minY(), treeBand.minY() + treeHeight));
        // Its lowest level, the leaves and their labels, below where the row ends on the page.
        CHECK(inked(card, card + 1256, treeBand.maxY(), treeBand.minY() + treeHeight));
    }
    SUBCASE("a step's coloured part, in its row and only there") {
        const Pixel highlight{255, 51, 51, 255};  // "#ff3333", the part about to be evaluated
        int coloured = -1;
        for (std::size_t r = 0; r < page->solutionSteps.size(); ++r) {
            auto latex = page->solutionSteps[r].find("latexString");
            if (latex != page->solutionSteps[r].end() && latex->second.find("ff3333") != std::string::npos) {
                coloured = static_cast<int>(r);
                break;
            }
        }
        REQUIRE(coloured > 0);
        auto band = table.rectForRow({0, coloured});
        CHECK(anyPixelNear(*pixels, static_cast<int>(band.minY() * 3), static_cast<int>(band.maxY() * 3), highlight));
        auto first = table.rectForRow({0, 0});
        CHECK_FALSE(anyPixelNear(*pixels, static_cast<int>(first.minY() * 3), static_cast<int>(first.maxY() * 3),
                                 highlight));
    }
    SUBCASE("the histogram's bar, filled in its colour over the page") {
        table.scrollToRow({1, 0}, platform::ui::TableViewScrollPosition::top, false);
        table.layoutIfNeeded();
        auto cell = table.cellForRow({1, 0});
        REQUIRE(cell);
        auto chart = chartViewIn(*cell);
        REQUIRE(chart);
        REQUIRE(chart->chartOptions());
        // inside the bar of k = 1 (probability 0.36), clear of the grid lines
        auto inChart = chart->geometry().toView({1.25, 0.12});
        auto inCell = chart->convertPoint(inChart, cell.get());
        double top = table.rectForRow({1, 0}).minY();
        Pixel bar = pixels->pixel(static_cast<int>(inCell.x * 3), static_cast<int>((top + inCell.y) * 3));
        Pixel series = hexPixel(platform::charts::seriesColorText(*chart->chartOptions(), 0));
        auto blend = [](std::uint8_t c) { return static_cast<std::uint8_t>(std::lround(0.75 * c + 0.25 * 255)); };
        CAPTURE(int(bar.red));
        CAPTURE(int(bar.green));
        CAPTURE(int(bar.blue));
        CHECK(near(bar, {blend(series.red), blend(series.green), blend(series.blue), 255}, 3));
        // above the bar's top (0.36) the plot is empty
        auto above = chart->convertPoint(chart->geometry().toView({1.25, 0.38}), cell.get());
        CHECK(near(pixels->pixel(static_cast<int>(above.x * 3), static_cast<int>((top + above.y) * 3)),
                   {255, 255, 255, 255}, 3));
    }
}

TEST_CASE("a screenshot that makes no image hides the overlay and offers nothing") {
    ShareFixture f;
    f.solve();
    auto page = f.page();
    // a table whose rows are gone by the time of the walk draws nothing
    struct NoRows : platform::ui::TableViewDataSource {
        int numberOfRows(platform::ui::TableView&, int) override { return 0; }
        std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView&, platform::ui::IndexPath) override {
            return nullptr;
        }
    };
    auto none = std::make_shared<NoRows>();
    page->tableView->setDataSource(none);
    page->tappedShareButton();
    f.app.settle();
    REQUIRE(f.presented<AlertController>()->tapAction("OK"));
    f.app.advance(kWalkSeconds + 1);
    CHECK(f.overlay == std::vector<std::string>{"show, taking", "hide, taking"});
    CHECK_FALSE(velmora::isTakingScreenshot());
    CHECK_FALSE(f.presented<ActivityViewController>());
    CHECK_FALSE(f.presented<AlertController>());
    CHECK_FALSE(f.refusedPresentation());
}
