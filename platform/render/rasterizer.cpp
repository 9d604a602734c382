// Recorded images drawn into pixels, band by band, so no surface grows
// past what the drawing library allows however tall the image is.
#include "platform/render/rasterizer.h"

#include <cairo.h>

#include <cmath>
#include <cstring>

#include "platform/render/painter.h"
#include "platform/render/png_codec.h"

namespace platform::render {

namespace {

constexpr int kBandRows = 2048;
// Drawn above and below each band and then dropped, so shadows and blurs
// that cross a band's edge come out whole.
constexpr int kBandMargin = 96;

int pixelsFor(double points, double scale) {
    return static_cast<int>(std::ceil(points * scale - 1e-6));
}

void paintBackground(cairo_t* cr, const std::optional<gfx::Color>& background) {
    if (!background) return;
    auto rgba = background->rgba();
    if (!rgba) return;
    cairo_set_source_rgba(cr, rgba->red, rgba->green, rgba->blue, std::clamp(rgba->alpha, 0.0, 1.0));
    cairo_paint(cr);
}

void renderBand(const gfx::Image& image, double scale, const RenderOptions& options, Bitmap& bitmap, int top,
                int rows) {
    int above = std::min(kBandMargin, top);
    int below = std::min(kBandMargin, bitmap.height() - top - rows);
    detail::PixelBox box{0, top - above, bitmap.width(), top + rows + below};
    cairo_surface_t* surface = detail::makeSurface(box);
    {
        cairo_t* cr = cairo_create(surface);
        paintBackground(cr, options.background);
        cairo_destroy(cr);
        detail::Painter painter(surface, box);
        gfx::DrawOp whole;
        whole.kind = gfx::DrawOp::Kind::image;
        whole.rect = gfx::Rect(0, 0, image.size().width, image.size().height);
        whole.image = std::make_shared<const gfx::Image>(image);
        painter.paintImage(whole, gfx::AffineTransform::scale(scale, scale), 1.0);
    }
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < rows; ++y) {
        std::memcpy(bitmap.row(top + y), data + static_cast<std::ptrdiff_t>(y + above) * stride,
                    static_cast<std::size_t>(bitmap.width()) * 4);
    }
    cairo_surface_destroy(surface);
}

}  // namespace

std::optional<Bitmap> rasterize(const gfx::Image& image, const RenderOptions& options, std::string* why) {
    double scale = options.scale > 0 ? options.scale : image.scale();
    double width = image.size().width * scale, height = image.size().height * scale;
    if (!std::isfinite(width) || !std::isfinite(height) || !(width > 0) || !(height > 0)) {
        if (why) *why = "the image has no pixels";
        return std::nullopt;
    }
    if (width * height > kMaximumPixels || width > 32000) {
        if (why) *why = "the image is too large to draw (" + std::to_string(static_cast<long long>(width)) + " x " +
                        std::to_string(static_cast<long long>(height)) + " pixels)";
        return std::nullopt;
    }
    Bitmap bitmap(pixelsFor(image.size().width, scale), pixelsFor(image.size().height, scale));
    for (int top = 0; top < bitmap.height(); top += kBandRows) {
        renderBand(image, scale, options, bitmap, top, std::min(kBandRows, bitmap.height() - top));
    }
    return bitmap;
}

bool writePNG(const gfx::Image& image, const std::filesystem::path& file, const RenderOptions& options,
              std::string* why) {
    auto bitmap = rasterize(image, options, why);
    return bitmap && writePNG(*bitmap, file, why);
}

std::optional<std::string> pngData(const gfx::Image& image, const RenderOptions& options) {
    auto bitmap = rasterize(image, options);
    if (!bitmap) return std::nullopt;
    return encodePNG(*bitmap);
}

}  // namespace platform::render
