#pragma once

#include <optional>

#include "platform/ui/view.h"

namespace platform::ui {

// Shows an image, placed by the content mode; template images take the
// tint colour.
class ImageView : public View {
public:
    ImageView();
    explicit ImageView(const Rect& frame);
    explicit ImageView(std::optional<Image> image);

    const std::optional<Image>& image() const { return image_; }
    void setImage(std::optional<Image> image);
    const std::optional<Image>& highlightedImage() const { return highlightedImage_; }
    void setHighlightedImage(std::optional<Image> image) { highlightedImage_ = std::move(image); }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool highlighted) { highlighted_ = highlighted; }

    Size intrinsicContentSize() const override;
    void draw(const Rect& rect) override;
    void describe(std::vector<std::string>& notes) const override;

private:
    Rect imageRect(Size image) const;

    std::optional<Image> image_;
    std::optional<Image> highlightedImage_;
    bool highlighted_ = false;
};

}  // namespace platform::ui
