#include "platform/gfx/layer.h"

#include <algorithm>

namespace platform::gfx {

struct Layer::AttachedAnimation {
    BasicAnimation animation;
    bool stopped = false;
};

std::shared_ptr<Layer> Layer::make() { return std::make_shared<Layer>(); }

Layer::~Layer() {
    for (auto& sublayer : sublayers_) sublayer->superlayer_ = nullptr;
}

Rect Layer::frame() const {
    return {position_.x - bounds_.size.width / 2, position_.y - bounds_.size.height / 2, bounds_.size.width,
            bounds_.size.height};
}

void Layer::setFrame(const Rect& frame) {
    bounds_.size = frame.size;
    position_ = {frame.origin.x + frame.size.width / 2, frame.origin.y + frame.size.height / 2};
}

void Layer::addSublayer(const std::shared_ptr<Layer>& layer) { insertSublayer(layer, sublayers_.size()); }

void Layer::insertSublayer(const std::shared_ptr<Layer>& layer, std::size_t index) {
    if (!layer || layer.get() == this) return;
    auto keep = layer;  // it may be ours already and be removed first
    keep->removeFromSuperlayer();
    index = std::min(index, sublayers_.size());
    sublayers_.insert(sublayers_.begin() + static_cast<std::ptrdiff_t>(index), keep);
    keep->superlayer_ = this;
}

void Layer::insertSublayerBelow(const std::shared_ptr<Layer>& layer, const Layer* sibling) {
    auto it = std::find_if(sublayers_.begin(), sublayers_.end(), [&](const auto& l) { return l.get() == sibling; });
    if (it == sublayers_.end()) {
        insertSublayer(layer, 0);
        return;
    }
    if (layer.get() == sibling) return;
    auto keep = layer;
    keep->removeFromSuperlayer();
    it = std::find_if(sublayers_.begin(), sublayers_.end(), [&](const auto& l) { return l.get() == sibling; });
    insertSublayer(keep, static_cast<std::size_t>(it - sublayers_.begin()));
}

void Layer::insertSublayerAbove(const std::shared_ptr<Layer>& layer, const Layer* sibling) {
    if (layer.get() == sibling) return;
    auto keep = layer;
    keep->removeFromSuperlayer();
    auto it = std::find_if(sublayers_.begin(), sublayers_.end(), [&](const auto& l) { return l.get() == sibling; });
    if (it == sublayers_.end()) {
        addSublayer(keep);
        return;
    }
    insertSublayer(keep, static_cast<std::size_t>(it - sublayers_.begin()) + 1);
}

void Layer::removeFromSuperlayer() {
    Layer* parent = superlayer_;
    if (!parent) return;
    auto self = shared_from_this();  // the parent held the last reference perhaps
    auto& list = parent->sublayers_;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& l) { return l.get() == this; }), list.end());
    superlayer_ = nullptr;
}

void Layer::render(GraphicsContext& context) {
    if (hidden_ || opacity_ <= 0) return;
    context.saveGState();
    Rect f = frame();
    context.translateBy(f.origin.x, f.origin.y);
    renderInContext(context);
    context.restoreGState();
}

void Layer::renderInContext(GraphicsContext& context) {
    if (hidden_ || opacity_ <= 0) return;
    context.saveGState();
    Rect local(0, 0, bounds_.size.width, bounds_.size.height);
    if (!transform_.isIdentity()) {
        context.translateBy(local.midX(), local.midY());
        context.concatenate(transform_);
        context.translateBy(-local.midX(), -local.midY());
    }
    context.setAlpha(context.alpha() * opacity_);
    beginEffects(context);
    if (backgroundColor_) {
        context.setFillColor(*backgroundColor_);
        if (cornerRadius_ > 0) {
            context.beginPath();
            context.addPath(Path::roundedRect(local, cornerRadius_));
            context.fillPath();
        } else {
            context.fill(local);
        }
    }
    if (contents_) context.drawImage(*contents_, local);
    context.saveGState();
    if (masksToBounds_) {
        context.beginPath();
        context.addPath(cornerRadius_ > 0 ? Path::roundedRect(local, cornerRadius_) : Path::rect(local));
        context.clip();
    }
    context.translateBy(-bounds_.origin.x, -bounds_.origin.y);
    drawContents(context);
    auto children = sublayers_;  // drawing must not see the list change under it
    for (auto& sublayer : children) sublayer->render(context);
    context.restoreGState();
    if (borderWidth_ > 0 && borderColor_) drawBorder(context, local);
    context.restoreGState();
    needsDisplay_ = false;
}

