#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/gfx/geometry.h"
#include "platform/gfx/graphics_context.h"

namespace platform::gfx {

enum class RenderingMode { automatic, alwaysOriginal, alwaysTemplate };

// An image: a size in points, a scale, and the drawing that makes it (a
// display list; empty for an image read from a file, which only carries its
// name and size). Copies share the drawing.
class Image {
public:
    Image(Size size, double scale = 1, DisplayList drawing = {}, std::string name = {});

    // A named image: one registered under the name, else "<name>.png" (or
    // "@2x"/"@3x") in the main bundle; none when there is neither.
    static std::optional<Image> named(const std::string& name);
    // A symbol image of the platform ("lock.fill", "xmark", ...), 24 points square.
    static std::optional<Image> systemNamed(const std::string& name);
    static void registerNamed(const std::string& name, const Image& image);
    static void unregisterAll();

    Size size() const { return size_; }
    double scale() const { return scale_; }
    const DisplayList& drawing() const;
    const std::string& name() const { return name_; }
    bool isSymbol() const { return symbol_; }
    RenderingMode renderingMode() const { return mode_; }
    Image withRenderingMode(RenderingMode mode) const;

    std::string description() const;  // "image(name 24x24)"
    bool operator==(const Image& other) const;

private:
    Size size_;
    double scale_;
    std::shared_ptr<const DisplayList> drawing_;
    std::string name_;
    bool symbol_ = false;
    RenderingMode mode_ = RenderingMode::automatic;
};

// The scale of the main display; image renderers use it by default.
double displayScale();
void setDisplayScale(double scale);

struct ImageRendererFormat {
    double scale = 0;      // 0: the display scale
    bool opaque = false;
};

// Draws into a fresh recording context of a size and returns the image.
class ImageRenderer {
public:
    explicit ImageRenderer(Size size, ImageRendererFormat format = {});
    // None when the size has no area.
    std::optional<Image> image(const std::function<void(GraphicsContext&)>& actions) const;

private:
    Size size_;
    ImageRendererFormat format_;
};

// The older begin/end form of an image context. Beginning with a size without
// area makes no context, and the image of it is none.
void beginImageContext(Size size, bool opaque, double scale);
std::optional<Image> imageFromCurrentImageContext();
void endImageContext();

}  // namespace platform::gfx
