// Tests of the window-level view operations: key window, loading overlay, toasts on the clock, segment images.
#include <doctest/doctest.h>

#include <cmath>

#include "platform/gfx/appearance.h"
#include "platform/render/rasterizer.h"
#include "platform/ui/application.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/segmented_control.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/table_view.h"
#include "velmora/shell/shell_pages_test_support.h"
#include "velmora/shell/view_manager.h"

using namespace velmora;
using platform::gfx::Rect;
using platform::ui::View;

namespace {

int overlayCount(View& window) {
    int count = 0;
    for (const auto& view : window.allDescendants()) count += view->tag() == ViewManager::loadingOverlayTag;
    return count;
}

std::vector<std::shared_ptr<platform::ui::Label>> toasts(View& root) {
    std::vector<std::shared_ptr<platform::ui::Label>> out;
    for (const auto& sub : root.subviews()) {
        if (auto label = std::dynamic_pointer_cast<platform::ui::Label>(sub)) out.push_back(label);
    }
    return out;
}

}  // namespace

TEST_CASE("the key window is the first window of the first scene") {
    testing::ShellStage stage;
    CHECK(ViewManager::keyWindow().get() == &stage.window());
    auto second = std::make_shared<platform::ui::Window>();
    second->makeKeyAndVisible();
    CHECK(ViewManager::keyWindow().get() == &stage.window());  // first, even when another is key
    auto& app = platform::ui::Application::shared();
    app.disconnectScene(app.connectedScenes().front());
    CHECK(ViewManager::keyWindow() == nullptr);
    SUBCASE("without a window nothing is shown") {
        ViewManager::showLoadingOverlay();
        ViewManager::showToast("nobody sees this");
        CHECK(overlayCount(stage.window()) == 0);
        CHECK(toasts(*stage.root()->view()).empty());
    }
}

TEST_CASE("the loading overlay") {
    testing::ShellStage stage(Rect(0, 0, 400, 800));
    SUBCASE("at most one, and one hide removes it") {
        ViewManager::showLoadingOverlay();
        ViewManager::showLoadingOverlay();
        CHECK(overlayCount(stage.window()) == 1);
        auto overlay = stage.window().viewWithTag(ViewManager::loadingOverlayTag);
        CHECK(overlay->frame() == Rect(0, 0, 400, 800));
        CHECK(overlay->backgroundColor() == platform::gfx::Color::white(0.0, 0.7));
        REQUIRE(overlay->subviews().size() == 1);
        auto spinner = std::dynamic_pointer_cast<platform::ui::ActivityIndicatorView>(overlay->subviews()[0]);
        REQUIRE(spinner);
        CHECK(spinner->style() == platform::ui::ActivityIndicatorStyle::large);
        CHECK(spinner->isAnimating());
        CHECK(spinner->center() == platform::gfx::Point{200, 400});
        ViewManager::hideLoadingOverlay();
        CHECK(overlayCount(stage.window()) == 0);
        ViewManager::hideLoadingOverlay();
        CHECK(overlayCount(stage.window()) == 0);
    }
    SUBCASE("the spinner's colour follows the interface style") {
        struct Row {
            platform::gfx::InterfaceStyle style;
            platform::gfx::Color colour;
        };
        for (const Row& row : {Row{platform::gfx::InterfaceStyle::dark, platform::gfx::Color::white(0.9)},
                               Row{platform::gfx::InterfaceStyle::light,
                                   platform::gfx::Color::tertiarySystemGroupedBackground()}}) {
            platform::gfx::InterfaceStyleScope style(row.style);
            ViewManager::showLoadingOverlay();
            auto overlay = stage.window().viewWithTag(ViewManager::loadingOverlayTag);
            auto spinner = std::dynamic_pointer_cast<platform::ui::ActivityIndicatorView>(overlay->subviews()[0]);
            CHECK(spinner->color()->rgba() == row.colour.rgba());
            ViewManager::hideLoadingOverlay();
        }
    }
    SUBCASE("a window away from the screen's corner is covered from its own corner") {
        stage.window().setFrame(Rect(100, 50, 400, 800));
        ViewManager::showLoadingOverlay();
        CHECK(stage.window().viewWithTag(ViewManager::loadingOverlayTag)->frame() == Rect(0, 0, 400, 800));
    }
    SUBCASE("the on-main variants wait for the main queue") {
        ViewManager::showLoadingOverlayOnMain();
        CHECK(overlayCount(stage.window()) == 0);
        stage.settle();
        CHECK(overlayCount(stage.window()) == 1);
        ViewManager::hideLoadingOverlayOnMain();
        CHECK(overlayCount(stage.window()) == 1);
        stage.settle();
        CHECK(overlayCount(stage.window()) == 0);
    }
}

