// The calculator page: keypad, calculation, clear-all and input restore.
#include "velmora/screens/calculate_view_controller.h"

#include <algorithm>

#include "platform/foundation/notification_center.h"
#include "platform/frameworks/material/style.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/bernoulli_formula.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/color_manager.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/field_error_display.h"
#include "velmora/screens/keypad_editing.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/calculating_flag.h"
#include "velmora/screens/rating_view_controller.h"
#include "velmora/screens/screen_texts.h"
#include "velmora/screens/shell_hooks.h"
#include "velmora/screens/solution_view_controller.h"

namespace velmora {

using platform::input::DTTextField;
using platform::ui::TextField;

namespace {

// Clears the calculating flag however the calculation ends.
struct CalculatingScope {
    CalculatingScope() { isCalculating = true; }
    ~CalculatingScope() { isCalculating = false; }
    CalculatingScope(const CalculatingScope&) = delete;
    CalculatingScope& operator=(const CalculatingScope&) = delete;
};

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

CalculateViewController::CalculateViewController()
    : outputHelper(KuvoStringOutput::shared()),
      basicOperationHelper(KuvoMathOperation::shared()),
      errorManager(ErrorManager::shared()) {}

// ---- loading ----

void CalculateViewController::viewDidLoad() {
    AdHandlingViewController::viewDidLoad();
    if (fillInLabel) fillInLabel->setText(LocalizedString::fillInYourGivenNumbers());
    setupInputFields();
    configureTabItem(*this, LocalizedString::localized("Input"), true);
    registerInputFields();
    setupKeypadButtons();
    restoreInputs();
    ColorManager::styleViewHierarchy(*view());
    setSegmentImagesAspectFit(*view());
}

std::vector<std::pair<std::string, std::shared_ptr<TextField>>> CalculateViewController::textFieldProperties() const {
    return {{"kTextField", kTextField},
            {"nTextField", nTextField},
            {"pTextField", pTextField},
            {"currentTextField", currentTextField.lock()}};
}

void CalculateViewController::setupInputFields() {
    allFields.clear();
    std::vector<std::string> names;
    for (const auto& view : view()->allDescendants()) {
        if (!platform::ui::isExactly<DTTextField>(*view)) continue;
        auto field = std::static_pointer_cast<DTTextField>(view);
        configureInputField(*field);
        for (const auto& [name, holder] : textFieldProperties()) {
            if (!endsWith(name, "TextField") || name.rfind("current", 0) == 0) continue;
            if (holder != field) continue;
            field->setAccessibilityIdentifier(name);
            names.push_back(name);
        }
        allFields.push_back(field);
    }
    std::sort(names.begin(), names.end());
    allIds = names;
}

void CalculateViewController::configureInputField(DTTextField& field) {
    field.setDelegate(sharedAs<platform::ui::TextFieldDelegate>());
    field.setInputView(std::make_shared<platform::ui::View>(platform::gfx::Rect()));
    field.setAutocorrectionType(platform::ui::AutocorrectionType::no);
    field.inputAssistantItem().leadingBarButtonGroups.clear();
    field.inputAssistantItem().trailingBarButtonGroups.clear();
}

void CalculateViewController::registerInputFields() {
    fieldTargets_.clear();
    errorManager.allFields.clear();
    for (const auto& field : allFields) {
        auto target = std::make_shared<InputFieldErrorTarget>(field);
        fieldTargets_.push_back(target);
        errorManager.allFields.push_back(target);
    }
    errorManager.requiredAmountOfFields = requiredAmountOfTextFields;
    installScreenErrorPresenter();
    auto font = platform::gfx::Font::named("HelveticaNeue", 10).value_or(platform::gfx::Font::system(10));
    for (const auto& field : allFields) {
        field->setFloatingLabelActiveColor(KuvoColor::color(KuvoColor::paletteDarkBlue));
        field->setFloatingLabelColor(KuvoColor::color(KuvoColor::paletteLightBlue));
        field->setAnimatesFloatingLabel(true);
        field->setFloatingLabelOffset(-12.0);
        field->setFloatingLabelFont(font);
        field->setShowsFloatingLabelAlways(true);
        field->setMarkingColor(KuvoColor::neutralGray());
    }
}

void CalculateViewController::setupKeypadButtons() {
    if (deleteButton) deleteButton->setImage(platform::material::Icon::arrowBack());
    if (calculateButton) calculateButton->setImage(platform::material::Icon::check());
}

// A picked history entry wins (and is taken only once); else the inputs
// left on the page last time; else the layout's own contents stay.
void CalculateViewController::restoreInputs() {
    auto& store = CalcManager::shared();
    if (auto selected = store.currentSelectedCalculation()) {
        auto inputs = selected->inputParameters;
        store.setCurrentSelectedCalculation(std::nullopt);
        fillFields(inputs);
    } else if (auto current = store.currentCalculation()) {
        fillFields(current->inputParameters);
    }
}

void CalculateViewController::fillFields(const std::map<std::string, std::string>& inputParameters) {
    for (const auto& field : allFields) {
        const auto& id = field->accessibilityIdentifier();
        if (id.empty()) continue;
        auto it = inputParameters.find(id);
        field->setText(it == inputParameters.end() ? std::string() : it->second);
    }
}

// ---- appearing ----

void CalculateViewController::viewWillAppear(bool animated) {
    AdHandlingViewController::viewWillAppear(animated);
    if (bannerView) bannerView->setHidden(true);
    if (bottomBannerConstraint) bottomBannerConstraint->setConstant(bottomSafeAreaInset());
    view()->layoutIfNeeded();
    setupToolbar();
    errorManager.updateFieldStates();
    if (manualButton) manualButton->setHidden(manualImageName.empty());
}

void CalculateViewController::viewDidAppear(bool animated) {
    AdHandlingViewController::viewDidAppear(animated);
    RatingViewController::shared()->countDownRatingPrompt(*this);
}

void CalculateViewController::viewWillDisappear(bool animated) {
    AdHandlingViewController::viewWillDisappear(animated);
    storeCurrentInputs();
}

void CalculateViewController::setupToolbar() {
    clearAllButton = std::make_shared<platform::material::IconButton>(LocalizedString::localized("Clear"),
                                                                     KuvoColor::darkGray());
    // The layout asks for "Avenier", which the platform does not have: the
    // title keeps the default font, as it always has.
    if (auto font = platform::gfx::Font::named("Avenier", 14)) clearAllButton->titleLabel()->setFont(*font);
    std::weak_ptr<CalculateViewController> weak = sharedAs<CalculateViewController>();
    clearAllButton->addTarget(
        [weak](platform::ui::Control&) {
            if (auto page = weak.lock()) page->handleClearAllButton();
        },
        platform::ui::controlEvent::touchUpInside, "handleClearAllButton");
    clearAllButton->setAccessibilityIdentifier("toolbarRemoveButton");
    if (auto toolbar = platform::material::toolbarController(*this)) {
        toolbar->toolbar()->setTitle(LocalizedString::localized("Calculate Title"));
        toolbar->toolbar()->setRightViews({clearAllButton});
    }
}

bool CalculateViewController::textFieldShouldBeginEditing(TextField& field) {
    currentTextField = field.sharedAs<TextField>();
    if (keypadStackView) {
        if (auto dot = findFlatButton(".", *keypadStackView)) {
            bool decimal = &field == pTextField.get();
            // Interaction comes back with the alpha, or "." stays dead after
            // the p field has lost focus once.
            dot->setUserInteractionEnabled(decimal);
            dot->setAlpha(decimal ? 1.0 : 0.5);
        }
    }
    return true;
}

// ---- keypad ----

void CalculateViewController::tappedKeypadButtonWithValue(platform::ui::Button& button) {
    insertKeypadValue(button.currentTitle().value_or(""));
}

void CalculateViewController::tappedDeleteButton() { deleteBackward(); }

void CalculateViewController::insertKeypadValue(const std::string& title) {
    auto field = currentTextField.lock();
    if (isCalculating || !field) return;
    auto selection = field->selectedTextRange();
    if (!selection) return;
    // An empty field takes keys too: only a field that is not being edited
    // refuses them.
    if (!field->isFirstResponder()) {
        errorManager.updateFieldStates();
        return;
    }
    auto edit = keypadInsertion(field->text(), selection->start.offset, selection->end.offset, title);
    setTextOnFieldsLike(*field, edit.text, edit.cursor);
    errorManager.updateFieldStates();
}

void CalculateViewController::deleteBackward() {
    auto field = currentTextField.lock();
    if (isCalculating || !field || field->text().empty()) return;
    auto selection = field->selectedTextRange();
    if (!selection) return;
    auto edit = keypadDeletion(field->text(), selection->start.offset, selection->end.offset);
    if (!edit) return;
    setTextOnFieldsLike(*field, edit->text, edit->cursor);
    errorManager.updateFieldStates();
}

void CalculateViewController::setTextOnFieldsLike(const TextField& field, const std::string& text, int cursor) {
    auto current = currentTextField.lock();
    if (current) current->setText(text);
    const auto& id = field.accessibilityIdentifier();
    for (const auto& other : allFields) {
        if (other != current && !id.empty() && other->accessibilityIdentifier() == id) other->setText(text);
    }
    if (current) {
        int place = std::clamp(cursor, 0, current->length());
        current->setSelectedTextRange(platform::ui::TextRange{{place}, {place}});
    }
}

// ---- calculation ----

void CalculateViewController::tappedCalculateButton() {
    if (isCalculating) return;
    performCalculation();
}

void CalculateViewController::markFieldsNeutral() {
    for (const auto& target : fieldTargets_) {
        if (auto field = target->field()) field->setMarkingColor(KuvoColor::neutralGray());
    }
}

std::vector<std::string> CalculateViewController::collectTexts() const {
    std::vector<std::string> texts;
    for (const auto& id : allIds) {
        auto it = std::find_if(allFields.begin(), allFields.end(), [&](const auto& field) {
            return field->accessibilityIdentifier() == id && !field->isHidden();
        });
        texts.push_back(it == allFields.end() ? std::string() : (*it)->text());
    }
    return texts;
}

bool CalculateViewController::performCalculation() {
    CalculatingScope calculating;
    markFieldsNeutral();
    auto texts = collectTexts();
    if (allIds.size() < 3 || texts.size() < 3) return false;
    outputHelper.clear();
    KuvoBernoulliFormula formula;
    auto result = formula.validateAndCalculate(texts[0], allIds[0], texts[1], allIds[1], texts[2], allIds[2],
                                               requiredAmountOfTextFields);
    if (result.errorKey) {
        showRefusal(*result.errorKey, result.failingFieldIds.value_or(std::vector<std::string>{}));
        return false;
    }
    recordCalculation(texts, result.summaryLatex.value_or(""));
    auto steps = outputHelper.solutionSteps;
    showSolution(*this, steps, result.chartData.value_or(std::vector<ChartList>{}), manualImageName, std::nullopt,
                 solutionRowHeight);
    logEvent("kuvo_calculate", {{"solutionSteps", stepDictionaries(steps)},
                                {"solutionStepsCount", static_cast<long long>(steps.size())}});
    basicOperationHelper.withFraction = false;
    outputHelper.clear();
    return true;
}

void CalculateViewController::showRefusal(const std::string& errorKey, const std::vector<std::string>& failingIds) {
    std::vector<std::shared_ptr<ErrorField>> fields;
    for (const auto& target : fieldTargets_) {
        auto field = target->field();
        if (!field) continue;
        if (std::find(failingIds.begin(), failingIds.end(), field->accessibilityIdentifier()) != failingIds.end()) {
            fields.push_back(target);
        }
    }
    errorManager.showInputError(errorKey, fields);
}

void CalculateViewController::recordCalculation(const std::vector<std::string>& texts, const std::string& latexString) {
    std::map<std::string, std::string> inputs;
    for (std::size_t i = 0; i < allIds.size() && i < texts.size(); ++i) inputs[allIds[i]] = texts[i];
    CalcManager::shared().addCalculation(Calculation(inputs, latexString, {}, {{"appKey", appKey}}));
}

void CalculateViewController::storeCurrentInputs() {
    std::map<std::string, std::string> inputs;
    for (const auto& field : allFields) {
        if (!field->text().empty() && !field->accessibilityIdentifier().empty()) {
            inputs[field->accessibilityIdentifier()] = field->text();
        }
    }
    CalcManager::shared().setCurrentCalculation(Calculation(inputs, "", {}, {}));
}

// ---- clear-all and manual ----

void CalculateViewController::handleClearAllButton() {
    logEvent("tapped_clear");
    markFieldsNeutral();
    if (isCalculating) return;
    auto tabs = platform::material::tabsController(*this);
    std::shared_ptr<SolutionViewController> solution;
    if (tabs && tabs->viewControllers().size() > 1) {
        solution = std::dynamic_pointer_cast<SolutionViewController>(tabs->viewControllers()[1]);
    }
    if (solution) {
        solution->handleClearAllButton();
    } else {
        platform::NotificationCenter::defaultCenter().post(kClearCurrentCalculationNotification, nullptr);
    }
    for (const auto& field : allFields) field->setText("");
    basicOperationHelper.withFraction = false;
    outputHelper.clear();
    errorManager.updateFieldStates();
    auto& store = CalcManager::shared();
    store.setCurrentCalculation(std::nullopt);
    store.setCurrentSelectedCalculation(std::nullopt);
    if (tabs) tabs->select(0);
}

void CalculateViewController::tappedManualButton() { presentManual(*this, manualImageName); }

}  // namespace velmora
