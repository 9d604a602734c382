#pragma once

// The fields of bundles, events and user properties by wire tag, as the
// generated message descriptions number them, with the field indices that
// the generic accessors take.

#include "measurement/foundation/messages.h"

namespace measurement {

// Bundle fields by wire tag. Their tags have gaps: reach a field through
// bundleFieldIndex().
namespace bundle_tag {
enum : int {
    kProtocolVersion = nano_APMPBMeasurementBundle_protocol_version_tag,
    kEvents = nano_APMPBMeasurementBundle_events_tag,
    kUserAttributes = nano_APMPBMeasurementBundle_user_attributes_tag,
    kUploadTimestamp = nano_APMPBMeasurementBundle_upload_timestamp_millis_tag,
    kStartTimestamp = nano_APMPBMeasurementBundle_start_timestamp_millis_tag,
    kEndTimestamp = nano_APMPBMeasurementBundle_end_timestamp_millis_tag,
    kPreviousBundleEndTimestamp = nano_APMPBMeasurementBundle_previous_bundle_end_timestamp_millis_tag,
    kPlatform = nano_APMPBMeasurementBundle_platform_tag,
    kOSVersion = nano_APMPBMeasurementBundle_os_version_tag,
    kDeviceModel = nano_APMPBMeasurementBundle_device_model_tag,
    kUserDefaultLanguage = nano_APMPBMeasurementBundle_user_default_language_tag,
    kTimeZoneOffsetMinutes = nano_APMPBMeasurementBundle_time_zone_offset_minutes_tag,
    kDevCertHash = nano_APMPBMeasurementBundle_dev_cert_hash_tag,
    kAppID = nano_APMPBMeasurementBundle_app_id_tag,
    kAppVersion = nano_APMPBMeasurementBundle_app_version_tag,
    kLibraryVersionAtStorage = nano_APMPBMeasurementBundle_library_version_at_storage_tag,
    kLibraryVersion = nano_APMPBMeasurementBundle_library_version_tag,
    kResettableDeviceID = nano_APMPBMeasurementBundle_resettable_device_id_tag,
    kLimitedAdTracking = nano_APMPBMeasurementBundle_limited_ad_tracking_tag,
    kAppInstanceID = nano_APMPBMeasurementBundle_app_instance_id_tag,
    kBundleIndex = nano_APMPBMeasurementBundle_bundle_index_tag,
    kHealthMonitorSample = nano_APMPBMeasurementBundle_health_monitor_sample_tag,
    kMeasurementAppID = nano_APMPBMeasurementBundle_measurement_app_id_tag,
    kPreviousBundleStartTimestamp = nano_APMPBMeasurementBundle_previous_bundle_start_timestamp_millis_tag,
    kVendorDeviceID = nano_APMPBMeasurementBundle_vendor_device_id_tag,
    kAudienceResults = nano_APMPBMeasurementBundle_audience_results_tag,
    kInstallationID = nano_APMPBMeasurementBundle_installation_id_tag,
    kAppVersionMajor = nano_APMPBMeasurementBundle_app_version_major_tag,
    kAppVersionMinor = nano_APMPBMeasurementBundle_app_version_minor_tag,
    kAppVersionRelease = nano_APMPBMeasurementBundle_app_version_release_tag,
    kConfigVersion = nano_APMPBMeasurementBundle_config_version_tag,
    kAdvertisingAppID = nano_APMPBMeasurementBundle_advertising_app_id_tag,
    kExperimentIDs = nano_APMPBMeasurementBundle_experiment_ids_tag,
    kChecksum = nano_APMPBMeasurementBundle_checksum_tag,
    kConsentSignals = nano_APMPBMeasurementBundle_consent_signals_tag,
    kTrackingAuthorizationStatus = nano_APMPBMeasurementBundle_tracking_authorization_status_tag,
    kSessionStitchingToken = nano_APMPBMeasurementBundle_session_stitching_token_tag,
    kDataControlsApplied = nano_APMPBMeasurementBundle_data_controls_applied_tag,
    kEphemeralAppInstanceID = nano_APMPBMeasurementBundle_ephemeral_app_instance_id_tag,
    kConsentDiagnostics = nano_APMPBMeasurementBundle_consent_diagnostics_tag,
    kDMARegion = nano_APMPBMeasurementBundle_dma_region_tag,
    kCorePlatformServices = nano_APMPBMeasurementBundle_core_platform_services_tag,
};
}  // namespace bundle_tag

// The batch's one field: its bundles.
namespace batch_field {
enum : int { kBundles = APMPBFieldIndexForTag(nano_APMPBMeasurementBatch_bundles_tag) };
}

// Field indices of events, their parameters and user properties, whose tags
// run without gaps (up to the user property's double, tag 6).
namespace event_field {
enum : int {
    kParams = APMPBFieldIndexForTag(nano_APMPBEvent_params_tag),
    kName = APMPBFieldIndexForTag(nano_APMPBEvent_name_tag),
    kTimestamp = APMPBFieldIndexForTag(nano_APMPBEvent_timestamp_millis_tag),
    kPreviousTimestamp = APMPBFieldIndexForTag(nano_APMPBEvent_previous_timestamp_millis_tag),
};
}
namespace param_field {
enum : int {
    kName = APMPBFieldIndexForTag(nano_APMPBEventParam_name_tag),
    kStringValue = APMPBFieldIndexForTag(nano_APMPBEventParam_string_value_tag),
    kIntValue = APMPBFieldIndexForTag(nano_APMPBEventParam_int_value_tag),
    kDoubleValue = APMPBFieldIndexForTag(nano_APMPBEventParam_double_value_tag),
    kListValue = APMPBFieldIndexForTag(nano_APMPBEventParam_list_value_tag),
};
}
namespace user_attribute_field {
enum : int {
    kSetTimestamp = APMPBFieldIndexForTag(nano_APMPBUserAttribute_set_timestamp_millis_tag),
    kName = APMPBFieldIndexForTag(nano_APMPBUserAttribute_name_tag),
    kStringValue = APMPBFieldIndexForTag(nano_APMPBUserAttribute_string_value_tag),
    kIntValue = APMPBFieldIndexForTag(nano_APMPBUserAttribute_int_value_tag),
};
}

inline int bundleFieldIndex(int tag) { return APMPBMeasurementBundleFieldIndex(tag); }

inline void clearBundleField(APMPBMeasurementBundle& bundle, int tag) {
    const int index = bundleFieldIndex(tag);
    if (NANOHasField(bundle, index)) NANOClearField(bundle, index);
}

}  // namespace measurement
