// Replays recorded drawing onto cairo surfaces.
#include "platform/render/painter.h"

#include <cmath>
#include <numbers>

#include "platform/foundation/bundle.h"
#include "platform/render/shadow_blur.h"
#include "platform/render/symbol_artwork.h"
#include "platform/render/text_painter.h"

namespace platform::render::detail {

using gfx::AffineTransform;
using gfx::DrawOp;
using gfx::DrawScope;

namespace {

std::vector<const DrawScope*> chainOf(const DrawScope* scope) {
    std::vector<const DrawScope*> chain;
    for (; scope; scope = scope->parent.get()) chain.push_back(scope);
    return {chain.rbegin(), chain.rend()};
}

bool inside(const DrawScope* scope, const DrawScope* node) {
    for (; scope; scope = scope->parent.get()) {
        if (scope == node) return true;
    }
    return false;
}

bool invertible(const AffineTransform& t) {
    double det = t.a * t.d - t.b * t.c;
    return std::isfinite(det) && std::fabs(det) > 1e-12 && std::isfinite(t.tx) && std::isfinite(t.ty);
}

double pixelScale(const AffineTransform& t) { return std::sqrt(std::fabs(t.a * t.d - t.b * t.c)); }

double blurSigma(const gfx::Shadow& shadow, const AffineTransform& nodeToDevice) {
    return std::max(0.0, shadow.radius) / 2 * pixelScale(nodeToDevice);
}

// How far a shadow can fall from what casts it, in device pixels.
int shadowReach(const gfx::Shadow& shadow, const AffineTransform& nodeToDevice) {
    double dx = nodeToDevice.a * shadow.offset.width + nodeToDevice.c * shadow.offset.height;
    double dy = nodeToDevice.b * shadow.offset.width + nodeToDevice.d * shadow.offset.height;
    double reach = 3 * blurSigma(shadow, nodeToDevice) + std::hypot(dx, dy);
    return std::isfinite(reach) ? static_cast<int>(std::ceil(std::min(reach, 4096.0))) + 2 : 0;
}

// Every point a path passes or bends toward, so the box holds its curves.
gfx::Rect pathBounds(const gfx::Path& path) {
    bool any = false;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    auto add = [&](double x, double y) {
        if (!std::isfinite(x) || !std::isfinite(y)) return;
        if (!any) {
            x0 = x1 = x;
            y0 = y1 = y;
            any = true;
        }
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
    };
    for (const auto& e : path.elements()) {
        for (const auto& p : e.points) add(p.x, p.y);
        switch (e.kind) {
            case gfx::Path::Element::Kind::rect:
            case gfx::Path::Element::Kind::ellipse:
            case gfx::Path::Element::Kind::roundedRect:
                add(e.rect.minX(), e.rect.minY());
                add(e.rect.maxX(), e.rect.maxY());
                break;
            case gfx::Path::Element::Kind::arc:
                add(e.center.x - e.radius, e.center.y - e.radius);
                add(e.center.x + e.radius, e.center.y + e.radius);
                break;
            default: break;
        }
    }
    return any ? gfx::Rect(x0, y0, x1 - x0, y1 - y0) : gfx::Rect();
}

void addEllipse(cairo_t* cr, const gfx::Rect& r) {
    if (!(r.width() > 0) || !(r.height() > 0)) return;
    cairo_new_sub_path(cr);
    cairo_save(cr);
    cairo_translate(cr, r.midX(), r.midY());
    cairo_scale(cr, r.width() / 2, r.height() / 2);
    cairo_arc(cr, 0, 0, 1, 0, 2 * std::numbers::pi);
    cairo_restore(cr);
    cairo_close_path(cr);
}

void addRoundedRect(cairo_t* cr, const gfx::Rect& rect, double radius) {
    gfx::Rect r = rect.standardized();
    double k = std::clamp(radius, 0.0, std::min(r.width(), r.height()) / 2);
    const double quarter = std::numbers::pi / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.maxX() - k, r.minY() + k, k, -quarter, 0);
    cairo_arc(cr, r.maxX() - k, r.maxY() - k, k, 0, quarter);
    cairo_arc(cr, r.minX() + k, r.maxY() - k, k, quarter, 2 * quarter);
    cairo_arc(cr, r.minX() + k, r.minY() + k, k, 2 * quarter, 3 * quarter);
    cairo_close_path(cr);
}

// The platform's arcs: "clockwise" runs through increasing angles (y down),
// a sweep of a whole turn or more draws the full circle.
void addArc(cairo_t* cr, const gfx::Path::Element& e) {
    const double twoPi = 2 * std::numbers::pi;
    if (!std::isfinite(e.radius) || !std::isfinite(e.startAngle) || !std::isfinite(e.endAngle)) return;
    double delta = e.endAngle - e.startAngle;
    double sweep = std::fmod(delta, twoPi);
    if (e.clockwise && sweep < 0) sweep += twoPi;
    if (!e.clockwise && sweep > 0) sweep -= twoPi;
    if (std::fabs(delta) >= twoPi) sweep = e.clockwise ? twoPi : -twoPi;
    double radius = std::fabs(e.radius);
    if (sweep >= 0) {
        cairo_arc(cr, e.center.x, e.center.y, radius, e.startAngle, e.startAngle + sweep);
    } else {
        cairo_arc_negative(cr, e.center.x, e.center.y, radius, e.startAngle, e.startAngle + sweep);
    }
}

bool finite(const gfx::Point& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

void addElement(cairo_t* cr, const gfx::Path::Element& e) {
    using Kind = gfx::Path::Element::Kind;
    for (const auto& p : e.points) {
        if (!finite(p)) return;
    }
    switch (e.kind) {
        case Kind::move:
            if (!e.points.empty()) cairo_move_to(cr, e.points.back().x, e.points.back().y);
            break;
        case Kind::line:
            if (e.points.empty()) break;
            if (cairo_has_current_point(cr)) {
                cairo_line_to(cr, e.points.back().x, e.points.back().y);
            } else {
                cairo_move_to(cr, e.points.back().x, e.points.back().y);
            }
            break;
        case Kind::quadCurve: {
            if (e.points.size() < 2) break;
            gfx::Point c = e.points[0], end = e.points[1];
            double sx = c.x, sy = c.y;
            if (cairo_has_current_point(cr)) cairo_get_current_point(cr, &sx, &sy);
            else cairo_move_to(cr, sx, sy);
            cairo_curve_to(cr, sx + 2.0 / 3 * (c.x - sx), sy + 2.0 / 3 * (c.y - sy), end.x + 2.0 / 3 * (c.x - end.x),
                           end.y + 2.0 / 3 * (c.y - end.y), end.x, end.y);
            break;
        }
        case Kind::curve:
            if (e.points.size() < 3) break;
            if (!cairo_has_current_point(cr)) cairo_move_to(cr, e.points[0].x, e.points[0].y);
            cairo_curve_to(cr, e.points[0].x, e.points[0].y, e.points[1].x, e.points[1].y, e.points[2].x,
                           e.points[2].y);
            break;
        case Kind::arc: addArc(cr, e); break;
        case Kind::close: cairo_close_path(cr); break;
        case Kind::rect: {
            gfx::Rect r = e.rect.standardized();
            cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
            break;
        }
        case Kind::ellipse: addEllipse(cr, e.rect.standardized()); break;
        case Kind::roundedRect: addRoundedRect(cr, e.rect, e.radius); break;
    }
}

cairo_line_join_t joinOf(gfx::LineJoin join) {
    switch (join) {
        case gfx::LineJoin::round: return CAIRO_LINE_JOIN_ROUND;
        case gfx::LineJoin::bevel: return CAIRO_LINE_JOIN_BEVEL;
        case gfx::LineJoin::miter: return CAIRO_LINE_JOIN_MITER;
    }
    return CAIRO_LINE_JOIN_MITER;
}

// Line settings of an operation; false when it has nothing to stroke with.
bool setStroke(cairo_t* cr, const DrawOp& op) {
    if (!(op.lineWidth > 0) || !std::isfinite(op.lineWidth)) return false;
    cairo_set_line_width(cr, op.lineWidth);
    cairo_set_line_join(cr, joinOf(op.lineJoin));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    bool usable = !op.lineDash.empty();
    double total = 0;
    for (double length : op.lineDash) {
        if (!(length >= 0) || !std::isfinite(length)) usable = false;
        total += length;
    }
    // A pattern of zeros (or a broken one) would put cairo in an error state.
    if (usable && total > 0) {
        cairo_set_dash(cr, op.lineDash.data(), static_cast<int>(op.lineDash.size()), 0);
    } else {
        cairo_set_dash(cr, nullptr, 0, 0);
    }
    return true;
}

// The bundle file of a named image: the largest scale first.
std::optional<std::filesystem::path> bundleFile(const std::string& name) {
    if (name.empty()) return std::nullopt;
    for (const char* suffix : {"@3x", "@2x", ""}) {
        if (auto path = Bundle::main().pathForResource(name + suffix, "png")) return path;
    }
    return std::nullopt;
}

}  // namespace

cairo_surface_t* makeSurface(const PixelBox& box) {
    return cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(1, box.width()), std::max(1, box.height()));
}

