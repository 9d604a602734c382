// Recorded drawings turned into pixels, checked at known places.
#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <utility>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/material/style.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/gfx/appearance.h"
#include "platform/gfx/layer.h"
#include "platform/render/png_codec.h"
#include "platform/render/rasterizer.h"
#include "platform/render/text_painter.h"
#include "platform/ui/image_view.h"
#include "platform/ui/scroll_view.h"
#include "testsupport/temp_dir.h"

using namespace platform::gfx;
using platform::render::Bitmap;
using platform::render::Pixel;
using platform::render::rasterize;
using platform::render::RenderOptions;

namespace {

const Pixel red{255, 0, 0, 255};
const Pixel blue{0, 0, 255, 255};
const Pixel white{255, 255, 255, 255};
const Pixel clear{0, 0, 0, 0};

Image drawing(Size size, double scale, const std::function<void(GraphicsContext&)>& actions) {
    auto image = ImageRenderer(size, {scale, false}).image(actions);
    REQUIRE(image);
    return *image;
}

Bitmap pixels(const Image& image, RenderOptions options = {}) {
    std::string why;
    auto bitmap = rasterize(image, options, &why);
    INFO(why);
    REQUIRE(bitmap);
    return *bitmap;
}

bool near(Pixel a, Pixel b, int tolerance = 2) {
    return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
           std::abs(a.blue - b.blue) <= tolerance && std::abs(a.alpha - b.alpha) <= tolerance;
}

// Whether any pixel of a rectangle is darker than the threshold on every channel.
bool anyInk(const Bitmap& bitmap, int x0, int y0, int x1, int y1, int threshold = 100) {
    for (int y = std::max(0, y0); y < std::min(bitmap.height(), y1); ++y) {
        for (int x = std::max(0, x0); x < std::min(bitmap.width(), x1); ++x) {
            Pixel p = bitmap.pixel(x, y);
            if (p.alpha > 200 && p.red < threshold && p.green < threshold && p.blue < threshold) return true;
        }
    }
    return false;
}

}  // namespace

