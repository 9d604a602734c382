#include "platform/ui/control.h"

#include <algorithm>

#include "platform/ui/image_view.h"
#include "platform/ui/label.h"

namespace platform::ui {

void Control::setEnabled(bool enabled) {
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    stateDidChange();
}

void Control::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    stateDidChange();
}

void Control::setHighlighted(bool highlighted) {
    if (highlighted_ == highlighted) return;
    highlighted_ = highlighted;
    stateDidChange();
}

unsigned Control::state() const {
    unsigned s = controlState::normal;
    if (highlighted_) s |= controlState::highlighted;
    if (!enabled_) s |= controlState::disabled;
    if (selected_) s |= controlState::selected;
    return s;
}

void Control::addTarget(Action action, unsigned events, std::string actionName) {
    if (!action || events == 0) return;
    targets_.push_back({std::move(action), events, std::move(actionName)});
}

void Control::removeTargets(unsigned events) {
    for (auto& t : targets_) t.events &= ~events;
    targets_.erase(std::remove_if(targets_.begin(), targets_.end(), [](const Target& t) { return t.events == 0; }),
                   targets_.end());
}

std::vector<std::string> Control::actionNames(unsigned event) const {
    std::vector<std::string> names;
    for (const auto& t : targets_) {
        if (t.events & event) names.push_back(t.name);
    }
    return names;
}

bool Control::hasActions(unsigned event) const {
    return std::any_of(targets_.begin(), targets_.end(), [&](const Target& t) { return (t.events & event) != 0; });
}

void Control::sendActions(unsigned events) {
    auto self = sharedAs<Control>();  // an action may drop the last other reference
    auto targets = targets_;          // and may change the list
    for (auto& t : targets) {
        if (t.events & events) t.action(*this);
    }
}

void Control::describe(std::vector<std::string>& notes) const {
    if (!enabled_) notes.push_back("disabled");
    if (selected_) notes.push_back("selected");
    if (!isUserInteractionEnabled()) notes.push_back("noInteraction");
    std::vector<std::string> names = actionNames(controlEvent::touchUpInside);
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    if (!names.empty()) {
        std::string joined;
        for (const auto& n : names) joined += (joined.empty() ? "" : ",") + n;
        notes.push_back("action=" + joined);
    }
    View::describe(notes);
}

Button::Button() : Button(Rect{}) {}

Button::Button(const Rect& frame) : Control(frame), titleLabel_(std::make_shared<Label>()) {
    titleLabel_->setTextAlignment(TextAlignment::center);
    titleLabel_->setFont(Font::system(15));
    titleLabel_->setHidden(true);
    titleLabel_->setUserInteractionEnabled(false);
    addSubview(titleLabel_);
}

template <class T>
std::optional<T> Button::lookup(const std::map<unsigned, T>& values, unsigned state) {
    auto it = values.find(state);
    if (it != values.end()) return it->second;
    for (unsigned bit : {controlState::disabled, controlState::selected, controlState::highlighted}) {
        if (state & bit) {
            it = values.find(bit);
            if (it != values.end()) return it->second;
        }
    }
    it = values.find(controlState::normal);
    if (it != values.end()) return it->second;
    return std::nullopt;
}

namespace {

// A per-state value: set, or removed with none.
template <class T>
void assign(std::map<unsigned, T>& values, std::optional<T> value, unsigned state) {
    if (value) {
        values.insert_or_assign(state, std::move(*value));
    } else {
        values.erase(state);
    }
}

template <class T>
std::optional<T> exact(const std::map<unsigned, T>& values, unsigned state) {
    auto it = values.find(state);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

}  // namespace

void Button::setTitle(std::optional<std::string> title, unsigned state) {
    assign(titles_, std::move(title), state);
    refresh();
}

std::optional<std::string> Button::title(unsigned state) const { return exact(titles_, state); }
std::optional<std::string> Button::currentTitle() const { return lookup(titles_, Control::state()); }

void Button::setTitleColor(std::optional<Color> color, unsigned state) {
    assign(titleColors_, std::move(color), state);
    refresh();
}

std::optional<Color> Button::titleColor(unsigned state) const { return exact(titleColors_, state); }
Color Button::currentTitleColor() const { return lookup(titleColors_, Control::state()).value_or(tintColor()); }

void Button::setImage(std::optional<Image> image, unsigned state) {
    assign(images_, std::move(image), state);
    refresh();
}

std::optional<Image> Button::image(unsigned state) const { return exact(images_, state); }
std::optional<Image> Button::currentImage() const { return lookup(images_, Control::state()); }

void Button::stateDidChange() { refresh(); }

void Button::refresh() {
    auto title = currentTitle();
    titleLabel_->setText(title.value_or(""));
    titleLabel_->setTextColor(currentTitleColor());
    titleLabel_->setHidden(!title || title->empty());
    auto image = currentImage();
    if (image && !imageView_) {
        imageView_ = std::make_shared<ImageView>();
        imageView_->setUserInteractionEnabled(false);
        imageView_->setContentMode(ContentMode::scaleAspectFit);
        insertSubview(imageView_, 0);
    }
    if (imageView_) {
        imageView_->setImage(image);
        imageView_->setHidden(!image);
    }
    setNeedsLayout();
}

Size Button::intrinsicContentSize() const {
    Size title = titleLabel_->isHidden() ? Size{} : titleLabel_->intrinsicContentSize();
    Size image = (imageView_ && imageView_->image()) ? imageView_->image()->size() : Size{};
    double w = title.width + image.width + contentInsets_.left + contentInsets_.right;
    double h = std::max(title.height, image.height) + contentInsets_.top + contentInsets_.bottom;
    return {w, std::max(h, 30.0)};
}

void Button::layoutSubviews() {
    Control::layoutSubviews();
    Rect content = gfx::inset(Rect(0, 0, bounds().width(), bounds().height()), contentInsets_);
    Size image = (imageView_ && imageView_->image()) ? imageView_->image()->size() : Size{};
    Size title = titleLabel_->isHidden() ? Size{} : titleLabel_->intrinsicContentSize();
    double total = std::min(content.width(), image.width + title.width);
    double x = content.minX() + (content.width() - total) / 2;
    if (imageView_) {
        double w = std::min(image.width, content.width());
        double h = std::min(image.height, content.height());
        imageView_->setFrame({x, content.minY() + (content.height() - h) / 2, w, h});
        x += w;
    }
    double tw = std::max(0.0, std::min(title.width, content.maxX() - x));
    titleLabel_->setFrame({x, content.minY() + (content.height() - title.height) / 2, tw, title.height});
}

bool Button::showsSubviewInDump(const View& sub) const {
    return &sub != titleLabel_.get() && &sub != imageView_.get();
}

void Button::describe(std::vector<std::string>& notes) const {
    if (auto t = currentTitle()) notes.push_back("title=" + quoted(*t));
    if (auto image = currentImage()) notes.push_back("image=" + image->description());
    Control::describe(notes);
}

}  // namespace platform::ui
