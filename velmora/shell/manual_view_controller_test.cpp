// Tests of the manual page: the image by name, the title, zooming, and closing.
#include <doctest/doctest.h>

#include "platform/foundation/bundle.h"
#include "platform/gfx/image.h"
#include "platform/ui/interaction.h"
#include "velmora/shell/manual_view_controller.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;

TEST_CASE("the manual page shows the named image, zooms it and closes") {
    testing::ShellStage stage;
    platform::gfx::Image::registerNamed("manual_bernoulli", platform::gfx::Image(platform::gfx::Size{300, 600}));

    SUBCASE("the image by its name, under the assistance title") {
        auto page = ManualViewController::present(*stage.root(), "manual_bernoulli");
        stage.advance(0.3);
        CHECK(stage.root()->presentedViewController() == page);
        CHECK(page->presentedStyle() == platform::ui::ModalPresentationStyle::pageSheet);
        REQUIRE(page->imageView->image());
        CHECK(page->imageView->image()->size() == platform::gfx::Size{300, 600});
        CHECK(page->label->text() == platform::Bundle::main().localizedString("Assistance"));
        CHECK(page->label->text() != "Assistance");  // the bundle has its translation

        page->scrollView->setZoomScale(2);
        CHECK(page->imageView->transform() == platform::gfx::AffineTransform::scale(2, 2));
        page->scrollView->setZoomScale(40);
        CHECK(page->scrollView->zoomScale() == page->scrollView->maximumZoomScale());

        auto close = platform::ui::findView(stage.window(), ManualViewController::closeButtonIdentifier);
        REQUIRE(close);
        CHECK(close == page->closeButton);
        CHECK(platform::ui::tap(*close));
        stage.advance(0.3);
        CHECK(stage.root()->presentedViewController() == nullptr);
    }
    SUBCASE("an empty or unknown name shows an empty image view") {
        for (const std::string name : {"", "no_such_manual"}) {
            CAPTURE(name);
            auto page = ManualViewController::present(*stage.root(), name);
            stage.advance(0.3);
            CHECK(page->isViewLoaded());
            CHECK_FALSE(page->imageView->image());
            page->closeButtonPressed();
            stage.advance(0.3);
            CHECK(stage.root()->presentedViewController() == nullptr);
        }
    }
}
