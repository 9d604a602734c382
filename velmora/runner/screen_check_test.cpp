// Tests of the screen check: the contrast formula, each finding and what it leaves out, and the manual page on every screen.
#include <doctest/doctest.h>

#include <algorithm>

#include "platform/dispatch/timer.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/gfx/appearance.h"
#include "platform/ui/application.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "velmora/runner/known_findings.h"
#include "velmora/runner/screen_check.h"
#include "velmora/shell/manual_view_controller.h"

using namespace velmora::runner;
using platform::gfx::Color;
using platform::gfx::Rect;
using platform::gfx::RGBA;
using platform::ui::View;

namespace {

RGBA grey(int level) { return {level / 255.0, level / 255.0, level / 255.0, 1}; }

// A shown window of 320 by 480 points holding a white page.
struct Screen {
    std::shared_ptr<platform::ui::Window> window = std::make_shared<platform::ui::Window>(Rect(0, 0, 320, 480));
    std::shared_ptr<View> page = std::make_shared<View>(Rect(0, 0, 320, 480));
    Screen() {
        window->setHidden(false);
        page->setBackgroundColor(Color::white());
        window->addSubview(page);
    }
    template <class T>
    std::shared_ptr<T> add(std::shared_ptr<T> view, View* into = nullptr) {
        (into ? *into : *page).addSubview(view);
        return view;
    }
};

std::shared_ptr<platform::ui::Label> label(const Rect& frame, const std::string& text, Color colour = Color::black()) {
    auto l = std::make_shared<platform::ui::Label>(frame);
    l->setText(text);
    l->setTextColor(colour);
    return l;
}

std::shared_ptr<platform::ui::Button> button(const Rect& frame, const std::string& title) {
    auto b = std::make_shared<platform::ui::Button>(frame);
    b->setTitle(title);
    b->setTitleColor(Color::black());
    return b;
}

std::vector<std::string> kinds(const std::vector<Finding>& findings) {
    std::vector<std::string> names;
    for (const auto& f : findings) {
        names.push_back(f.kind == FindingKind::overlap        ? "overlap"
                        : f.kind == FindingKind::underControl ? "under a control"
                        : f.kind == FindingKind::cut          ? "cut"
                        : f.kind == FindingKind::cutShort     ? "cut short"
                                                              : "contrast");
    }
    return names;
}

// A row of square cards, 200 points a side.
struct Cards : platform::ui::CollectionViewDataSource, platform::ui::CollectionViewDelegate {
    int count = 2;
    int numberOfItems(platform::ui::CollectionView&, int) override { return count; }
    std::shared_ptr<platform::ui::CollectionViewCell> cellForItem(platform::ui::CollectionView&,
                                                                  platform::ui::IndexPath) override {
        auto card = std::make_shared<platform::ui::CollectionViewCell>(Rect(0, 0, 200, 200));
        card->contentView()->setBackgroundColor(Color::systemGray4());
        return card;
    }
    std::optional<platform::gfx::Size> sizeForItem(platform::ui::CollectionView&, platform::ui::IndexPath) override {
        return platform::gfx::Size{200, 200};
    }
};

std::shared_ptr<platform::ui::ImageView> picture(const Rect& frame) {
    auto view = std::make_shared<platform::ui::ImageView>(platform::gfx::Image({24, 24}, 1, {}, "drawing"));
    view->setFrame(frame);
    return view;
}

}  // namespace

