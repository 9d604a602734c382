#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/gfx/color.h"
#include "platform/gfx/layer.h"
#include "platform/ui/view.h"

namespace platform::rating {

enum class StarFillMode { full = 0, half = 1, precise = 2 };

struct StarRatingSettings {
    int totalStars = 5;
    double starSize = 20;
    double starMargin = 5;
    gfx::Color filledColor = gfx::Color::rgb(1, 0.58, 0);
    gfx::Color emptyColor = gfx::Color::clear();
    gfx::Color filledBorderColor = gfx::Color::rgb(1, 0.58, 0);
    gfx::Color emptyBorderColor = gfx::Color::rgb(1, 0.58, 0);
    double filledBorderWidth = 1;
    double emptyBorderWidth = 1;
    StarFillMode fillMode = StarFillMode::full;
    double minTouchRating = 1;
    bool updateOnTouch = true;
};

// A row of stars showing a rating; the user may set it by touch. Each star
// is a shape layer, a direct sublayer of the view's layer, kept across
// updates (so that what is set on it, a shadow say, stays); a star filled in
// part shows its filled part in a shape layer of its own, inside it.
class StarRatingView : public ui::View {
public:
    static constexpr int maxStars = 100;

    StarRatingView();
    explicit StarRatingView(const gfx::Rect& frame);

    double rating() const { return rating_; }
    void setRating(double rating);
    const StarRatingSettings& settings() const { return settings_; }
    StarRatingSettings& settings() { return settings_; }
    // Redraws the stars after the settings were changed.
    void update();
    // How much of each star is filled (0…1).
    std::vector<double> starFills() const;

    // A user touches the stars, ending on a rating (before rounding): the
    // rating follows the fill mode and the minimum, onTouch and then
    // onFinishTouching are called. Nothing when updateOnTouch is off.
    bool touch(double rawRating);
    std::function<void(double)> onTouch;
    std::function<void(double)> onFinishTouching;

    gfx::Size intrinsicContentSize() const override;
    void describe(std::vector<std::string>& notes) const override;

private:
    double rounded(double value) const;
    // The number of stars drawn: the setting, kept within 0…maxStars.
    int starCount() const;

    double rating_ = 2.5;
    StarRatingSettings settings_;
    std::vector<std::shared_ptr<gfx::ShapeLayer>> stars_;
};

}  // namespace platform::rating
