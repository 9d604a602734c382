#include <doctest/doctest.h>

#include <cmath>
#include <numbers>

#include "platform/gfx/graphics_context.h"
#include "platform/gfx/image.h"
#include "platform/gfx/path.h"

using namespace platform::gfx;

TEST_CASE("a graphics context records what is drawn") {
    GraphicsContext context(Size{200, 100}, 2);
    SUBCASE("operations keep the transform, colour and line width of their moment") {
        context.setStrokeColor(Color::rgb(0, 0.9, 0.46));
        context.setLineWidth(2);
        context.strokeEllipse({85, 60, 30, 30});
        context.saveGState();
        context.translateBy(100, 50);
        context.rotateBy(-std::numbers::pi / 2);
        context.drawText("30%   1", Point{-10, -5}, Font::system(12), Color::systemGray());
        context.restoreGState();
        context.fill({0, 0, 10, 10});

        const auto& ops = context.displayList().ops();
        REQUIRE(ops.size() == 3);
        CHECK(ops[0].kind == DrawOp::Kind::strokeEllipse);
        CHECK(ops[0].lineWidth == 2);
        CHECK(ops[0].color == Color::rgb(0, 0.9, 0.46));
        CHECK(ops[1].kind == DrawOp::Kind::text);
        CHECK(ops[1].text == "30%   1");
        // the text's origin lands where the rotated frame puts it
        Point origin = ops[1].transform.apply({-10, -5});
        CHECK(origin.x == doctest::Approx(95));
        CHECK(origin.y == doctest::Approx(60));
        CHECK(ops[2].transform.isIdentity());
        CHECK(ops[2].color == Color::black());
        CHECK(context.displayList().texts() == std::vector<std::string>{"30%   1"});
    }
    SUBCASE("a path is consumed by the stroke that uses it") {
        context.moveTo({0, 0});
        context.addLineTo({10, 10});
        context.strokePath();
        context.strokePath();
        const auto& ops = context.displayList().ops();
        REQUIRE(ops.size() == 2);
        CHECK(ops[0].path.elements().size() == 2);
        CHECK(ops[1].path.isEmpty());
    }
    SUBCASE("line segments come in pairs") {
        context.strokeLineSegments({{0, 0}, {1, 1}, {2, 2}, {3, 3}, {9, 9}});
        CHECK(context.displayList().ops().front().path.elements().size() == 4);
    }
    SUBCASE("an unbalanced restore is ignored") {
        context.restoreGState();
        context.setAlpha(0.5);
        context.fill({0, 0, 1, 1});
        CHECK(context.displayList().ops().front().alpha == 0.5);
    }
    SUBCASE("the dump shows geometry in the drawing's space") {
        context.translateBy(10, 20);
        context.fill({0, 0, 5, 5});
        CHECK(context.displayList().dump() == "fillRect (10 20 5 5) #000000\n");
    }
}

TEST_CASE("current contexts stack per thread") {
    CHECK(GraphicsContext::current() == nullptr);
    GraphicsContext a, b;
    {
        ContextScope outer(a);
        CHECK(GraphicsContext::current() == &a);
        {
            ContextScope inner(b);
            CHECK(GraphicsContext::current() == &b);
        }
        CHECK(GraphicsContext::current() == &a);
    }
    CHECK(GraphicsContext::current() == nullptr);
}

TEST_CASE("images are recorded drawings") {
    SUBCASE("a renderer draws into a context of its size, current while it draws") {
        auto image = ImageRenderer({40, 30}, {2, false}).image([](GraphicsContext& c) {
            CHECK(GraphicsContext::current() == &c);
            c.drawText("x", Point{0, 0}, Font::system(10));
        });
        REQUIRE(image);
        CHECK(image->size() == Size{40, 30});
        CHECK(image->scale() == 2);
        CHECK(image->drawing().texts() == std::vector<std::string>{"x"});
    }
    SUBCASE("a renderer without area makes no image; the display scale is the default") {
        CHECK_FALSE(ImageRenderer({0, 30}).image([](GraphicsContext&) {}));
        setDisplayScale(3);
        CHECK(ImageRenderer({1, 1}).image(nullptr)->scale() == 3);
    }
    SUBCASE("the begin/end form: an empty context gives no image, pairs stay balanced") {
        beginImageContext({0, 0}, false, 0);
        CHECK_FALSE(imageFromCurrentImageContext());
        beginImageContext({10, 10}, false, 1);
        REQUIRE(GraphicsContext::current());
        GraphicsContext::current()->fill({0, 0, 10, 10});
        auto image = imageFromCurrentImageContext();
        REQUIRE(image);
        CHECK(image->drawing().count(DrawOp::Kind::fillRect) == 1);
        endImageContext();
        CHECK(GraphicsContext::current() == nullptr);
        endImageContext();
        endImageContext();  // one too many: harmless
    }
    SUBCASE("named images: registered ones, symbols, and none for the unknown") {
        Image::registerNamed("main_onboarding_1", Image({300, 200}));
        auto named = Image::named("main_onboarding_1");
        REQUIRE(named);
        CHECK(named->size() == Size{300, 200});
        CHECK(named->name() == "main_onboarding_1");
        CHECK_FALSE(Image::named("no such image"));
        CHECK_FALSE(Image::named(""));
        auto lock = Image::systemNamed("lock.fill");
        REQUIRE(lock);
        CHECK(lock->isSymbol());
        CHECK_FALSE(Image::systemNamed("lock.fil"));
        Image::unregisterAll();
        CHECK_FALSE(Image::named("main_onboarding_1"));
    }
}

