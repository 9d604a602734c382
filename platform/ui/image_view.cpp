#include "platform/ui/image_view.h"

#include <algorithm>

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

// Where the image lies in the bounds, as the content mode places it.
Rect ImageView::imageRect(Size image) const {
    Rect b(0, 0, bounds().width(), bounds().height());
    if (!(image.width > 0) || !(image.height > 0)) return b;
    ContentMode mode = contentMode();
    if (mode == ContentMode::scaleAspectFit || mode == ContentMode::scaleAspectFill) {
        double fit = std::min(b.width() / image.width, b.height() / image.height);
        double fill = std::max(b.width() / image.width, b.height() / image.height);
        double k = mode == ContentMode::scaleAspectFit ? fit : fill;
        Size shown{image.width * k, image.height * k};
        return {(b.width() - shown.width) / 2, (b.height() - shown.height) / 2, shown.width, shown.height};
    }
    if (mode == ContentMode::scaleToFill || mode == ContentMode::redraw) return b;
    // The remaining modes keep the image's size and pin it to a place.
    bool left = mode == ContentMode::left || mode == ContentMode::topLeft || mode == ContentMode::bottomLeft;
    bool right = mode == ContentMode::right || mode == ContentMode::topRight || mode == ContentMode::bottomRight;
    bool top = mode == ContentMode::top || mode == ContentMode::topLeft || mode == ContentMode::topRight;
    bool bottom = mode == ContentMode::bottom || mode == ContentMode::bottomLeft || mode == ContentMode::bottomRight;
    double x = left ? 0 : right ? b.width() - image.width : (b.width() - image.width) / 2;
    double y = top ? 0 : bottom ? b.height() - image.height : (b.height() - image.height) / 2;
    return {x, y, image.width, image.height};
}

void ImageView::draw(const Rect&) {
    auto* context = gfx::GraphicsContext::current();
    const auto& shown = highlighted_ && highlightedImage_ ? highlightedImage_ : image_;
    if (!context || !shown) return;
    // Template images (and symbols left to decide) are drawn in the tint colour.
    bool tinted = shown->renderingMode() == gfx::RenderingMode::alwaysTemplate ||
                  (shown->renderingMode() == gfx::RenderingMode::automatic && shown->isSymbol());
    context->drawImage(*shown, imageRect(shown->size()), tinted ? std::optional<Color>(tintColor()) : std::nullopt);
}

void ImageView::describe(std::vector<std::string>& notes) const {
    if (image_) notes.push_back("image=" + image_->description());
    if (contentMode() == ContentMode::scaleAspectFit) notes.push_back("aspectFit");
    View::describe(notes);
}

}  // namespace platform::ui