// A layer with a shadow or a mask is composited as one group: the shadow
// follows everything it draws, sublayers included, and the mask cuts all of
// it. A layer that clips to its bounds casts no shadow, as its shadow would
// be clipped away with its content.
void Layer::beginEffects(GraphicsContext& context) {
    bool casts = shadowOpacity_ > 0 && shadowColor_ && !masksToBounds_;
    if (!casts && !mask_) return;
    std::optional<Shadow> shadow;
    if (casts) shadow = Shadow{*shadowColor_, shadowOpacity_, shadowOffset_, shadowRadius_, shadowPath_};
    std::shared_ptr<const DisplayList> maskDrawing;
    if (mask_) {
        // The mask sits in the layer's space as a sublayer would.
        GraphicsContext recording;
        recording.translateBy(-bounds_.origin.x, -bounds_.origin.y);
        mask_->render(recording);
        maskDrawing = std::make_shared<const DisplayList>(recording.takeDisplayList());
    }
    context.beginGroup(std::move(shadow), std::move(maskDrawing));
}

// The border lies inside the bounds, following the rounded corners.
void Layer::drawBorder(GraphicsContext& context, const Rect& local) {
    double half = borderWidth_ / 2;
    Rect inner(local.minX() + half, local.minY() + half, std::max(0.0, local.width() - borderWidth_),
               std::max(0.0, local.height() - borderWidth_));
    context.setStrokeColor(*borderColor_);
    context.setLineWidth(borderWidth_);
    if (cornerRadius_ > 0) {
        context.beginPath();
        context.addPath(Path::roundedRect(inner, std::max(0.0, cornerRadius_ - half)));
        context.strokePath();
    } else {
        context.stroke(inner);
    }
}

void Layer::drawContents(GraphicsContext& context) {
    if (delegate_) delegate_->drawLayer(*this, context);
}

void Layer::addAnimation(const BasicAnimation& animation, const std::string& key) {
    static std::size_t counter = 0;
    std::string name = key.empty() ? "animation-" + std::to_string(++counter) : key;
    removeAnimation(name);
    auto attached = std::make_shared<AttachedAnimation>();
    attached->animation = animation;
    animations_.emplace_back(name, attached);
    double span = animation.activeDuration();
    Transaction::noteAnimation(span);
    std::weak_ptr<Layer> weakSelf = weak_from_this();
    runOnMainAfter(span, [weakSelf, attached] {
        if (attached->stopped) return;
        attached->stopped = true;
        if (auto self = weakSelf.lock(); self && attached->animation.removedOnCompletion) {
            auto& list = self->animations_;
            list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& e) { return e.second == attached; }),
                       list.end());
        }
        if (attached->animation.onStop) attached->animation.onStop(true);
    });
}

const BasicAnimation* Layer::animation(const std::string& key) const {
    for (const auto& [name, attached] : animations_) {
        if (name == key) return &attached->animation;
    }
    return nullptr;
}

std::vector<std::string> Layer::animationKeys() const {
    std::vector<std::string> keys;
    for (const auto& entry : animations_) keys.push_back(entry.first);
    return keys;
}

void Layer::detach(std::size_t index, bool finished) {
    auto attached = animations_[index].second;
    animations_.erase(animations_.begin() + static_cast<std::ptrdiff_t>(index));
    if (!attached->stopped) {
        attached->stopped = true;
        if (attached->animation.onStop) attached->animation.onStop(finished);
    }
}

