#include "platform/ui/storyboard.h"

#include <map>
#include <mutex>

#include "platform/ui/ui_log.h"
#include "platform/ui/view.h"
#include "platform/ui/view_controller.h"

namespace platform::ui {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, Nib::Builder> nibs;
    std::map<std::string, std::map<std::string, Storyboard::Factory>> scenes;
    std::map<std::string, std::string> initialScenes;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void Nib::registerNib(const std::string& name, Builder builder) {
    std::lock_guard lock(registry().mutex);
    registry().nibs[name] = std::move(builder);
}

void Nib::unregister(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    registry().nibs.erase(name);
}

bool Nib::exists(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    return registry().nibs.count(name) != 0;
}

std::optional<Nib> Nib::named(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    auto it = registry().nibs.find(name);
    if (it == registry().nibs.end()) return std::nullopt;
    return Nib(name, it->second);
}

std::vector<std::shared_ptr<View>> Nib::instantiate(Responder* owner) const {
    auto views = builder_ ? builder_(owner) : std::vector<std::shared_ptr<View>>{};
    for (auto& view : views) {
        if (view) awakeFromNib(*view);
    }
    return views;
}

void awakeFromNib(View& view) {
    view.awakeFromNib();
    auto children = view.subviews();
    for (auto& child : children) awakeFromNib(*child);
}

void Storyboard::registerScene(const std::string& storyboard, const std::string& identifier, Factory factory) {
    std::lock_guard lock(registry().mutex);
    registry().scenes[storyboard][identifier] = std::move(factory);
}

void Storyboard::setInitialScene(const std::string& storyboard, const std::string& identifier) {
    std::lock_guard lock(registry().mutex);
    registry().initialScenes[storyboard] = identifier;
}

void Storyboard::unregister(const std::string& storyboard) {
    std::lock_guard lock(registry().mutex);
    registry().scenes.erase(storyboard);
    registry().initialScenes.erase(storyboard);
}

std::optional<Storyboard> Storyboard::named(const std::string& name) {
    std::lock_guard lock(registry().mutex);
    if (registry().scenes.count(name) == 0) return std::nullopt;
    return Storyboard(name);
}

std::shared_ptr<ViewController> Storyboard::instantiateViewController(const std::string& identifier) const {
    Factory factory;
    {
        std::lock_guard lock(registry().mutex);
        auto board = registry().scenes.find(name_);
        if (board != registry().scenes.end()) {
            auto scene = board->second.find(identifier);
            if (scene != board->second.end()) factory = scene->second;
        }
    }
    if (!factory) {
        logMessage("Storyboard (" + name_ + ") doesn't contain a view controller with identifier '" + identifier + "'");
        return nullptr;
    }
    auto controller = factory();
    if (!controller) return nullptr;
    controller->setStoryboardName(name_);
    controller->awakeFromNib();
    return controller;
}

std::shared_ptr<ViewController> Storyboard::instantiateInitialViewController() const {
    std::string identifier;
    {
        std::lock_guard lock(registry().mutex);
        auto it = registry().initialScenes.find(name_);
        if (it == registry().initialScenes.end()) return nullptr;
        identifier = it->second;
    }
    return instantiateViewController(identifier);
}

}  // namespace platform::ui
