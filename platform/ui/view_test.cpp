#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/ui/application.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/window.h"

using namespace platform::ui;

namespace {

struct CountingView : View {
    using View::View;
    int windowMoves = 0;
    int draws = 0;
    void didMoveToWindow() override { ++windowMoves; }
    void draw(const Rect&) override {
        ++draws;
        if (auto* c = platform::gfx::GraphicsContext::current()) c->drawText("painted", Point{0, 0}, Font::system(9));
    }
};

struct SpecialStack : StackView {};

}  // namespace

TEST_CASE("the view tree") {
    auto root = std::make_shared<View>(Rect(0, 0, 100, 100));
    auto a = std::make_shared<View>(), b = std::make_shared<View>(), c = std::make_shared<View>();

    SUBCASE("subviews and their layers keep one order") {
        root->addSubview(a);
        root->addSubview(b);
        root->insertSubview(c, 1);
        CHECK(root->subviews() == std::vector<std::shared_ptr<View>>{a, c, b});
        root->bringSubviewToFront(a.get());
        root->sendSubviewToBack(b.get());
        CHECK(root->subviews() == std::vector<std::shared_ptr<View>>{b, c, a});
        const auto& layers = root->layer()->sublayers();
        REQUIRE(layers.size() == 3);
        CHECK(layers[0] == b->layer());
        CHECK(layers[1] == c->layer());
        CHECK(layers[2] == a->layer());
        root->insertSubviewAbove(b, a.get());
        CHECK(root->subviews().back() == b);
        CHECK(root->layer()->sublayers().back() == b->layer());
    }
    SUBCASE("a view has one superview and cannot hold an ancestor") {
        root->addSubview(a);
        a->addSubview(b);
        b->addSubview(root);  // would make a cycle
        CHECK(root->superview() == nullptr);
        c->addSubview(b);
        CHECK(b->superview() == c);
        CHECK(a->subviews().empty());
        CHECK(b->isDescendantOf(c.get()));
        CHECK_FALSE(b->isDescendantOf(root.get()));
        b->removeFromSuperview();
        CHECK(c->subviews().empty());
        CHECK(b->layer()->superlayer() == nullptr);
    }
    SUBCASE("a tag is found depth first, the view itself first") {
        root->setTag(7);
        a->setTag(101);
        c->setTag(101);
        root->addSubview(b);
        b->addSubview(c);
        root->addSubview(a);
        CHECK(root->viewWithTag(7) == root);
        CHECK(root->viewWithTag(101) == c);
        CHECK(root->viewWithTag(5) == nullptr);
        auto all = root->allDescendants();
        CHECK(all == std::vector<std::shared_ptr<View>>{b, c, a});
    }
    SUBCASE("tint colours are inherited") {
        root->addSubview(a);
        a->addSubview(b);
        CHECK(b->tintColor() == Color::systemBlue());
        root->setTintColor(Color::white(0.1));
        CHECK(b->tintColor() == Color::white(0.1));
        a->setTintColor(Color::red());
        CHECK(b->tintColor() == Color::red());
        CHECK_FALSE(b->hasOwnTintColor());
    }
    SUBCASE("exact classes and kinds") {
        auto stack = std::make_shared<StackView>();
        auto special = std::make_shared<SpecialStack>();
        CHECK(isExactly<StackView>(*stack));
        CHECK_FALSE(isExactly<StackView>(*special));
        CHECK(isKindOf<StackView>(*special));
        CHECK_FALSE(isExactly<View>(*stack));
        CHECK(special->className() == "SpecialStack");
        CHECK(stack->className() == "StackView");
    }
}

