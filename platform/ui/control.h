#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/view.h"

namespace platform::ui {

// Control events, combined with |.
namespace controlEvent {
constexpr unsigned touchDown = 1u << 0;
constexpr unsigned touchUpInside = 1u << 6;
constexpr unsigned touchUpOutside = 1u << 7;
constexpr unsigned touchCancel = 1u << 8;
constexpr unsigned valueChanged = 1u << 12;
constexpr unsigned primaryActionTriggered = 1u << 13;
constexpr unsigned editingDidBegin = 1u << 16;
constexpr unsigned editingChanged = 1u << 17;
constexpr unsigned editingDidEnd = 1u << 18;
constexpr unsigned editingDidEndOnExit = 1u << 19;
constexpr unsigned allEvents = 0xFFFFFFFFu;
}  // namespace controlEvent

// Control states, combined with |.
namespace controlState {
constexpr unsigned normal = 0;
constexpr unsigned highlighted = 1u << 0;
constexpr unsigned disabled = 1u << 1;
constexpr unsigned selected = 1u << 2;
}  // namespace controlState

// A view that sends actions for events. A target-action pair is a function
// and the name of the action it stands for ("handleClearAllButton"), kept for
// dumps and tests; a function that refers to its controller should hold it
// weakly.
class Control : public View {
public:
    using Action = std::function<void(Control& sender)>;

    using View::View;

    bool isEnabled() const { return enabled_; }
    virtual void setEnabled(bool enabled);
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted);
    unsigned state() const;

    void addTarget(Action action, unsigned events, std::string actionName = {});
    void removeTargets(unsigned events);
    // The names of the actions registered for an event, in order.
    std::vector<std::string> actionNames(unsigned event) const;
    bool hasActions(unsigned event) const;
    // Runs the actions of the events, in the order they were added.
    void sendActions(unsigned events);

    void describe(std::vector<std::string>& notes) const override;

protected:
    virtual void stateDidChange() {}

private:
    struct Target {
        Action action;
        unsigned events;
        std::string name;
    };
    std::vector<Target> targets_;
    bool enabled_ = true;
    bool selected_ = false;
    bool highlighted_ = false;
};

class ImageView;
class Label;

// A button with a title, title colour and image per state.
class Button : public Control {
public:
    Button();
    explicit Button(const Rect& frame);

    void setTitle(std::optional<std::string> title, unsigned state = controlState::normal);
    std::optional<std::string> title(unsigned state = controlState::normal) const;
    std::optional<std::string> currentTitle() const;
    void setTitleColor(std::optional<Color> color, unsigned state = controlState::normal);
    std::optional<Color> titleColor(unsigned state = controlState::normal) const;
    Color currentTitleColor() const;
    void setImage(std::optional<Image> image, unsigned state = controlState::normal);
    std::optional<Image> image(unsigned state = controlState::normal) const;
    std::optional<Image> currentImage() const;

    // The label that shows the current title (always present).
    const std::shared_ptr<Label>& titleLabel() const { return titleLabel_; }
    // The view that shows the current image; null until an image is set.
    const std::shared_ptr<ImageView>& imageView() const { return imageView_; }
    const EdgeInsets& contentEdgeInsets() const { return contentInsets_; }
    void setContentEdgeInsets(const EdgeInsets& insets) { contentInsets_ = insets; }

    Size intrinsicContentSize() const override;
    void layoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;
    bool showsSubviewInDump(const View& sub) const override;

protected:
    void stateDidChange() override;
    // Refreshes the title label and image view from the current state.
    void refresh();

private:
    template <class T>
    static std::optional<T> lookup(const std::map<unsigned, T>& values, unsigned state);

    std::map<unsigned, std::string> titles_;
    std::map<unsigned, Color> titleColors_;
    std::map<unsigned, Image> images_;
    std::shared_ptr<Label> titleLabel_;
    std::shared_ptr<ImageView> imageView_;
    EdgeInsets contentInsets_;
};

}  // namespace platform::ui