TEST_CASE("shapes, transforms, alpha and clips land on the right pixels") {
    SUBCASE("size and scale: ceil(points × scale) pixels") {
        struct Case {
            Size size;
            double imageScale, renderScale;
            int width, height;
        };
        const std::vector<Case> cases{
            {{20, 10}, 2, 0, 40, 20}, {{20, 10}, 2, 3, 60, 30}, {{10.5, 3.2}, 1, 3, 32, 10}, {{1, 1}, 3, 0, 3, 3}};
        for (const auto& c : cases) {
            auto bitmap = pixels(drawing(c.size, c.imageScale, nullptr), RenderOptions{c.renderScale, std::nullopt});
            CHECK(bitmap.width() == c.width);
            CHECK(bitmap.height() == c.height);
        }
    }
    SUBCASE("filled rectangle and ellipse, in their colours, the rest transparent") {
        auto bitmap = pixels(drawing({20, 10}, 2, [](GraphicsContext& c) {
            c.setFillColor(Color::rgb(1, 0, 0));
            c.fill({0, 0, 10, 10});
            c.setFillColor(Color::rgb(0, 0, 1));
            c.fillEllipse({10, 0, 10, 10});
        }));
        struct Probe {
            int x, y;
            Pixel expected;
        };
        const std::vector<Probe> probes{{10, 10, red}, {1, 1, red}, {30, 10, blue}, {21, 1, clear}, {38, 18, clear}};
        for (const auto& p : probes) {
            CAPTURE(p.x);
            CAPTURE(p.y);
            CHECK(near(bitmap.pixel(p.x, p.y), p.expected));
        }
    }
    SUBCASE("a rotated frame puts the shape where the transform says") {
        // a quarter turn about (20, 20): the bar along +x ends up along +y
        auto bitmap = pixels(drawing({40, 40}, 1, [](GraphicsContext& c) {
            c.translateBy(20, 20);
            c.rotateBy(std::numbers::pi / 2);
            c.setFillColor(Color::rgb(1, 0, 0));
            c.fill({0, -2, 15, 4});
        }));
        CHECK(near(bitmap.pixel(20, 30), red));
        CHECK(near(bitmap.pixel(30, 20), clear));
    }
    SUBCASE("alpha and a background blend as the colours say") {
        RenderOptions options;
        options.background = Color::white();
        auto bitmap = pixels(drawing({4, 4}, 1, [](GraphicsContext& c) {
            c.setAlpha(0.5);
            c.setFillColor(Color::rgb(0, 0, 1, 0.5));
            c.fill({0, 0, 4, 4});
        }), options);
        // a quarter of blue over white: 255 - 0.25 × 255 on red and green
        Pixel p = bitmap.pixel(2, 2);
        CHECK(std::abs(p.red - 191) <= 1);
        CHECK(std::abs(p.green - 191) <= 1);
        CHECK(p.blue == 255);
        CHECK(p.alpha == 255);
    }
    SUBCASE("a clip holds until the state is restored") {
        auto bitmap = pixels(drawing({20, 10}, 1, [](GraphicsContext& c) {
            c.saveGState();
            c.addRect({0, 0, 10, 10});
            c.clip();
            c.setFillColor(Color::rgb(1, 0, 0));
            c.fill({0, 0, 20, 10});
            c.restoreGState();
            c.setFillColor(Color::rgb(0, 0, 1));
            c.fill({15, 0, 5, 5});
        }));
        CHECK(near(bitmap.pixel(5, 5), red));
        CHECK(near(bitmap.pixel(12, 8), clear));
        CHECK(near(bitmap.pixel(17, 2), blue));
    }
    SUBCASE("stroked paths, arcs and dashes") {
        auto bitmap = pixels(drawing({40, 40}, 1, [](GraphicsContext& c) {
            c.setStrokeColor(Color::rgb(0, 0, 1));
            c.setLineWidth(4);
            c.beginPath();
            c.addArc({20, 20}, 10, 0, std::numbers::pi, true);  // the lower half, y down
            c.strokePath();
            c.setLineDash({4, 4});
            c.beginPath();
            c.moveTo({0, 2});
            c.addLineTo({40, 2});
            c.strokePath();
        }));
        CHECK(near(bitmap.pixel(20, 30), blue));   // bottom of the arc
        CHECK(near(bitmap.pixel(20, 10), clear));  // top: not drawn
        CHECK(near(bitmap.pixel(2, 2), blue));     // first dash
        CHECK(near(bitmap.pixel(6, 2), clear));    // first gap
    }
    SUBCASE("a clear rectangle makes its pixels transparent") {
        auto bitmap = pixels(drawing({10, 10}, 1, [](GraphicsContext& c) {
            c.setFillColor(Color::rgb(1, 0, 0));
            c.fill({0, 0, 10, 10});
            c.clear({0, 0, 5, 10});
        }));
        CHECK(near(bitmap.pixel(2, 5), clear));
        CHECK(near(bitmap.pixel(7, 5), red));
    }
}

