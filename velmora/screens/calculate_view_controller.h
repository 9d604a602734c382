#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/ui/label.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/text_field.h"
#include "velmora/engine/error_manager.h"
#include "velmora/engine/math_operation.h"
#include "velmora/engine/string_output.h"
#include "velmora/screens/ad_handling_view_controller.h"

namespace velmora {

class InputFieldErrorTarget;

// The first tab: k, n and p typed with the page's own keypad, calculated,
// recorded in the history, handed to the solution page and logged; refused
// inputs are marked and explained by the field-error manager.
class CalculateViewController : public AdHandlingViewController, public platform::ui::TextFieldDelegate {
public:
    static constexpr const char* storyboardName = "Main";
    static constexpr const char* storyboardIdentifier = "CalculateViewController";
    // The calculator's code, stored with every calculation.
    static constexpr const char* appKey = "QZT";
    static constexpr double solutionRowHeight = 100.0;

    CalculateViewController();

    // Outlets.
    std::shared_ptr<platform::ui::Label> fillInLabel;
    std::shared_ptr<platform::material::FABButton> manualButton;
    std::shared_ptr<platform::ui::LayoutConstraint> bottomBannerConstraint;
    std::shared_ptr<platform::material::IconButton> clearAllButton;
    std::shared_ptr<platform::ui::StackView> keypadStackView;
    std::shared_ptr<platform::input::DTTextField> kTextField;
    std::shared_ptr<platform::input::DTTextField> nTextField;
    std::shared_ptr<platform::input::DTTextField> pTextField;
    std::shared_ptr<platform::material::FlatButton> deleteButton;
    std::shared_ptr<platform::material::FlatButton> calculateButton;

    KuvoStringOutput& outputHelper;
    KuvoMathOperation& basicOperationHelper;
    ErrorManager& errorManager;
    std::weak_ptr<platform::ui::TextField> currentTextField;
    std::string manualImageName;
    int requiredAmountOfTextFields = 3;
    std::vector<std::shared_ptr<platform::input::DTTextField>> allFields;
    std::vector<std::string> allIds;

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    bool textFieldShouldBeginEditing(platform::ui::TextField& field) override;

    // Actions.
    void tappedKeypadButtonWithValue(platform::ui::Button& button);
    void tappedDeleteButton();
    void tappedCalculateButton();
    void tappedManualButton();
    void handleClearAllButton();

    void setupInputFields();
    void configureInputField(platform::input::DTTextField& field);
    void registerInputFields();
    void setupToolbar();
    void setupKeypadButtons();
    void insertKeypadValue(const std::string& title);
    void deleteBackward();
    // True when the calculation succeeded.
    bool performCalculation();
    void recordCalculation(const std::vector<std::string>& texts, const std::string& latexString);
    void storeCurrentInputs();

private:
    // Stands in for reflecting over the page's stored properties: every
    // property whose name ends in "TextField", with what it holds.
    std::vector<std::pair<std::string, std::shared_ptr<platform::ui::TextField>>> textFieldProperties() const;
    void restoreInputs();
    void fillFields(const std::map<std::string, std::string>& inputParameters);
    void setTextOnFieldsLike(const platform::ui::TextField& field, const std::string& text, int cursor);
    void markFieldsNeutral();
    std::vector<std::string> collectTexts() const;
    void showRefusal(const std::string& errorKey, const std::vector<std::string>& failingIds);

    std::vector<std::shared_ptr<InputFieldErrorTarget>> fieldTargets_;
};

}  // namespace velmora
