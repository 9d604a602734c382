#include "platform/ui/segmented_control.h"

#include <algorithm>

#include "platform/ui/image_view.h"
#include "platform/ui/label.h"

namespace platform::ui {

SegmentedControl::SegmentedControl() = default;

SegmentedControl::SegmentedControl(const std::vector<std::string>& titles) {
    for (const auto& title : titles) insertSegment(title, numberOfSegments());
}

SegmentedControl::Segment SegmentedControl::makeSegment() {
    Segment segment;
    segment.view = std::make_shared<View>();
    segment.imageView = std::make_shared<ImageView>();
    segment.label = std::make_shared<Label>();
    segment.label->setTextAlignment(TextAlignment::center);
    segment.label->setFont(Font::system(13));
    segment.view->addSubview(segment.imageView);
    segment.view->addSubview(segment.label);
    return segment;
}

void SegmentedControl::place(const Segment& segment, int index) {
    index = std::clamp(index, 0, numberOfSegments());
    insertSubview(segment.view, static_cast<std::size_t>(index));
    segments_.insert(segments_.begin() + index, segment);
    if (selected_ >= index) ++selected_;
    setNeedsLayout();
}

void SegmentedControl::insertSegment(const std::string& title, int index) {
    Segment segment = makeSegment();
    segment.label->setText(title);
    segment.imageView->setHidden(true);
    place(segment, index);
}

void SegmentedControl::insertSegment(const Image& image, int index) {
    Segment segment = makeSegment();
    segment.imageView->setImage(image);
    segment.label->setHidden(true);
    place(segment, index);
}

void SegmentedControl::removeSegment(int index) {
    if (!valid(index)) return;
    segments_[static_cast<std::size_t>(index)].view->removeFromSuperview();
    segments_.erase(segments_.begin() + index);
    if (selected_ == index) selected_ = noSegment;
    else if (selected_ > index) --selected_;
    setNeedsLayout();
}

void SegmentedControl::removeAllSegments() {
    while (!segments_.empty()) removeSegment(numberOfSegments() - 1);
}

std::optional<std::string> SegmentedControl::titleForSegment(int index) const {
    if (!valid(index)) return std::nullopt;
    const auto& label = segments_[static_cast<std::size_t>(index)].label;
    if (label->isHidden()) return std::nullopt;
    return label->text();
}

void SegmentedControl::setTitle(const std::string& title, int index) {
    if (!valid(index)) return;
    auto& s = segments_[static_cast<std::size_t>(index)];
    s.label->setText(title);
    s.label->setHidden(false);
    s.imageView->setHidden(true);
}

std::optional<Image> SegmentedControl::imageForSegment(int index) const {
    if (!valid(index)) return std::nullopt;
    const auto& iv = segments_[static_cast<std::size_t>(index)].imageView;
    if (iv->isHidden()) return std::nullopt;
    return iv->image();
}

void SegmentedControl::setImage(const Image& image, int index) {
    if (!valid(index)) return;
    auto& s = segments_[static_cast<std::size_t>(index)];
    s.imageView->setImage(image);
    s.imageView->setHidden(false);
    s.label->setHidden(true);
}

bool SegmentedControl::isEnabledForSegment(int index) const {
    return valid(index) && segments_[static_cast<std::size_t>(index)].enabled;
}

void SegmentedControl::setEnabled(bool enabled, int index) {
    if (valid(index)) segments_[static_cast<std::size_t>(index)].enabled = enabled;
}

void SegmentedControl::setSelectedSegmentIndex(int index) { selected_ = valid(index) ? index : noSegment; }

bool SegmentedControl::selectSegment(int index) {
    if (!isEnabled() || !isEnabledForSegment(index)) return false;
    if (selected_ == index) return true;
    selected_ = index;
    sendActions(controlEvent::valueChanged);
    return true;
}

void SegmentedControl::layoutSubviews() {
    Control::layoutSubviews();
    if (segments_.empty()) return;
    double w = bounds().width() / static_cast<double>(segments_.size());
    double h = bounds().height();
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        auto& s = segments_[i];
        s.view->setFrame({w * static_cast<double>(i), 0, w, h});
        s.imageView->setFrame({0, 0, w, h});
        s.label->setFrame({0, 0, w, h});
    }
}

void SegmentedControl::describe(std::vector<std::string>& notes) const {
    std::string titles;
    for (int i = 0; i < numberOfSegments(); ++i) {
        auto t = titleForSegment(i);
        titles += (i ? "|" : "") + (t ? *t : std::string("[image]"));
    }
    notes.push_back("segments=" + quoted(titles));
    notes.push_back("selected=" + std::to_string(selected_));
    Control::describe(notes);
}

ActivityIndicatorView::ActivityIndicatorView(ActivityIndicatorStyle style) : style_(style) {
    Size s = intrinsicContentSize();
    setFrame({0, 0, s.width, s.height});
    setHidden(true);
}

void ActivityIndicatorView::startAnimating() {
    animating_ = true;
    setHidden(false);
}

void ActivityIndicatorView::stopAnimating() {
    animating_ = false;
    if (hidesWhenStopped_) setHidden(true);
}

Size ActivityIndicatorView::intrinsicContentSize() const {
    return style_ == ActivityIndicatorStyle::large ? Size{37, 37} : Size{20, 20};
}

void ActivityIndicatorView::describe(std::vector<std::string>& notes) const {
    if (animating_) notes.push_back("animating");
    if (color_) notes.push_back("color=" + color_->description());
    View::describe(notes);
}

}  // namespace platform::ui