void setCairoMatrix(cairo_t* cr, const AffineTransform& t) {
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo_set_matrix(cr, &m);
}

void addPath(cairo_t* cr, const gfx::Path& path) {
    for (const auto& element : path.elements()) addElement(cr, element);
}

PixelBox reachOf(const DrawOp& op, const AffineTransform& toDevice) {
    AffineTransform m = op.transform.concat(toDevice);
    switch (op.kind) {
        case DrawOp::Kind::fillRect:
        case DrawOp::Kind::clearRect:
        case DrawOp::Kind::fillEllipse:
        case DrawOp::Kind::image: return boxOf(op.rect.standardized(), m);
        case DrawOp::Kind::strokeRect:
        case DrawOp::Kind::strokeEllipse: {
            double half = std::fabs(op.lineWidth) / 2;
            return boxOf(op.rect.standardized().insetBy(-half, -half), m);
        }
        case DrawOp::Kind::fillPath: return boxOf(pathBounds(op.path), m);
        case DrawOp::Kind::strokePath: {
            double pad = std::fabs(op.lineWidth) * 5;  // mitred corners reach out
            return boxOf(pathBounds(op.path).insetBy(-pad, -pad), m);
        }
        case DrawOp::Kind::text: {
            double size = op.font ? op.font->pointSize() : 17;
            return boxOf(op.rect.standardized().insetBy(-size, -size), m);
        }
        case DrawOp::Kind::clip: return {};
    }
    return {};
}

