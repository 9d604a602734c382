#include "platform/gfx/graphics_context.h"

#include <algorithm>
#include <map>

#include "platform/gfx/image.h"

namespace platform::gfx {

std::string DrawOp::kindName(Kind kind) {
    switch (kind) {
        case Kind::fillRect: return "fillRect";
        case Kind::strokeRect: return "strokeRect";
        case Kind::clearRect: return "clearRect";
        case Kind::fillEllipse: return "fillEllipse";
        case Kind::strokeEllipse: return "strokeEllipse";
        case Kind::fillPath: return "fillPath";
        case Kind::strokePath: return "strokePath";
        case Kind::text: return "text";
        case Kind::image: return "image";
        case Kind::clip: return "clip";
    }
    return "?";
}

namespace {

// Re-homes a list's scopes into another drawing: each node once, so the
// operations that shared a scope still share one.
class ScopeMover {
public:
    ScopeMover(const AffineTransform& transform, std::shared_ptr<const DrawScope> enclosing)
        : transform_(transform), enclosing_(std::move(enclosing)) {}

    std::shared_ptr<const DrawScope> move(const std::shared_ptr<const DrawScope>& scope) {
        if (!scope) return enclosing_;
        auto found = moved_.find(scope.get());
        if (found != moved_.end()) return found->second;
        auto copy = std::make_shared<DrawScope>(*scope);
        copy->transform = scope->transform.concat(transform_);
        copy->parent = move(scope->parent);
        moved_.emplace(scope.get(), copy);
        return copy;
    }

private:
    AffineTransform transform_;
    std::shared_ptr<const DrawScope> enclosing_;
    std::map<const DrawScope*, std::shared_ptr<const DrawScope>> moved_;
};

}  // namespace

void DisplayList::append(const DisplayList& other, const AffineTransform& transform, double alpha,
                         const std::shared_ptr<const DrawScope>& enclosing) {
    ScopeMover mover(transform, enclosing);
    for (DrawOp op : other.ops_) {
        op.transform = op.transform.concat(transform);
        op.alpha *= alpha;
        op.scope = mover.move(op.scope);
        ops_.push_back(std::move(op));
    }
}

std::vector<std::string> DisplayList::texts() const {
    std::vector<std::string> out;
    for (const auto& op : ops_) {
        if (op.kind == DrawOp::Kind::text) out.push_back(op.text);
        if (op.kind == DrawOp::Kind::image && op.image) {
            auto nested = op.image->drawing().texts();
            out.insert(out.end(), nested.begin(), nested.end());
        }
    }
    return out;
}

std::size_t DisplayList::count(DrawOp::Kind kind) const {
    return static_cast<std::size_t>(
        std::count_if(ops_.begin(), ops_.end(), [kind](const DrawOp& op) { return op.kind == kind; }));
}

namespace {
Rect transformedRect(const Rect& r, const AffineTransform& t) {
    Point corners[4] = {t.apply(r.origin), t.apply({r.maxX(), r.minY()}), t.apply({r.minX(), r.maxY()}),
                        t.apply({r.maxX(), r.maxY()})};
    double x0 = corners[0].x, y0 = corners[0].y, x1 = x0, y1 = y0;
    for (const Point& p : corners) {
        x0 = std::min(x0, p.x);
        y0 = std::min(y0, p.y);
        x1 = std::max(x1, p.x);
        y1 = std::max(y1, p.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}
}  // namespace

std::string DisplayList::dump() const {
    std::string text;
    for (const auto& op : ops_) {
        text += DrawOp::kindName(op.kind);
        switch (op.kind) {
            case DrawOp::Kind::fillPath:
            case DrawOp::Kind::strokePath:
            case DrawOp::Kind::clip:
                text += " " + op.path.transformed(op.transform).description();
                break;
            default:
                text += " (" + describe(transformedRect(op.rect, op.transform)) + ")";
        }
        if (op.color) text += " " + op.color->description();
        if (op.kind == DrawOp::Kind::strokePath || op.kind == DrawOp::Kind::strokeRect ||
            op.kind == DrawOp::Kind::strokeEllipse) {
            text += " w" + formatNumber(op.lineWidth);
        }
        if (op.font) text += " [" + op.font->description() + "]";
        if (op.kind == DrawOp::Kind::text) text += " \"" + op.text + "\"";
        if (op.kind == DrawOp::Kind::image && op.image) text += " " + op.image->description();
        if (op.alpha != 1) text += " alpha " + formatNumber(op.alpha);
        double angle = op.transform.rotationAngle();
        if (angle != 0) text += " rot " + formatNumber(angle);
        text += "\n";
    }
    return text;
}

GraphicsContext::GraphicsContext(Size size, double scale) : size_(size), scale_(scale) {}

void GraphicsContext::saveGState() { saved_.push_back(state_); }

void GraphicsContext::restoreGState() {
    if (saved_.empty()) return;  // unbalanced restore: ignored, as the platform does
    state_ = saved_.back();
    saved_.pop_back();
}

void GraphicsContext::translateBy(double dx, double dy) { state_.ctm = state_.ctm.translated(dx, dy); }
void GraphicsContext::rotateBy(double radians) { state_.ctm = state_.ctm.rotated(radians); }
void GraphicsContext::scaleBy(double sx, double sy) { state_.ctm = state_.ctm.scaled(sx, sy); }
void GraphicsContext::concatenate(const AffineTransform& t) { state_.ctm = t.concat(state_.ctm); }

DrawOp GraphicsContext::makeOp(DrawOp::Kind kind) const {
    DrawOp op;
    op.kind = kind;
    op.transform = state_.ctm;
    op.lineWidth = state_.lineWidth;
    op.lineJoin = state_.lineJoin;
    op.lineDash = state_.lineDash;
    op.alpha = state_.alpha;
    op.scope = state_.scope;
    return op;
}

void GraphicsContext::shape(DrawOp::Kind kind, const Rect& r, std::optional<Color> color) {
    DrawOp op = makeOp(kind);
    op.rect = r;
    op.color = std::move(color);
    list_.append(std::move(op));
}

void GraphicsContext::fill(const Rect& r) { shape(DrawOp::Kind::fillRect, r, state_.fill); }
void GraphicsContext::stroke(const Rect& r) { shape(DrawOp::Kind::strokeRect, r, state_.stroke); }
void GraphicsContext::clear(const Rect& r) { shape(DrawOp::Kind::clearRect, r, std::nullopt); }
void GraphicsContext::fillEllipse(const Rect& r) { shape(DrawOp::Kind::fillEllipse, r, state_.fill); }
void GraphicsContext::strokeEllipse(const Rect& r) { shape(DrawOp::Kind::strokeEllipse, r, state_.stroke); }

void GraphicsContext::beginPath() { path_ = Path(); }
void GraphicsContext::moveTo(Point p) { path_.moveTo(p); }
void GraphicsContext::addLineTo(Point p) { path_.lineTo(p); }
void GraphicsContext::addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise) {
    path_.addArc(center, radius, startAngle, endAngle, clockwise);
}
void GraphicsContext::addRect(const Rect& r) { path_.addRect(r); }
void GraphicsContext::addEllipse(const Rect& r) { path_.addEllipse(r); }
void GraphicsContext::addPath(const Path& p) { path_.addPath(p); }
void GraphicsContext::closePath() { path_.close(); }

void GraphicsContext::consumePath(DrawOp::Kind kind, std::optional<Color> color) {
    DrawOp op = makeOp(kind);
    op.path = std::move(path_);
    op.color = std::move(color);
    path_ = Path();
    list_.append(std::move(op));
}

void GraphicsContext::strokePath() { consumePath(DrawOp::Kind::strokePath, state_.stroke); }
void GraphicsContext::fillPath() { consumePath(DrawOp::Kind::fillPath, state_.fill); }
void GraphicsContext::clip() {
    auto node = std::make_shared<DrawScope>();
    node->kind = DrawScope::Kind::clip;
    node->transform = state_.ctm;
    node->clipPath = path_;
    node->parent = state_.scope;
    consumePath(DrawOp::Kind::clip, std::nullopt);
    state_.scope = std::move(node);
}

void GraphicsContext::beginGroup(std::optional<Shadow> shadow, std::shared_ptr<const DisplayList> mask) {
    auto node = std::make_shared<DrawScope>();
    node->kind = DrawScope::Kind::group;
    node->transform = state_.ctm;
    node->shadow = std::move(shadow);
    node->mask = std::move(mask);
    node->parent = state_.scope;
    state_.scope = std::move(node);
}

void GraphicsContext::strokeLineSegments(const std::vector<Point>& points) {
    beginPath();
    for (std::size_t i = 0; i + 1 < points.size(); i += 2) {
        path_.moveTo(points[i]);
        path_.lineTo(points[i + 1]);
    }
    strokePath();
}

void GraphicsContext::drawText(const std::string& text, const Rect& rect, const Font& font, std::optional<Color> color,
                               TextAlignment alignment) {
    DrawOp op = makeOp(DrawOp::Kind::text);
    op.rect = rect;
    op.text = text;
    op.font = font;
    op.color = std::move(color);
    op.alignment = alignment;
    list_.append(std::move(op));
}

void GraphicsContext::drawText(const std::string& text, Point at, const Font& font, std::optional<Color> color) {
    Size size = font.measure(text);
    drawText(text, Rect(at, size), font, std::move(color));
}

void GraphicsContext::drawImage(const Image& image, const Rect& rect, std::optional<Color> tint) {
    DrawOp op = makeOp(DrawOp::Kind::image);
    op.rect = rect;
    op.color = std::move(tint);
    op.image = std::make_shared<const Image>(image);
    list_.append(std::move(op));
}

void GraphicsContext::drawDisplayList(const DisplayList& list) {
    list_.append(list, state_.ctm, state_.alpha, state_.scope);
}

DisplayList GraphicsContext::takeDisplayList() {
    DisplayList out = std::move(list_);
    list_ = DisplayList();
    return out;
}

namespace {
thread_local std::vector<GraphicsContext*> contextStack;
}

GraphicsContext* GraphicsContext::current() { return contextStack.empty() ? nullptr : contextStack.back(); }
void GraphicsContext::push(GraphicsContext* context) { contextStack.push_back(context); }
void GraphicsContext::pop() {
    if (!contextStack.empty()) contextStack.pop_back();
}

}  // namespace platform::gfx
