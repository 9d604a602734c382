#include <doctest/doctest.h>

#include <numbers>

#include "platform/dispatch/timer.h"
#include "platform/gfx/layer.h"

using namespace platform::gfx;

TEST_CASE("layer geometry and tree") {
    auto root = Layer::make();
    SUBCASE("the frame is the bounds placed around the position") {
        root->setFrame({10, 20, 100, 50});
        CHECK(root->position() == Point{60, 45});
        CHECK(root->bounds() == Rect(0, 0, 100, 50));
        root->setBounds({0, 30, 100, 80});  // a scrolled, taller content
        CHECK(root->frame() == Rect(10, 5, 100, 80));
    }
    SUBCASE("sublayers keep their order and have one superlayer") {
        auto a = Layer::make(), b = Layer::make(), c = Layer::make();
        root->addSublayer(a);
        root->addSublayer(b);
        root->insertSublayerBelow(c, b.get());
        CHECK(root->sublayers() == std::vector<std::shared_ptr<Layer>>{a, c, b});
        root->insertSublayerAbove(a, b.get());
        CHECK(root->sublayers() == std::vector<std::shared_ptr<Layer>>{c, b, a});
        auto other = Layer::make();
        other->addSublayer(c);
        CHECK(c->superlayer() == other.get());
        CHECK(root->sublayers().size() == 2);
        b->removeFromSuperlayer();
        CHECK(b->superlayer() == nullptr);
        CHECK(root->sublayers() == std::vector<std::shared_ptr<Layer>>{a});
        root->addSublayer(root);  // a layer cannot hold itself
        CHECK(root->sublayers().size() == 1);
    }
}

TEST_CASE("rendering a layer tree") {
    auto root = Layer::make();
    root->setFrame({0, 0, 100, 100});
    root->setBackgroundColor(Color::white());
    root->setBorderWidth(2);
    root->setBorderColor(Color::red());
    auto child = ShapeLayer::make();
    child->setFrame({10, 10, 20, 20});
    child->setPath(Path::ellipse({0, 0, 20, 20}));
    child->setFillColor(std::nullopt);
    child->setStrokeColor(Color::rgb(0, 0, 1));
    child->setLineWidth(5);
    child->setOpacity(0.5);
    root->addSublayer(child);
    auto hidden = Layer::make();
    hidden->setFrame({0, 0, 5, 5});
    hidden->setBackgroundColor(Color::black());
    hidden->setHidden(true);
    root->addSublayer(hidden);

    GraphicsContext context;
    root->renderInContext(context);
    const auto& ops = context.displayList().ops();
    REQUIRE(ops.size() == 3);
    CHECK(ops[0].kind == DrawOp::Kind::fillRect);
    CHECK(ops[1].kind == DrawOp::Kind::strokePath);  // the shape, inside its frame
    CHECK(ops[1].alpha == 0.5);
    CHECK(ops[1].lineWidth == 5);
    CHECK(ops[1].transform.apply({0, 0}) == Point{10, 10});
    CHECK(ops[2].kind == DrawOp::Kind::strokeRect);  // the border last, over the content
    CHECK(ops[2].color == Color::red());

    SUBCASE("a rounded, clipping layer fills and clips its rounded outline") {
        root->setCornerRadius(10);
        root->setMasksToBounds(true);
        GraphicsContext rounded;
        root->renderInContext(rounded);
        CHECK(rounded.displayList().ops()[0].kind == DrawOp::Kind::fillPath);
        CHECK(rounded.displayList().count(DrawOp::Kind::clip) == 1);
    }
    SUBCASE("a delegate draws the layer's own content") {
        struct Painter : LayerDelegate {
            int calls = 0;
            void drawLayer(Layer&, GraphicsContext& c) override {
                ++calls;
                c.drawText("drawn", Point{0, 0}, Font::system(10));
            }
        } painter;
        root->setDelegate(&painter);
        GraphicsContext drawn;
        root->renderInContext(drawn);
        CHECK(painter.calls == 1);
        CHECK(drawn.displayList().texts() == std::vector<std::string>{"drawn"});
        root->setDelegate(nullptr);
    }
}