Painter::Painter(cairo_surface_t* target, PixelBox box) : text_(std::make_unique<TextPainter>()) {
    frames_.push_back(Frame{target, cairo_create(target), box, false});
}

Painter::~Painter() {
    while (!frames_.empty()) {
        Frame f = popFrame();
        if (f.owned && f.surface) cairo_surface_destroy(f.surface);
    }
}

void Painter::pushFrame(PixelBox box) {
    if (box.empty() || !top().surface) {
        frames_.push_back(Frame{});
        return;
    }
    cairo_surface_t* surface = makeSurface(box);
    frames_.push_back(Frame{surface, cairo_create(surface), box, true});
}

Painter::Frame Painter::popFrame() {
    Frame f = frames_.back();
    frames_.pop_back();
    if (f.cr) cairo_destroy(f.cr);
    f.cr = nullptr;
    if (f.surface) cairo_surface_flush(f.surface);
    return f;
}

void Painter::setMatrix(const AffineTransform& t) {
    const Frame& f = frames_.back();
    setCairoMatrix(f.cr, t.concat(AffineTransform::translation(-f.box.x0, -f.box.y0)));
}

void Painter::paint(const gfx::DisplayList& list, const AffineTransform& toDevice, double alpha) {
    std::vector<OpenScope> open;
    const auto& ops = list.ops();
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const DrawOp& op = ops[i];
        if (op.kind == DrawOp::Kind::clip) continue;  // its scope carries it
        auto chain = chainOf(op.scope.get());
        std::size_t kept = 0;
        while (kept < open.size() && kept < chain.size() && open[kept].node == chain[kept]) ++kept;
        while (open.size() > kept) {
            closeScope(open.back(), toDevice);
            open.pop_back();
        }
        for (std::size_t j = kept; j < chain.size(); ++j) {
            OpenScope scope{chain[j], false};
            openScope(scope, list, i, toDevice);
            open.push_back(scope);
        }
        draw(op, toDevice, alpha);
    }
    while (!open.empty()) {
        closeScope(open.back(), toDevice);
        open.pop_back();
    }
}