TEST_CASE("toasts show for three seconds and fade out over two") {
    testing::ShellStage stage(Rect(0, 0, 400, 800));
    auto& root = *stage.root()->view();
    ViewManager::showToast("The value must be a whole number.");
    auto shown = toasts(root);
    REQUIRE(shown.size() == 1);
    auto toast = shown[0];
    CHECK(toast->frame() == Rect(20, 680, 360, 40));
    CHECK(toast->text() == "The value must be a whole number.");
    CHECK(toast->textAlignment() == platform::ui::TextAlignment::center);
    CHECK(toast->font().name() == "Avenir-Book");
    CHECK(toast->font().pointSize() == 14);
    CHECK(toast->layer()->cornerRadius() == 10);
    CHECK(toast->clipsToBounds());
    CHECK(toast->backgroundColor()->alpha() == 1.0);

    stage.advance(2.9);
    CHECK(toast->alpha() == 1.0);
    stage.advance(0.1);  // 3 s: the fade begins
    CHECK(toast->alpha() == 0.0);
    CHECK(toast->superview() != nullptr);
    ViewManager::showToast("second");
    stage.advance(1.9);  // 4.9 s
    CHECK(toasts(root).size() == 2);
    stage.advance(0.1);  // 5 s: the first is gone, the second lies on
    shown = toasts(root);
    REQUIRE(shown.size() == 1);
    CHECK(shown[0]->text() == "second");
    stage.advance(3);
    CHECK(toasts(root).empty());
}

TEST_CASE("a toast holds every line of its message, growing upwards from its bottom") {
    testing::ShellStage stage(Rect(0, 0, 400, 800));
    auto& root = *stage.root()->view();
    const std::string path = "/home/someone/.local/share/velmora/Preferences/com.velmora.bernoulli.plist";
    const auto font = *platform::gfx::Font::named("Avenir-Book", 14);
    const std::vector<std::string> messages{"Saved.", "The value must be a whole number between 1 and 200.",
                                            "The history could not be saved: cannot write " + path +
                                                ": No space left on device"};
    for (const auto& message : messages) {
        CAPTURE(message);
        ViewManager::showToast(message);
        auto toast = toasts(root).back();
        // The lines within the 16 points kept clear at each side, and 8 above and below them.
        const double lines = font.measure(message, 360 - 32, 0).height;
        CHECK(toast->frame().maxY() == 720);
        CHECK(toast->frame().height() >= lines + 16);
        CHECK(toast->frame().height() == std::max(40.0, std::ceil(lines) + 16));
        CHECK(toast->numberOfLines() == 0);
        stage.advance(5);
    }
}