TEST_CASE("layers: corners, borders, shadows and masks") {
    auto layer = Layer::make();
    layer->setFrame({10, 10, 40, 40});
    layer->setBackgroundColor(Color::rgb(1, 0, 0));
    auto render = [&] {
        RenderOptions options;
        options.background = Color::white();
        return pixels(drawing({60, 60}, 1, [&](GraphicsContext& c) { layer->render(c); }), options);
    };

    SUBCASE("rounded corners leave the corner out") {
        layer->setCornerRadius(15);
        auto bitmap = render();
        CHECK(near(bitmap.pixel(11, 11), white));
        CHECK(near(bitmap.pixel(30, 30), red));
        CHECK(near(bitmap.pixel(30, 11), red));
    }
    SUBCASE("a border lies inside the bounds") {
        layer->setBorderWidth(4);
        layer->setBorderColor(Color::rgb(0, 0, 1));
        auto bitmap = render();
        CHECK(near(bitmap.pixel(11, 30), blue));
        CHECK(near(bitmap.pixel(9, 30), white));  // nothing outside
        CHECK(near(bitmap.pixel(16, 30), red));
    }
    SUBCASE("a shadow darkens below the layer, fading with the distance") {
        layer->setShadowColor(Color::black());
        layer->setShadowOpacity(1);
        layer->setShadowOffset({0, 4});
        layer->setShadowRadius(2);
        auto bitmap = render();
        Pixel justBelow = bitmap.pixel(30, 51), further = bitmap.pixel(30, 54), far = bitmap.pixel(30, 59);
        CHECK(justBelow.red < 128);
        CHECK(further.red > justBelow.red);
        CHECK(near(far, white));
        CHECK(near(bitmap.pixel(30, 8), white));  // the offset points down
        CHECK(near(bitmap.pixel(30, 30), red));   // the layer stays over its shadow
        SUBCASE("but none when the layer clips to its bounds") {
            layer->setMasksToBounds(true);
            CHECK(near(render().pixel(30, 51), white));
        }
    }
    SUBCASE("a mask keeps only what it covers") {
        auto mask = Layer::make();
        mask->setFrame({0, 0, 20, 40});
        mask->setBackgroundColor(Color::black());
        layer->setMask(mask);
        auto bitmap = render();
        CHECK(near(bitmap.pixel(15, 30), red));
        CHECK(near(bitmap.pixel(45, 30), white));
    }
    SUBCASE("a sublayer's shadow crossing a band's edge comes out whole") {
        // 3000 points tall at scale 1: the shadow straddles the first band's end
        auto tall = Layer::make();
        tall->setFrame({0, 0, 20, 3000});
        tall->setBackgroundColor(Color::white());
        auto card = Layer::make();
        card->setFrame({5, 2030, 10, 40});
        card->setBackgroundColor(Color::rgb(1, 0, 0));
        card->setShadowOpacity(1);
        card->setShadowOffset({0, 10});
        card->setShadowRadius(2);
        tall->addSublayer(card);
        auto bitmap = pixels(drawing({20, 3000}, 1, [&](GraphicsContext& c) { tall->render(c); }));
        CHECK(near(bitmap.pixel(10, 2047), red));
        CHECK(near(bitmap.pixel(10, 2048), red));
        CHECK(near(bitmap.pixel(10, 2069), red));
        CHECK(bitmap.pixel(10, 2072).red < 128);  // the shadow under the card's end, in the next band
        CHECK(near(bitmap.pixel(10, 2025), white));
        CHECK(near(bitmap.pixel(10, 2999), white));
    }
}

TEST_CASE("a scroll view shows only the part of its content in its bounds") {
    // A tall red content in a 40-point scroller, scrolled by 0 and by 30:
    // the scroller's neighbours above and below stay white.
    for (const double scrolled : {0.0, 30.0}) {
        CAPTURE(scrolled);
        platform::ui::View root(Rect(0, 0, 60, 100));
        root.setBackgroundColor(Color::white());
        auto scroller = std::make_shared<platform::ui::ScrollView>(Rect(10, 30, 40, 40));
        auto content = std::make_shared<platform::ui::View>(Rect(0, -20, 40, 200));
        content->setBackgroundColor(Color::rgb(1, 0, 0));
        scroller->addSubview(content);
        scroller->setContentSize({40, 200});
        scroller->setContentOffset({0, scrolled});
        root.addSubview(scroller);
        auto image = root.snapshotImage();
        REQUIRE(image);
        auto bitmap = pixels(*image, RenderOptions{1, std::nullopt});
        CHECK(near(bitmap.pixel(30, 31), red));
        CHECK(near(bitmap.pixel(30, 68), red));
        CHECK(near(bitmap.pixel(30, 28), white));  // the content reaches above: cut
        CHECK(near(bitmap.pixel(30, 72), white));  // and far below: cut
        CHECK(near(bitmap.pixel(5, 50), white));
    }
}

