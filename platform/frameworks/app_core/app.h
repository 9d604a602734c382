#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform {

// What the default application was configured with: the identifiers of the
// "RozedaService-Info" property list of the main bundle.
struct VEZAppOptions {
    // "ROZEDA_APP_ID".
    std::string appID;
    // "BUNDLE_ID", else the main bundle's identifier.
    std::string bundleID;
};

// The application-core framework: one default application, configured once
// from the main bundle's service property list. Libraries of the process
// register a start hook; configure() calls each hook once, in registration
// order, after the application is configured. Safe to call from any thread.
class VEZApp {
public:
    using StartHook = std::function<void(const VEZAppOptions& options)>;

    // Configures the default application. False (and nothing started) when
    // the property list is missing or names no application identifier, or
    // when the application is already configured.
    static bool configure();
    static bool isDefaultAppConfigured();
    // The options of the configured default application; none before.
    static std::optional<VEZAppOptions> defaultAppOptions();

    // A library registers its start hook once; a hook registered after
    // configure() runs at once.
    static void registerComponent(const std::string& name, StartHook hook);
};

}  // namespace platform