TEST_CASE("content that no pan brings into view is cut; content a pan reaches is not") {
    platform::dispatch::ManualTime time;
    // A row of two cards 200 wide across the 320-point window, 16 points
    // in from its ends and 10 apart: 442 points of content, the second card
    // from 226 to 426 before any pan.
    const auto row = [](Screen& screen, const std::shared_ptr<Cards>& cards) {
        platform::ui::CollectionViewFlowLayout flow;
        flow.scrollDirection = platform::ui::ScrollDirection::horizontal;
        flow.sectionInset = {0, 16, 0, 16};
        auto collection = screen.add(std::make_shared<platform::ui::CollectionView>(Rect(0, 100, 320, 200), flow));
        collection->setDataSource(cards);
        collection->setDelegate(cards);
        screen.window->layoutIfNeeded();
        return collection;
    };
    const auto cutsOf = [](std::vector<Finding> findings) {
        std::erase_if(findings, [](const Finding& f) { return f.kind != FindingKind::cut; });
        return findings;
    };
    SUBCASE("a row of cards a pan moves: its last card is in reach") {
        Screen screen;
        auto cards = std::make_shared<Cards>();
        auto collection = row(screen, cards);
        REQUIRE(collection->contentSize().width == doctest::Approx(442));
        CHECK(cutsOf(checkScreen(*screen.window)).empty());
        // Panned to its end, all of it is in the window.
        collection->setContentOffset(collection->maximumContentOffset());
        CHECK(checkScreen(*screen.window).empty());
    }
    SUBCASE("a row no touch moves cuts its second card at the window's edge") {
        for (const bool scrollEnabled : {false, true}) {
            CAPTURE(scrollEnabled);
            Screen screen;
            auto cards = std::make_shared<Cards>();
            auto collection = row(screen, cards);
            collection->setScrollEnabled(scrollEnabled);
            collection->setUserInteractionEnabled(scrollEnabled ? false : true);
            auto findings = cutsOf(checkScreen(*screen.window));
            REQUIRE(findings.size() == 1);
            CHECK(dynamic_cast<const platform::ui::CollectionViewCell*>(findings.front().item.view));
            CHECK(findings.front().item.frame.minX() == doctest::Approx(226));
            CHECK(findings.front().overhang.right == doctest::Approx(106));
            CHECK(findings.front().description().find("CollectionViewCell") != std::string::npos);
        }
    }
    SUBCASE("a picture past the edge of a page that does not scroll, or past the size its scroll view reaches") {
        struct Case {
            double contentWidth;  // of the scroll view holding the picture; 0: none holds it
            double past;          // how far no pan brings it in
        };
        // The picture lies from 260 to 460 in the window, 140 past its edge.
        for (const auto& c : std::vector<Case>{{0, 140}, {380, 80}, {460, 0}, {320, 140}}) {
            CAPTURE(c.contentWidth);
            Screen screen;
            std::shared_ptr<View> holder = screen.page;
            if (c.contentWidth > 0) {
                auto scroll = screen.add(std::make_shared<platform::ui::ScrollView>(Rect(0, 100, 320, 60)));
                scroll->setContentSize({c.contentWidth, 60});
                holder = scroll;
            }
            auto drawing = screen.add(picture({260, c.contentWidth > 0 ? 0.0 : 100.0, 200, 60}), holder.get());
            auto findings = cutsOf(checkScreen(*screen.window));
            if (c.past == 0) {
                CHECK(findings.empty());
                continue;
            }
            REQUIRE(findings.size() == 1);
            CHECK(findings.front().item.view == drawing.get());
            CHECK(findings.front().overhang.right == doctest::Approx(c.past));
        }
    }
}

TEST_CASE("contrast ratios follow WCAG 2") {
    struct Case {
        RGBA first, second;
        double ratio;
    };
    const std::vector<Case> cases{
        {grey(0), grey(255), 21},
        {grey(255), grey(0), 21},
        {grey(255), grey(255), 1},
        {grey(0x77), grey(255), 4.48},   // the grey that just misses 4.5:1 on white
        {grey(0x76), grey(255), 4.54},
        {{1, 0, 0, 1}, grey(255), 4.0},  // pure red on white
        {{0, 0, 1, 1}, grey(0), 2.44},   // pure blue on black
    };
    for (const auto& c : cases) {
        CAPTURE(c.ratio);
        CHECK(contrastRatio(c.first, c.second) == doctest::Approx(c.ratio).epsilon(0.005));
    }
    CHECK(relativeLuminance(grey(255)) == doctest::Approx(1));
    CHECK(relativeLuminance({0, 1, 0, 1}) == doctest::Approx(0.7152));
}

