// Field errors on the real input fields, and their messages on screen.
#include "velmora/screens/field_error_display.h"

#include "platform/frameworks/input_field/dt_text_field.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/shell_hooks.h"

namespace velmora {

InputFieldErrorTarget::InputFieldErrorTarget(const std::shared_ptr<platform::input::DTTextField>& field)
    : field_(field) {}

bool InputFieldErrorTarget::isShown() const {
    auto f = field();
    if (!f) return false;
    auto* superview = f->superviewPointer();
    return superview && !superview->isHidden();
}

std::optional<std::string> InputFieldErrorTarget::text() const {
    auto f = field();
    if (!f) return std::nullopt;
    return f->text();
}

void InputFieldErrorTarget::setEnabled(bool enabled) {
    if (auto f = field()) f->setEnabled(enabled);
}

void InputFieldErrorTarget::setBackground(FieldBackground background) {
    auto f = field();
    if (!f) return;
    f->backgroundLayer()->setBackgroundColor(background == FieldBackground::input
                                                 ? KuvoColor::inputFieldBackground()
                                                 : KuvoColor::disabledInputFieldBackground());
}

void InputFieldErrorTarget::setMarking(FieldMarking marking) {
    auto f = field();
    if (!f) return;
    f->setMarkingColor(marking == FieldMarking::orange ? platform::gfx::Color::systemOrange()
                                                       : platform::gfx::Color::systemRed());
}

void ScreenErrorPresenter::showToast(const std::string& message) { velmora::showToast(message); }

void ScreenErrorPresenter::showAlert(const std::string& title, const std::string& message) {
    // The key window is the first window of the first connected scene.
    const auto& scenes = platform::ui::Application::shared().connectedScenes();
    if (scenes.empty() || !scenes.front()) return;
    auto windows = scenes.front()->windows();
    if (windows.empty()) return;
    auto root = windows.front()->rootViewController();
    if (!root) return;
    velmora::showAlert(*root, title, message);
}

void installScreenErrorPresenter() {
    auto& manager = ErrorManager::shared();
    if (!std::dynamic_pointer_cast<ScreenErrorPresenter>(manager.presenter)) {
        manager.presenter = std::make_shared<ScreenErrorPresenter>();
    }
}

}  // namespace velmora
