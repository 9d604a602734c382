// Replays recorded drawing onto cairo surfaces (used by the rasterizer).
#pragma once

#include <cairo.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/gfx/graphics_context.h"
#include "platform/gfx/image.h"
#include "platform/render/pixel_box.h"

namespace platform::render::detail {

class TextPainter;

// Paints display lists into a target surface that covers a box of device
// pixels. Groups (layers with shadows or masks) and tinted images are drawn
// on surfaces of their own, only as large as what they touch, then
// composited; clips narrow the surface being drawn on.
class Painter {
public:
    // The target's pixel (0, 0) is device pixel (box.x0, box.y0).
    Painter(cairo_surface_t* target, PixelBox box);
    ~Painter();
    Painter(const Painter&) = delete;
    Painter& operator=(const Painter&) = delete;

    // `toDevice` maps the drawing's points to device pixels.
    void paint(const gfx::DisplayList& list, const gfx::AffineTransform& toDevice, double alpha);
    // One image in a rectangle, as an image operation draws it.
    void paintImage(const gfx::DrawOp& op, const gfx::AffineTransform& toDevice, double alpha);

private:
    struct Frame {
        cairo_surface_t* surface = nullptr;  // none: nothing drawn here can be seen
        cairo_t* cr = nullptr;
        PixelBox box;
        bool owned = false;
    };
    struct OpenScope {
        const gfx::DrawScope* node = nullptr;
        bool saved = false;  // a clip that saved the frame's state
    };

    Frame& top() { return frames_.back(); }
    void setMatrix(const gfx::AffineTransform& t);
    void pushFrame(PixelBox box);
    Frame popFrame();
    void openScope(OpenScope& scope, const gfx::DisplayList& list, std::size_t from, const gfx::AffineTransform& toDevice);
    void closeScope(const OpenScope& scope, const gfx::AffineTransform& toDevice);
    void composite(Frame& group, const gfx::DrawScope& node, const gfx::AffineTransform& toDevice);
    void castShadow(Frame& group, const gfx::Shadow& shadow, const gfx::AffineTransform& nodeToDevice);
    void draw(const gfx::DrawOp& op, const gfx::AffineTransform& toDevice, double alpha);
    bool setColor(const std::optional<gfx::Color>& color, double alpha);
    void paintImageContent(const gfx::Image& image, const gfx::AffineTransform& imageToDevice,
                           const std::optional<gfx::Color>& colour, double alpha);

    std::vector<Frame> frames_;
    std::unique_ptr<TextPainter> text_;
};

// The device pixels an operation can touch.
PixelBox reachOf(const gfx::DrawOp& op, const gfx::AffineTransform& toDevice);

// A cairo surface of straight ARGB pixels made for a box, cleared.
cairo_surface_t* makeSurface(const PixelBox& box);
void setCairoMatrix(cairo_t* cr, const gfx::AffineTransform& t);
void addPath(cairo_t* cr, const gfx::Path& path);

}  // namespace platform::render::detail