TEST_CASE("the check finds what lies on what, what the edge cuts and what is too faint, and nothing else") {
    platform::dispatch::ManualTime time;
    Screen s;
    SUBCASE("a clean page") {
        s.add(button({20, 20, 120, 44}, "Left"));
        s.add(button({180, 20, 120, 44}, "Right"));
        s.add(label({20, 80, 280, 24}, "Dark text on white"));
        CHECK(checkScreen(*s.window).empty());
    }
    SUBCASE("two buttons on each other, once for the pair, with the later one lying on the earlier") {
        auto under = s.add(button({20, 20, 120, 44}, "Under"));
        auto over = s.add(button({100, 30, 120, 44}, "Over"));
        auto findings = checkScreen(*s.window);
        REQUIRE(findings.size() >= 1);
        CHECK(findings.front().kind == FindingKind::overlap);
        CHECK(findings.front().item.view == over.get());
        CHECK(findings.front().other->view == under.get());
        CHECK(findings.front().description().find("Button \"Over\"") != std::string::npos);
        const auto pairs = std::count_if(findings.begin(), findings.end(), [&](const Finding& f) {
            return f.kind == FindingKind::overlap && f.item.view == over.get() && f.other->view == under.get();
        });
        CHECK(pairs == 1);
    }
    SUBCASE("a button's own title lies on the button by design") {
        s.add(button({20, 20, 120, 44}, "Title"));
        CHECK(checkScreen(*s.window).empty());
    }
    SUBCASE("a text reaching past an edge, by how much") {
        struct Case {
            Rect frame;
            EdgeOverhang past;
        };
        // The text is as wide as its letters, its line centred in the frame's height.
        const double textWidth = platform::gfx::Font::system(17).widthOf("A text that goes on");
        const double line = platform::gfx::Font::system(17).lineHeight();
        for (const auto& c : std::vector<Case>{{{260, 100, 200, 24}, {0, 0, 260 + textWidth - 320, 0}},
                                               {{20, 470, 200, line}, {0, 0, 0, 470 + line - 480}},
                                               {{-30, -12, 200, line}, {30, 12, 0, 0}}}) {
            CAPTURE(c.frame.minY());
            Screen screen;
            auto wide = screen.add(label(c.frame, "A text that goes on"));
            auto findings = checkScreen(*screen.window);
            REQUIRE(kinds(findings) == std::vector<std::string>{"cut"});
            CHECK(findings.front().item.view == wide.get());
            CHECK(findings.front().overhang.left == doctest::Approx(c.past.left));
            CHECK(findings.front().overhang.top == doctest::Approx(c.past.top));
            CHECK(findings.front().overhang.right == doctest::Approx(c.past.right));
            CHECK(findings.front().overhang.bottom == doctest::Approx(c.past.bottom));
        }
    }
    SUBCASE("past the edge inside a scroll view, cut by as much as scrolling cannot bring in") {
        // The scroll view reaches 50 points past the right edge, as a
        // table wider than its page does.
        const double textWidth = platform::gfx::Font::system(17).widthOf("A text that goes on");
        for (const double content : {600.0, 400.0}) {
            CAPTURE(content);
            Screen screen;
            auto scroll = screen.add(std::make_shared<platform::ui::ScrollView>(Rect(0, 100, 370, 40)));
            scroll->setContentSize({content, 40});
            scroll->setContentOffset({10, 0});
            auto text = screen.add(label({260, 8, 200, 24}, "A text that goes on"), scroll.get());
            const double past = 250 + textWidth - 320 - (content - 370 - 10);
            auto findings = checkScreen(*screen.window);
            std::erase_if(findings, [&](const Finding& f) { return f.item.view == scroll.get(); });
            if (past < 1) {
                CHECK(findings.empty());
                continue;
            }
            REQUIRE(kinds(findings) == std::vector<std::string>{"cut"});
            CHECK(findings.front().item.view == text.get());
            CHECK(findings.front().overhang.right == doctest::Approx(past));
            CHECK(findings.front().overhang.left == 0);
        }
    }
    SUBCASE("a text whose lines do not fit its height ends in an ellipsis") {
        const std::string text = "The tutorial videos are played by the video site's embedded player, which learns "
                                 "your device's network address and may store cookies.";
        const auto font = platform::gfx::Font::system(13);
        const double lines = font.measure(text, 200, 0).height;
        for (const double height : {lines, lines - font.lineHeight()}) {
            CAPTURE(height);
            Screen screen;
            auto message = label({20, 100, 200, height}, text);
            message->setFont(font);
            message->setNumberOfLines(0);
            screen.add(message);
            auto findings = checkScreen(*screen.window);
            if (height == lines) {
                CHECK(findings.empty());
                continue;
            }
            REQUIRE(kinds(findings) == std::vector<std::string>{"cut short"});
            CHECK(findings.front().item.view == message.get());
            CHECK(findings.front().description().find("ends in an ellipsis") != std::string::npos);
        }
    }
    SUBCASE("a scroll view that scrolls only down does not excuse a cut at the side") {
        auto scroll = s.add(std::make_shared<platform::ui::ScrollView>(Rect(0, 100, 320, 40)));
        scroll->setContentSize({320, 400});
        auto wide = s.add(button({260, 0, 100, 30}, "Wide"), scroll.get());
        auto findings = checkScreen(*s.window);
        // The button and the end of its centred title.
        REQUIRE(kinds(findings) == std::vector<std::string>{"cut", "cut"});
        CHECK(findings[0].item.view == wide.get());
        CHECK(findings[0].overhang.right == doctest::Approx(40));
        CHECK(findings[1].item.text == "Wide");
    }
    SUBCASE("a pale text is too faint; the ratio and both colours are told") {
        auto pale = s.add(label({20, 100, 200, 24}, "Pale", Color::white(0.8)));
        auto findings = checkScreen(*s.window);
        REQUIRE(kinds(findings) == std::vector<std::string>{"contrast"});
        CHECK(findings.front().item.view == pale.get());
        CHECK(findings.front().ratio == doctest::Approx(1.6).epsilon(0.02));
        CHECK(findings.front().description().find("#cccccc on #ffffff") != std::string::npos);
    }
    SUBCASE("the colour behind counts, not the window's") {
        auto card = s.add(std::make_shared<View>(Rect(10, 90, 300, 60)));
        card->setBackgroundColor(Color::black());
        s.add(label({10, 6, 200, 24}, "White on a black card", Color::white()), card.get());
        s.add(label({10, 30, 200, 24}, "Black on a black card", Color::black()), card.get());
        auto findings = checkScreen(*s.window);
        REQUIRE(kinds(findings) == std::vector<std::string>{"contrast"});
        CHECK(findings.front().item.text == "Black on a black card");
    }
    SUBCASE("a disabled control's pale title is not held to the ratio") {
        auto off = s.add(button({20, 20, 120, 44}, "Off"));
        off->setTitleColor(Color::white(0.85));
        off->setEnabled(false);
        CHECK(checkScreen(*s.window).empty());
    }
    SUBCASE("what a later layer covers is left out: a toast over a pale text and a button") {
        s.add(label({20, 100, 200, 24}, "Pale", Color::white(0.8)));
        s.add(button({20, 100, 200, 30}, "Under the toast"));
        auto toast = std::make_shared<View>(Rect(10, 90, 300, 50));
        toast->setBackgroundColor(Color::black().withAlphaComponent(0.8));
        toast->addSubview(label({10, 10, 280, 30}, "A toast", Color::white()));
        s.window->addSubview(toast);
        CHECK(checkScreen(*s.window).empty());
    }
    SUBCASE("a text hidden at least half behind an opaque view drawn over it is not read") {
        // The pale text's letters start at 20; the cover reaches over 60 % or 40 % of them.
        const double textWidth = platform::gfx::Font::system(17).widthOf("Pale");
        for (const double share : {1.0, 0.6, 0.4}) {
            CAPTURE(share);
            Screen screen;
            screen.add(label({20, 100, 200, 24}, "Pale", Color::white(0.8)));
            auto cover = screen.add(std::make_shared<View>(Rect(0, 90, 20 + share * textWidth, 50)));
            cover->setBackgroundColor(Color::systemGray4());
            CHECK(kinds(checkScreen(*screen.window)) ==
                  (share < 0.5 ? std::vector<std::string>{"contrast"} : std::vector<std::string>{}));
        }
    }
    SUBCASE("controls of different layers do not overlap: the later layer lies over the earlier by design") {
        s.add(button({20, 100, 200, 44}, "On the page"));
        auto layer = std::make_shared<View>(Rect(0, 0, 320, 480));
        layer->addSubview(button({40, 110, 200, 44}, "On a clear layer"));
        s.window->addSubview(layer);
        CHECK(checkScreen(*s.window).empty());
    }
    SUBCASE("a hidden view is not looked at") {
        auto wide = s.add(label({260, 100, 200, 24}, "A text that goes on", Color::white(0.9)));
        wide->setHidden(true);
        CHECK(checkScreen(*s.window).empty());
    }
    SUBCASE("a finding of no design's making is not known") {
        s.add(label({20, 100, 200, 24}, "Pale", Color::white(0.8)));
        auto findings = checkScreen(*s.window);
        REQUIRE(findings.size() == 1);
        CHECK(knownFindingFor(findings.front()) == nullptr);
    }
}

