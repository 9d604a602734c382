#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/animation.h"
#include "platform/gfx/color.h"
#include "platform/gfx/geometry.h"
#include "platform/gfx/graphics_context.h"
#include "platform/gfx/image.h"
#include "platform/gfx/path.h"

namespace platform::gfx {

class Layer;

// Draws a layer's own content (a view draws itself through its layer).
class LayerDelegate {
public:
    virtual ~LayerDelegate() = default;
    virtual void drawLayer(Layer& layer, GraphicsContext& context) = 0;
};

// A node of the layer tree: geometry, colours, shadow, corner, mask,
// transform, sublayers and attached animations. Layers are shared objects:
// make them with Layer::make() (or std::make_shared of a subclass).
//
// Geometry: bounds (its origin is the scroll offset of the content) and a
// position, the centre of the frame in the superlayer. The transform turns
// the drawing about that centre; the frame does not follow it.
class Layer : public std::enable_shared_from_this<Layer> {
public:
    static std::shared_ptr<Layer> make();
    Layer() = default;
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    Rect frame() const;
    void setFrame(const Rect& frame);
    const Rect& bounds() const { return bounds_; }
    void setBounds(const Rect& bounds) { bounds_ = bounds; }
    Point position() const { return position_; }
    void setPosition(Point position) { position_ = position; }
    const AffineTransform& transform() const { return transform_; }
    void setTransform(const AffineTransform& t) { transform_ = t; }

    const std::optional<Color>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<Color> c) { backgroundColor_ = std::move(c); }
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double r) { cornerRadius_ = r; }
    bool masksToBounds() const { return masksToBounds_; }
    void setMasksToBounds(bool m) { masksToBounds_ = m; }
    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double w) { borderWidth_ = w; }
    const std::optional<Color>& borderColor() const { return borderColor_; }
    void setBorderColor(std::optional<Color> c) { borderColor_ = std::move(c); }

    const std::optional<Color>& shadowColor() const { return shadowColor_; }
    void setShadowColor(std::optional<Color> c) { shadowColor_ = std::move(c); }
    double shadowOpacity() const { return shadowOpacity_; }
    void setShadowOpacity(double o) { shadowOpacity_ = o; }
    Size shadowOffset() const { return shadowOffset_; }
    void setShadowOffset(Size s) { shadowOffset_ = s; }
    double shadowRadius() const { return shadowRadius_; }
    void setShadowRadius(double r) { shadowRadius_ = r; }
    const std::optional<Path>& shadowPath() const { return shadowPath_; }
    void setShadowPath(std::optional<Path> p) { shadowPath_ = std::move(p); }

    double opacity() const { return opacity_; }
    void setOpacity(double o) { opacity_ = o; }
    bool isHidden() const { return hidden_; }
    void setHidden(bool h) { hidden_ = h; }
    const std::string& name() const { return name_; }
    void setName(std::string n) { name_ = std::move(n); }
    const std::optional<Image>& contents() const { return contents_; }
    void setContents(std::optional<Image> image) { contents_ = std::move(image); }

    // Tree.
    const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
    Layer* superlayer() const { return superlayer_; }
    void addSublayer(const std::shared_ptr<Layer>& layer);
    void insertSublayer(const std::shared_ptr<Layer>& layer, std::size_t index);
    void insertSublayerBelow(const std::shared_ptr<Layer>& layer, const Layer* sibling);
    void insertSublayerAbove(const std::shared_ptr<Layer>& layer, const Layer* sibling);
    void removeFromSuperlayer();
    const std::shared_ptr<Layer>& mask() const { return mask_; }
    void setMask(std::shared_ptr<Layer> mask) { mask_ = std::move(mask); }

    // Drawing.
    void setDelegate(LayerDelegate* delegate) { delegate_ = delegate; }
    LayerDelegate* delegate() const { return delegate_; }
    void setNeedsDisplay() { needsDisplay_ = true; }
    bool needsDisplay() const { return needsDisplay_; }
    // Draws this layer and its sublayers into the context, in the
    // coordinates of the superlayer.
    void render(GraphicsContext& context);
    // Draws this layer and its sublayers with this layer's top-left corner at
    // the context's origin (a snapshot of the layer).
    void renderInContext(GraphicsContext& context);

    // Animations, by key; adding under a used key replaces the old one.
    void addAnimation(const BasicAnimation& animation, const std::string& key);
    const BasicAnimation* animation(const std::string& key) const;
    std::vector<std::string> animationKeys() const;
    void removeAnimation(const std::string& key);
    void removeAllAnimations();
    // The value a key path shows: the end value of an attached animation of
    // it (animations take effect at once), else the layer's own value.
    std::optional<double> presentationValue(const std::string& keyPath) const;
    virtual std::optional<double> modelValue(const std::string& keyPath) const;

    // Short notes of what is set ("corner 10", "shadow #8e8e93 0.7 0 1 r1") for dumps.
    virtual void describe(std::vector<std::string>& notes) const;