TEST_CASE("text is set in real fonts within its rectangle") {
    RenderOptions options;
    options.background = Color::white();
    SUBCASE("a short word draws ink inside its rectangle only") {
        auto bitmap = pixels(drawing({100, 40}, 2, [](GraphicsContext& c) {
            c.drawText("Hello", Rect(10, 10, 60, 20), *Font::named("Avenir-Book", 14), Color::black());
        }), options);
        CHECK(anyInk(bitmap, 20, 20, 140, 60));
        CHECK_FALSE(anyInk(bitmap, 0, 0, 200, 16));
        CHECK_FALSE(anyInk(bitmap, 0, 64, 200, 80));
        CHECK_FALSE(anyInk(bitmap, 0, 0, 18, 80));
    }
    SUBCASE("a line wider in the real font is narrowed to its rectangle") {
        Font font = *Font::named("Avenir-Heavy", 20);
        std::string text = "Wwwwwwwwww";
        double laidOut = font.widthOf(text);
        auto bitmap = pixels(drawing({300, 40}, 1, [&](GraphicsContext& c) {
            c.drawText(text, Rect(0, 0, laidOut, 40), font, Color::black());
        }), options);
        CHECK(anyInk(bitmap, 0, 0, static_cast<int>(laidOut), 40));
        CHECK_FALSE(anyInk(bitmap, static_cast<int>(std::ceil(laidOut)) + 1, 0, 300, 40));
    }
    SUBCASE("wrapped text is narrowed into the lines the layout gave it, and cut short only without them") {
        // The real font is wider than the layout's estimate: these lines
        // take one more line in it than the layout counted.
        const std::string text = "The tutorial videos are played by the video site's embedded player, which learns "
                                 "your device's network address and may store cookies. Do you want to allow the "
                                 "embedded videos?";
        const Font font = Font::system(13);
        const double width = 238, lines = font.measure(text, width, 0).height;
        for (const double height : {lines, lines - font.lineHeight()}) {
            CAPTURE(height);
            const Rect rect(0, 0, width, height);
            auto image = drawing({width, height + 20}, 1, [&](GraphicsContext& c) {
                c.drawText(text, rect, font, Color::black(), TextAlignment::center);
            });
            const bool cut = height < lines;
            CHECK(platform::render::textCutShort(image.drawing().ops().front()) == cut);
            auto bitmap = pixels(image, options);
            // Never past its rectangle; its last line ends in the last line's height.
            CHECK_FALSE(anyInk(bitmap, 0, static_cast<int>(std::ceil(height)) + 1, static_cast<int>(width), bitmap.height()));
            CHECK(anyInk(bitmap, 0, static_cast<int>(height - font.lineHeight()) + 2, static_cast<int>(width),
                         static_cast<int>(height)));
        }
    }
    SUBCASE("centred and right-aligned text sits where its alignment puts it") {
        auto bitmap = pixels(drawing({200, 20}, 1, [](GraphicsContext& c) {
            c.drawText("i", Rect(0, 0, 200, 20), Font::system(14), Color::black(), TextAlignment::right);
            c.drawText("l", Rect(0, 0, 200, 20), Font::system(14), Color::black(), TextAlignment::center);
        }), options);
        CHECK(anyInk(bitmap, 190, 0, 200, 20));
        CHECK(anyInk(bitmap, 95, 0, 105, 20));
        CHECK_FALSE(anyInk(bitmap, 0, 0, 90, 20));
    }
    SUBCASE("coloured text keeps its colour in the strokes' middle") {
        auto bitmap = pixels(drawing({60, 60}, 3, [](GraphicsContext& c) {
            c.drawText("I", Rect(0, 0, 60, 60), Font::boldSystem(40), Color::rgb(1, 0.2, 0.2),
                       TextAlignment::center);
        }), options);
        bool found = false;
        for (int y = 0; y < bitmap.height() && !found; ++y) {
            for (int x = 0; x < bitmap.width() && !found; ++x) found = near(bitmap.pixel(x, y), {255, 51, 51, 255}, 1);
        }
        CHECK(found);
    }
    SUBCASE("the fallback families") {
        CHECK(platform::render::detail::fallbackFamily(*Font::named("Avenir-Book", 12)) == "DejaVu Sans");
        CHECK(platform::render::detail::fallbackFamily(*Font::named("Menlo-Regular", 12)) == "DejaVu Sans Mono");
        CHECK(platform::render::detail::fallbackFamily(*Font::named("Georgia", 12)) == "DejaVu Serif");
    }
}

