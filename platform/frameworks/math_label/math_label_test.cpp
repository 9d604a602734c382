#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>

#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/gfx/graphics_context.h"

using namespace platform;
using platform::math::MathParseError;
using platform::math::MTMathUILabel;

namespace {

gfx::Size sizeOf(const std::string& latex, double fontSize = 20) {
    MTMathUILabel label;
    label.setFontSize(fontSize);
    label.setLatex(latex);
    REQUIRE_FALSE(label.error());
    return label.bounds().size;
}

std::optional<MathParseError::Code> errorOf(const std::string& latex) {
    MTMathUILabel label;
    label.setLatex(latex);
    if (!label.error()) return std::nullopt;
    return label.error()->code;
}

}  // namespace

TEST_CASE("the label sizes itself to its formula") {
    SUBCASE("more content is wider") {
        CHECK(sizeOf("2").width < sizeOf("22").width);
        CHECK(sizeOf("x").width < sizeOf("x+y").width);
        CHECK(sizeOf("a \\quad b").width > sizeOf("a \\; b").width);
        CHECK(sizeOf("a \\; b").width > sizeOf("ab").width);
        CHECK(sizeOf("n = 5").width > sizeOf("n5").width);  // a relation is spaced
    }
    SUBCASE("fractions and binomials are taller than a line; nesting is taller still") {
        double line = sizeOf("k").height;
        double fraction = sizeOf("\\frac{1}{3}").height;
        CHECK(fraction > 1.5 * line);
        CHECK(sizeOf("\\frac{\\frac{1}{2}}{3}").height > fraction);
        CHECK(sizeOf("\\binom{5}{2}").height == doctest::Approx(fraction).epsilon(0.25));
        // a fraction is as wide as its wider part
        CHECK(sizeOf("\\frac{12345}{6}").width > sizeOf("\\frac{1}{6}").width);
    }
    SUBCASE("scripts raise and lower, at a smaller size") {
        double plain = sizeOf("0.3").height;
        CHECK(sizeOf("0.3^{2}").height > plain);
        CHECK(sizeOf("x_{i}").height > sizeOf("x").height);
        CHECK(sizeOf("0.3^{2}").width < sizeOf("0.32").width + 1);  // the 2 is smaller
    }
    SUBCASE("delimiters grow with their content") {
        double plainParens = sizeOf("\\left( 2 \\right)").height;
        CHECK(sizeOf("\\left( \\frac{1}{2} \\right)").height > plainParens);
        CHECK(sizeOf("\\left( \\frac{1}{2} \\right)").width > sizeOf("\\frac{1}{2}").width);
    }
    SUBCASE("the size follows the font size") {
        gfx::Size small = sizeOf("P(X=2) \\approx 0.3087", 20);
        gfx::Size large = sizeOf("P(X=2) \\approx 0.3087", 40);
        CHECK(large.width == doctest::Approx(2 * small.width).epsilon(0.02));
        CHECK(large.height == doctest::Approx(2 * small.height).epsilon(0.05));
    }
    SUBCASE("an empty text shows nothing") {
        MTMathUILabel label(gfx::Rect(10, 20, 300, 40));
        label.setLatex("\\frac{1}{2}");
        label.setLatex("");
        CHECK_FALSE(label.error());
        CHECK(label.bounds().size == gfx::Size{0, 0});
        CHECK(label.frame().origin == gfx::Point{10, 20});  // the origin stays
    }
}

TEST_CASE("every command the engine writes typesets") {
    for (const char* text : {
             "P\\left(X=2\\right) = \\binom{5}{2} \\cdot 0.3^{2} \\cdot \\left(1 - 0.3\\right)^{5-2}",
             "\\color{#ff3333}{\\binom{5}{2}} = \\color{#009900}{10}",
             "P \\approx 0.3087 \\quad \\hat{=} \\; 30.87\\%",
             "n \\le \\infty \\quad \\pi",
             "\\text{Given: } k = 2, \\; n = 5, \\; p = \\frac{3}{10}",
             "F(X) = ",
             "\\{",
             "\\quad 0 \\le x < 1",
             "\\;\\color{#ff3333}{2}",
             "I) \\; n = 5",
             "\\sqrt[3]{8} \\times \\alpha_{1}^{2} \\ge \\sin x",
         }) {
        CAPTURE(text);
        MTMathUILabel label;
        label.setLatex(text);
        CHECK_FALSE(label.error());
        CHECK(label.bounds().width() > 0);
    }
}

