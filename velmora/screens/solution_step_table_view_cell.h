#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/gfx/image.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/table_view.h"
#include "velmora/engine/string_output.h"

namespace velmora {

// One row of the solution's steps: the title and, under it, the step's
// rewritten LaTeX in a sideways-scrolling label, or a plain message.
class SolutionStepTableViewCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "solutionStepCell";
    static constexpr const char* boldMarker = "#bold";

    SolutionStepTableViewCell();

    std::shared_ptr<platform::ui::ScrollView> scrollView;
    std::shared_ptr<platform::math::MTMathUILabel> mathLabel;  // replaced at wake-up
    std::shared_ptr<platform::ui::Label> stepTitleLabel;
    std::shared_ptr<platform::ui::Label> messageLabel;  // made at wake-up

    // The title: bold ("Avenir-Heavy" 14, markers removed) when it ends with
    // the bold marker, else "Avenir-Book" 14.
    void formattedText(const std::string& title);
    // The step's message, else its rewritten LaTeX; a reused cell is cleared
    // first. The scroll area then takes the typeset formula's size with its
    // margins and shows its beginning.
    void configure(const SolutionStep& step);
    // The row drawn as wide as its whole formula, from the formula's
    // beginning, as a shared image shows it; the row is left as it was.
    std::optional<platform::gfx::Image> imageOfWholeStep();

    void awakeFromNib() override;

private:
    void placeScrollView();
    void fitScrollAreaToFormula();
    void replaceMathLabel();
    void addMessageLabel();
};

}  // namespace velmora
