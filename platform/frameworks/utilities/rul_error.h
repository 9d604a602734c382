#pragma once

#include <string>

namespace platform {

// An error of the utilities framework: a domain, a code within it and a
// message for the log.
struct RULError {
    std::string domain;
    int code = 0;
    std::string message;

    // "domain code: message", the form the diagnostic log shows.
    std::string description() const { return domain + " " + std::to_string(code) + ": " + message; }
    bool operator==(const RULError&) const = default;
};

// Transport failures; the code is a platform::TransportError value.
inline constexpr const char* kRULNetworkErrorDomain = "platform.network";
// Compression and inflation; the code is a GzipErrorCode value.
inline constexpr const char* kRULGzipErrorDomain = "platform.gzip";

}  // namespace platform
