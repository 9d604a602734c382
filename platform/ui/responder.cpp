#include "platform/ui/responder.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "platform/ui/window.h"

namespace platform::ui {

bool Responder::becomeFirstResponder() {
    if (!canBecomeFirstResponder()) return false;
    auto window = responderWindow();
    if (!window) return false;
    return window->makeFirstResponder(this);
}

bool Responder::resignFirstResponder() {
    if (!canResignFirstResponder()) return false;
    auto window = responderWindow();
    if (window && window->firstResponder() == this) window->clearFirstResponder();
    return true;
}

bool Responder::isFirstResponder() const {
    auto window = responderWindow();
    return window && window->firstResponder() == this;
}

std::string Responder::className() const { return shortTypeName(typeid(*this)); }

std::any* Responder::associatedObject(const std::string& key) {
    std::lock_guard lock(associatedMutex_);
    auto it = associated_.find(key);
    return it == associated_.end() ? nullptr : &it->second;
}

const std::any* Responder::associatedObject(const std::string& key) const {
    std::lock_guard lock(associatedMutex_);
    auto it = associated_.find(key);
    return it == associated_.end() ? nullptr : &it->second;
}

std::any Responder::associatedValue(const std::string& key) const {
    std::lock_guard lock(associatedMutex_);
    auto it = associated_.find(key);
    return it == associated_.end() ? std::any() : it->second;
}

void Responder::setAssociatedObject(const std::string& key, std::any value) {
    std::any old;  // released outside the lock: its destructor may reach back here
    std::lock_guard lock(associatedMutex_);
    if (!value.has_value()) {
        if (auto it = associated_.find(key); it != associated_.end()) {
            old = std::move(it->second);
            associated_.erase(it);
        }
    } else {
        auto& slot = associated_[key];
        old = std::move(slot);
        slot = std::move(value);
    }
}

std::string shortTypeName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : type.name();
    std::free(demangled);
    // Drop namespaces but keep template arguments intact.
    std::size_t cut = std::string::npos;
    int depth = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '<') ++depth;
        if (name[i] == '>') --depth;
        if (depth == 0 && name[i] == ':' && i + 1 < name.size() && name[i + 1] == ':') cut = i + 1;
    }
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

}  // namespace platform::ui
