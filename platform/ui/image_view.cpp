#include "platform/ui/image_view.h"

namespace platform::ui {

ImageView::ImageView() { setUserInteractionEnabled(false); }

ImageView::ImageView(const Rect& frame) : View(frame) { setUserInteractionEnabled(false); }

ImageView::ImageView(std::optional<Image> image) : image_(std::move(image)) {
    setUserInteractionEnabled(false);
    if (image_) setFrame(Rect(Point{}, image_->size()));
}

void ImageView::setImage(std::optional<Image> image) {
    image_ = std::move(image);
    setNeedsDisplay();
    setNeedsLayout();
}

Size ImageView::intrinsicContentSize() const {
    if (!image_) return {noIntrinsicMetric, noIntrinsicMetric};
    return image_->size();
}

void ImageView::draw(const Rect&) {
    auto* context = gfx::GraphicsContext::current();
    const auto& shown = highlighted_ && highlightedImage_ ? highlightedImage_ : image_;
    if (!context || !shown) return;
    // Template images (and symbols left to decide) are drawn in the tint colour.
    bool tinted = shown->renderingMode() == gfx::RenderingMode::alwaysTemplate ||
                  (shown->renderingMode() == gfx::RenderingMode::automatic && shown->isSymbol());
    context->drawImage(*shown, Rect(0, 0, bounds().width(), bounds().height()),
                       tinted ? std::optional<Color>(tintColor()) : std::nullopt);
}

void ImageView::describe(std::vector<std::string>& notes) const {
    if (image_) notes.push_back("image=" + image_->description());
    if (contentMode() == ContentMode::scaleAspectFit) notes.push_back("aspectFit");
    View::describe(notes);
}

}  // namespace platform::ui
