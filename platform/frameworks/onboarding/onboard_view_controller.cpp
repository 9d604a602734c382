// The introduction pager: one page at a time, advanced by its button, finishing once.
#include "platform/frameworks/onboarding/onboard_view_controller.h"

#include <algorithm>

#include "platform/gfx/image.h"
#include "platform/ui/application.h"

namespace platform::onboard {

using gfx::Rect;

namespace {

constexpr unsigned kStretch = ui::autoresizing::flexibleWidth;
constexpr double kSide = 20, kImageTop = 60, kGap = 16;
constexpr double kTitleHeight = 44, kSubtitleHeight = 24, kTextSpacing = 4;
constexpr double kAdvanceHeight = 50, kActionHeight = 44, kButtonsHeight = 130, kActionBottom = 28;

std::shared_ptr<ui::Label> makeLabel(const Rect& frame, const gfx::Font& font, const gfx::Color& color) {
    auto label = std::make_shared<ui::Label>(frame);
    label->setFont(font);
    label->setTextColor(color);
    label->setTextAlignment(ui::TextAlignment::center);
    label->setNumberOfLines(0);
    label->setAutoresizingMask(kStretch);
    return label;
}

}  // namespace

OnboardViewController::OnboardViewController(std::vector<OnboardPage> pageItems,
                                             AppearanceConfiguration appearanceConfiguration, Completion completion)
    : pages_(std::move(pageItems)), appearance_(std::move(appearanceConfiguration)), completion_(std::move(completion)) {}

void OnboardViewController::loadView() {
    Rect screen = ui::Screen::main().bounds();
    double w = screen.width(), h = screen.height();
    auto root = std::make_shared<ui::View>(Rect(0, 0, w, h));
    root->setAutoresizingMask(ui::autoresizing::flexibleWidth | ui::autoresizing::flexibleHeight);
    root->setBackgroundColor(appearance_.backgroundColor);
    root->setTintColor(appearance_.tintColor);

    imageView_ = std::make_shared<ui::ImageView>();
    imageView_->setContentMode(appearance_.imageContentMode);
    titleLabel_ = makeLabel({}, appearance_.titleFont, appearance_.titleColor);
    subtitleLabel_ = makeLabel({}, appearance_.textFont, appearance_.textColor);
    descriptionLabel_ = makeLabel({}, appearance_.textFont, appearance_.textColor);

    std::weak_ptr<OnboardViewController> weak = sharedAs<OnboardViewController>();
    advanceButton_ = std::make_shared<ui::Button>();
    advanceButton_->setAccessibilityIdentifier(advanceButtonIdentifier);
    advanceButton_->setTitleColor(appearance_.tintColor);
    advanceButton_->addTarget(
        [weak](ui::Control&) {
            if (auto self = weak.lock()) self->advance();
        },
        ui::controlEvent::touchUpInside, "advance");
    if (appearance_.advanceButtonStyling) appearance_.advanceButtonStyling(*advanceButton_);

    actionButton_ = std::make_shared<ui::Button>();
    actionButton_->setAccessibilityIdentifier(actionButtonIdentifier);
    actionButton_->setTitleColor(appearance_.tintColor);
    actionButton_->addTarget(
        [weak](ui::Control&) {
            auto self = weak.lock();
            if (!self || self->finished_ || self->current_ >= static_cast<int>(self->pages_.size())) return;
            if (auto& action = self->pages_[static_cast<std::size_t>(self->current_)].action) action();
        },
        ui::controlEvent::touchUpInside, "action");
    if (appearance_.actionButtonStyling) appearance_.actionButtonStyling(*actionButton_);

    for (const auto& view : std::initializer_list<std::shared_ptr<ui::View>>{
             imageView_, titleLabel_, subtitleLabel_, descriptionLabel_, advanceButton_, actionButton_}) {
        root->addSubview(view);
    }
    setView(root);
    showPage(0);
    layoutPage();
}

void OnboardViewController::viewDidLayoutSubviews() { layoutPage(); }

// The buttons keep the bottom, the texts stand above them as tall as the
// description needs, and the image takes what is left above the texts, at
// most 42 % of the page: a short page (a small screen, a sheet) shrinks the
// image rather than laying the texts over the buttons.
void OnboardViewController::layoutPage() {
    auto root = viewIfLoaded();
    if (!root || !descriptionLabel_) return;
    const Rect b = root->bounds();
    const double width = std::max(0.0, b.width() - 2 * kSide);
    const double buttonsTop = b.height() - kButtonsHeight;
    // One line more than the estimate: the font drawn may break the text
    // into one more line than its estimated widths do.
    const auto& text = descriptionLabel_->text();
    const auto& font = descriptionLabel_->font();
    const double description = text.empty() ? 0 : font.measure(text, width, 0).height + font.lineHeight();
    const double texts = kTitleHeight + kTextSpacing + kSubtitleHeight + kTextSpacing + description;
    const double image = std::clamp(buttonsTop - kGap - texts - kGap - kImageTop, 0.0, b.height() * 0.42);
    const double y = kImageTop + image + kGap;
    imageView_->setFrame(Rect(kSide, kImageTop, width, image));
    titleLabel_->setFrame(Rect(kSide, y, width, kTitleHeight));
    subtitleLabel_->setFrame(Rect(kSide, y + kTitleHeight + kTextSpacing, width, kSubtitleHeight));
    const double descriptionTop = y + kTitleHeight + kTextSpacing + kSubtitleHeight + kTextSpacing;
    descriptionLabel_->setFrame(
        Rect(kSide, descriptionTop, width, std::max(description, buttonsTop - kGap - descriptionTop)));
    advanceButton_->setFrame(Rect(kSide, buttonsTop, width, kAdvanceHeight));
    actionButton_->setFrame(Rect(kSide, b.height() - kActionBottom - kActionHeight, width, kActionHeight));
}

// An empty page list shows an empty page whose advance button still
// finishes the pager, so that it can always be closed.
void OnboardViewController::showPage(int index) {
    current_ = index;
    if (index < 0 || index >= static_cast<int>(pages_.size())) {
        actionButton_->setHidden(true);
        return;
    }
    const auto& page = pages_[static_cast<std::size_t>(index)];
    imageView_->setImage(page.imageName.empty() ? std::nullopt : gfx::Image::named(page.imageName));
    titleLabel_->setText(page.title);
    subtitleLabel_->setText(page.subtitle);
    descriptionLabel_->setText(page.description);
    advanceButton_->setTitle(page.advanceButtonTitle);
    actionButton_->setTitle(page.actionButtonTitle);
    actionButton_->setHidden(!page.actionButtonTitle);
    layoutPage();
}

void OnboardViewController::presentFrom(ui::ViewController& presenter, bool animated) {
    presenter.present(sharedAs<ui::ViewController>(), animated);
}

void OnboardViewController::advance() {
    if (finished_) return;
    loadViewIfNeeded();
    if (current_ + 1 < static_cast<int>(pages_.size())) {
        showPage(current_ + 1);
        return;
    }
    finish();
}

// The completion runs after the pager has gone, so that whatever it
// presents is not refused for the pager still being on screen.
void OnboardViewController::finish() {
    finished_ = true;
    auto completion = std::move(completion_);
    completion_ = nullptr;
    auto done = [completion] {
        if (completion) completion();
    };
    if (auto presenter = presentingViewController()) {
        presenter->dismiss(true, done);
    } else {
        done();
    }
}

void OnboardViewController::describe(std::vector<std::string>& notes) const {
    ui::ViewController::describe(notes);
    notes.push_back("page " + std::to_string(current_ + 1) + "/" + std::to_string(pages_.size()));
    if (finished_) notes.emplace_back("finished");
}

}  // namespace platform::onboard
