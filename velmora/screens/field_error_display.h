#pragma once

#include <memory>
#include <optional>
#include <string>

#include "velmora/engine/error_manager.h"

namespace platform::input {
class DTTextField;
}

// The field errors on screen: the engine's field-error bookkeeping acting
// on the real input fields, and its messages shown as toasts and alerts.
namespace velmora {

// One input field as the field-error manager sees it. Holds the field
// weakly: a page that has gone leaves a field that is no longer shown and
// takes no changes.
class InputFieldErrorTarget : public ErrorField {
public:
    explicit InputFieldErrorTarget(const std::shared_ptr<platform::input::DTTextField>& field);

    std::shared_ptr<platform::input::DTTextField> field() const { return field_.lock(); }

    bool isShown() const override;
    std::optional<std::string> text() const override;
    void setEnabled(bool enabled) override;
    void setBackground(FieldBackground background) override;
    void setMarking(FieldMarking marking) override;

private:
    std::weak_ptr<platform::input::DTTextField> field_;
};

// Messages as a toast (through the shell's toast) and alerts over the root
// controller of the key window (none shown without one).
class ScreenErrorPresenter : public ErrorPresenter {
public:
    void showToast(const std::string& message) override;
    void showAlert(const std::string& title, const std::string& message) override;
};

// Makes the field-error manager show its messages on screen (once per
// process is enough; again does no harm).
void installScreenErrorPresenter();

}  // namespace velmora
