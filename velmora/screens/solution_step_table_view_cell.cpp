// The solution step cell: title, typeset step or message.
#include "velmora/screens/solution_step_table_view_cell.h"

#include <algorithm>

#include "platform/gfx/font.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/step_latex.h"
#include "velmora/screens/table_screenshot.h"

namespace velmora {

using platform::ui::LayoutConstraint;

namespace {

std::string withoutMarkers(std::string text, const std::string& marker) {
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) text.erase(at, marker.size());
    return text;
}

platform::gfx::Font avenir(const char* name) {
    return platform::gfx::Font::named(name, 14).value_or(platform::gfx::Font::system(14));
}

}  // namespace

SolutionStepTableViewCell::SolutionStepTableViewCell()
    : platform::ui::TableViewCell(platform::ui::TableViewCellStyle::defaultStyle, reuseIdentifier),
      scrollView(std::make_shared<platform::ui::ScrollView>()) {}

void SolutionStepTableViewCell::awakeFromNib() {
    platform::ui::TableViewCell::awakeFromNib();
    placeScrollView();
    replaceMathLabel();
    if (!messageLabel) addMessageLabel();
}

void SolutionStepTableViewCell::placeScrollView() {
    auto content = contentView();
    content->addSubview(scrollView);
    scrollView->setShowsHorizontalScrollIndicator(true);
    scrollView->setScrollEnabled(true);
    scrollView->setTranslatesAutoresizingMaskIntoConstraints(false);
    std::vector<std::shared_ptr<LayoutConstraint>> constraints{
        scrollView->leadingAnchor().constraint(content->leadingAnchor()),
        scrollView->trailingAnchor().constraint(content->trailingAnchor()),
        scrollView->bottomAnchor().constraint(content->bottomAnchor())};
    if (stepTitleLabel) constraints.push_back(scrollView->topAnchor().constraint(stepTitleLabel->bottomAnchor(), 8.0));
    LayoutConstraint::activate(constraints);
}

void SolutionStepTableViewCell::replaceMathLabel() {
    platform::gfx::Rect frame = mathLabel ? mathLabel->bounds() : platform::gfx::Rect();
    if (mathLabel) mathLabel->removeFromSuperview();
    mathLabel = std::make_shared<platform::math::MTMathUILabel>(frame);
    mathLabel->setTranslatesAutoresizingMaskIntoConstraints(false);
    scrollView->addSubview(mathLabel);
    double titleX = stepTitleLabel ? stepTitleLabel->frame().minX() : 0.0;
    LayoutConstraint::activate({
        mathLabel->topAnchor().constraint(scrollView->topAnchor()),
        mathLabel->leadingAnchor().constraint(scrollView->leadingAnchor(), titleX + 4.0),
        mathLabel->trailingAnchor().constraint(scrollView->trailingAnchor(), -48.0 - titleX),
        mathLabel->bottomAnchor().constraint(scrollView->bottomAnchor()),
    });
    scrollView->addConstraint(mathLabel->centerYAnchor().constraint(scrollView->centerYAnchor(), 1.0, 0.0));
    mathLabel->setTextColor(KuvoColor::label());
}

void SolutionStepTableViewCell::addMessageLabel() {
    auto b = bounds();
    messageLabel = std::make_shared<platform::ui::Label>(
        platform::gfx::Rect(b.minX() + 28.0, b.minY(), b.width(), b.height()));
    messageLabel->setTextAlignment(platform::gfx::TextAlignment::left);
    messageLabel->setFont(platform::gfx::Font::system(16));
    addSubview(messageLabel);
}

void SolutionStepTableViewCell::formattedText(const std::string& title) {
    if (!stepTitleLabel) return;
    const std::string marker = boldMarker;
    if (title.size() >= marker.size() && title.compare(title.size() - marker.size(), marker.size(), marker) == 0) {
        platform::ui::TextAttributes bold{avenir("Avenir-Heavy"), std::nullopt};
        stepTitleLabel->setAttributedText(platform::ui::AttributedString(withoutMarkers(title, marker), bold));
        return;
    }
    stepTitleLabel->setText(title);
    stepTitleLabel->setFont(avenir("Avenir-Book"));
}

void SolutionStepTableViewCell::configure(const SolutionStep& step) {
    if (messageLabel) messageLabel->setText("");
    if (mathLabel) mathLabel->setLatex("");
    if (auto message = step.find("messageString"); message != step.end()) {
        if (messageLabel) messageLabel->setText(message->second);
    } else if (auto latex = step.find("latexString"); latex != step.end() && mathLabel) {
        mathLabel->setLatex(rewriteStepLatex(latex->second));
    }
    if (mathLabel) fitScrollAreaToFormula();
}

// Sized now that the formula is typeset (at wake-up the label was empty),
// by the constraints around the label: its leading offset, its width and
// the trailing margin, which is wider than the table reaches past the page,
// so that panning brings the formula's end into view. A reused row starts
// at its formula's beginning.
void SolutionStepTableViewCell::fitScrollAreaToFormula() {
    scrollView->setNeedsLayout();
    scrollView->layoutIfNeeded();
    scrollView->setContentOffset(scrollView->minimumContentOffset());
}

std::optional<platform::gfx::Image> SolutionStepTableViewCell::imageOfWholeStep() {
    const platform::gfx::Rect frame = this->frame();
    const platform::gfx::Point offset = scrollView->contentOffset();
    const double needed = scrollView->frame().minX() + scrollView->contentSize().width;
    setFrame({frame.origin, {std::max(frame.width(), needed), frame.height()}});
    scrollView->setContentOffset(scrollView->minimumContentOffset());
    layoutIfNeeded();
    auto image = screenshot(*this);
    setFrame(frame);
    layoutIfNeeded();
    scrollView->setContentOffset(offset);
    return image;
}

}  // namespace velmora
