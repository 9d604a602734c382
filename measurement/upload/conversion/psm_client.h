#pragma once

// The on-device conversion client as the engine calls it: an optional
// library found by its class name at run time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/class_registry.h"

namespace measurement {

inline constexpr const char* kAPMPSMClientClassName = "APMPrivateSetMembershipClient";

// One client: it names its input kind, makes the query and reads the reply.
class APMPSMClient {
public:
    explicit APMPSMClient(std::shared_ptr<platform::RuntimeObject> object) : object_(std::move(object)) {}

    // 0 when the client does not say.
    int inputType() const;
    // The query without the engine's additions; none when the client has
    // none.
    std::optional<std::string> PSMRequestURLWithRetryCount(std::int32_t retryCount) const;
    // None when the client does not answer it (it is optional).
    std::optional<std::string> debugKey() const;
    // The match value; empty for no match.
    std::string parsedPSMValueFromResponse(const std::vector<std::uint8_t>& body) const;

private:
    std::shared_ptr<platform::RuntimeObject> object_;
};

// The client class and its initialisers.
class APMPSMClientClass {
public:
    // The linked class, or none.
    static std::optional<APMPSMClientClass> lookUp();

    bool respondsToSelector(const std::string& selector) const;
    // A client from the initialiser named (whose arguments are given in
    // order), or none when the class refuses or lacks it.
    std::shared_ptr<APMPSMClient> make(const std::string& selector, const platform::Value::Array& arguments) const;

private:
    explicit APMPSMClientClass(std::shared_ptr<platform::RuntimeObject> object) : object_(std::move(object)) {}
    std::shared_ptr<platform::RuntimeObject> object_;
};

}  // namespace measurement
