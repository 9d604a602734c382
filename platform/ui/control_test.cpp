#include <doctest/doctest.h>

#include "platform/dispatch/timer.h"
#include "platform/ui/application.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/interaction.h"
#include "platform/ui/label.h"
#include "platform/ui/segmented_control.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

using namespace platform::ui;

namespace {

// A shown window with a plain root view to put controls in.
struct Stage {
    std::shared_ptr<Window> window = std::make_shared<Window>(Rect(0, 0, 390, 844));
    std::shared_ptr<ViewController> root = std::make_shared<ViewController>();

    Stage() {
        Application::shared().reset();
        clearLoggedMessages();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
    }
    template <class T>
    std::shared_ptr<T> add(std::shared_ptr<T> view) {
        root->view()->addSubview(view);
        return view;
    }
};

}  // namespace

TEST_CASE("buttons keep a title, colour and image per state") {
    auto button = std::make_shared<Button>(Rect(0, 0, 100, 44));
    button->setTitle("Calculate");
    button->setTitle("Busy", controlState::disabled);
    button->setTitleColor(Color::white(0.1));
    CHECK(button->currentTitle() == "Calculate");
    CHECK(button->titleLabel()->text() == "Calculate");
    CHECK(button->titleLabel()->textColor() == Color::white(0.1));
    button->setEnabled(false);
    CHECK(button->currentTitle() == "Busy");
    CHECK(button->titleLabel()->text() == "Busy");
    CHECK(button->currentTitleColor() == Color::white(0.1));  // falls back to normal
    button->setSelected(true);
    CHECK(button->currentTitle() == "Busy");
    button->setEnabled(true);
    CHECK(button->currentTitle() == "Calculate");  // selected has none: normal
    CHECK_FALSE(button->title(controlState::selected));

    SUBCASE("an image view exists once there is an image") {
        CHECK(button->imageView() == nullptr);
        button->setImage(Image({24, 24}, 1, {}, "ic_check"));
        REQUIRE(button->imageView());
        CHECK(button->imageView()->image()->name() == "ic_check");
        button->setImage(std::nullopt);
        CHECK(button->imageView()->isHidden());
    }
    SUBCASE("without a title colour the title takes the tint") {
        auto plain = std::make_shared<Button>();
        plain->setTitle("x");
        plain->setTintColor(Color::red());
        CHECK(plain->currentTitleColor() == Color::red());
    }
}

TEST_CASE("target-actions and taps") {
    Stage stage;
    auto button = stage.add(std::make_shared<Button>(Rect(10, 10, 100, 44)));
    std::vector<std::string> log;
    button->addTarget([&](Control&) { log.push_back("down"); }, controlEvent::touchDown);
    button->addTarget([&](Control&) { log.push_back("first"); }, controlEvent::touchUpInside, "tappedFirst");
    button->addTarget([&](Control&) { log.push_back("second"); }, controlEvent::touchUpInside, "tappedSecond");

    SUBCASE("a tap sends touch down, then the touch-up actions in the order added") {
        CHECK(tap(*button));
        CHECK(log == std::vector<std::string>{"down", "first", "second"});
        CHECK(button->actionNames(controlEvent::touchUpInside) ==
              std::vector<std::string>{"tappedFirst", "tappedSecond"});
    }
    SUBCASE("a disabled, hidden or non-interactive control takes no tap") {
        button->setEnabled(false);
        CHECK_FALSE(tap(*button));
        button->setEnabled(true);
        button->setHidden(true);
        CHECK_FALSE(tap(*button));
        button->setHidden(false);
        stage.root->view()->setUserInteractionEnabled(false);
        CHECK_FALSE(tap(*button));
        stage.root->view()->setUserInteractionEnabled(true);
        button->setAlpha(0);
        CHECK_FALSE(tap(*button));
        CHECK(log.empty());
    }
    SUBCASE("a view outside a window takes no tap") {
        auto loose = std::make_shared<Button>();
        loose->addTarget([&](Control&) { log.push_back("loose"); }, controlEvent::touchUpInside);
        CHECK_FALSE(tap(*loose));
        CHECK(log.empty());
    }
    SUBCASE("a presented controller takes every touch outside itself") {
        platform::dispatch::ManualTime time;
        auto sheet = std::make_shared<ViewController>();
        stage.root->present(sheet, false);
        CHECK_FALSE(tap(*button));
        auto inside = std::make_shared<Button>();
        sheet->view()->addSubview(inside);
        CHECK(tap(*inside));
        CHECK(coveringView(*button) == sheet->view());
        sheet->dismiss(false);
        CHECK(tap(*button));
    }
    SUBCASE("a view the window holds above the page takes the touches under it, unless it lets them through") {
        struct Case {
            Rect frame;
            bool hidden, interactive, covers;
        };
        for (const Case& c : {Case{{0, 0, 400, 800}, false, true, true}, Case{{0, 20, 400, 20}, false, true, true},
                              Case{{0, 0, 400, 30}, false, true, false}, Case{{0, 0, 400, 800}, true, true, false},
                              Case{{0, 0, 400, 800}, false, false, false}}) {
            CAPTURE(c.frame.minY());
            CAPTURE(c.hidden);
            auto overlay = std::make_shared<View>(c.frame);
            overlay->setHidden(c.hidden);
            overlay->setUserInteractionEnabled(c.interactive);
            stage.window->addSubview(overlay);
            // The button's centre is at (60, 32).
            CHECK(tap(*button) == !c.covers);
            CHECK(coveringView(*button) == (c.covers ? overlay : nullptr));
            // What the overlay holds is above it, and takes its taps.
            auto onTop = std::make_shared<Button>(Rect(0, 0, 40, 40));
            overlay->addSubview(onTop);
            CHECK(tap(*onTop) == (!c.hidden && c.interactive));
            overlay->removeFromSuperview();
        }
        CHECK(log == std::vector<std::string>{"down", "first", "second", "down", "first", "second", "down", "first",
                                              "second"});
    }
    SUBCASE("removing targets") {
        button->removeTargets(controlEvent::touchUpInside);
        tap(*button);
        CHECK(log == std::vector<std::string>{"down"});
        CHECK_FALSE(button->hasActions(controlEvent::touchUpInside));
    }
}

