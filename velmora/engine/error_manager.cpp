#include "velmora/engine/error_manager.h"

#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/console_line.h"

namespace velmora {

ErrorManager& ErrorManager::shared() {
    static ErrorManager instance;
    return instance;
}

void ErrorManager::updateFieldStates() {
    if (requiredAmountOfFields < 1) return;
    std::vector<std::shared_ptr<ErrorField>> emptyFields;
    int filled = 0;
    for (const auto& field : allFields) {
        if (!field || !field->isShown()) continue;
        field->setEnabled(true);
        field->setBackground(FieldBackground::input);
        auto text = field->text();
        if (text && !text->empty()) {
            ++filled;
        } else {
            emptyFields.push_back(field);
        }
    }
    if (filled < requiredAmountOfFields) return;
    for (const auto& field : emptyFields) {
        field->setEnabled(false);
        field->setBackground(FieldBackground::disabledInput);
    }
}

void ErrorManager::showInputError(const std::string& errorKey, const std::vector<std::shared_ptr<ErrorField>>& fields) {
    logEvent("kuvo_got_error", {{"error_case", errorKey}});
    const bool missing = errorKey == "notEnoughInputValues";
    consoleLine(missing ? std::string("INPUT: NOT ENOUGH INPUT VALUES") : "INPUT ERROR: " + errorKey);
    for (const auto& field : fields) {
        if (field) field->setMarking(missing ? FieldMarking::orange : FieldMarking::red);
    }
    showErrorMessage(errorKey);
}

void ErrorManager::showErrorMessage(const std::string& errorKey) {
    auto presentation = presentationForErrorKey(errorKey);
    if (!presentation || !presenter) return;
    if (presentation->kind == ErrorPresentation::Kind::alert) {
        presenter->showAlert(presentation->title, presentation->message);
    } else {
        presenter->showToast(presentation->message);
    }
}

}  // namespace velmora