TEST_CASE("views in a window") {
    Application::shared().reset();
    auto window = std::make_shared<Window>(Rect(0, 0, 400, 800));
    auto holder = std::make_shared<View>(Rect(0, 0, 400, 800));
    auto counting = std::make_shared<CountingView>(Rect(10, 10, 50, 50));

    SUBCASE("moving into and out of a window is told down the tree") {
        holder->addSubview(counting);
        CHECK(counting->windowMoves == 0);
        window->addSubview(holder);
        CHECK(counting->windowMoves == 1);
        CHECK(counting->window() == window);
        holder->removeFromSuperview();
        CHECK(counting->windowMoves == 2);
        CHECK(counting->window() == nullptr);
    }
    SUBCASE("on screen means in a shown window, nothing above hidden or transparent") {
        window->addSubview(holder);
        holder->addSubview(counting);
        CHECK(counting->isHiddenOnScreen());  // the window is not shown yet
        window->makeKeyAndVisible();
        CHECK_FALSE(counting->isHiddenOnScreen());
        holder->setAlpha(0);
        CHECK(counting->isHiddenOnScreen());
        holder->setAlpha(1);
        holder->setHidden(true);
        CHECK(counting->isHiddenOnScreen());
    }
    SUBCASE("safe-area insets are where a view overlaps the window's") {
        window->setWindowSafeAreaInsets({47, 0, 34, 0});
        window->addSubview(holder);
        CHECK(holder->safeAreaInsets().top == 47);
        CHECK(holder->safeAreaInsets().bottom == 34);
        auto middle = std::make_shared<View>(Rect(0, 100, 400, 100));
        window->addSubview(middle);
        CHECK(middle->safeAreaInsets().top == 0);
        CHECK(middle->safeAreaInsets().bottom == 0);
        CHECK(std::make_shared<View>()->safeAreaInsets().bottom == 0);
    }
    SUBCASE("coordinates convert through frames and scroll offsets") {
        auto scroll = std::make_shared<ScrollView>(Rect(0, 100, 400, 300));
        window->addSubview(scroll);
        auto inside = std::make_shared<View>(Rect(20, 500, 10, 10));
        scroll->addSubview(inside);
        scroll->setContentOffset({0, 450});
        CHECK(inside->convertPoint({0, 0}, nullptr) == Point{20, 150});
        CHECK(window->convertPoint({20, 150}, inside.get()) == Point{0, 0});
        CHECK(inside->convertRect(Rect(1, 1, 2, 2), scroll.get()) == Rect(21, 501, 2, 2));
    }
    SUBCASE("hit testing finds the deepest interactive view") {
        window->addSubview(holder);
        CHECK(window->hitTest({5, 5}) == nullptr);  // a window not shown takes no touches
        window->makeKeyAndVisible();
        auto button = std::make_shared<Button>(Rect(100, 100, 80, 40));
        button->setTitle("Go");
        holder->addSubview(button);
        CHECK(window->hitTest({110, 110}) == button);  // not its title label
        CHECK(window->hitTest({5, 5}) == holder);
        button->setUserInteractionEnabled(false);
        CHECK(window->hitTest({110, 110}) == holder);
    }
}

TEST_CASE("a view follows its superview's size by its autoresizing mask") {
    auto parent = std::make_shared<View>(Rect(0, 0, 100, 100));
    auto fill = std::make_shared<View>(Rect(10, 10, 80, 80));
    fill->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    auto pinned = std::make_shared<View>(Rect(10, 10, 20, 20));
    pinned->setAutoresizingMask(autoresizing::flexibleLeftMargin | autoresizing::flexibleTopMargin);
    auto split = std::make_shared<View>(Rect(10, 10, 20, 20));
    split->setAutoresizingMask(autoresizing::flexibleLeftMargin | autoresizing::flexibleRightMargin);
    for (auto& v : {fill, pinned, split}) parent->addSubview(v);
    parent->setFrame({0, 0, 200, 150});
    CHECK(fill->frame() == Rect(10, 10, 180, 130));
    CHECK(pinned->frame() == Rect(110, 60, 20, 20));
    CHECK(split->frame() == Rect(60, 10, 20, 20));
}

