// The page-by-page introduction framework: page items, their appearance and the pager that shows them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gfx/color.h"
#include "platform/gfx/font.h"
#include "platform/ui/control.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/view_controller.h"

namespace platform::onboard {

// One page of an introduction: an image with a title and texts, an advance
// button and, when it has a title, an action button.
struct OnboardPage {
    std::string title;
    std::string imageName;  // a named image of the bundle; none shows no image
    std::string subtitle;
    std::string description;
    std::string advanceButtonTitle;
    std::optional<std::string> actionButtonTitle;
    std::function<void()> action;  // run by the action button
};

// How every page of a pager looks.
struct AppearanceConfiguration {
    using ButtonStyling = std::function<void(ui::Button&)>;

    gfx::Color tintColor = gfx::Color::systemBlue();
    gfx::Color titleColor = gfx::Color::label();
    gfx::Color textColor = gfx::Color::label();
    gfx::Color backgroundColor = gfx::Color::systemBackground();
    ui::ContentMode imageContentMode = ui::ContentMode::scaleAspectFit;
    gfx::Font titleFont = gfx::Font::preferred(gfx::TextStyle::title1);
    gfx::Font textFont = gfx::Font::preferred(gfx::TextStyle::body);
    ButtonStyling advanceButtonStyling;  // none: the buttons keep the tint colour
    ButtonStyling actionButtonStyling;
};

// Shows the pages in order, one at a time. The advance button moves to the
// next page; on the last page the pager dismisses itself and then calls the
// completion, once. Main thread only.
class OnboardViewController : public ui::ViewController {
public:
    using Completion = std::function<void()>;

    static constexpr const char* advanceButtonIdentifier = "onboardAdvanceButton";
    static constexpr const char* actionButtonIdentifier = "onboardActionButton";

    OnboardViewController(std::vector<OnboardPage> pageItems, AppearanceConfiguration appearanceConfiguration = {},
                          Completion completion = {});

    const std::vector<OnboardPage>& pageItems() const { return pages_; }
    const AppearanceConfiguration& appearanceConfiguration() const { return appearance_; }
    // The page shown; 0 before the view is loaded.
    int currentPageIndex() const { return current_; }
    // True once the last page was advanced past.
    bool isFinished() const { return finished_; }

    // The views of the page shown (made when the view loads).
    const std::shared_ptr<ui::ImageView>& imageView() const { return imageView_; }
    const std::shared_ptr<ui::Label>& titleLabel() const { return titleLabel_; }
    const std::shared_ptr<ui::Label>& subtitleLabel() const { return subtitleLabel_; }
    const std::shared_ptr<ui::Label>& descriptionLabel() const { return descriptionLabel_; }
    const std::shared_ptr<ui::Button>& advanceButton() const { return advanceButton_; }
    const std::shared_ptr<ui::Button>& actionButton() const { return actionButton_; }

    // Presents the pager from a page.
    void presentFrom(ui::ViewController& presenter, bool animated);
    // What the advance button does.
    void advance();

    void loadView() override;
    void viewDidLayoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    void showPage(int index);
    void layoutPage();
    void finish();

    std::vector<OnboardPage> pages_;
    AppearanceConfiguration appearance_;
    Completion completion_;
    int current_ = 0;
    bool finished_ = false;
    std::shared_ptr<ui::ImageView> imageView_;
    std::shared_ptr<ui::Label> titleLabel_;
    std::shared_ptr<ui::Label> subtitleLabel_;
    std::shared_ptr<ui::Label> descriptionLabel_;
    std::shared_ptr<ui::Button> advanceButton_;
    std::shared_ptr<ui::Button> actionButton_;
};

}  // namespace platform::onboard
