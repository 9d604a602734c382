#include <doctest/doctest.h>

#include <algorithm>

#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/gfx/graphics_context.h"
#include "platform/ui/application.h"
#include "platform/ui/interaction.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

using namespace platform;
using platform::input::DTTextField;

TEST_CASE("the input field's marking colour and background layer") {
    auto field = std::make_shared<DTTextField>(gfx::Rect(0, 0, 200, 40));
    SUBCASE("the marking colour is the background layer's border") {
        field->setMarkingColor(gfx::Color::systemRed());
        CHECK(field->backgroundLayer()->borderColor() == gfx::Color::systemRed());
        CHECK(field->backgroundLayer()->borderWidth() > 0);
        field->setMarkingColor(gfx::Color::systemOrange());
        CHECK(field->backgroundLayer()->borderColor() == gfx::Color::systemOrange());
    }
    SUBCASE("the background layer lies under the field's content and fills it") {
        CHECK(field->layer()->sublayers().front() == field->backgroundLayer());
        field->setFrame({0, 0, 300, 50});
        field->layoutIfNeeded();
        CHECK(field->backgroundLayer()->frame() == gfx::Rect(0, 0, 300, 50));
        field->backgroundLayer()->setBackgroundColor(gfx::Color::systemFill());
        std::vector<std::string> notes;
        field->describe(notes);
        CHECK(std::find(notes.begin(), notes.end(), "fieldBg=systemFill") != notes.end());
    }
    SUBCASE("the text, or the placeholder, is drawn over the background, once") {
        struct Case {
            std::string text, placeholder, shown;
        };
        for (const auto& c : std::vector<Case>{{"1/4", "p", "1/4"}, {"", "p", "p"}}) {
            CAPTURE(c.shown);
            field->setPlaceholder(c.placeholder);
            field->setText(c.text);
            field->layoutIfNeeded();
            auto image = field->snapshotImage();
            REQUIRE(image);
            const auto& ops = image->drawing().ops();
            auto background = std::find_if(ops.begin(), ops.end(), [](const gfx::DrawOp& op) {
                return op.color == gfx::Color::systemBackground() &&
                       (op.kind == gfx::DrawOp::Kind::fillPath || op.kind == gfx::DrawOp::Kind::fillRect);
            });
            auto text = std::find_if(ops.begin(), ops.end(), [&](const gfx::DrawOp& op) {
                return op.kind == gfx::DrawOp::Kind::text && op.text == c.shown && op.rect.width() == 200;
            });
            REQUIRE(background != ops.end());
            REQUIRE(text != ops.end());
            CHECK(background < text);
            CHECK(std::count_if(ops.begin(), ops.end(), [&](const gfx::DrawOp& op) {
                      return op.kind == gfx::DrawOp::Kind::text && op.text == c.shown && op.rect.width() == 200;
                  }) == 1);
        }
    }
}

TEST_CASE("text set by code shows or hides the floating label at once") {
    // The calculator's own keypad sets the text; no layout pass follows.
    DTTextField field(gfx::Rect(0, 0, 200, 40));
    field.setPlaceholder("n");
    field.layoutIfNeeded();
    CHECK_FALSE(field.isFloatingLabelShown());
    field.setText("5");
    CHECK(field.isFloatingLabelShown());
    CHECK(field.floatingLabel()->text() == "n");
    field.setPlaceholder("p");
    CHECK(field.floatingLabel()->text() == "p");
    field.setText("");
    CHECK_FALSE(field.isFloatingLabelShown());
    field.setPlaceholder("");
    field.setText("0.3");
    CHECK_FALSE(field.isFloatingLabelShown());  // nothing to float
}

TEST_CASE("the floating label shows the placeholder once there is text") {
    ui::Application::shared().reset();
    auto window = std::make_shared<ui::Window>();
    auto page = std::make_shared<ui::ViewController>();
    window->setRootViewController(page);
    window->makeKeyAndVisible();
    auto field = std::make_shared<DTTextField>(gfx::Rect(20, 100, 200, 40));
    page->view()->addSubview(field);
    field->setPlaceholder("k");
    field->setFloatingLabelActiveColor(gfx::Color::rgb(0, 0.26, 0.79));
    field->setFloatingLabelColor(gfx::Color::rgb(0.56, 0.61, 1.0));
    field->setFloatingLabelOffset(-12);
    field->setFloatingLabelFont(*gfx::Font::named("HelveticaNeue", 10));
    window->layoutIfNeeded();
    CHECK_FALSE(field->isFloatingLabelShown());
    REQUIRE(ui::tap(*field));
    CHECK_FALSE(field->isFloatingLabelShown());
    ui::typeText(*window, "2");
    CHECK(field->isFloatingLabelShown());
    CHECK(field->floatingLabel()->text() == "k");
    CHECK(field->floatingLabel()->textColor() == gfx::Color::rgb(0, 0.26, 0.79));  // editing
    CHECK(field->floatingLabel()->frame().minY() == -12);
    CHECK(field->floatingLabel()->font().name() == "HelveticaNeue");
    field->resignFirstResponder();
    CHECK(field->floatingLabel()->textColor() == gfx::Color::rgb(0.56, 0.61, 1.0));
    field->setShowsFloatingLabelAlways(true);
    field->setText("");
    CHECK(field->isFloatingLabelShown());
    CHECK(ui::isExactly<DTTextField>(*field));
    CHECK_FALSE(ui::isExactly<ui::TextField>(*field));
}
