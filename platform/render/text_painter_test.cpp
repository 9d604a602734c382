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

DrawOp text(const std::string& words, Rect rect, std::optional<Font> font = Font::system(14),
            TextAlignment alignment = TextAlignment::left) {
    DrawOp op;
    op.kind = DrawOp::Kind::text;
    op.text = words;
    op.rect = rect;
    op.font = font;
    op.alignment = alignment;
    return op;
}

}  // namespace

TEST_CASE("a text's ink and cut are measured once and answer as a fresh setting does, wherever the text stands") {
    const std::string wrapped = "Words enough to run over two lines of a narrow rectangle";
    // Each differs from the one before in one thing the setting depends on;
    // the same text comes again at other corners, and once as a plain op.
    const std::vector<DrawOp> ops{
        text("Hello", {0, 0, 200, 20}),
        text("Hello", {37.5, 410.25, 200, 20}),
        text("Hello", {37.5, 410.25, 200, 20}, Font::system(14), TextAlignment::center),
        text("Hello", {0, 0, 200, 20}, Font::system(14), TextAlignment::right),
        text("Hello", {0, 0, 120, 20}, Font::system(14), TextAlignment::right),
        text("Hello", {0, 0, 200, 40}),
        text("Hello", {0, 0, 200, 20}, Font::system(20)),
        text("Hello", {0, 0, 200, 20}, Font::system(14, platform::gfx::FontWeight::black)),
        text("Hello", {0, 0, 200, 20}, *Font::named("Menlo", 14)),
        text("Hello", {0, 0, 200, 20}, std::nullopt),
        text("Help", {5, 5, 200, 20}),
        text("   ", {0, 0, 200, 20}),
        text(wrapped, {0, 0, 90, 60}),
        text(wrapped, {-20, 300, 90, 60}),
        text(wrapped, {0, 0, 90, 30}),
        text(wrapped, {0, 0, 90, 30}, Font::system(14), TextAlignment::center),
        text("Hello", {0, 0, -200, -20}),
    };
    platform::render::detail::TextPainter fresh;
    // The table holds texts cut short and texts that are not.
    const auto cut = std::count_if(ops.begin(), ops.end(), [&](const DrawOp& op) { return fresh.cutShort(op); });
    REQUIRE(cut > 0);
    REQUIRE(cut < static_cast<long>(ops.size()));
    for (const bool forgotten : {false, true}) {
        if (forgotten) platform::render::forgetTextMeasures();
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& op : ops) {
                CAPTURE(op.text);
                CAPTURE(platform::gfx::describe(op.rect));
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
    }
    // Another operation than a text inks nothing, whatever it carries.
    DrawOp fill = text("Hello", {0, 0, 200, 20});
    fill.kind = DrawOp::Kind::fillRect;
    CHECK(platform::render::textInk(fill).isEmpty());
    CHECK_FALSE(platform::render::textCutShort(fill));
}