void Painter::openScope(OpenScope& scope, const gfx::DisplayList& list, std::size_t from,
                        const AffineTransform& toDevice) {
    const DrawScope& node = *scope.node;
    AffineTransform nodeToDevice = node.transform.concat(toDevice);
    if (node.kind == DrawScope::Kind::clip) {
        Frame& f = top();
        if (!f.surface) return;
        cairo_save(f.cr);
        scope.saved = true;
        cairo_new_path(f.cr);
        if (invertible(nodeToDevice)) {
            setMatrix(nodeToDevice);
            addPath(f.cr, node.clipPath);
        }
        cairo_clip(f.cr);  // a clip that cannot be placed keeps nothing
        return;
    }
    // The group's surface covers what its operations (and the shadows of
    // groups inside it) can touch, within what its own shadow can reach.
    PixelBox run;
    const auto& ops = list.ops();
    for (std::size_t i = from; i < ops.size() && inside(ops[i].scope.get(), &node); ++i) {
        PixelBox reach = reachOf(ops[i], toDevice);
        for (const DrawScope* s = ops[i].scope.get(); s && s != &node; s = s->parent.get()) {
            if (s->kind == DrawScope::Kind::group && s->shadow) {
                reach = reach.outset(shadowReach(*s->shadow, s->transform.concat(toDevice)));
            }
        }
        run = run.united(reach);
    }
    int ownReach = node.shadow ? shadowReach(*node.shadow, nodeToDevice) : 0;
    PixelBox visible = top().surface ? top().box.outset(ownReach) : PixelBox{};
    pushFrame(run.intersected(visible));
}

void Painter::closeScope(const OpenScope& scope, const AffineTransform& toDevice) {
    if (scope.node->kind == DrawScope::Kind::clip) {
        if (scope.saved) cairo_restore(top().cr);
        return;
    }
    Frame group = popFrame();
    if (group.surface && top().surface) composite(group, *scope.node, toDevice);
    if (group.owned && group.surface) cairo_surface_destroy(group.surface);
}

