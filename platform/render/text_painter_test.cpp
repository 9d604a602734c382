// Tests of the measures kept of set texts: the same answers as setting each text afresh, wherever it stands.
#include <doctest/doctest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/gfx/font.h"
#include "platform/render/text_painter.h"

using platform::gfx::DrawOp;
using platform::gfx::Font;
using platform::gfx::Rect;
using platform::gfx::TextAlignment;

TEST_CASE("a text's ink and cut are measured once and answer as a fresh setting does, wherever the text stands") {
    const std::string hello = "Hello", wrapped = "Words enough to run over two lines of a narrow rectangle";
    const Font font = Font::system(14);
    const auto center = TextAlignment::center, left = TextAlignment::left;
    // Each differs from the one before in one thing the setting depends on,
    // or comes again at another corner; each is measured twice, the second
    // time from what was kept.
    const std::vector<std::tuple<std::string, Rect, std::optional<Font>, TextAlignment>> texts{
        {hello, {0, 0, 200, 20}, font, left},     {hello, {37.5, 410.25, 200, 20}, font, left},
        {hello, {0, 0, 200, 20}, font, center},   {hello, {0, 0, 120, 20}, font, center},
        {hello, {0, 0, 120, 40}, font, center},   {hello, {0, 0, 120, 40}, Font::system(20), center},
        {hello, {0, 0, 120, 40}, Font::system(20, platform::gfx::FontWeight::black), center},
        {hello, {0, 0, 120, 40}, Font::named("Menlo-Regular", 20).value(), center},
        {hello, {0, 0, 120, 40}, std::nullopt, center}, {"Help", {0, 0, 120, 40}, std::nullopt, center},
        {"   ", {0, 0, 200, 20}, font, left},     {wrapped, {0, 0, 90, 60}, font, left},
        {wrapped, {-20, 300, 90, 30}, font, left}, {hello, {0, 0, -200, -20}, font, left},
    };
    std::vector<DrawOp> ops;
    for (const auto& [words, rect, textFont, alignment] : texts) {
        DrawOp op;
        op.kind = DrawOp::Kind::text;
        op.text = words;
        op.rect = rect;
        op.font = textFont;
        op.alignment = alignment;
        ops.push_back(op);
    }
    platform::render::detail::TextPainter fresh;
    const auto cut = std::count_if(ops.begin(), ops.end(), [&](const DrawOp& op) { return fresh.cutShort(op); });
    REQUIRE(cut > 0);  // texts cut short and texts that are not
    REQUIRE(cut < static_cast<long>(ops.size()));
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& op : ops) {
            const std::string where = op.text + " in " + platform::gfx::describe(op.rect);
            CAPTURE(where);
            const Rect want = fresh.ink(op), got = platform::render::textInk(op);
            CHECK(got.isEmpty() == want.isEmpty());
            CHECK(got.minX() == doctest::Approx(want.minX()));
            CHECK(got.minY() == doctest::Approx(want.minY()));
            CHECK(got.size == want.size);
            CHECK(platform::render::textCutShort(op) == fresh.cutShort(op));
        }
    }
    // Another operation than a text inks nothing, whatever it carries.
    ops.front().kind = DrawOp::Kind::fillRect;
    CHECK(platform::render::textInk(ops.front()).isEmpty());
    CHECK_FALSE(platform::render::textCutShort(ops.front()));
}
