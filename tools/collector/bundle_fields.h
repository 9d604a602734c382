#pragma once

#include <array>

namespace tools::collector {

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
    BundleField{14, "app_id", "app identifier", BundleFieldKind::String},
    BundleField{23, "bundle_index", "bundle index", BundleFieldKind::Int32},
    BundleField{5, "start_time", "start", BundleFieldKind::Time},
    BundleField{6, "end_time", "end", BundleFieldKind::Time},
    BundleField{4, "upload_time", "upload", BundleFieldKind::Time},
    BundleField{8, "platform", "platform", BundleFieldKind::String},
    BundleField{52, "consent_signals", "consent signals", BundleFieldKind::String},
    BundleField{1, "protocol_version", "protocol version", BundleFieldKind::Int32},
    BundleField{7, "previous_bundle_end_time", "previous bundle end", BundleFieldKind::Time},
    BundleField{9, "os_version", "OS version", BundleFieldKind::String},
    BundleField{10, "device_model", "device model", BundleFieldKind::String},
    BundleField{11, "user_default_language", "language", BundleFieldKind::String},
    BundleField{12, "time_zone_offset_minutes", "time zone offset (min)", BundleFieldKind::Int32},
    BundleField{13, "dev_cert_hash", "developer certificate hash", BundleFieldKind::String},
    BundleField{16, "app_version", "app version", BundleFieldKind::String},
    BundleField{17, "library_version_at_storage", "library version at storage", BundleFieldKind::Int64},
    BundleField{18, "library_version", "library version", BundleFieldKind::Int64},
    BundleField{19, "resettable_device_id", "advertising identifier", BundleFieldKind::String},
    BundleField{20, "limited_ad_tracking", "limited ad tracking", BundleFieldKind::Bool},
    BundleField{21, "app_instance_id", "app instance ID", BundleFieldKind::String},
    BundleField{24, "health_monitor_sample", "health-monitor sample", BundleFieldKind::String},
    BundleField{25, "measurement_app_id", "measurement app identifier", BundleFieldKind::String},
    BundleField{26, "previous_bundle_start_time", "previous bundle start", BundleFieldKind::Time},
    BundleField{27, "vendor_device_id", "vendor identifier", BundleFieldKind::String},
    BundleField{30, "installation_id", "installation ID", BundleFieldKind::String},
    BundleField{31, "app_version_major", "app version major", BundleFieldKind::Int32},
    BundleField{32, "app_version_minor", "app version minor", BundleFieldKind::Int32},
    BundleField{33, "app_version_release", "app version release", BundleFieldKind::Int32},
    BundleField{35, "config_version", "configuration version", BundleFieldKind::Int64},
    BundleField{41, "advertising_app_id", "advertising app identifier", BundleFieldKind::String},
    BundleField{45, "experiment_ids", "experiment IDs", BundleFieldKind::Int32List},
    BundleField{47, "checksum", "checksum", BundleFieldKind::Int64},
    BundleField{53, "tracking_authorization_status", "tracking authorisation", BundleFieldKind::TrackingStatus},
    BundleField{63, "session_stitching_token", "session stitching token", BundleFieldKind::String},
    BundleField{64, "data_controls_applied", "data controls applied", BundleFieldKind::StringList},
    BundleField{65, "ephemeral_app_instance_id", "ephemeral app instance ID", BundleFieldKind::String},
    BundleField{71, "consent_diagnostics", "consent diagnostics", BundleFieldKind::String},
    BundleField{72, "dma_region", "DMA region", BundleFieldKind::Bool},
    BundleField{73, "core_platform_services", "core platform services", BundleFieldKind::String},
};

inline constexpr int kBundleEventsTag = 2;
inline constexpr int kBundleUserPropertiesTag = 3;
inline constexpr int kBundleAudienceResultsTag = 29;

}  // namespace tools::collector
