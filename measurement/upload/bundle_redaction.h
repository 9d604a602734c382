#pragma once

// The rewriting of queued bundles just before an upload: consent,
// tracking authorisation and the server's data controls may have changed
// since a bundle's header was stored. Each rewrite changes the bundle as read
// for this upload; the queue keeps the stored one, so a retried upload
// rewrites it again from the stored state.
//
// The refresh flag of an upload says whether the current state overwrites a
// bundle's stored consent fields (true) or only fills those it lacks
// (false).

#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/messages.h"
#include "measurement/upload/bundle_inputs.h"

namespace measurement {

// Whether a consent-signals character denies: "0", "D" or "d".
bool APMConsentSignalDenies(char signal);
// The signals ("G1", ad storage, analytics storage) deny analytics storage:
// at least 4 characters and the fourth denies.
bool signalsDenyAnalyticsStorage(const std::string& signals);

// Consent signals (tag 52), tracking status (53), advertising and vendor
// identifiers (19, 27), app instance ID (21), limited ad tracking (20), and
// what denied analytics storage clears (27, 21, 63, 29).
void applyDeviceIdentifiersToBundle(APMPBMeasurementBundle& bundle, const std::string& currentConsentSignals,
                                    bool gateIDFAOnATTMASEnabled, const APMUploadIdentitySeam& identity,
                                    bool refresh);

// What the DMA rewrite reads of the server configuration.
struct APMDMAServerState {
    bool isDMARegion = false;
    std::vector<std::string> corePlatformServices;
};

// Consent diagnostics (tag 71), DMA region (72), core platform services (73)
// and the "_npa" user property.
void applyDMAConsentToBundle(APMPBMeasurementBundle& bundle, const std::string& consentDiagnostics,
                             bool isAdUserDataDenied, const std::optional<APMPBUserAttribute>& npaUserAttribute,
                             const APMDMAServerState& server, bool refresh);

// The server's data controls ("app_instance_id", "user_id", "os_version",
// "device_model", "device_info", "enhanced_user_id"); a non-empty list is
// recorded in tag 64.
void applyDataControlsToBundle(APMPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                               const APMUploadIdentitySeam& identity);

// Same consent signals, diagnostics, core platform services, DMA region and
// "_npa" value, so that one batch never mixes consent states.
bool bundlesHaveSameConsent(const APMPBMeasurementBundle& bundle, const APMPBMeasurementBundle& other);

// Whether the bundle holds a first-open event ("_f").
bool bundleHasFirstOpenEvent(const APMPBMeasurementBundle& bundle);

// The first user property named "_npa", none without one.
std::optional<APMPBUserAttribute> npaUserAttributeOfBundle(const APMPBMeasurementBundle& bundle);

}  // namespace measurement
