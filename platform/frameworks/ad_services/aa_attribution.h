// The search-ad attribution framework: its class, found by name at run time, and the tokens it hands out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

struct AAAttributionError {
    long code = 0;
    std::string message;
};

// The attribution class. A caller first looks it up by name (the framework
// may not be linked into the process), then asks it for a token that the
// attribution service accepts. Off the platform nothing signs anything: a
// token is an opaque text made here, and the service that answers it is
// whatever `serviceBaseURL()` names (the local collector in tools and
// tests). Safe to use from any thread.
class AAAttribution {
public:
    static constexpr const char* kClassName = "AAAttribution";

    // What a run-time lookup of the class name finds: true only for
    // "AAAttribution" while the framework counts as linked (it does unless
    // a test or tool says otherwise).
    static bool classExists(const std::string& className);
    // Whether the class answers `attributionTokenWithError:`.
    static bool respondsToAttributionTokenWithError();

    // A new token, or none and an error (the error only when asked for).
    // Every call is counted.
    static std::optional<std::string> attributionTokenWithError(std::optional<AAAttributionError>* error);

    // The attribution service's base address ("http://127.0.0.1:port"): the
    // one set here, else the launch options' ($VELMORA_ATTRIBUTION_SERVICE_URL),
    // else none.
    static std::optional<std::string> serviceBaseURL();
    static void setServiceBaseURL(std::optional<std::string> url);

    // ---- what tests and tools steer ----
    static void setLinked(bool linked);
    static void setRespondsToAttributionTokenWithError(bool responds);
    // The next `count` token requests fail with the error.
    static void failNextTokenRequests(int count, AAAttributionError error);
    // The next token requests answer this text instead of a made one
    // (an empty text included).
    static void setFixedToken(std::optional<std::string> token);
    static std::size_t tokenRequestCount();
    // Linked, responding, no failures, no fixed token, no set address, count 0.
    static void reset();
};

}  // namespace platform