TEST_CASE("constraints place subviews") {
    auto root = std::make_shared<View>(Rect(0, 0, 300, 600));
    auto title = std::make_shared<Label>();
    title->setText("Given values");
    title->setFont(*Font::named("Avenir-Book", 14));
    auto body = std::make_shared<View>();
    for (auto& v : std::vector<std::shared_ptr<View>>{title, body}) {
        v->setTranslatesAutoresizingMaskIntoConstraints(false);
        root->addSubview(v);
    }
    LayoutConstraint::activate({
        title->topAnchor().constraint(root->topAnchor(), 20),
        title->leadingAnchor().constraint(root->leadingAnchor(), 16),
        body->topAnchor().constraint(title->bottomAnchor(), 8),
        body->leadingAnchor().constraint(root->leadingAnchor()),
        body->trailingAnchor().constraint(root->trailingAnchor(), -50),
        body->bottomAnchor().constraint(root->bottomAnchor()),
    });
    root->layoutIfNeeded();
    Size titleSize = title->intrinsicContentSize();
    CHECK(title->frame() == Rect(16, 20, titleSize.width, titleSize.height));
    CHECK(body->frame() == Rect(0, 20 + titleSize.height + 8, 250, 600 - (20 + titleSize.height + 8)));

    SUBCASE("the holder is the nearest common ancestor; a constant change lays out again") {
        REQUIRE(root->constraints().size() == 6);
        auto trailing = root->constraints()[4];
        CHECK(trailing->secondItem() == root);
        CHECK(trailing->secondAttribute() == LayoutAttribute::trailing);
        trailing->setConstant(-10);
        CHECK(root->needsLayout());
        root->layoutIfNeeded();
        CHECK(body->frame().width() == 290);
    }
    SUBCASE("a size constant and a centre") {
        auto badge = std::make_shared<View>();
        badge->setTranslatesAutoresizingMaskIntoConstraints(false);
        root->addSubview(badge);
        LayoutConstraint::activate({badge->widthAnchor().constraint(40.0), badge->heightAnchor().constraint(20.0),
                                    badge->centerXAnchor().constraint(root->centerXAnchor()),
                                    badge->centerYAnchor().constraint(root->centerYAnchor())});
        root->layoutIfNeeded();
        CHECK(badge->frame() == Rect(130, 290, 40, 20));
        CHECK(badge->constraints().size() == 2);  // the sizes are held by the view itself
    }
    SUBCASE("a removed view takes its constraints with it") {
        body->removeFromSuperview();
        CHECK(root->constraints().size() == 2);
    }
}

TEST_CASE("constraints to a scroll view's far edges size its content") {
    auto scroll = std::make_shared<ScrollView>(Rect(0, 0, 300, 60));
    auto label = std::make_shared<Label>();
    label->setText("a very long formula that is much wider than the row it sits in");
    label->setTranslatesAutoresizingMaskIntoConstraints(false);
    scroll->addSubview(label);
    LayoutConstraint::activate({
        label->topAnchor().constraint(scroll->topAnchor()),
        label->leadingAnchor().constraint(scroll->leadingAnchor(), 20),
        label->trailingAnchor().constraint(scroll->trailingAnchor(), -68),
        label->bottomAnchor().constraint(scroll->bottomAnchor()),
    });
    scroll->layoutIfNeeded();
    Size natural = label->intrinsicContentSize();
    CHECK(label->frame() == Rect(20, 0, natural.width, natural.height));
    CHECK(scroll->contentSize() == Size{20 + natural.width + 68, natural.height});
    CHECK(scroll->contentSize().width > scroll->bounds().width());
}

TEST_CASE("stack views arrange their views") {
    auto a = std::make_shared<View>(Rect(0, 0, 30, 10));
    auto b = std::make_shared<View>(Rect(0, 0, 30, 10));
    auto c = std::make_shared<View>(Rect(0, 0, 30, 10));
    auto stack = std::make_shared<StackView>(std::vector<std::shared_ptr<View>>{a, b, c});
    stack->setFrame({0, 0, 320, 50});
    stack->setDistribution(StackDistribution::fillEqually);
    stack->setSpacing(10);
    CHECK(stack->subviews().size() == 3);
    stack->layoutIfNeeded();
    CHECK(a->frame() == Rect(0, 0, 100, 50));
    CHECK(c->frame() == Rect(220, 0, 100, 50));
    b->setHidden(true);
    stack->setNeedsLayout();
    stack->layoutIfNeeded();
    CHECK(c->frame() == Rect(165, 0, 155, 50));
    b->removeFromSuperview();
    CHECK(stack->arrangedSubviews().size() == 2);
}