TEST_CASE("images: nested drawings, tinted templates, symbols and bundle files") {
    SUBCASE("an image drawn into a rectangle is scaled to it") {
        Image tile = drawing({2, 2}, 1, [](GraphicsContext& c) {
            c.setFillColor(Color::rgb(1, 0, 0));
            c.fill({0, 0, 1, 2});
            c.setFillColor(Color::rgb(0, 0, 1));
            c.fill({1, 0, 1, 2});
        });
        auto bitmap = pixels(drawing({40, 20}, 1, [&](GraphicsContext& c) { c.drawImage(tile, {10, 0, 20, 20}); }));
        CHECK(near(bitmap.pixel(12, 10), red));
        CHECK(near(bitmap.pixel(27, 10), blue));
        CHECK(near(bitmap.pixel(5, 10), clear));
        CHECK(near(bitmap.pixel(35, 10), clear));
    }
    SUBCASE("a template icon in an image view shows in the tint colour") {
        platform::ui::ImageView view(Rect(0, 0, 24, 24));
        view.setImage(Image({24, 24}, 1, {}, "ic_add").withRenderingMode(RenderingMode::alwaysTemplate));
        view.setTintColor(Color::rgb(0, 0.5, 0));
        auto image = view.snapshotImage();
        REQUIRE(image);
        auto bitmap = pixels(*image, RenderOptions{4, std::nullopt});
        CHECK(near(bitmap.pixel(48, 48), {0, 128, 0, 255}));  // the plus's centre
        CHECK(near(bitmap.pixel(8, 8), clear));
    }
    SUBCASE("a floating button is round and its icon follows the button's tint as it changes") {
        const Pixel filled{77, 102, 255, 255};
        const double scale = 4;
        for (const Size size : {Size{52, 52}, Size{52, 40}, Size{30, 60}}) {
            CAPTURE(size.width);
            CAPTURE(size.height);
            platform::material::FABButton button(Rect(0, 0, size.width, size.height));
            button.setTintColor(Color::rgb(0, 0, 1));
            button.setImage(platform::material::Icon::add());
            button.setBackgroundColor(Color::rgb(0.3, 0.4, 1));
            button.setTintColor(Color::rgb(1, 1, 1));  // styled after the icon was set
            button.layoutIfNeeded();
            auto image = button.snapshotImage();
            REQUIRE(image);
            auto bitmap = pixels(*image, RenderOptions{scale, std::nullopt});
            auto at = [&](double x, double y) {
                return bitmap.pixel(static_cast<int>(x * scale), static_cast<int>(y * scale));
            };
            CHECK(near(at(size.width / 2, size.height / 2), white, 3));  // the plus's centre, in the new tint
            CHECK(near(at(size.width / 2, 0.5), filled, 3));           // the middle of each side is reached
            CHECK(near(at(0.5, size.height / 2), filled, 3));
            // Each corner is an arc of half the shorter side: just inside it is
            // filled, just outside it is clear.
            const double r = std::min(size.width, size.height) / 2;
            for (const auto& [sx, sy] : {std::pair{-1, -1}, std::pair{1, -1}, std::pair{-1, 1}, std::pair{1, 1}}) {
                const double cx = sx < 0 ? r : size.width - r, cy = sy < 0 ? r : size.height - r;
                const double dx = sx / std::numbers::sqrt2, dy = sy / std::numbers::sqrt2;
                CHECK(near(at(cx + dx * (r - 1.5), cy + dy * (r - 1.5)), filled, 3));
                CHECK(near(at(cx + dx * (r + 1.5), cy + dy * (r + 1.5)), clear));
            }
        }
        SUBCASE("resizing keeps it round") {
            platform::material::FABButton button(Rect(0, 0, 20, 20));
            button.setFrame(Rect(0, 0, 60, 44));
            CHECK(button.layer()->cornerRadius() == 22);
            button.setBounds(Rect(0, 0, 36, 50));
            CHECK(button.layer()->cornerRadius() == 18);
        }
    }
    SUBCASE("a picture from the bundle is drawn from its file") {
        testsupport::TempDir bundle;
        Bitmap tile(2, 1);
        tile.row(0)[0] = 0xFFFF0000u;
        tile.row(0)[1] = 0xFF0000FFu;
        REQUIRE(platform::render::writePNG(tile, bundle / "tile@2x.png"));
        platform::Bundle::setMainResourcePath(bundle.path());
        auto named = Image::named("tile");
        REQUIRE(named);
        CHECK(named->size() == Size{1, 0.5});
        auto bitmap = pixels(*named, RenderOptions{20, std::nullopt});
        CHECK(near(bitmap.pixel(4, 5), red));
        CHECK(near(bitmap.pixel(16, 5), blue));
        platform::Bundle::setMainResourcePath({});
    }
    SUBCASE("an image with nothing to show is drawn as nothing") {
        auto bitmap = pixels(Image({4, 4}, 1, {}, "no such picture"));
        CHECK(near(bitmap.pixel(2, 2), clear));
    }
}

