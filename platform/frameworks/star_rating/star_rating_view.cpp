#include "platform/frameworks/star_rating/star_rating_view.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace platform::rating {

namespace {

// The star's corners, clockwise from its top point, in a square of the size.
std::vector<gfx::Point> starCorners(double size) {
    std::vector<gfx::Point> corners;
    double r = size / 2, inner = r * 0.4;
    for (int i = 0; i < 10; ++i) {
        double angle = -std::numbers::pi / 2 + i * std::numbers::pi / 5;
        double radius = i % 2 == 0 ? r : inner;
        corners.push_back({r + radius * std::cos(angle), r + radius * std::sin(angle)});
    }
    return corners;
}

// The part of a polygon left of x: its corners there, and where its edges
// cross x.
std::vector<gfx::Point> leftOf(const std::vector<gfx::Point>& polygon, double x) {
    std::vector<gfx::Point> part;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const gfx::Point a = polygon[i], b = polygon[(i + 1) % polygon.size()];
        if (a.x <= x) part.push_back(a);
        if ((a.x < x) != (b.x < x) && a.x != b.x) {
            const double t = (x - a.x) / (b.x - a.x);
            part.push_back({x, a.y + t * (b.y - a.y)});
        }
    }
    return part;
}

gfx::Path polygonPath(const std::vector<gfx::Point>& corners) {
    gfx::Path path;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        if (i == 0) {
            path.moveTo(corners[i]);
        } else {
            path.lineTo(corners[i]);
        }
    }
    if (!corners.empty()) path.close();
    return path;
}

}  // namespace

StarRatingView::StarRatingView() { update(); }

StarRatingView::StarRatingView(const gfx::Rect& frame) : ui::View(frame) { update(); }

void StarRatingView::setRating(double rating) {
    rating_ = std::isfinite(rating) ? rating : 0;
    update();
}

std::vector<double> StarRatingView::starFills() const {
    std::vector<double> fills;
    double shown = rounded(rating_);
    for (int i = 0; i < starCount(); ++i) fills.push_back(std::clamp(shown - i, 0.0, 1.0));
    return fills;
}

int StarRatingView::starCount() const { return std::clamp(settings_.totalStars, 0, maxStars); }

double StarRatingView::rounded(double value) const {
    switch (settings_.fillMode) {
        case StarFillMode::full: return std::round(value);
        case StarFillMode::half: return std::round(value * 2) / 2;
        case StarFillMode::precise: return value;
    }
    return value;
}

void StarRatingView::update() {
    int count = starCount();
    while (static_cast<int>(stars_.size()) > count) {
        stars_.back()->removeFromSuperlayer();
        stars_.pop_back();
    }
    while (static_cast<int>(stars_.size()) < count) {
        stars_.push_back(gfx::ShapeLayer::make());
        stars_.back()->addSublayer(gfx::ShapeLayer::make());
        layer()->addSublayer(stars_.back());
    }
    auto fills = starFills();
    const auto corners = starCorners(settings_.starSize);
    for (int i = 0; i < count; ++i) {
        auto& star = stars_[static_cast<std::size_t>(i)];
        double fill = fills[static_cast<std::size_t>(i)];
        star->setFrame({i * (settings_.starSize + settings_.starMargin), 0, settings_.starSize, settings_.starSize});
        star->setPath(polygonPath(corners));
        bool filled = fill >= 1;
        star->setFillColor(filled ? settings_.filledColor : settings_.emptyColor);
        star->setStrokeColor(filled ? settings_.filledBorderColor : settings_.emptyBorderColor);
        star->setLineWidth(filled ? settings_.filledBorderWidth : settings_.emptyBorderWidth);
        // A star filled in part: its left part as far as the rating reaches,
        // inside the empty star's border.
        auto part = std::static_pointer_cast<gfx::ShapeLayer>(star->sublayers().front());
        part->setFrame({0, 0, settings_.starSize, settings_.starSize});
        part->setHidden(filled || fill <= 0);
        part->setPath(polygonPath(leftOf(corners, fill * settings_.starSize)));
        part->setFillColor(settings_.filledColor);
        part->setLineWidth(0);
    }
    setNeedsLayout();
}

bool StarRatingView::touch(double rawRating) {
    if (!settings_.updateOnTouch || !isUserInteractionEnabled()) return false;
    // With fewer stars than the minimum rating (none, say) the minimum wins.
    double value = std::min(rounded(rawRating), static_cast<double>(starCount()));
    setRating(std::max(value, settings_.minTouchRating));
    if (onTouch) onTouch(rating_);
    if (onFinishTouching) onFinishTouching(rating_);
    return true;
}

gfx::Size StarRatingView::intrinsicContentSize() const {
    int n = starCount();
    double w = n * settings_.starSize + std::max(0, n - 1) * settings_.starMargin;
    return {w, settings_.starSize};
}

void StarRatingView::describe(std::vector<std::string>& notes) const {
    notes.push_back("rating=" + gfx::formatNumber(rating_));
    notes.push_back("filled=" + settings_.filledColor.description());
    ui::View::describe(notes);
}

}  // namespace platform::rating
