#pragma once

// How the collector shows each plain bundle field: its key in the JSON form
// and its label in the text form.

#include <array>

#include "measurement/foundation/bundle_tags.h"

namespace tools::collector {

namespace tag = measurement::bundle_tag;

// How a plain bundle field is read and shown.
enum class BundleFieldKind { String, Int32, Int64, Bool, Time, TrackingStatus, StringList, Int32List };

struct BundleField {
    int tag;
    const char* key;    // in the JSON form
    const char* label;  // in the text form
    BundleFieldKind kind;
};

// Every bundle field but the lists of events, user properties and audience
// results, in the order the text shows them: what identifies and places a
// bundle first, then by tag.
inline constexpr std::array kBundleFields = {
    BundleField{tag::kAppID, "app_id", "app identifier", BundleFieldKind::String},
    BundleField{tag::kBundleIndex, "bundle_index", "bundle index", BundleFieldKind::Int32},
    BundleField{tag::kStartTimestamp, "start_time", "start", BundleFieldKind::Time},
    BundleField{tag::kEndTimestamp, "end_time", "end", BundleFieldKind::Time},
    BundleField{tag::kUploadTimestamp, "upload_time", "upload", BundleFieldKind::Time},
    BundleField{tag::kPlatform, "platform", "platform", BundleFieldKind::String},
    BundleField{tag::kConsentSignals, "consent_signals", "consent signals", BundleFieldKind::String},
    BundleField{tag::kProtocolVersion, "protocol_version", "protocol version", BundleFieldKind::Int32},
    BundleField{tag::kPreviousBundleEndTimestamp, "previous_bundle_end_time", "previous bundle end", BundleFieldKind::Time},
    BundleField{tag::kOSVersion, "os_version", "OS version", BundleFieldKind::String},
    BundleField{tag::kDeviceModel, "device_model", "device model", BundleFieldKind::String},
    BundleField{tag::kUserDefaultLanguage, "user_default_language", "language", BundleFieldKind::String},
    BundleField{tag::kTimeZoneOffsetMinutes, "time_zone_offset_minutes", "time zone offset (min)", BundleFieldKind::Int32},
    BundleField{tag::kDevCertHash, "dev_cert_hash", "developer certificate hash", BundleFieldKind::String},
    BundleField{tag::kAppVersion, "app_version", "app version", BundleFieldKind::String},
    BundleField{tag::kLibraryVersionAtStorage, "library_version_at_storage", "library version at storage", BundleFieldKind::Int64},
    BundleField{tag::kLibraryVersion, "library_version", "library version", BundleFieldKind::Int64},
    BundleField{tag::kResettableDeviceID, "resettable_device_id", "advertising identifier", BundleFieldKind::String},
    BundleField{tag::kLimitedAdTracking, "limited_ad_tracking", "limited ad tracking", BundleFieldKind::Bool},
    BundleField{tag::kAppInstanceID, "app_instance_id", "app instance ID", BundleFieldKind::String},
    BundleField{tag::kHealthMonitorSample, "health_monitor_sample", "health-monitor sample", BundleFieldKind::String},
    BundleField{tag::kMeasurementAppID, "measurement_app_id", "measurement app identifier", BundleFieldKind::String},
    BundleField{tag::kPreviousBundleStartTimestamp, "previous_bundle_start_time", "previous bundle start", BundleFieldKind::Time},
    BundleField{tag::kVendorDeviceID, "vendor_device_id", "vendor identifier", BundleFieldKind::String},
    BundleField{tag::kInstallationID, "installation_id", "installation ID", BundleFieldKind::String},
    BundleField{tag::kAppVersionMajor, "app_version_major", "app version major", BundleFieldKind::Int32},
    BundleField{tag::kAppVersionMinor, "app_version_minor", "app version minor", BundleFieldKind::Int32},
    BundleField{tag::kAppVersionRelease, "app_version_release", "app version release", BundleFieldKind::Int32},
    BundleField{tag::kConfigVersion, "config_version", "configuration version", BundleFieldKind::Int64},
    BundleField{tag::kAdvertisingAppID, "advertising_app_id", "advertising app identifier", BundleFieldKind::String},
    BundleField{tag::kExperimentIDs, "experiment_ids", "experiment IDs", BundleFieldKind::Int32List},
    BundleField{tag::kChecksum, "checksum", "checksum", BundleFieldKind::Int64},
    BundleField{tag::kTrackingAuthorizationStatus, "tracking_authorization_status", "tracking authorisation", BundleFieldKind::TrackingStatus},
    BundleField{tag::kSessionStitchingToken, "session_stitching_token", "session stitching token", BundleFieldKind::String},
    BundleField{tag::kDataControlsApplied, "data_controls_applied", "data controls applied", BundleFieldKind::StringList},
    BundleField{tag::kEphemeralAppInstanceID, "ephemeral_app_instance_id", "ephemeral app instance ID", BundleFieldKind::String},
    BundleField{tag::kConsentDiagnostics, "consent_diagnostics", "consent diagnostics", BundleFieldKind::String},
    BundleField{tag::kDMARegion, "dma_region", "DMA region", BundleFieldKind::Bool},
    BundleField{tag::kCorePlatformServices, "core_platform_services", "core platform services", BundleFieldKind::String},
};

inline constexpr int kBundleEventsTag = tag::kEvents;
inline constexpr int kBundleUserPropertiesTag = tag::kUserAttributes;
inline constexpr int kBundleAudienceResultsTag = tag::kAudienceResults;

}  // namespace tools::collector