namespace {

struct Keypad : TextFieldDelegate {
    bool allowBegin = true;
    bool allowEnd = true;
    bool allowChange = true;
    std::vector<std::string> events;
    bool textFieldShouldBeginEditing(TextField& f) override {
        events.push_back("shouldBegin " + f.accessibilityIdentifier());
        return allowBegin;
    }
    void textFieldDidBeginEditing(TextField& f) override { events.push_back("didBegin " + f.accessibilityIdentifier()); }
    bool textFieldShouldEndEditing(TextField& f) override {
        events.push_back("shouldEnd " + f.accessibilityIdentifier());
        return allowEnd;
    }
    void textFieldDidEndEditing(TextField& f) override { events.push_back("didEnd " + f.accessibilityIdentifier()); }
    bool textFieldShouldChangeCharacters(TextField&, int location, int length, const std::string& text) override {
        events.push_back("change " + std::to_string(location) + "+" + std::to_string(length) + " '" + text + "'");
        return allowChange;
    }
};

}  // namespace

TEST_CASE("text fields edit at their selection") {
    Stage stage;
    auto keypad = std::make_shared<Keypad>();
    auto k = stage.add(std::make_shared<TextField>(Rect(10, 100, 200, 40)));
    auto n = stage.add(std::make_shared<TextField>(Rect(10, 150, 200, 40)));
    k->setAccessibilityIdentifier("kTextField");
    n->setAccessibilityIdentifier("nTextField");
    for (auto& f : {k, n}) f->setDelegate(keypad);

    SUBCASE("focus comes by tap, asks the delegate, and puts the cursor at the end") {
        k->setText("1234");
        CHECK_FALSE(k->selectedTextRange());
        CHECK(tap(*k));
        CHECK(k->isFirstResponder());
        CHECK(k->selectedTextRange() == TextRange{{4}, {4}});
        CHECK(keypad->events == std::vector<std::string>{"shouldBegin kTextField", "didBegin kTextField"});
        CHECK(tap(*n));
        CHECK(stage.window->firstResponder() == n.get());
        CHECK_FALSE(k->isEditing());
        CHECK(keypad->events == std::vector<std::string>{"shouldBegin kTextField", "didBegin kTextField",
                                                         "shouldBegin nTextField", "shouldEnd kTextField",
                                                         "didEnd kTextField", "didBegin nTextField"});
    }
    SUBCASE("a delegate may refuse focus, or refuse to let it go") {
        keypad->allowBegin = false;
        CHECK_FALSE(tap(*k));
        CHECK_FALSE(k->isFirstResponder());
        keypad->allowBegin = true;
        tap(*k);
        keypad->allowEnd = false;
        CHECK_FALSE(tap(*n));
        CHECK(k->isFirstResponder());
    }
    SUBCASE("typing replaces the selection; deleting takes the character before the cursor") {
        k->setText("1234");
        tap(*k);
        k->setSelectedTextRange(k->textRange({1}, {3}));
        CHECK(k->textIn(*k->selectedTextRange()) == "23");
        CHECK(typeText(*stage.window, "5"));
        CHECK(k->text() == "154");
        CHECK(k->selectedTextRange() == TextRange{{2}, {2}});
        CHECK(k->deleteBackward());
        CHECK(k->text() == "14");
        k->setSelectedTextRange(TextRange{{0}, {0}});
        CHECK_FALSE(k->deleteBackward());
        CHECK(keypad->events.back() == "change 1+1 ''");
    }
    SUBCASE("the delegate may refuse a typed change; a replace does not ask") {
        tap(*k);
        keypad->allowChange = false;
        CHECK_FALSE(typeText(*stage.window, "7"));
        CHECK(k->text().empty());
        auto events = keypad->events.size();
        k->replace(TextRange{{0}, {0}}, "-");
        CHECK(k->text() == "-");
        CHECK(keypad->events.size() == events);
    }
    SUBCASE("editing changes are sent as control events") {
        int changes = 0;
        k->addTarget([&](Control&) { ++changes; }, controlEvent::editingChanged);
        tap(*k);
        typeText(*stage.window, "0.3");
        CHECK(changes == 3);
        k->setText("5");  // code, not the user
        CHECK(changes == 3);
    }
    SUBCASE("positions are counted in characters, and stay in the text") {
        k->setText("π≈3");
        tap(*k);
        CHECK(k->length() == 3);
        CHECK(k->position(k->beginningOfDocument(), 3) == TextPosition{3});
        CHECK_FALSE(k->position(k->beginningOfDocument(), 4));
        CHECK_FALSE(k->position(k->endOfDocument(), -4));
        CHECK_FALSE(k->textRange({0}, {9}));
        k->setSelectedTextRange(k->textRange({1}, {2}));
        typeText(*stage.window, "=");
        CHECK(k->text() == "π=3");
    }
    SUBCASE("an input view replaces the keyboard; emptied groups hide the shortcut bar") {
        tap(*k);
        CHECK(stage.window->isSystemKeyboardVisible());
        CHECK(stage.window->isShortcutBarVisible());
        n->setInputView(std::make_shared<View>(Rect()));
        n->inputAssistantItem().leadingBarButtonGroups.clear();
        n->inputAssistantItem().trailingBarButtonGroups.clear();
        tap(*n);
        CHECK_FALSE(stage.window->isSystemKeyboardVisible());
        CHECK_FALSE(stage.window->isShortcutBarVisible());
        n->resignFirstResponder();
        CHECK(stage.window->firstResponder() == nullptr);
    }
    SUBCASE("a field leaving the window stops editing") {
        tap(*k);
        k->removeFromSuperview();
        CHECK_FALSE(k->isEditing());
        CHECK(stage.window->firstResponder() == nullptr);
    }
}

