// Views and the screen drawn to PNG files.
#include "platform/render/screen_snapshot.h"

#include "platform/render/png_codec.h"
#include "platform/render/rasterizer.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"

namespace platform::render {

std::optional<PixelSize> writeViewPNG(ui::View& view, const std::filesystem::path& file, double scale,
                                      std::string* why) {
    view.layoutIfNeeded();
    auto image = view.snapshotImage();
    if (!image) {
        if (why) *why = "the view has no area";
        return std::nullopt;
    }
    RenderOptions options;
    options.scale = scale > 0 ? scale : ui::Screen::main().scale();
    options.background = gfx::Color::systemBackground();
    auto bitmap = rasterize(*image, options, why);
    if (!bitmap || !writePNG(*bitmap, file, why)) return std::nullopt;
    return PixelSize{bitmap->width(), bitmap->height()};
}

std::optional<PixelSize> writeScreenPNG(const std::filesystem::path& file, double scale, std::string* why) {
    auto window = ui::Application::shared().keyWindow();
    if (!window) {
        if (why) *why = "there is no key window";
        return std::nullopt;
    }
    return writeViewPNG(*window, file, scale, why);
}

}  // namespace platform::render
