#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/ui/view_controller.h"

namespace platform::ui {

enum class AlertActionStyle { defaultStyle = 0, cancel = 1, destructive = 2 };
enum class AlertControllerStyle { actionSheet = 0, alert = 1 };

class AlertAction {
public:
    using Handler = std::function<void(AlertAction&)>;
    static std::shared_ptr<AlertAction> make(std::optional<std::string> title, AlertActionStyle style,
                                             Handler handler = {});

    const std::optional<std::string>& title() const { return title_; }
    AlertActionStyle style() const { return style_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    const Handler& handler() const { return handler_; }

private:
    std::optional<std::string> title_;
    AlertActionStyle style_ = AlertActionStyle::defaultStyle;
    Handler handler_;
    bool enabled_ = true;
};

// An alert or action sheet. Choosing an action dismisses the alert and,
// once the dismissal has finished, runs the action's handler.
class AlertController : public ViewController {
public:
    AlertController(std::optional<std::string> title, std::optional<std::string> message,
                    AlertControllerStyle style);
    static std::shared_ptr<AlertController> make(std::optional<std::string> title, std::optional<std::string> message,
                                                 AlertControllerStyle style);

    const std::optional<std::string>& alertTitle() const { return alertTitle_; }
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message) { message_ = std::move(message); }
    AlertControllerStyle preferredStyle() const { return style_; }
    // A second cancel action is refused with std::logic_error, as the
    // platform refuses it.
    void addAction(const std::shared_ptr<AlertAction>& action);
    const std::vector<std::shared_ptr<AlertAction>>& actions() const { return actions_; }
    std::shared_ptr<AlertAction> preferredAction() const { return preferred_; }
    void setPreferredAction(std::shared_ptr<AlertAction> action) { preferred_ = std::move(action); }

    // The user chooses an action of the shown alert; false when the alert is
    // not shown, the action does not exist or is disabled.
    bool tapAction(std::size_t index);
    bool tapAction(const std::string& title);

    void loadView() override;
    void describe(std::vector<std::string>& notes) const override;

protected:
    Rect presentationFrame(const Window& window, ModalPresentationStyle style) const override;

private:
    std::optional<std::string> alertTitle_;
    std::optional<std::string> message_;
    AlertControllerStyle style_;
    std::vector<std::shared_ptr<AlertAction>> actions_;
    std::shared_ptr<AlertAction> preferred_;
};

// What a share sheet shares.
using ActivityItem = std::variant<Image, std::string>;

// The share sheet. On a tablet it is a popover (its source view must be set
// before it is presented).
class ActivityViewController : public ViewController {
public:
    using CompletionHandler = std::function<void(std::optional<std::string> activityType, bool completed)>;

    explicit ActivityViewController(std::vector<ActivityItem> items,
                                    std::vector<std::string> applicationActivities = {});

    const std::vector<ActivityItem>& activityItems() const { return items_; }
    const std::vector<std::string>& applicationActivities() const { return activities_; }
    void setCompletionWithItemsHandler(CompletionHandler handler) { completion_ = std::move(handler); }

    // The user picks an activity (or cancels with none): the sheet dismisses
    // and then the completion handler runs. False when it is not shown.
    bool finish(std::optional<std::string> activityType, bool completed);

    // A sheet previewing what is shared: each picture scaled to fit, each
    // text under them; its "Close" button at the top finishes it with no
    // activity, and a button for each application activity at the bottom
    // finishes it with that one, completed. The system's own sharing
    // targets are not here.
    void loadView() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    std::vector<ActivityItem> items_;
    std::vector<std::string> activities_;
    CompletionHandler completion_;
};

}  // namespace platform::ui