TEST_CASE("paths") {
    SUBCASE("a bounding box passes through the arc, not its whole circle") {
        Path quarter = Path::arc({0, 0}, 10, 0, std::numbers::pi / 2, true);
        Rect box = quarter.boundingBox();
        CHECK(box.minX() == doctest::Approx(0).epsilon(1e-9));
        CHECK(box.maxX() == doctest::Approx(10));
        CHECK(box.maxY() == doctest::Approx(10));
        CHECK(box.minY() == doctest::Approx(0).epsilon(1e-9));
        Path other = Path::arc({0, 0}, 10, 0, std::numbers::pi / 2, false);  // the long way round
        CHECK(other.boundingBox().minX() == doctest::Approx(-10));
    }
    SUBCASE("huge angles end") {
        Path big = Path::arc({0, 0}, 1, 0, 1e300, true);
        CHECK(big.boundingBox().width() == doctest::Approx(2));
        Path bad = Path::arc({0, 0}, 1, 0, std::nan(""), true);
        CHECK(bad.boundingBox().width() <= 2);
    }
    SUBCASE("transforms move points; descriptions read back") {
        Path line = Path::line({0, 0}, {10, 0});
        Path moved = line.transformed(AffineTransform::translation(5, 5));
        CHECK(moved.description() == "M 5 5 L 15 5");
        CHECK(Path::rect({1, 2, 3, 4}).description() == "R 1 2 3 4");
    }
}

TEST_CASE("clips and groups enclose what is drawn inside them") {
    GraphicsContext context(Size{100, 100}, 1);
    context.fill({0, 0, 1, 1});
    context.saveGState();
    context.translateBy(10, 20);
    context.addRect({0, 0, 30, 30});
    context.clip();
    context.fill({0, 0, 5, 5});
    context.beginGroup(Shadow{Color::black(), 0.5, {0, 2}, 3, std::nullopt}, nullptr);
    context.fill({1, 1, 5, 5});
    context.fillEllipse({2, 2, 5, 5});
    context.restoreGState();
    context.fill({0, 0, 2, 2});
    const auto& ops = context.displayList().ops();
    REQUIRE(ops.size() == 6);  // the clip itself stays recorded

    CHECK_FALSE(ops[0].scope);
    REQUIRE(ops[2].scope);
    CHECK(ops[2].scope->kind == DrawScope::Kind::clip);
    CHECK(ops[2].scope->transform.apply({0, 0}) == Point{10, 20});
    CHECK(ops[2].scope->clipPath == Path::rect({0, 0, 30, 30}));
    // both shapes of the group share one node, inside the clip
    REQUIRE(ops[3].scope);
    CHECK(ops[3].scope == ops[4].scope);
    CHECK(ops[3].scope->kind == DrawScope::Kind::group);
    CHECK(ops[3].scope->shadow->opacity == 0.5);
    CHECK(ops[3].scope->parent == ops[2].scope);
    CHECK_FALSE(ops[5].scope);  // restored: outside both

    SUBCASE("a recording drawn into another keeps its scopes, moved and placed inside the enclosing one") {
        GraphicsContext outer(Size{200, 200}, 1);
        outer.addRect({0, 0, 150, 150});
        outer.clip();
        outer.translateBy(50, 0);
        outer.drawDisplayList(context.displayList());
        const auto& moved = outer.displayList().ops();
        REQUIRE(moved.size() == 7);
        const auto& enclosing = moved[0];
        CHECK(enclosing.kind == DrawOp::Kind::clip);
        CHECK(moved[1].scope == outer.displayList().ops()[6].scope);  // both at the top of the inner drawing
        REQUIRE(moved[4].scope);
        CHECK(moved[4].scope == moved[5].scope);
        CHECK(moved[4].scope->parent->transform.apply({0, 0}) == Point{60, 20});
        CHECK(moved[4].scope->parent->parent == moved[1].scope);
        CHECK(moved[1].scope->kind == DrawScope::Kind::clip);
        CHECK(moved[1].scope->clipPath == Path::rect({0, 0, 150, 150}));
    }
}
