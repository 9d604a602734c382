// The attribution class's lookup, its tokens and the service address.
#include "platform/frameworks/ad_services/aa_attribution.h"

#include <mutex>
#include <random>

#include "platform/foundation/launch_options.h"

namespace platform {

namespace {

struct State {
    std::mutex mutex;
    bool linked = true;
    bool responds = true;
    int failures = 0;
    AAAttributionError failure;
    std::optional<std::string> fixedToken;
    std::optional<std::string> serviceURL;
    std::size_t requests = 0;
    std::mt19937_64 random{std::random_device{}()};
};

State& state() {
    static State shared;
    return shared;
}

std::string madeToken(std::mt19937_64& random, std::size_t serial) {
    static const char* digits = "0123456789abcdef";
    std::string token = "aat-" + std::to_string(serial) + "-";
    for (int i = 0; i < 32; ++i) token += digits[random() % 16];
    return token;
}

}  // namespace

bool AAAttribution::classExists(const std::string& className) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.linked && className == kClassName;
}

bool AAAttribution::respondsToAttributionTokenWithError() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.responds;
}

std::optional<std::string> AAAttribution::attributionTokenWithError(std::optional<AAAttributionError>* error) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    ++s.requests;
    if (s.failures > 0) {
        --s.failures;
        if (error) *error = s.failure;
        return std::nullopt;
    }
    if (s.fixedToken) return s.fixedToken;
    return madeToken(s.random, s.requests);
}

std::optional<std::string> AAAttribution::serviceBaseURL() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.serviceURL) return s.serviceURL;
    return LaunchOptions::current().attributionServiceURL;
}

void AAAttribution::setServiceBaseURL(std::optional<std::string> url) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.serviceURL = std::move(url);
}

void AAAttribution::setLinked(bool linked) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.linked = linked;
}

void AAAttribution::setRespondsToAttributionTokenWithError(bool responds) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.responds = responds;
}

void AAAttribution::failNextTokenRequests(int count, AAAttributionError error) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.failures = count > 0 ? count : 0;
    s.failure = std::move(error);
}

void AAAttribution::setFixedToken(std::optional<std::string> token) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.fixedToken = std::move(token);
}

std::size_t AAAttribution::tokenRequestCount() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.requests;
}

void AAAttribution::reset() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.linked = true;
    s.responds = true;
    s.failures = 0;
    s.failure = {};
    s.fixedToken.reset();
    s.serviceURL.reset();
    s.requests = 0;
}

}  // namespace platform
