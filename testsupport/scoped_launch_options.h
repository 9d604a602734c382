#pragma once

// Launch options changed for a scope and put back as they were after it:
// how a test points the libraries elsewhere, instead of the environment.

#include <functional>

#include "platform/foundation/launch_options.h"

namespace testsupport {

class ScopedLaunchOptions {
public:
    explicit ScopedLaunchOptions(const std::function<void(platform::LaunchOptions&)>& change)
        : before_(platform::LaunchOptions::current()) {
        auto options = before_;
        change(options);
        platform::LaunchOptions::install(std::move(options));
    }
    ~ScopedLaunchOptions() { platform::LaunchOptions::install(before_); }
    ScopedLaunchOptions(const ScopedLaunchOptions&) = delete;
    ScopedLaunchOptions& operator=(const ScopedLaunchOptions&) = delete;

private:
    platform::LaunchOptions before_;
};

}  // namespace testsupport
