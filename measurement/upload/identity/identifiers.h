#pragma once

// The identifiers as the interop connector and the public interface ask for
// them: from the engine's identity when the engine has one, else from the
// process's shared identity.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/upload/identity/identity.h"

namespace measurement {

// Monitor codes of the identifiers.
enum : long {
    kAPMNoAppIDFromIdentityCode = 37000,
    kAPMNoAppIDFromDefaultOptionsCode = 37001,
    kAPMNoAppInstanceIDFromIdentityCode = 37002,
    kAPMNoAppInstanceIDFromSharedIdentityCode = 37003,
    kAPMEmptyOriginCode = 37004,
    kAPMNoEffectiveAppIDCode = 37005,
};

// The data-collection origins: the measurement application identifier is
// the one in use, or the advertising one.
inline constexpr const char* kAPMOriginMeasurement = "fa";
inline constexpr const char* kAPMOriginAdvertising = "am";

class APMIdentifiers {
public:
    static APMIdentifiers& sharedInstance();
    // How the identifiers find the engine's identity: none while there is
    // no engine or it has none yet. The engine installs it.
    static void setEngineIdentityProvider(std::function<std::shared_ptr<APMIdentity>()> provider);

    std::optional<std::string> rozedaAppID();
    // The measurement application identifier, else the advertising one.
    std::optional<std::string> analyticsAppID();
    std::optional<std::string> appInstanceID();
    // A process-wide counter seeded once at random: the seed first, then
    // each next number.
    std::string adEventID();
    std::string libraryVersion() const;

    // An empty origin is refused (logged) and the old one kept.
    void setOrigin(const std::string& origin);
    std::string origin() const;

private:
    APMIdentifiers() = default;
    // The engine's identity when it has one (first), else the shared one.
    std::pair<std::shared_ptr<APMIdentity>, bool> identity() const;

    mutable std::mutex mutex_;  // origin_
    std::string origin_;
};

}  // namespace measurement
