#pragma once

#include <any>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform::ui {

class Window;

// The base of views, controllers and the application: shared objects that
// take part in the responder chain. Make every responder with
// std::make_shared; shared_from_this and the weak back references of the
// tree rely on it.
class Responder : public std::enable_shared_from_this<Responder> {
public:
    Responder() = default;
    virtual ~Responder() = default;
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    virtual Responder* nextResponder() const { return nullptr; }
    virtual bool canBecomeFirstResponder() const { return false; }
    virtual bool canResignFirstResponder() const { return true; }
    // Becomes the first responder of its window, after the current one
    // resigned; false when it cannot, has no window, or the other refused.
    virtual bool becomeFirstResponder();
    virtual bool resignFirstResponder();
    bool isFirstResponder() const;
    // The window the responder lives in, if any.
    virtual std::shared_ptr<Window> responderWindow() const { return nullptr; }

    // This object as a shared pointer of another of its classes; null when
    // it is not one (or was not made shared).
    template <class T>
    std::shared_ptr<T> sharedAs() {
        return std::dynamic_pointer_cast<T>(weak_from_this().lock());
    }
    template <class T>
    std::shared_ptr<const T> sharedAs() const {
        return std::dynamic_pointer_cast<const T>(weak_from_this().lock());
    }

    // The class name without namespaces ("TableView", "CalculateViewController").
    std::string className() const;

    // Values that other libraries attach to a responder, as extensions of a
    // platform class do (a tab item of a page, a view's depth, a screen of
    // the analytics engine). The map is locked on every access, so any
    // thread may read and write it; the pointer forms are for the owner's
    // own thread, associatedValue copies under the lock for the others.
    // Storing an empty value removes the key.
    std::any* associatedObject(const std::string& key);
    const std::any* associatedObject(const std::string& key) const;
    std::any associatedValue(const std::string& key) const;
    void setAssociatedObject(const std::string& key, std::any value);

private:
    mutable std::mutex associatedMutex_;
    std::map<std::string, std::any> associated_;
};

// The demangled name of a type without its namespaces.
std::string shortTypeName(const std::type_info& type);

}  // namespace platform::ui
