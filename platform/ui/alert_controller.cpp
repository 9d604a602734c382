#include "platform/ui/alert_controller.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/ui/application.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
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

namespace {

constexpr double kAlertWidth = 270, kPadding = 16, kButtonHeight = 44, kSheetMargin = 8, kSheetBottom = 34;

const Font& titleFont() {
    static const Font font = Font::system(17, gfx::FontWeight::semibold);
    return font;
}

const Font& messageFont() {
    static const Font font = Font::system(13);
    return font;
}

// The screen dimmed behind the alert, and the alert's box on it: its title
// and message as tall as their wrapped text, in a scroll view that shows as
// much of them as the screen has room for, then one row per action.
class AlertView : public View {
public:
    AlertView(AlertControllerStyle style, std::shared_ptr<Label> title, std::shared_ptr<Label> message)
        : style_(style), box_(std::make_shared<View>()), texts_(std::make_shared<ScrollView>()),
          title_(std::move(title)), message_(std::move(message)) {
        setBackgroundColor(Color::black().withAlphaComponent(0.2));
        box_->setBackgroundColor(Color::secondarySystemBackground());
        box_->layer()->setCornerRadius(14);
        box_->setClipsToBounds(true);
        addSubview(box_);
        texts_->setAccessibilityIdentifier("alertTexts");
        box_->addSubview(texts_);
        for (const auto& label : {title_, message_}) {
            if (label) texts_->addSubview(label);
        }
    }

    void addButton(const std::shared_ptr<Button>& button) {
        auto separator = std::make_shared<View>();
        separator->setBackgroundColor(Color::systemGray4());
        separator->setUserInteractionEnabled(false);
        box_->addSubview(separator);
        box_->addSubview(button);
        rows_.push_back({separator, button});
    }

    void layoutSubviews() override {
        View::layoutSubviews();
        const Rect b = bounds();
        const double width = style_ == AlertControllerStyle::alert ? std::min(kAlertWidth, b.width())
                                                                     : std::max(0.0, b.width() - 2 * kSheetMargin);
        const double buttons = kButtonHeight * static_cast<double>(rows_.size());
        const double texts = layOutTexts(width);
        const double room = std::max(0.0, b.height() - 2 * kButtonHeight - buttons);
        const double shown = std::min(texts, room);
        const double height = shown + buttons;
        const double y = style_ == AlertControllerStyle::alert ? (b.height() - height) / 2
                                                               : b.height() - height - kSheetBottom;
        box_->setFrame({(b.width() - width) / 2, y, width, height});
        texts_->setFrame({0, 0, width, shown});
        texts_->setContentSize({width, texts});
        texts_->setContentOffset(texts_->clampedOffset(texts_->contentOffset()));
        double top = shown;
        for (const auto& [separator, button] : rows_) {
            separator->setFrame({0, top, width, 0.5});
            button->setFrame({0, top, width, kButtonHeight});
            top += kButtonHeight;
        }
    }

private:
    // The title and the message one under the other, each as tall as its
    // wrapped text; the height of both with the padding around them.
    double layOutTexts(double width) {
        const double text = std::max(0.0, width - 2 * kPadding);
        double top = kPadding;
        if (title_) {
            const double height = titleFont().measure(title_->text(), text, 0).height;
            title_->setFrame({kPadding, top, text, height});
            top += height + (message_ ? 4 : 0);
        }
        if (message_) {
            const double height = messageFont().measure(message_->text(), text, 0).height;
            message_->setFrame({kPadding, top, text, height});
            top += height;
        }
        return top + kPadding;
    }

    AlertControllerStyle style_;
    std::shared_ptr<View> box_;
    std::shared_ptr<ScrollView> texts_;
    std::shared_ptr<Label> title_, message_;
    std::vector<std::pair<std::shared_ptr<View>, std::shared_ptr<Button>>> rows_;
};

}  // namespace

// The alert's view covers the window, dimming it, and takes every touch.
Rect AlertController::presentationFrame(const Window& window, ModalPresentationStyle) const { return window.bounds(); }

