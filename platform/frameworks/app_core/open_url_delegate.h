#pragma once

// The application delegate's answer to a URL handed to the application to
// open, as libraries without the user-interface layer reach it.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform {

// What the application's delegate does with a URL it is asked to open
// (with its options, such as "timestamp"): true when it took the URL.
class OpenURLDelegate {
public:
    virtual ~OpenURLDelegate() = default;
    virtual bool openURL(const std::string& url, const Value::Dictionary& options) = 0;
};

// The process's application delegate as far as opening URLs goes. An
// application whose delegate handles URLs registers it here; without one the
// delegate does not respond to the request, as a delegate lacking the
// method. Every request is recorded. Safe from any thread; the caller
// decides on which thread the delegate runs.
class ApplicationOpenURL {
public:
    struct Request {
        std::string url;
        Value::Dictionary options;
        bool taken = false;
    };

    // nullptr: no delegate that responds.
    static void setDelegate(std::shared_ptr<OpenURLDelegate> delegate);
    static bool hasDelegate();
    // Hands the URL to the delegate; false when there is none or it refused.
    static bool openURL(const std::string& url, const Value::Dictionary& options);

    static std::vector<Request> requests();
    // No delegate, no requests.
    static void reset();
};

}  // namespace platform
