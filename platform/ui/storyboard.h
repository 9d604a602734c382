#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/responder.h"

namespace platform::ui {

class View;
class ViewController;

// Interface files are code here: a nib is a registered builder that makes
// the file's top-level views and connects the owner's outlets; a storyboard
// is a registry from scene identifier to a factory of the scene's
// controller. The application registers its own builders at start-up.
class Nib {
public:
    // Makes the top-level views; the owner (may be null) is the object whose
    // outlets the builder fills.
    using Builder = std::function<std::vector<std::shared_ptr<View>>(Responder* owner)>;

    static void registerNib(const std::string& name, Builder builder);
    static void unregister(const std::string& name);
    static bool exists(const std::string& name);
    static std::optional<Nib> named(const std::string& name);

    const std::string& name() const { return name_; }
    // Builds the views, then calls awakeFromNib on every view built (each
    // top-level view and its descendants, depth first).
    std::vector<std::shared_ptr<View>> instantiate(Responder* owner) const;

private:
    Nib(std::string name, Builder builder) : name_(std::move(name)), builder_(std::move(builder)) {}
    std::string name_;
    Builder builder_;
};

class Storyboard {
public:
    using Factory = std::function<std::shared_ptr<ViewController>()>;

    static void registerScene(const std::string& storyboard, const std::string& identifier, Factory factory);
    static void setInitialScene(const std::string& storyboard, const std::string& identifier);
    static void unregister(const std::string& storyboard);
    static std::optional<Storyboard> named(const std::string& name);

    const std::string& name() const { return name_; }
    // The scene's controller, made anew, with awakeFromNib called; null (and
    // a console message) for an unknown identifier.
    std::shared_ptr<ViewController> instantiateViewController(const std::string& identifier) const;
    std::shared_ptr<ViewController> instantiateInitialViewController() const;
    template <class T>
    std::shared_ptr<T> instantiate(const std::string& identifier) const {
        return std::dynamic_pointer_cast<T>(instantiateViewController(identifier));
    }

private:
    explicit Storyboard(std::string name) : name_(std::move(name)) {}
    std::string name_;
};

// Calls awakeFromNib on a view and its descendants, depth first.
void awakeFromNib(View& view);

}  // namespace platform::ui
