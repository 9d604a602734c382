#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/color.h"
#include "platform/gfx/font.h"
#include "platform/gfx/geometry.h"
#include "platform/gfx/path.h"

namespace platform::gfx {

class DisplayList;
class Image;

enum class TextAlignment { left = 0, center = 1, right = 2, justified = 3, natural = 4 };
enum class LineJoin { miter, round, bevel };
enum class LineCap { butt, round, square };

// A shadow cast by what a layer draws, in the layer's own space.
struct Shadow {
    Color color = Color::black();
    double opacity = 0;
    Size offset;
    double radius = 0;
    std::optional<Path> path;  // the shape that casts it; none: whatever is drawn
};

// What encloses a drawing operation: a clip that limits it, or a group that
// is composited as one piece (a layer with a shadow or a mask). Scopes chain
// outward through `parent`; the operations made inside one scope share its
// node, so whoever replays the drawing can tell where a group begins and ends
// without the save and restore calls being recorded.
struct DrawScope {
    enum class Kind { clip, group };
    Kind kind = Kind::clip;
    AffineTransform transform;                // the scope's own space into the drawing's
    Path clipPath;                            // clip: what stays visible
    std::optional<Shadow> shadow;             // group: cast under the group
    std::shared_ptr<const DisplayList> mask;  // group: where it covers, the group shows
    std::shared_ptr<const DrawScope> parent;
};

// One recorded drawing operation, with the transform and the drawing state
// that were current when it was made.
struct DrawOp {
    enum class Kind { fillRect, strokeRect, clearRect, fillEllipse, strokeEllipse, fillPath, strokePath, text, image, clip };

    Kind kind = Kind::fillRect;
    AffineTransform transform;
    Rect rect;                       // rectangles, ellipses, text and image frames
    Path path;                       // paths and clips
    std::string text;
    std::optional<Font> font;
    std::optional<Color> color;      // fill or stroke colour; none for text in the default colour;
                                     // an image's tint (template images take it as their colour)
    TextAlignment alignment = TextAlignment::left;
    double lineWidth = 1;
    LineJoin lineJoin = LineJoin::miter;
    std::vector<double> lineDash;
    double alpha = 1;
    std::shared_ptr<const Image> image;
    std::shared_ptr<const DrawScope> scope;  // the innermost clip or group in force; none at the top

    static std::string kindName(Kind kind);
};

// What a drawing produced, in order. Images are display lists with a size.
class DisplayList {
public:
    void append(DrawOp op) { ops_.push_back(std::move(op)); }
    // Another list's operations, moved by the transform, faded by the alpha
    // and placed inside the enclosing scope (their own scopes moved along).
    void append(const DisplayList& other, const AffineTransform& transform, double alpha,
                const std::shared_ptr<const DrawScope>& enclosing = nullptr);
    const std::vector<DrawOp>& ops() const { return ops_; }
    bool empty() const { return ops_.empty(); }
    std::size_t size() const { return ops_.size(); }

    // Every text drawn, in order, nested images included.
    std::vector<std::string> texts() const;
    std::size_t count(DrawOp::Kind kind) const;
    // One line per operation: kind, geometry in the drawing's own space
    // (the transform applied), colour, text.
    std::string dump() const;

private:
    std::vector<DrawOp> ops_;
};

// A drawing surface that records. Contexts form a stack per thread; the top
// one is the "current" context that views draw into.
class GraphicsContext {
public:
    explicit GraphicsContext(Size size = {}, double scale = 1);

    Size size() const { return size_; }
    double scale() const { return scale_; }

    void saveGState();
    void restoreGState();
    void translateBy(double dx, double dy);
    void rotateBy(double radians);
    void scaleBy(double sx, double sy);
    void concatenate(const AffineTransform& t);
    const AffineTransform& ctm() const { return state_.ctm; }

    void setFillColor(const Color& c) { state_.fill = c; }
    void setStrokeColor(const Color& c) { state_.stroke = c; }
    void setLineWidth(double w) { state_.lineWidth = w; }
    void setLineJoin(LineJoin j) { state_.lineJoin = j; }
    void setLineDash(std::vector<double> lengths) { state_.lineDash = std::move(lengths); }
    void setAlpha(double a) { state_.alpha = a; }
    double alpha() const { return state_.alpha; }
    double lineWidth() const { return state_.lineWidth; }

    void fill(const Rect& r);
    void stroke(const Rect& r);
    void clear(const Rect& r);
    void fillEllipse(const Rect& r);
    void strokeEllipse(const Rect& r);

    // The current path, consumed by fillPath, strokePath and clip.
    void beginPath();
    void moveTo(Point p);
    void addLineTo(Point p);
    void addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
    void addRect(const Rect& r);
    void addEllipse(const Rect& r);
    void addPath(const Path& p);
    void closePath();
    void strokePath();
    void fillPath();
    // Narrows what later drawing can touch, until the state is restored.
    void clip();
    // Until the state is restored, what is drawn forms one group that casts
    // the shadow and shows only where the mask (drawn in the current space)
    // covers.
    void beginGroup(std::optional<Shadow> shadow, std::shared_ptr<const DisplayList> mask);
    const std::shared_ptr<const DrawScope>& scope() const { return state_.scope; }
    void strokeLineSegments(const std::vector<Point>& points);  // pairs of points

    // Text in a rectangle; color none draws in the default text colour.
    void drawText(const std::string& text, const Rect& rect, const Font& font, std::optional<Color> color = {},
                  TextAlignment alignment = TextAlignment::left);
    void drawText(const std::string& text, Point at, const Font& font, std::optional<Color> color = {});
    // A template image takes the tint as its colour.
    void drawImage(const Image& image, const Rect& rect, std::optional<Color> tint = {});
    // Another recording drawn here, with this context's transform and alpha.
    void drawDisplayList(const DisplayList& list);

    const DisplayList& displayList() const { return list_; }
    DisplayList takeDisplayList();

    static GraphicsContext* current();
    static void push(GraphicsContext* context);
    static void pop();

private:
    struct State {
        AffineTransform ctm;
        Color fill = Color::black();
        Color stroke = Color::black();
        double lineWidth = 1;
        LineJoin lineJoin = LineJoin::miter;
        std::vector<double> lineDash;
        double alpha = 1;
        std::shared_ptr<const DrawScope> scope;
    };
    DrawOp makeOp(DrawOp::Kind kind) const;
    void shape(DrawOp::Kind kind, const Rect& r, std::optional<Color> color);
    // Records the current path as an operation and starts a new one.
    void consumePath(DrawOp::Kind kind, std::optional<Color> color);

    Size size_;
    double scale_;
    State state_;
    std::vector<State> saved_;
    Path path_;
    DisplayList list_;
};

// Pushes a context for a scope, as drawing code expects of a current context.
class ContextScope {
public:
    explicit ContextScope(GraphicsContext& context) { GraphicsContext::push(&context); }
    ~ContextScope() { GraphicsContext::pop(); }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
};

}  // namespace platform::gfx
