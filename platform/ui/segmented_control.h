#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ui/control.h"

namespace platform::ui {

class ImageView;
class Label;

// A row of segments, each a title or an image. Each segment is a subview
// holding an image view (for an image) and a label (for a title).
class SegmentedControl : public Control {
public:
    static constexpr int noSegment = -1;

    SegmentedControl();
    explicit SegmentedControl(const std::vector<std::string>& titles);

    int numberOfSegments() const { return static_cast<int>(segments_.size()); }
    void insertSegment(const std::string& title, int index);
    void insertSegment(const Image& image, int index);
    void removeSegment(int index);
    void removeAllSegments();
    std::optional<std::string> titleForSegment(int index) const;
    void setTitle(const std::string& title, int index);
    std::optional<Image> imageForSegment(int index) const;
    void setImage(const Image& image, int index);
    bool isEnabledForSegment(int index) const;
    // The control as a whole, as for every control, or one segment.
    using Control::setEnabled;
    void setEnabled(bool enabled, int index);
    int selectedSegmentIndex() const { return selected_; }
    // Sets the selection without sending valueChanged, as code does.
    void setSelectedSegmentIndex(int index);
    // A user's choice: selects and sends valueChanged.
    bool selectSegment(int index);
    std::optional<Color> selectedSegmentTintColor() const { return selectedTint_; }
    void setSelectedSegmentTintColor(std::optional<Color> c) { selectedTint_ = std::move(c); }

    void layoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;
    bool showsSubviewInDump(const View&) const override { return false; }

private:
    struct Segment {
        std::shared_ptr<View> view;
        std::shared_ptr<ImageView> imageView;
        std::shared_ptr<Label> label;
        bool enabled = true;
    };
    Segment makeSegment();
    void place(const Segment& segment, int index);
    bool valid(int index) const { return index >= 0 && index < numberOfSegments(); }

    std::vector<Segment> segments_;
    int selected_ = noSegment;
    std::optional<Color> selectedTint_;
};

// A spinner.
enum class ActivityIndicatorStyle { medium = 100, large = 101 };

class ActivityIndicatorView : public View {
public:
    explicit ActivityIndicatorView(ActivityIndicatorStyle style = ActivityIndicatorStyle::medium);
    ActivityIndicatorStyle style() const { return style_; }
    std::optional<Color> color() const { return color_; }
    void setColor(std::optional<Color> c) { color_ = std::move(c); }
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return animating_; }
    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    void setHidesWhenStopped(bool hides) { hidesWhenStopped_ = hides; }
    Size intrinsicContentSize() const override;
    void describe(std::vector<std::string>& notes) const override;

private:
    ActivityIndicatorStyle style_;
    std::optional<Color> color_;
    bool animating_ = false;
    bool hidesWhenStopped_ = true;
};

}  // namespace platform::ui