TEST_CASE("a text that runs under a control drawn over it is found, the controls of edit mode among them") {
    platform::dispatch::ManualTime time;
    // One row whose text ends at 266 points, right-aligned: in edit mode the
    // content moves 38 points to the right, under the reorder handle at 282.
    struct OneRow : platform::ui::TableViewDataSource {
        int numberOfRows(platform::ui::TableView&, int) override { return 1; }
        bool canMoveRow(platform::ui::TableView&, platform::ui::IndexPath) override { return true; }
        std::shared_ptr<platform::ui::TableViewCell> cellForRow(platform::ui::TableView&,
                                                                platform::ui::IndexPath) override {
            auto cell = std::make_shared<platform::ui::TableViewCell>();
            auto text = label({16, 10, 250, 24}, "p = 0.3  k = 57  n = 200");
            text->setTextAlignment(platform::gfx::TextAlignment::right);
            cell->contentView()->addSubview(text);
            return cell;
        }
    };
    struct Case {
        std::string what;
        bool editing;
        bool textOverTheControl;  // a text laid over the table, drawn after the row
        std::vector<std::string> kinds;
    };
    const std::vector<Case> cases{
        {"out of edit mode nothing lies on the row's text", false, false, {}},
        {"in edit mode the text runs under the reorder handle", true, false, {"under a control"}},
        {"a text drawn over a control lies on it", true, true, {"under a control", "overlap"}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        Screen s;
        auto table = s.add(std::make_shared<platform::ui::TableView>(Rect(0, 0, 320, 480)));
        auto rows = std::make_shared<OneRow>();
        table->setDataSource(rows);
        table->setRowHeight(44);
        table->reloadData();
        table->setEditing(c.editing, false);
        table->layoutIfNeeded();
        auto cell = table->cellForRow({0, 0});
        REQUIRE(cell);
        cell->layoutIfNeeded();
        std::shared_ptr<platform::ui::Label> over;
        if (c.textOverTheControl) over = s.add(label({306, 10, 14, 24}, "="));  // clear of the row's text
        auto findings = checkScreen(*s.window);
        std::string all;
        for (const auto& finding : findings) all += finding.description() + "\n";
        CAPTURE(all);
        CHECK(kinds(findings) == c.kinds);
        for (const auto& finding : findings) {
            CAPTURE(finding.description());
            CHECK(knownFindingFor(finding) == nullptr);
            if (finding.kind == FindingKind::underControl) {
                CHECK(finding.item.text == "p = 0.3  k = 57  n = 200");
                const auto controls = cell->editingControls();
                REQUIRE(controls.size() == 2);
                CHECK(finding.other->view == controls.back().get());  // the handle, at the trailing edge
                CHECK(finding.other->frame == Rect(282, 0, 38, 44));
                CHECK(finding.description().find(" runs under ") != std::string::npos);
            } else {
                CHECK(finding.item.view == over.get());
            }
        }
    }
}

TEST_CASE("texts lie on each other only where their letters meet, each named by its whole line") {
    platform::dispatch::ManualTime time;
    // A history entry broken onto two lines: the second formula's frame
    // starts `gap` points below the first's.
    struct Case {
        double gap;
        std::vector<std::string> kinds;
    };
    for (const auto& c : std::vector<Case>{{2, {}}, {-6, {"overlap"}}}) {
        CAPTURE(c.gap);
        Screen s;
        auto first = s.add(std::make_shared<platform::math::MTMathUILabel>(Rect(54, 100, 0, 0)));
        first->setLatex("p = \\frac{123456789}{987654321}");
        auto second = s.add(std::make_shared<platform::math::MTMathUILabel>(
            Rect(54, first->frame().maxY() + c.gap, 0, 0)));
        second->setLatex("k = 199 \\quad n = 200");
        const auto findings = checkScreen(*s.window);
        REQUIRE(kinds(findings) == c.kinds);
        if (findings.empty()) continue;
        CHECK(findings.front().item.text == "k = 199 n = 200");
        CHECK(findings.front().other->text == "987654321");
        CHECK(findings.front().description().find("text \"k = 199 n = 200\" lies on") != std::string::npos);
    }
}

TEST_CASE("the manual page has nothing to mend on any screen, in either style") {
    platform::dispatch::ManualTime time;
    velmora::registerManualPageNib();
    const Rect before = platform::ui::Screen::main().bounds();
    for (const auto& size : {platform::gfx::Size{320, 568}, platform::gfx::Size{375, 667},
                             platform::gfx::Size{390, 844}, platform::gfx::Size{430, 932}}) {
        for (auto style : {platform::gfx::InterfaceStyle::light, platform::gfx::InterfaceStyle::dark}) {
            CAPTURE(size.width);
            CAPTURE(static_cast<int>(style));
            platform::gfx::InterfaceStyleScope scope(style);
            platform::ui::Screen::main().setBounds({{0, 0}, size});
            platform::ui::Application::shared().reset();
            auto window = std::make_shared<platform::ui::Window>(Rect({0, 0}, size));
            auto root = std::make_shared<platform::ui::ViewController>();
            window->setRootViewController(root);
            window->makeKeyAndVisible();
            auto manual = velmora::ManualViewController::present(*root, "");
            time.settle();
            REQUIRE(window->topViewController() == manual);
            for (const auto& finding : checkScreen(*window)) {
                CAPTURE(finding.description());
                CHECK(knownFindingFor(finding) != nullptr);
            }
            window->setRootViewController(nullptr);
            time.settle();
        }
    }
    platform::ui::Application::shared().reset();
    platform::ui::Screen::main().setBounds(before);
}