TEST_CASE("dynamic colours, refusals and the PNG of an image") {
    Image page = drawing({4, 4}, 1, [](GraphicsContext& c) {
        c.setFillColor(Color::systemBackground());
        c.fill({0, 0, 4, 4});
    });
    {
        InterfaceStyleScope dark(InterfaceStyle::dark);
        CHECK(near(pixels(page).pixel(1, 1), {0, 0, 0, 255}));
    }
    {
        InterfaceStyleScope light(InterfaceStyle::light);
        CHECK(near(pixels(page).pixel(1, 1), white));
    }
    std::string why;
    CHECK_FALSE(rasterize(Image({0, 10}), {}, &why));
    CHECK(why == "the image has no pixels");
    CHECK_FALSE(rasterize(Image({20000, 20000}, 1), {}, &why));
    CHECK(why.find("too large") != std::string::npos);

    testsupport::TempDir folder;
    REQUIRE(platform::render::writePNG(page, folder / "page.png"));
    auto bytes = platform::render::pngData(page);
    REQUIRE(bytes);
    CHECK(bytes->substr(1, 3) == "PNG");
    CHECK_FALSE(platform::render::pngData(Image({0, 0})));
}

TEST_CASE("the LaTeX label's boxes: every glyph inked where it was laid out, rules and colours") {
    struct Case {
        const char* latex;
        const char* what;
    };
    const std::vector<Case> cases{{"\\frac{1}{2}", "a fraction"},
                                  {"\\binom{5}{2} \\cdot 0.3^{2}", "a binomial and a power"},
                                  {"P = \\color{#ff3333}{0.7}^{3}", "a coloured part"}};
    for (const auto& c : cases) {
        CAPTURE(c.what);
        platform::math::MTMathUILabel label(Rect(0, 0, 10, 10));
        label.setFontSize(30);
        label.setLatex(c.latex);
        REQUIRE_FALSE(label.error());
        auto image = label.snapshotImage();
        REQUIRE(image);
        RenderOptions options{2, Color::white()};
        auto bitmap = pixels(*image, options);
        std::size_t glyphs = 0;
        for (const auto& op : image->drawing().ops()) {
            if (op.kind != DrawOp::Kind::text && op.kind != DrawOp::Kind::fillRect) continue;
            Point a = op.transform.apply(op.rect.origin);
            Rect box(a, op.rect.size);
            CAPTURE(op.text);
            // ink (dark or coloured) inside the box the layout gave it
            bool inked = false;
            for (int y = static_cast<int>(box.minY() * 2) - 2; y <= static_cast<int>(box.maxY() * 2) + 2 && !inked; ++y) {
                for (int x = static_cast<int>(box.minX() * 2) - 2; x <= static_cast<int>(box.maxX() * 2) + 2; ++x) {
                    Pixel p = bitmap.pixel(x, y);
                    if (p.alpha > 0 && (p.green < 128 || p.blue < 128)) {
                        inked = true;
                        break;
                    }
                }
            }
            CHECK(inked);
            if (op.kind == DrawOp::Kind::text) ++glyphs;
        }
        CHECK(glyphs >= 2);
        if (std::string(c.latex).find("ff3333") != std::string::npos) {
            bool coloured = false;
            for (int y = 0; y < bitmap.height() && !coloured; ++y) {
                for (int x = 0; x < bitmap.width() && !coloured; ++x) coloured = near(bitmap.pixel(x, y), {255, 51, 51, 255});
            }
            CHECK(coloured);
        }
    }
}