void AlertController::loadView() {
    std::shared_ptr<Label> title, message;
    if (alertTitle_) {
        title = std::make_shared<Label>();
        title->setText(*alertTitle_);
        title->setFont(titleFont());
        title->setNumberOfLines(0);
        title->setTextAlignment(TextAlignment::center);
    }
    if (message_) {
        message = std::make_shared<Label>();
        message->setText(*message_);
        message->setFont(messageFont());
        message->setNumberOfLines(0);
        message->setTextAlignment(TextAlignment::center);
    }
    auto root = std::make_shared<AlertView>(style_, title, message);
    root->setFrame({0, 0, 390, 844});
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        auto button = std::make_shared<Button>();
        button->setTitle(actions_[i]->title());
        button->setEnabled(actions_[i]->isEnabled());
        button->setAccessibilityIdentifier("alertAction" + std::to_string(i));
        std::weak_ptr<AlertController> weakSelf = sharedAs<AlertController>();
        button->addTarget(
            [weakSelf, i](Control&) {
                if (auto self = weakSelf.lock()) self->tapAction(i);
            },
            controlEvent::touchUpInside, "alertAction");
        root->addButton(button);
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

namespace {

// The share sheet: a bar with its close button, the pictures side by side
// above the texts, and the application's own activities in a row at the
// bottom.
class SharePreview : public View {
public:
    void layoutSubviews() override {
        View::layoutSubviews();
        const Rect b = bounds();
        const double width = std::max(0.0, b.width() - 2 * kPadding);
        if (close_) close_->setFrame({std::max(0.0, b.width() - kCloseWidth), 0, std::min(kCloseWidth, b.width()),
                                      kButtonHeight});
        const double top = kButtonHeight + kPadding;
        const double bottom = activities_.empty() ? kPadding : kButtonHeight + kPadding;
        double textHeight = 0;
        for (const auto& text : texts_) textHeight += messageFont().measure(text->text(), width, 0).height + 8;
        const double pictureHeight = std::max(0.0, b.height() - top - bottom - textHeight);
        const double each = pictures_.empty() ? 0 : width / static_cast<double>(pictures_.size());
        for (std::size_t i = 0; i < pictures_.size(); ++i) {
            pictures_[i]->setFrame({kPadding + each * static_cast<double>(i), top, each, pictureHeight});
        }
        double y = top + pictureHeight;
        for (const auto& text : texts_) {
            const double h = messageFont().measure(text->text(), width, 0).height;
            text->setFrame({kPadding, y + 8, width, h});
            y += h + 8;
        }
        const double activityWidth = activities_.empty() ? 0 : width / static_cast<double>(activities_.size());
        for (std::size_t i = 0; i < activities_.size(); ++i) {
            activities_[i]->setFrame({kPadding + activityWidth * static_cast<double>(i), b.height() - kButtonHeight,
                                      activityWidth, kButtonHeight});
        }
    }

    void addPicture(const Image& image) {
        auto view = std::make_shared<ImageView>(image);
        view->setContentMode(ContentMode::scaleAspectFit);
        addSubview(view);
        pictures_.push_back(view);
    }

    void addText(const std::string& text) {
        auto label = std::make_shared<Label>();
        label->setText(text);
        label->setFont(messageFont());
        label->setNumberOfLines(0);
        addSubview(label);
        texts_.push_back(label);
    }

    void setCloseButton(const std::shared_ptr<Button>& button) {
        close_ = button;
        addSubview(button);
    }

    void addActivity(const std::shared_ptr<Button>& button) {
        addSubview(button);
        activities_.push_back(button);
    }

private:
    static constexpr double kCloseWidth = 80;
    std::vector<std::shared_ptr<ImageView>> pictures_;
    std::vector<std::shared_ptr<Label>> texts_;
    std::shared_ptr<Button> close_;
    std::vector<std::shared_ptr<Button>> activities_;
};

}  // namespace

void ActivityViewController::loadView() {
    auto root = std::make_shared<SharePreview>();
    root->setFrame({0, 0, 390, 600});
    root->setBackgroundColor(Color::secondarySystemBackground());
    root->layer()->setCornerRadius(10);
    root->setClipsToBounds(true);
    for (const auto& item : items_) {
        if (const auto* image = std::get_if<Image>(&item)) root->addPicture(*image);
        else root->addText(std::get<std::string>(item));
    }
    // Closing shares nothing; an activity is handed to the completion
    // handler, which does the sharing (the system's own targets are not
    // here).
    std::weak_ptr<ActivityViewController> weakSelf = sharedAs<ActivityViewController>();
    auto button = [&](const std::string& title, const std::string& identifier, std::optional<std::string> activity) {
        auto made = std::make_shared<Button>();
        made->setTitle(title);
        made->setAccessibilityIdentifier(identifier);
        made->addTarget(
            [weakSelf, activity](Control&) {
                if (auto self = weakSelf.lock()) self->finish(activity, activity.has_value());
            },
            controlEvent::touchUpInside, "shareSheetAction");
        return made;
    };
    root->setCloseButton(button("Close", "shareSheetClose", std::nullopt));
    for (std::size_t i = 0; i < activities_.size(); ++i) {
        root->addActivity(button(activities_[i], "shareActivity" + std::to_string(i), activities_[i]));
    }
    setView(root);
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