TEST_CASE("animations take effect at once and end on the clock") {
    platform::dispatch::ManualTime time;
    auto layer = ShapeLayer::make();

    SUBCASE("the end value shows at once; the animation leaves after its duration") {
        std::vector<bool> stops;
        BasicAnimation a;
        a.keyPath = "strokeEnd";
        a.fromValue = 0;
        a.toValue = 1;
        a.duration = 1;
        a.onStop = [&](bool finished) { stops.push_back(finished); };
        layer->setStrokeEnd(0);
        layer->addAnimation(a, "animateCircle");
        CHECK(layer->presentationValue("strokeEnd") == 1);
        CHECK(layer->modelValue("strokeEnd") == 0);
        time.advance(0.99);
        CHECK(stops.empty());
        CHECK(layer->animation("animateCircle"));
        time.advance(0.01);
        CHECK(stops == std::vector<bool>{true});
        CHECK_FALSE(layer->animation("animateCircle"));
        CHECK(layer->presentationValue("strokeEnd") == 0);
    }
    SUBCASE("kept animations stay after they end; replacing one stops it unfinished") {
        std::vector<bool> stops;
        BasicAnimation spin;
        spin.keyPath = "transform.rotation.z";
        spin.toValue = -std::numbers::pi;
        spin.duration = 1;
        spin.removedOnCompletion = false;
        spin.fillMode = FillMode::forwards;
        spin.onStop = [&](bool finished) { stops.push_back(finished); };
        layer->addAnimation(spin, "rotationAnimation");
        time.advance(2);
        CHECK(stops == std::vector<bool>{true});
        CHECK(layer->presentationValue("transform.rotation.z") == doctest::Approx(-std::numbers::pi));
        layer->addAnimation(spin, "rotationAnimation");
        layer->addAnimation(spin, "rotationAnimation");  // the second replaces the first at once
        CHECK(stops == std::vector<bool>{true, false});
        CHECK(layer->animationKeys() == std::vector<std::string>{"rotationAnimation"});
        layer->removeAllAnimations();
        CHECK(stops == std::vector<bool>{true, false, false});
        time.advance(5);
        CHECK(stops.size() == 3);
    }
    SUBCASE("a transaction completes after its longest animation") {
        int completed = 0;
        Transaction::begin();
        Transaction::setCompletionBlock([&] { ++completed; });
        BasicAnimation shortOne, longOne;
        shortOne.keyPath = longOne.keyPath = "opacity";
        shortOne.duration = 0.5;
        longOne.duration = 1.5;
        layer->addAnimation(shortOne, "a");
        layer->addAnimation(longOne, "b");
        Transaction::commit();
        time.advance(1.4);
        CHECK(completed == 0);
        time.advance(0.1);
        CHECK(completed == 1);
    }
    SUBCASE("a transaction without animations completes on the next turn of the main queue") {
        int completed = 0;
        Transaction::begin();
        Transaction::setCompletionBlock([&] { ++completed; });
        Transaction::commit();
        CHECK(completed == 0);
        time.settle();
        CHECK(completed == 1);
    }
}

TEST_CASE("a layer's shadow, mask and border in its drawing") {
    auto layer = Layer::make();
    layer->setFrame({0, 0, 40, 20});
    layer->setBackgroundColor(Color::white());
    auto child = Layer::make();
    child->setFrame({5, 5, 10, 10});
    child->setBackgroundColor(Color::red());
    layer->addSublayer(child);
    auto draw = [&] {
        GraphicsContext context;
        layer->renderInContext(context);
        return context.takeDisplayList();
    };

    SUBCASE("without shadow or mask nothing is grouped") {
        auto list = draw();
        for (const auto& op : list.ops()) CHECK_FALSE(op.scope);
    }
    SUBCASE("a shadow groups the layer with its sublayers") {
        layer->setShadowOpacity(0.7);
        layer->setShadowOffset({0, 1});
        layer->setShadowRadius(1);
        auto list = draw();
        REQUIRE(list.size() == 2);
        REQUIRE(list.ops()[0].scope);
        CHECK(list.ops()[0].scope == list.ops()[1].scope);
        const auto& shadow = list.ops()[0].scope->shadow;
        REQUIRE(shadow);
        CHECK(shadow->offset == Size{0, 1});
        CHECK(shadow->color == Color::black());
        SUBCASE("but not when the layer clips to its bounds") {
            layer->setMasksToBounds(true);
            auto clipped = draw();
            for (const auto& op : clipped.ops()) {
                if (op.scope) CHECK(op.scope->kind == DrawScope::Kind::clip);
            }
        }
    }
    SUBCASE("a mask is recorded in the layer's space, moved by its scroll offset") {
        auto mask = Layer::make();
        mask->setFrame({10, 0, 20, 20});
        mask->setBackgroundColor(Color::black());
        layer->setMask(mask);
        layer->setBounds({0, 4, 40, 20});
        auto list = draw();
        REQUIRE(list.ops()[0].scope);
        const auto& drawing = list.ops()[0].scope->mask;
        REQUIRE(drawing);
        REQUIRE(drawing->size() == 1);
        CHECK(drawing->dump() == "fillRect (10 -4 20 20) #000000\n");
    }
    SUBCASE("a border lies inside the bounds and follows rounded corners") {
        layer->setBorderWidth(4);
        layer->setBorderColor(Color::red());
        auto square = draw();
        CHECK(square.ops().back().transform.apply(square.ops().back().rect.origin) == Point{2, 2});
        CHECK(square.ops().back().rect.size == Size{36, 16});
        layer->setCornerRadius(6);
        auto roundedList = draw();
        const auto& rounded = roundedList.ops().back();
        CHECK(rounded.kind == DrawOp::Kind::strokePath);
        CHECK(rounded.path == Path::roundedRect({2, 2, 36, 16}, 4));
    }
}