void Layer::removeAnimation(const std::string& key) {
    for (std::size_t i = 0; i < animations_.size(); ++i) {
        if (animations_[i].first == key) {
            detach(i, false);
            return;
        }
    }
}

void Layer::removeAllAnimations() {
    while (!animations_.empty()) detach(animations_.size() - 1, false);
}

std::optional<double> Layer::presentationValue(const std::string& keyPath) const {
    for (auto it = animations_.rbegin(); it != animations_.rend(); ++it) {
        const BasicAnimation& a = it->second->animation;
        if (a.keyPath != keyPath) continue;
        if (a.toValue) return a.toValue;
        if (a.byValue) {
            auto base = a.fromValue ? a.fromValue : modelValue(keyPath);
            if (base) return *base + *a.byValue;
        }
    }
    return modelValue(keyPath);
}

std::optional<double> Layer::modelValue(const std::string& keyPath) const {
    if (keyPath == "opacity") return opacity_;
    if (keyPath == "cornerRadius") return cornerRadius_;
    if (keyPath == "shadowOpacity") return shadowOpacity_;
    if (keyPath == "shadowRadius") return shadowRadius_;
    if (keyPath == "borderWidth") return borderWidth_;
    if (keyPath == "transform.rotation.z" || keyPath == "transform.rotation") return transform_.rotationAngle();
    if (keyPath == "position.x") return position_.x;
    if (keyPath == "position.y") return position_.y;
    return std::nullopt;
}

void Layer::describe(std::vector<std::string>& notes) const {
    if (!name_.empty()) notes.push_back("name=" + name_);
    if (cornerRadius_ != 0) notes.push_back("corner=" + formatNumber(cornerRadius_));
    if (masksToBounds_) notes.push_back("masks");
    if (borderWidth_ > 0) {
        notes.push_back("border=" + formatNumber(borderWidth_) + (borderColor_ ? "," + borderColor_->description() : ""));
    }
    if (shadowOpacity_ > 0) {
        notes.push_back("shadow=" + (shadowColor_ ? shadowColor_->description() : std::string("none")) + "," +
                        formatNumber(shadowOpacity_) + ",(" + gfx::describe(shadowOffset_) + "),r" +
                        formatNumber(shadowRadius_));
    }
    if (!transform_.isIdentity()) notes.push_back("rotation=" + formatNumber(transform_.rotationAngle()));
    for (const auto& entry : animations_) notes.push_back("animation=" + entry.first);
}

std::shared_ptr<ShapeLayer> ShapeLayer::make() { return std::make_shared<ShapeLayer>(); }

void ShapeLayer::drawContents(GraphicsContext& context) {
    Layer::drawContents(context);
    if (!path_) return;
    if (fillColor_) {
        context.setFillColor(*fillColor_);
        context.beginPath();
        context.addPath(*path_);
        context.fillPath();
    }
    if (strokeColor_ && lineWidth_ > 0) {
        context.setStrokeColor(*strokeColor_);
        context.setLineWidth(lineWidth_);
        context.setLineJoin(lineJoin_);
        context.setLineDash(lineDash_);
        context.beginPath();
        context.addPath(*path_);
        context.strokePath();
    }
}

std::optional<double> ShapeLayer::modelValue(const std::string& keyPath) const {
    if (keyPath == "strokeEnd") return strokeEnd_;
    if (keyPath == "strokeStart") return strokeStart_;
    if (keyPath == "lineWidth") return lineWidth_;
    return Layer::modelValue(keyPath);
}

void ShapeLayer::describe(std::vector<std::string>& notes) const {
    Layer::describe(notes);
    if (path_) notes.push_back("path=" + path_->description());
    if (strokeColor_) notes.push_back("stroke=" + strokeColor_->description() + ",w" + formatNumber(lineWidth_));
    if (fillColor_ && path_) notes.push_back("fill=" + fillColor_->description());
}

}  // namespace platform::gfx
