// Tests of the measures kept of set texts: the same answers as setting each text afresh, wherever it stands.
#include <doctest/doctest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/font.h"
#include "platform/render/text_painter.h"

using platform::gfx::DrawOp;
using platform::gfx::Font;
using platform::gfx::Rect;
using platform::gfx::TextAlignment;

namespace {

// A text as a view records it.
struct Text {
    std::string words;
    Rect rect;
    std::optional<Font> font = Font::system(14);
    TextAlignment alignment = TextAlignment::left;

    DrawOp op() const {
        DrawOp op;
        op.kind = DrawOp::Kind::text;
        op.text = words;
        op.rect = rect;
        op.font = font;
        op.alignment = alignment;
        return op;
    }
};

}  // namespace

TEST_CASE("a text's ink and cut are measured once and answer as a fresh setting does, wherever the text stands") {
    const std::string wrapped = "Words enough to run over two lines of a narrow rectangle";
    // Each differs from the one before in one thing the setting depends on,
    // or comes again at another corner; each is measured twice, the second
    // time from what was kept.
    const std::vector<Text> texts{
        Text{"Hello", {0, 0, 200, 20}},
        Text{"Hello", {37.5, 410.25, 200, 20}},
        Text{"Hello", {37.5, 410.25, 200, 20}, Font::system(14), TextAlignment::center},
        Text{"Hello", {0, 0, 200, 20}, Font::system(14), TextAlignment::right},
        Text{"Hello", {0, 0, 120, 20}, Font::system(14), TextAlignment::right},
        Text{"Hello", {0, 0, 200, 40}},
        Text{"Hello", {0, 0, 200, 20}, Font::system(20)},
        Text{"Hello", {0, 0, 200, 20}, Font::system(14, platform::gfx::FontWeight::black)},
        Text{"Hello", {0, 0, 200, 20}, Font::named("Menlo-Regular", 14).value()},
        Text{"Hello", {0, 0, 200, 20}, std::nullopt},
        Text{"Help", {5, 5, 200, 20}},
        Text{"   ", {0, 0, 200, 20}},
        Text{wrapped, {0, 0, 90, 60}},
        Text{wrapped, {-20, 300, 90, 60}},
        Text{wrapped, {0, 0, 90, 30}},
        Text{wrapped, {0, 0, 90, 30}, Font::system(14), TextAlignment::center},
        Text{"Hello", {0, 0, -200, -20}},
    };
    std::vector<DrawOp> ops;
    for (const auto& t : texts) ops.push_back(t.op());
    platform::render::detail::TextPainter fresh;
    // The table holds texts cut short and texts that are not.
    const auto cut = std::count_if(ops.begin(), ops.end(), [&](const DrawOp& op) { return fresh.cutShort(op); });
    REQUIRE(cut > 0);
    REQUIRE(cut < static_cast<long>(ops.size()));
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& op : ops) {
            const std::string where = op.text + " in " + platform::gfx::describe(op.rect);
            CAPTURE(where);
            CAPTURE(pass);
            const Rect want = fresh.ink(op), got = platform::render::textInk(op);
            CHECK(got.isEmpty() == want.isEmpty());
            if (!want.isEmpty()) {
                CHECK(got.minX() == doctest::Approx(want.minX()));
                CHECK(got.minY() == doctest::Approx(want.minY()));
                CHECK(got.width() == doctest::Approx(want.width()));
                CHECK(got.height() == doctest::Approx(want.height()));
            }
            CHECK(platform::render::textCutShort(op) == fresh.cutShort(op));
        }
    }
    // Another operation than a text inks nothing, whatever it carries.
    DrawOp fill = ops.front();
    fill.kind = DrawOp::Kind::fillRect;
    CHECK(platform::render::textInk(fill).isEmpty());
    CHECK_FALSE(platform::render::textCutShort(fill));
}