TEST_CASE("malformed LaTeX reports an error and shows nothing") {
    using Code = MathParseError::Code;
    CHECK(errorOf("\\frac{1}{2") == Code::mismatchedBraces);
    CHECK(errorOf("x}") == Code::mismatchedBraces);
    CHECK(errorOf("{{x}") == Code::mismatchedBraces);
    CHECK(errorOf("\\fract{1}{2}") == Code::invalidCommand);
    CHECK(errorOf("\\left( x") == Code::missingRight);
    CHECK(errorOf("x \\right)") == Code::missingLeft);
    CHECK(errorOf("\\left x \\right)") == Code::invalidDelimiter);
    CHECK(errorOf("\\color{#ff33}{2}") == Code::invalidColor);
    CHECK(errorOf("\\color{#gg3333}{2}") == Code::invalidColor);
    CHECK(errorOf("x^2^3") == Code::doubleSuperscript);
    CHECK(errorOf("\\frac{1}") == Code::missingArgument);
    CHECK(errorOf("a & b") == Code::invalidCharacter);
    CHECK(errorOf("\\") == Code::invalidCommand);

    // Nesting is bounded, whatever construct nests: the label reports it
    // instead of exhausting the stack.
    auto nested = [](const std::string& open, const std::string& inner, const std::string& close, int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += open;
        text += inner;
        for (int i = 0; i < levels; ++i) text += close;
        return text;
    };
    CHECK(errorOf(nested("{", "x", "}", 100000)) == Code::nestedTooDeeply);
    CHECK(errorOf(nested("\\frac 1", "2", "", 100000)) == Code::nestedTooDeeply);
    CHECK(errorOf(nested("x^{", "2", "}", 100000)) == Code::nestedTooDeeply);
    CHECK(errorOf(nested("\\left(", "2", "\\right)", 100000)) == Code::nestedTooDeeply);
    CHECK_FALSE(errorOf(nested("x^{", "2", "}", 20)));

    MTMathUILabel label(gfx::Rect(0, 0, 100, 40));
    label.setLatex("\\frac{1}{2}");
    label.setLatex("\\unknown{2}");
    REQUIRE(label.error());
    CHECK(label.error()->message == "Invalid command \\unknown");
    CHECK(label.bounds().size == gfx::Size{0, 0});
    CHECK(label.latex() == "\\unknown{2}");  // kept as given
    label.setLatex("2");
    CHECK_FALSE(label.error());
}

TEST_CASE("drawing records the glyphs in their colours") {
    MTMathUILabel label;
    label.setTextColor(gfx::Color::label().withAlphaComponent(0.9));
    label.setLatex("\\frac{k}{2} = \\color{#ff3333}{3}");
    auto image = label.snapshotImage();
    REQUIRE(image);
    std::vector<std::string> glyphs = image->drawing().texts();
    CHECK(glyphs == std::vector<std::string>{"k", "2", "=", "3"});
    const auto& ops = image->drawing().ops();
    auto three = std::find_if(ops.begin(), ops.end(), [](const gfx::DrawOp& op) { return op.text == "3"; });
    REQUIRE(three != ops.end());
    CHECK(three->color == gfx::Color::rgb(1, 0x33 / 255.0, 0x33 / 255.0));
    auto k = std::find_if(ops.begin(), ops.end(), [](const gfx::DrawOp& op) { return op.text == "k"; });
    CHECK(k->color == gfx::Color::label().withAlphaComponent(0.9));
    CHECK(image->drawing().count(gfx::DrawOp::Kind::fillRect) == 1);  // the fraction's rule
    // the numerator stands above the denominator
    auto two = std::find_if(ops.begin(), ops.end(), [](const gfx::DrawOp& op) { return op.text == "2"; });
    CHECK(k->rect.minY() < two->rect.minY());
    std::vector<std::string> notes;
    label.describe(notes);
    CHECK(notes[0] == "latex=\"\\\\frac{k}{2} = \\\\color{#ff3333}{3}\"");
}

TEST_CASE("font size and mode") {
    MTMathUILabel label;
    label.setLatex("\\frac{1}{2}");
    double display = label.bounds().height();
    label.setLabelMode(math::MTMathUILabelMode::text);
    CHECK(label.bounds().height() < display);  // the parts shrink to script size
    label.setFontSize(46);
    label.setLatex("\\{");
    CHECK(label.fontSize() == 46);
    CHECK(label.bounds().height() > 40);
    label.setFontSize(-1);
    CHECK(label.fontSize() == 46);
    label.setContentInsets({2, 3, 4, 5});
    CHECK(label.intrinsicContentSize().width == doctest::Approx(std::ceil(label.typeset().width + 8)));
}
