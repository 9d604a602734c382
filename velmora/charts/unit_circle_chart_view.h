#pragma once
// The animated unit circle: a pointer turns through the angle, one arc a
// turn is traced, labels count the angle and show its cosine and sine, and
// at the end the quadrant lights up and the point's projections are drawn.

#include <memory>
#include <optional>
#include <vector>

#include "platform/frameworks/material/buttons.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "velmora/engine/chart_data.h"

namespace velmora {

class UnitCircleChartView : public platform::ui::View {
public:
    // The interface file's views that the file's owner refers to.
    struct Outlets {
        std::shared_ptr<platform::ui::ImageView> circleImageView;
        std::shared_ptr<platform::ui::View> animationView;
        std::shared_ptr<platform::ui::ImageView> arrowImageView;
        std::shared_ptr<platform::ui::Label> q1Label, q2Label, q3Label, q4Label;
        std::shared_ptr<platform::ui::Label> alphaLabel, gammaLabel, fullCirclesLabel, pXLabel, pYLabel;
        std::vector<std::shared_ptr<platform::ui::Label>> allLabels;
        std::shared_ptr<platform::material::FlatButton> animateAgainButton;
    };

    UnitCircleChartView();  // as from an archive: fields empty, nothing set up
    // Loads the interface file "UnitCircleChartView" over the bounds, in a
    // card shadow, with the green replay button; labels of size 38 on a tablet.
    explicit UnitCircleChartView(const platform::gfx::Rect& frame);

    // Called by the interface file as it is loaded.
    void connect(std::shared_ptr<UnitCircleChartView> contentView, const Outlets& outlets);

    const std::shared_ptr<UnitCircleChartData>& unitCircleChartData() const { return data_; }
    void setUnitCircleChartData(std::shared_ptr<UnitCircleChartData> data) { data_ = std::move(data); }
    bool isAnimationRunning() const { return running_; }

    // Starts a run unless one is going on. Without complete data (alpha, b
    // and full circles, all numbers) or without the interface file's views
    // nothing starts.
    void startAnimation();
    // The replay button's action: restarts the unit circle that holds the
    // sender's superview; nothing when there is none.
    static void tappedAnimateAgain(platform::ui::Control& sender);

    const std::shared_ptr<UnitCircleChartView>& contentView() const { return contentView_; }
    const Outlets& outlets() const { return outlets_; }

private:
    struct Run;
    std::shared_ptr<UnitCircleChartView> self();
    bool hasOutlets() const;
    // Runs stage k; answers the stage to run at once next (while a
    // screenshot is taken), none when the run goes on on the clock or ended.
    std::optional<long long> runStage(const Run& run, long long k);
    void continueRun(const Run& run, long long k);
    void finishRun(const Run& run);

    std::shared_ptr<UnitCircleChartView> contentView_;
    Outlets outlets_;
    std::shared_ptr<UnitCircleChartData> data_;
    bool running_ = false;
};

// Kept with the unit circle for the calculators that would build its
// charts; it holds nothing and does nothing, and nothing makes one yet.
class UnitCircleChartManager {};

// The text of a coordinate label for an angle in degrees: exact 0, 1 and
// −1 on the axes, else the cosine or sine rounded to two places, as the
// shortest text of the double ("0.0", "1.0", "-0.71").
std::string unitCircleCoordinateText(double degrees, bool cosine);

}  // namespace velmora