void Painter::composite(Frame& group, const DrawScope& node, const AffineTransform& toDevice) {
    AffineTransform nodeToDevice = node.transform.concat(toDevice);
    if (node.mask) {
        cairo_surface_t* coverage = makeSurface(group.box);
        {
            Painter maskPainter(coverage, group.box);
            maskPainter.paint(*node.mask, nodeToDevice, 1.0);
        }
        cairo_surface_flush(coverage);
        cairo_t* cr = cairo_create(group.surface);
        cairo_set_operator(cr, CAIRO_OPERATOR_DEST_IN);
        cairo_set_source_surface(cr, coverage, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(coverage);
        cairo_surface_flush(group.surface);
    }
    if (node.shadow) castShadow(group, *node.shadow, nodeToDevice);
    Frame& out = top();
    cairo_save(out.cr);
    cairo_identity_matrix(out.cr);
    cairo_set_source_surface(out.cr, group.surface, group.box.x0 - out.box.x0, group.box.y0 - out.box.y0);
    cairo_paint(out.cr);
    cairo_restore(out.cr);
}

// The shadow is the group's coverage (or the shadow path), blurred, in the
// shadow colour, moved by the offset, under the group.
void Painter::castShadow(Frame& group, const gfx::Shadow& shadow, const AffineTransform& nodeToDevice) {
    auto colour = shadow.color.rgba();
    if (!colour) return;
    double alpha = std::clamp(colour->alpha * shadow.opacity, 0.0, 1.0);
    if (!(alpha > 0)) return;
    double sigma = blurSigma(shadow, nodeToDevice);
    PixelBox box = group.box.outset(static_cast<int>(std::ceil(3 * sigma)) + 1);
    cairo_surface_t* coverage = cairo_image_surface_create(CAIRO_FORMAT_A8, box.width(), box.height());
    cairo_t* cr = cairo_create(coverage);
    if (shadow.path) {
        if (invertible(nodeToDevice)) {
            setCairoMatrix(cr, nodeToDevice.concat(AffineTransform::translation(-box.x0, -box.y0)));
            addPath(cr, *shadow.path);
            cairo_fill(cr);
        }
    } else {
        cairo_set_source_surface(cr, group.surface, group.box.x0 - box.x0, group.box.y0 - box.y0);
        cairo_paint(cr);
    }
    cairo_destroy(cr);
    cairo_surface_flush(coverage);
    blurCoverage(cairo_image_surface_get_data(coverage), box.width(), box.height(),
                 cairo_image_surface_get_stride(coverage), sigma);
    cairo_surface_mark_dirty(coverage);
    double dx = nodeToDevice.a * shadow.offset.width + nodeToDevice.c * shadow.offset.height;
    double dy = nodeToDevice.b * shadow.offset.width + nodeToDevice.d * shadow.offset.height;
    Frame& out = top();
    cairo_save(out.cr);
    cairo_identity_matrix(out.cr);
    cairo_set_source_rgba(out.cr, std::clamp(colour->red, 0.0, 1.0), std::clamp(colour->green, 0.0, 1.0),
                          std::clamp(colour->blue, 0.0, 1.0), alpha);
    if (std::isfinite(dx) && std::isfinite(dy)) {
        cairo_mask_surface(out.cr, coverage, box.x0 - out.box.x0 + dx, box.y0 - out.box.y0 + dy);
    }
    cairo_restore(out.cr);
    cairo_surface_destroy(coverage);
}

bool Painter::setColor(const std::optional<gfx::Color>& color, double alpha) {
    if (!color) return false;
    auto rgba = color->rgba();
    if (!rgba) return false;  // a pattern colour: nothing to paint with here
    double a = std::clamp(rgba->alpha * alpha, 0.0, 1.0);
    if (!(a > 0)) return false;
    cairo_set_source_rgba(top().cr, std::clamp(rgba->red, 0.0, 1.0), std::clamp(rgba->green, 0.0, 1.0),
                          std::clamp(rgba->blue, 0.0, 1.0), a);
    return true;
}

void Painter::draw(const DrawOp& op, const AffineTransform& toDevice, double alpha) {
    Frame& f = top();
    if (!f.surface || op.kind == DrawOp::Kind::clip) return;
    if (!reachOf(op, toDevice).intersects(f.box)) return;
    if (op.kind == DrawOp::Kind::image) {
        paintImage(op, toDevice, alpha);
        return;
    }
    AffineTransform m = op.transform.concat(toDevice);
    if (!invertible(m)) return;
    cairo_t* cr = f.cr;
    setMatrix(m);
    cairo_new_path(cr);
    double a = alpha * op.alpha;
    gfx::Rect r = op.rect.standardized();
    switch (op.kind) {
        case DrawOp::Kind::fillRect:
            if (setColor(op.color, a)) {
                cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
                cairo_fill(cr);
            }
            break;
        case DrawOp::Kind::strokeRect:
            if (setStroke(cr, op) && setColor(op.color, a)) {
                cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
                cairo_stroke(cr);
            }
            break;
        case DrawOp::Kind::clearRect:
            cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
            cairo_rectangle(cr, r.minX(), r.minY(), r.width(), r.height());
            cairo_fill(cr);
            cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
            break;
        case DrawOp::Kind::fillEllipse:
            if (setColor(op.color, a)) {
                addEllipse(cr, r);
                cairo_fill(cr);
            }
            break;
        case DrawOp::Kind::strokeEllipse:
            if (setStroke(cr, op) && setColor(op.color, a)) {
                addEllipse(cr, r);
                cairo_stroke(cr);
            }
            break;
        case DrawOp::Kind::fillPath:
            if (setColor(op.color, a)) {
                addPath(cr, op.path);
                cairo_fill(cr);
            }
            break;
        case DrawOp::Kind::strokePath:
            if (setStroke(cr, op) && setColor(op.color, a)) {
                addPath(cr, op.path);
                cairo_stroke(cr);
            }
            break;
        case DrawOp::Kind::text: {
            auto colour = (op.color ? *op.color : gfx::Color::label()).rgba();
            if (colour) text_->paint(cr, op, *colour, a);
            break;
        }
        case DrawOp::Kind::image:
        case DrawOp::Kind::clip: break;
    }
    cairo_new_path(cr);
}

void Painter::paintImage(const DrawOp& op, const AffineTransform& toDevice, double alpha) {
    if (!op.image || !top().surface) return;
    const gfx::Image& image = *op.image;
    gfx::Rect r = op.rect;
    if (!(image.size().width > 0) || !(image.size().height > 0) || r.isEmpty()) return;
    AffineTransform imageToDevice = AffineTransform::scale(r.size.width / image.size().width,
                                                           r.size.height / image.size().height)
                                        .concat(AffineTransform::translation(r.origin.x, r.origin.y))
                                        .concat(op.transform)
                                        .concat(toDevice);
    if (!invertible(imageToDevice)) return;
    double a = alpha * op.alpha;
    if (!op.color) {
        paintImageContent(image, imageToDevice, std::nullopt, a);
        return;
    }
    // A tinted image shows the tint wherever the image covers.
    pushFrame(reachOf(op, toDevice).intersected(top().box));
    paintImageContent(image, imageToDevice, gfx::Color::black(), 1.0);
    Frame coverage = popFrame();
    if (coverage.surface && setColor(op.color, a)) {
        Frame& out = top();
        cairo_save(out.cr);
        cairo_identity_matrix(out.cr);
        setColor(op.color, a);
        cairo_mask_surface(out.cr, coverage.surface, coverage.box.x0 - out.box.x0, coverage.box.y0 - out.box.y0);
        cairo_restore(out.cr);
    }
    if (coverage.owned && coverage.surface) cairo_surface_destroy(coverage.surface);
}

// An image's own content: its drawing, else our artwork for a symbol or
// icon of that name, else its file in the bundle; else nothing.
void Painter::paintImageContent(const gfx::Image& image, const AffineTransform& imageToDevice,
                                const std::optional<gfx::Color>& colour, double alpha) {
    Frame& f = top();
    if (!f.surface) return;
    cairo_t* cr = f.cr;
    cairo_save(cr);
    setMatrix(imageToDevice);
    cairo_new_path(cr);
    cairo_rectangle(cr, 0, 0, image.size().width, image.size().height);
    cairo_clip(cr);
    if (!image.drawing().empty()) {
        paint(image.drawing(), imageToDevice, alpha);
    } else if (hasArtwork(image.name())) {
        auto ink = (colour ? *colour : gfx::Color::label()).rgba();
        cairo_scale(cr, image.size().width / kArtworkGrid, image.size().height / kArtworkGrid);
        if (ink) cairo_set_source_rgba(cr, ink->red, ink->green, ink->blue, std::clamp(ink->alpha * alpha, 0.0, 1.0));
        drawArtwork(cr, image.name());
    } else if (auto file = bundleFile(image.name())) {
        cairo_surface_t* pixels = cairo_image_surface_create_from_png(file->c_str());
        if (cairo_surface_status(pixels) == CAIRO_STATUS_SUCCESS) {
            int w = cairo_image_surface_get_width(pixels), h = cairo_image_surface_get_height(pixels);
            cairo_scale(cr, image.size().width / w, image.size().height / h);
            cairo_set_source_surface(cr, pixels, 0, 0);
            // The edge pixels reach the rectangle's edge instead of fading out.
            cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
            cairo_paint_with_alpha(cr, std::clamp(alpha, 0.0, 1.0));
        }
        cairo_surface_destroy(pixels);
    }
    cairo_restore(cr);
}

}  // namespace platform::render::detail