TEST_CASE("a toast is opaque and keeps its text clear of its capsule's edges, on every screen, in both styles") {
    using platform::render::Pixel;
    const std::vector<std::string> messages{
        "The value must be a whole number.",
        "The value must be greater than 0 and less than 1, such as 0.25 or 1/4.",
        "The history could not be saved: cannot write /home/someone/.local/share/velmora/Preferences/"
        "com.velmora.bernoulli.plist: No space left on device"};
    for (const auto style : {platform::gfx::InterfaceStyle::light, platform::gfx::InterfaceStyle::dark}) {
        for (const double width : {320.0, 430.0}) {
            for (const auto& message : messages) {
                CAPTURE(static_cast<int>(style));
                CAPTURE(width);
                CAPTURE(message);
                platform::gfx::InterfaceStyleScope scope(style);
                testing::ShellStage stage(Rect(0, 0, width, 600));
                auto& root = *stage.root()->view();
                // Black and white bars under the toast, as the keypad's keys and the gaps between them.
                for (double x = 0; x < width; x += 8) {
                    auto bar = std::make_shared<View>(Rect(x, 0, 4, 600));
                    bar->setBackgroundColor(platform::gfx::Color::white(static_cast<int>(x) % 16 == 0 ? 0.0 : 1.0));
                    root.addSubview(bar);
                }
                ViewManager::showToast(message);
                auto toast = toasts(root).back();
                auto image = stage.window().snapshotImage();
                REQUIRE(image);
                auto pixels = platform::render::rasterize(*image, {1, platform::gfx::Color::white()});
                REQUIRE(pixels);
                const Rect frame = toast->frame();
                const int top = static_cast<int>(std::ceil(frame.minY())), bottom = static_cast<int>(frame.maxY());
                const int left = static_cast<int>(std::ceil(frame.minX())), right = static_cast<int>(frame.maxX());
                // Its colour: the middle of its top row, below the corners' curve.
                const Pixel fill = pixels->pixel(static_cast<int>(frame.midX()), top + 1);
                auto differs = [&](Pixel p) {
                    return std::abs(p.red - fill.red) + std::abs(p.green - fill.green) + std::abs(p.blue - fill.blue) > 24;
                };
                // Opaque: the first and last rows inside the corners are the toast's colour alone.
                int seen = 0;
                for (int x = left + 12; x < right - 12; ++x) {
                    seen += differs(pixels->pixel(x, top + 1)) + differs(pixels->pixel(x, bottom - 2));
                }
                CHECK(seen == 0);
                // The letters: everything else drawn in the toast, kept 10 points
                // (the corners' radius) from its sides and 6 from its top and bottom.
                int inkLeft = right, inkRight = left, inkTop = bottom, inkBottom = top;
                for (int y = top; y < bottom; ++y) {
                    for (int x = left; x < right; ++x) {
                        if (!differs(pixels->pixel(x, y))) continue;
                        // The corners' curve shows what lies outside it.
                        const bool corner = (x < left + 10 || x >= right - 10) && (y < top + 10 || y >= bottom - 10);
                        if (corner) continue;
                        inkLeft = std::min(inkLeft, x);
                        inkRight = std::max(inkRight, x);
                        inkTop = std::min(inkTop, y);
                        inkBottom = std::max(inkBottom, y);
                    }
                }
                REQUIRE(inkLeft < inkRight);  // the message is drawn
                CHECK(inkLeft >= left + 10);
                CHECK(inkRight < right - 10);
                CHECK(inkTop >= top + 6);
                CHECK(inkBottom < bottom - 6);
                stage.advance(5);
            }
        }
    }
}

TEST_CASE("segment images become aspect-fit inside plain and stack views only") {
    auto makeControl = [] {
        auto control = std::make_shared<platform::ui::SegmentedControl>();
        control->insertSegment(platform::gfx::Image(platform::gfx::Size{10, 10}), 0);
        control->insertSegment(platform::gfx::Image(platform::gfx::Size{10, 10}), 1);
        control->layoutSubviews();
        return control;
    };
    auto imageModes = [](platform::ui::SegmentedControl& control) {
        std::vector<platform::ui::ContentMode> modes;
        for (const auto& view : ViewManager::collectSubviews(control)) {
            if (platform::ui::isKindOf<platform::ui::ImageView>(*view)) modes.push_back(view->contentMode());
        }
        return modes;
    };
    struct StackSubclass : platform::ui::StackView {};
    auto root = std::make_shared<View>();
    auto plain = std::make_shared<View>();
    auto stack = std::make_shared<platform::ui::StackView>();
    auto nested = makeControl();
    stack->addSubview(nested);
    plain->addSubview(stack);
    root->addSubview(plain);
    auto direct = makeControl();
    root->addSubview(direct);
    auto cell = std::make_shared<platform::ui::TableViewCell>();
    auto inCell = makeControl();
    cell->addSubview(inCell);
    root->addSubview(cell);
    auto subclass = std::make_shared<StackSubclass>();
    auto inSubclass = makeControl();
    subclass->addSubview(inSubclass);
    root->addSubview(subclass);

    REQUIRE(imageModes(*nested).size() == 2);
    ViewManager::setSegmentImagesAspectFit(*root);
    const auto fit = std::vector<platform::ui::ContentMode>(2, platform::ui::ContentMode::scaleAspectFit);
    CHECK(imageModes(*nested) == fit);
    CHECK(imageModes(*direct) == fit);
    CHECK(imageModes(*inCell) != fit);
    CHECK(imageModes(*inSubclass) != fit);
}
