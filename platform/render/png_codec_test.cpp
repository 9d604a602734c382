// PNG files read back by the drawing library's own reader.
#include <doctest/doctest.h>

#include <cairo.h>

#include <cstdint>
#include <fstream>

#include "platform/render/png_codec.h"
#include "testsupport/temp_dir.h"

using platform::render::Bitmap;
using platform::render::Pixel;

namespace {

std::uint32_t premultiplied(Pixel p) {
    auto scale = [&](std::uint8_t c) { return static_cast<std::uint32_t>((c * p.alpha + 127) / 255); };
    return (static_cast<std::uint32_t>(p.alpha) << 24) | (scale(p.red) << 16) | (scale(p.green) << 8) | scale(p.blue);
}

// The file's pixels as cairo reads them (premultiplied words).
std::vector<std::uint32_t> decoded(const std::filesystem::path& file, int& width, int& height) {
    cairo_surface_t* surface = cairo_image_surface_create_from_png(file.c_str());
    REQUIRE(cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS);
    width = cairo_image_surface_get_width(surface);
    height = cairo_image_surface_get_height(surface);
    int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    std::vector<std::uint32_t> words;
    for (int y = 0; y < height; ++y) {
        auto row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        words.insert(words.end(), row, row + width);
    }
    cairo_surface_destroy(surface);
    return words;
}

}  // namespace

TEST_CASE("PNG files hold the bitmap's pixels") {
    testsupport::TempDir folder;
    struct Case {
        const char* name;
        int width, height;
    };
    const std::vector<Case> cases{{"a small square", 7, 5}, {"one tall column past 32767 rows", 2, 40000}};
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Bitmap bitmap(c.width, c.height);
        const std::vector<Pixel> palette{
            {255, 0, 0, 255}, {0, 128, 255, 255}, {10, 20, 30, 128}, {0, 0, 0, 0}, {255, 255, 255, 1}};
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                bitmap.row(y)[x] = premultiplied(palette[static_cast<std::size_t>(x * 3 + y) % palette.size()]);
            }
        }
        auto file = folder / (std::string(c.name) + ".png");
        std::string why;
        REQUIRE(platform::render::writePNG(bitmap, file, &why));
        int width = 0, height = 0;
        if (c.height > 32767) {
            // beyond what the reader takes: check the header and the size instead
            std::ifstream in(file, std::ios::binary);
            std::string head(24, '\0');
            in.read(head.data(), 24);
            CHECK(head.substr(1, 3) == "PNG");
            auto be32 = [&](std::size_t at) {
                return (static_cast<unsigned>(static_cast<unsigned char>(head[at])) << 24) |
                       (static_cast<unsigned>(static_cast<unsigned char>(head[at + 1])) << 16) |
                       (static_cast<unsigned>(static_cast<unsigned char>(head[at + 2])) << 8) |
                       static_cast<unsigned>(static_cast<unsigned char>(head[at + 3]));
            };
            CHECK(be32(16) == 2u);
            CHECK(be32(20) == 40000u);
            continue;
        }
        auto words = decoded(file, width, height);
        REQUIRE(width == c.width);
        REQUIRE(height == c.height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                Pixel expected = bitmap.pixel(x, y);
                Pixel read = platform::render::unpremultiply(words[static_cast<std::size_t>(y * width + x)]);
                CHECK(read.alpha == expected.alpha);
                if (expected.alpha >= 128) {  // colour survives premultiplication only where there is enough alpha
                    CHECK(std::abs(read.red - expected.red) <= 2);
                    CHECK(std::abs(read.green - expected.green) <= 2);
                    CHECK(std::abs(read.blue - expected.blue) <= 2);
                }
            }
        }
    }

    SUBCASE("an empty bitmap makes no file") {
        std::string why;
        CHECK(platform::render::encodePNG(Bitmap()).empty());
        CHECK_FALSE(platform::render::writePNG(Bitmap(0, 10), folder / "empty.png", &why));
        CHECK(why == "the image has no pixels");
        CHECK_FALSE(std::filesystem::exists(folder / "empty.png"));
    }
    SUBCASE("a file that cannot be written is reported, not pretended") {
        std::string why;
        Bitmap one(1, 1);
        CHECK_FALSE(platform::render::writePNG(one, "/proc/velmora-cannot-write/x.png", &why));
        CHECK_FALSE(why.empty());
    }
}