protected:
    virtual void drawContents(GraphicsContext& context);

private:
    struct AttachedAnimation;
    void detach(std::size_t index, bool finished);
    void beginEffects(GraphicsContext& context);
    void drawBorder(GraphicsContext& context, const Rect& local);

    Rect bounds_;
    Point position_;
    AffineTransform transform_;
    std::optional<Color> backgroundColor_;
    double cornerRadius_ = 0;
    bool masksToBounds_ = false;
    double borderWidth_ = 0;
    std::optional<Color> borderColor_ = Color::black();
    std::optional<Color> shadowColor_ = Color::black();
    double shadowOpacity_ = 0;
    Size shadowOffset_{0, -3};
    double shadowRadius_ = 3;
    std::optional<Path> shadowPath_;
    double opacity_ = 1;
    bool hidden_ = false;
    std::string name_;
    std::optional<Image> contents_;
    std::vector<std::shared_ptr<Layer>> sublayers_;
    Layer* superlayer_ = nullptr;
    std::shared_ptr<Layer> mask_;
    LayerDelegate* delegate_ = nullptr;
    bool needsDisplay_ = false;
    std::vector<std::pair<std::string, std::shared_ptr<AttachedAnimation>>> animations_;
};

// A layer that draws a path.
class ShapeLayer : public Layer {
public:
    static std::shared_ptr<ShapeLayer> make();

    const std::optional<Path>& path() const { return path_; }
    void setPath(std::optional<Path> p) { path_ = std::move(p); }
    const std::optional<Color>& fillColor() const { return fillColor_; }
    void setFillColor(std::optional<Color> c) { fillColor_ = std::move(c); }
    const std::optional<Color>& strokeColor() const { return strokeColor_; }
    void setStrokeColor(std::optional<Color> c) { strokeColor_ = std::move(c); }
    double lineWidth() const { return lineWidth_; }
    void setLineWidth(double w) { lineWidth_ = w; }
    LineJoin lineJoin() const { return lineJoin_; }
    void setLineJoin(LineJoin j) { lineJoin_ = j; }
    double strokeStart() const { return strokeStart_; }
    void setStrokeStart(double s) { strokeStart_ = s; }
    double strokeEnd() const { return strokeEnd_; }
    void setStrokeEnd(double e) { strokeEnd_ = e; }
    const std::vector<double>& lineDashPattern() const { return lineDash_; }
    void setLineDashPattern(std::vector<double> d) { lineDash_ = std::move(d); }

    std::optional<double> modelValue(const std::string& keyPath) const override;
    void describe(std::vector<std::string>& notes) const override;

protected:
    void drawContents(GraphicsContext& context) override;

private:
    std::optional<Path> path_;
    std::optional<Color> fillColor_ = Color::black();
    std::optional<Color> strokeColor_;
    double lineWidth_ = 1;
    LineJoin lineJoin_ = LineJoin::miter;
    double strokeStart_ = 0;
    double strokeEnd_ = 1;
    std::vector<double> lineDash_;
};

}  // namespace platform::gfx