TEST_CASE("segmented controls") {
    Stage stage;
    auto control = stage.add(std::make_shared<SegmentedControl>(std::vector<std::string>{"k", "n"}));
    control->setFrame({0, 0, 200, 30});
    control->insertSegment(Image({16, 16}, 1, {}, "star"), 1);
    CHECK(control->numberOfSegments() == 3);
    CHECK(control->titleForSegment(2) == "n");
    CHECK(control->imageForSegment(1)->name() == "star");
    CHECK_FALSE(control->titleForSegment(1));
    int changes = 0;
    control->addTarget([&](Control&) { ++changes; }, controlEvent::valueChanged);
    control->setSelectedSegmentIndex(0);
    CHECK(changes == 0);
    CHECK(control->selectSegment(2));
    CHECK(changes == 1);
    control->setEnabled(false, 1);
    CHECK_FALSE(control->selectSegment(1));
    control->removeSegment(0);
    CHECK(control->selectedSegmentIndex() == 1);
    // each segment is a view holding an image view and a label, two levels down
    control->layoutIfNeeded();
    auto segment = control->subviews().front();
    CHECK(dynamic_cast<ImageView*>(segment->subviews()[0].get()));
    CHECK(dynamic_cast<Label*>(segment->subviews()[1].get()));
}
