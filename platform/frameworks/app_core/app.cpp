#include "platform/frameworks/app_core/app.h"

#include <iostream>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/app_core/app_shared_state.h"

namespace platform {

detail::AppRegistry& detail::appRegistry() {
    static AppRegistry instance;
    return instance;
}

namespace {

detail::AppRegistry& registry() { return detail::appRegistry(); }

std::optional<VEZAppOptions> readOptions() {
    auto plist = Bundle::main().propertyListResource("RozedaService-Info");
    if (!plist || !plist->isDictionary()) return std::nullopt;
    const auto& dictionary = plist->asDictionary();
    auto text = [&](const char* key) -> std::string {
        auto found = dictionary.find(key);
        return found != dictionary.end() && found->second.isString() ? found->second.asString() : std::string();
    };
    VEZAppOptions options{text("ROZEDA_APP_ID"), text("BUNDLE_ID")};
    if (options.appID.empty()) return std::nullopt;
    if (options.bundleID.empty()) options.bundleID = Bundle::main().bundleIdentifier();
    return options;
}

}  // namespace

bool VEZApp::configure() {
    auto& state = registry();
    std::vector<StartHook> hooks;
    VEZAppOptions options;
    {
        std::lock_guard lock(state.mutex);
        if (state.options) {
            std::cerr << "VEZApp: the default application is already configured\n";
            return false;
        }
        auto read = readOptions();
        if (!read) {
            std::cerr << "VEZApp: the main bundle has no RozedaService-Info property list with ROZEDA_APP_ID\n";
            return false;
        }
        state.options = *read;
        options = *read;
        for (const auto& entry : state.hooks) hooks.push_back(entry.second);
    }
    // Outside the lock: a hook may ask whether the application is configured.
    for (const auto& hook : hooks) hook(options);
    return true;
}

bool VEZApp::isDefaultAppConfigured() {
    std::lock_guard lock(registry().mutex);
    return registry().options.has_value();
}

std::optional<VEZAppOptions> VEZApp::defaultAppOptions() {
    std::lock_guard lock(registry().mutex);
    return registry().options;
}

void VEZApp::registerComponent(const std::string& name, StartHook hook) {
    auto& state = registry();
    std::optional<VEZAppOptions> options;
    {
        std::lock_guard lock(state.mutex);
        for (const auto& entry : state.hooks) {
            if (entry.first == name) return;
        }
        state.hooks.emplace_back(name, hook);
        options = state.options;
    }
    if (options && hook) hook(*options);
}

}  // namespace platform
