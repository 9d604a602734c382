#include "platform/ui/alert_controller.h"

#include <stdexcept>

#include "platform/ui/application.h"
#include "platform/ui/control.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/label.h"
#include "platform/ui/window.h"

namespace platform::ui {

std::shared_ptr<AlertAction> AlertAction::make(std::optional<std::string> title, AlertActionStyle style,
                                               Handler handler) {
    auto action = std::make_shared<AlertAction>();
    action->title_ = std::move(title);
    action->style_ = style;
    action->handler_ = std::move(handler);
    return action;
}

AlertController::AlertController(std::optional<std::string> title, std::optional<std::string> message,
                                 AlertControllerStyle style)
    : alertTitle_(std::move(title)), message_(std::move(message)), style_(style) {
    if (alertTitle_) setTitle(*alertTitle_);
    setModalPresentationStyle(ModalPresentationStyle::custom);
}

std::shared_ptr<AlertController> AlertController::make(std::optional<std::string> title,
                                                       std::optional<std::string> message,
                                                       AlertControllerStyle style) {
    return std::make_shared<AlertController>(std::move(title), std::move(message), style);
}

void AlertController::addAction(const std::shared_ptr<AlertAction>& action) {
    if (!action) return;
    if (action->style() == AlertActionStyle::cancel) {
        for (const auto& a : actions_) {
            if (a->style() == AlertActionStyle::cancel) {
                std::string message = "An alert can only have one action with the cancel style";
                logMessage(message);
                throw std::logic_error(message);
            }
        }
    }
    actions_.push_back(action);
}

bool AlertController::tapAction(std::size_t index) {
    if (index >= actions_.size() || !actions_[index]->isEnabled()) return false;
    if (!presentingViewController() || isBeingDismissed()) return false;
    auto action = actions_[index];
    auto self = sharedAs<AlertController>();
    dismiss(true, [action] {
        if (action->handler()) action->handler()(*action);
    });
    return true;
}

bool AlertController::tapAction(const std::string& title) {
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        if (actions_[i]->title() == title) return tapAction(i);
    }
    return false;
}

Rect AlertController::presentationFrame(const Window& window, ModalPresentationStyle) const {
    Rect b = window.bounds();
    double height = 44.0 * static_cast<double>(std::max<std::size_t>(1, actions_.size())) + 90;
    if (style_ == AlertControllerStyle::actionSheet) return {8, b.height() - height - 34, b.width() - 16, height};
    double width = std::min(270.0, b.width());
    return {(b.width() - width) / 2, (b.height() - height) / 2, width, height};
}

void AlertController::loadView() {
    auto root = std::make_shared<View>(Rect(0, 0, 270, 200));
    root->setBackgroundColor(Color::secondarySystemBackground());
    double y = 16;
    if (alertTitle_) {
        auto label = std::make_shared<Label>(Rect(16, y, 238, 22));
        label->setText(*alertTitle_);
        label->setFont(Font::system(17, gfx::FontWeight::semibold));
        label->setTextAlignment(TextAlignment::center);
        root->addSubview(label);
        y += 26;
    }
    if (message_) {
        auto label = std::make_shared<Label>(Rect(16, y, 238, 36));
        label->setText(*message_);
        label->setFont(Font::system(13));
        label->setNumberOfLines(0);
        label->setTextAlignment(TextAlignment::center);
        root->addSubview(label);
        y += 40;
    }
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        auto button = std::make_shared<Button>(Rect(0, y, 270, 44));
        button->setTitle(actions_[i]->title());
        button->setEnabled(actions_[i]->isEnabled());
        button->setAccessibilityIdentifier("alertAction" + std::to_string(i));
        std::weak_ptr<AlertController> weakSelf = sharedAs<AlertController>();
        button->addTarget(
            [weakSelf, i](Control&) {
                if (auto self = weakSelf.lock()) self->tapAction(i);
            },
            controlEvent::touchUpInside, "alertAction");
        root->addSubview(button);
        y += 44;
    }
    setView(root);
}

namespace {
const char* styleName(AlertActionStyle style) {
    switch (style) {
        case AlertActionStyle::defaultStyle: return "default";
        case AlertActionStyle::cancel: return "cancel";
        case AlertActionStyle::destructive: return "destructive";
    }
    return "?";
}
}  // namespace

void AlertController::describe(std::vector<std::string>& notes) const {
    if (message_) notes.push_back("message=" + quoted(*message_));
    std::string list;
    for (const auto& a : actions_) {
        list += (list.empty() ? "" : ", ") + a->title().value_or("") + "(" + styleName(a->style()) + ")";
    }
    notes.push_back("actions=[" + list + "]");
    notes.push_back(style_ == AlertControllerStyle::alert ? "style=alert" : "style=actionSheet");
    ViewController::describe(notes);
}

ActivityViewController::ActivityViewController(std::vector<ActivityItem> items,
                                               std::vector<std::string> applicationActivities)
    : items_(std::move(items)), activities_(std::move(applicationActivities)) {
    if (currentTraits().userInterfaceIdiom == UserInterfaceIdiom::pad) {
        setModalPresentationStyle(ModalPresentationStyle::popover);
    } else {
        setModalPresentationStyle(ModalPresentationStyle::pageSheet);
    }
}

bool ActivityViewController::finish(std::optional<std::string> activityType, bool completed) {
    if (!presentingViewController() || isBeingDismissed()) return false;
    auto handler = completion_;
    dismiss(true, [handler, activityType, completed] {
        if (handler) handler(activityType, completed);
    });
    return true;
}

void ActivityViewController::describe(std::vector<std::string>& notes) const {
    std::string list;
    for (const auto& item : items_) {
        std::string text = std::holds_alternative<Image>(item) ? std::get<Image>(item).description()
                                                                : quoted(std::get<std::string>(item));
        list += (list.empty() ? "" : ", ") + text;
    }
    notes.push_back("items=[" + list + "]");
    ViewController::describe(notes);
}

}  // namespace platform::ui