TEST_CASE("drawing a view tree") {
    auto root = std::make_shared<View>(Rect(0, 0, 200, 100));
    root->setBackgroundColor(Color::white());
    auto label = std::make_shared<Label>(Rect(10, 10, 180, 20));
    label->setText("P(X=2)");
    auto counting = std::make_shared<CountingView>(Rect(0, 50, 20, 20));
    root->addSubview(label);
    root->addSubview(counting);
    auto image = root->snapshotImage();
    REQUIRE(image);
    CHECK(image->size() == Size{200, 100});
    CHECK(image->drawing().texts() == std::vector<std::string>{"P(X=2)", "painted"});
    CHECK(counting->draws == 1);
    label->setHidden(true);
    CHECK(root->snapshotImage()->drawing().texts() == std::vector<std::string>{"painted"});
    CHECK_FALSE(std::make_shared<View>()->snapshotImage());
}

TEST_CASE("view animations apply at once and complete on the clock") {
    platform::dispatch::ManualTime time;
    auto view = std::make_shared<View>();
    std::vector<std::string> events;
    View::animate(2.0, 0, AnimationOptions{AnimationCurve::easeOut, false, false, {}}, [&] { view->setAlpha(0); },
                  [&](bool finished) { events.push_back(finished ? "done" : "cut"); });
    CHECK(view->alpha() == 0);
    time.advance(1.9);
    CHECK(events.empty());
    time.advance(0.1);
    CHECK(events == std::vector<std::string>{"done"});
    View::performWithoutAnimation([&] {
        View::animate(5.0, [&] { view->setAlpha(1); }, [&](bool) { events.push_back("at once"); });
    });
    time.settle();
    CHECK(events.back() == "at once");
    CHECK(View::areAnimationsEnabled());
}

TEST_CASE("an image view places its image by its content mode") {
    auto view = std::make_shared<ImageView>(Rect(0, 0, 100, 50));
    view->setImage(Image(Size{20, 10}));
    struct Case {
        ContentMode mode;
        Rect drawn;
    };
    const std::vector<Case> cases{
        {ContentMode::scaleToFill, {0, 0, 100, 50}},  {ContentMode::scaleAspectFit, {0, 0, 100, 50}},
        {ContentMode::center, {40, 20, 20, 10}},      {ContentMode::topLeft, {0, 0, 20, 10}},
        {ContentMode::bottomRight, {80, 40, 20, 10}}, {ContentMode::top, {40, 0, 20, 10}},
        {ContentMode::left, {0, 20, 20, 10}},
    };
    for (const auto& c : cases) {
        CAPTURE(static_cast<int>(c.mode));
        view->setContentMode(c.mode);
        auto image = view->snapshotImage();
        REQUIRE(image);
        REQUIRE(image->drawing().size() == 1);
        CHECK(image->drawing().ops()[0].rect == c.drawn);
    }
    SUBCASE("aspect fit and fill keep the image's proportions, centred") {
        view->setImage(Image(Size{10, 10}));
        view->setContentMode(ContentMode::scaleAspectFit);
        CHECK(view->snapshotImage()->drawing().ops()[0].rect == Rect(25, 0, 50, 50));
        view->setContentMode(ContentMode::scaleAspectFill);
        CHECK(view->snapshotImage()->drawing().ops()[0].rect == Rect(0, -25, 100, 100));
    }
    SUBCASE("a template image carries the tint, an original one none") {
        view->setTintColor(Color::red());
        view->setImage(Image(Size{20, 10}).withRenderingMode(platform::gfx::RenderingMode::alwaysTemplate));
        CHECK(view->snapshotImage()->drawing().ops()[0].color == Color::red());
        view->setImage(Image(Size{20, 10}).withRenderingMode(platform::gfx::RenderingMode::alwaysOriginal));
        CHECK_FALSE(view->snapshotImage()->drawing().ops()[0].color);
    }
}