namespace {

// Runs of columns (or rows) holding dark ink, as [first, last] pairs.
std::vector<std::pair<int, int>> inkRuns(const Bitmap& bitmap, bool columns, int from, int to) {
    std::vector<std::pair<int, int>> runs;
    const int count = columns ? bitmap.width() : bitmap.height();
    for (int i = 0; i < count; ++i) {
        const bool inked = columns ? anyInk(bitmap, i, from, i + 1, to) : anyInk(bitmap, from, i, to, i + 1);
        if (!inked) continue;
        if (!runs.empty() && runs.back().second == i - 1) runs.back().second = i;
        else runs.emplace_back(i, i);
    }
    return runs;
}

Bitmap latexPixels(const std::string& latex) {
    platform::math::MTMathUILabel label(Rect(0, 0, 10, 10));
    label.setFontSize(30);
    label.setLatex(latex);
    REQUIRE_FALSE(label.error());
    auto image = label.snapshotImage();
    REQUIRE(image);
    return pixels(*image, RenderOptions{2, Color::white()});
}

}  // namespace

TEST_CASE("the LaTeX label's glyphs sit in their advances: even gaps around a relation, an accent just above") {
    const double em = 30 * 2;  // pixels
    SUBCASE("a relation has the same room on both sides") {
        for (const char* latex : {"1 = 3", "10 \\approx 4", "2 + 8"}) {
            CAPTURE(latex);
            auto bitmap = latexPixels(latex);
            auto runs = inkRuns(bitmap, true, 0, bitmap.height());
            // the last three runs: the left operand's last digit, the symbol, the right operand
            REQUIRE(runs.size() >= 3);
            const auto& left = runs[runs.size() - 3];
            const auto& symbol = runs[runs.size() - 2];
            const auto& right = runs.back();
            const int before = symbol.first - left.second, after = right.first - symbol.second;
            CHECK(before > 0.1 * em);
            CHECK(std::abs(before - after) < 0.12 * em);
        }
    }
    SUBCASE("a hat sits just above what it marks") {
        auto bitmap = latexPixels("\\hat{=}");
        auto rows = inkRuns(bitmap, false, 0, bitmap.width());
        REQUIRE(rows.size() == 3);  // the hat, the two bars of the sign
        const int gap = rows[1].first - rows[0].second;
        CHECK(gap > 0);
        CHECK(gap < 0.25 * em);
    }
}
