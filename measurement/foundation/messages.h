#pragma once

// The message classes of the measurement engine, one per protocol-buffer
// message, over the nanopb structures "nano_<name>" (global namespace).

#include "measurement/foundation/nano_message.h"
#include "measurement/proto/audience.pb.h"
#include "measurement/proto/config.pb.h"
#include "measurement/proto/experiments.pb.h"
#include "measurement/proto/measurement.pb.h"
#include "measurement/proto/runtime.pb.h"
#include "measurement/proto/skadnetwork.pb.h"

namespace measurement {

#define APM_NANO_MESSAGE(name) using name = NANOMessage<::nano_##name, &::nano_##name##_msg>

// Events, user properties, bundles and batches.
APM_NANO_MESSAGE(APMPBEventParam);
APM_NANO_MESSAGE(APMPBEventParamDictionary);
APM_NANO_MESSAGE(APMPBEvent);
APM_NANO_MESSAGE(APMPBUserAttribute);
APM_NANO_MESSAGE(APMPBMeasurementBundle);
APM_NANO_MESSAGE(APMPBMeasurementBatch);

// Server configuration.
APM_NANO_MESSAGE(APMPBMeasurementConfig);
APM_NANO_MESSAGE(APMPBSetting);
APM_NANO_MESSAGE(APMPBEventConfig);
APM_NANO_MESSAGE(APMPBConsentSection);
APM_NANO_MESSAGE(APMPBConsentDefault);
APM_NANO_MESSAGE(APMPBConsentDelegation);

// Audiences.
APM_NANO_MESSAGE(APMPBAudience);
APM_NANO_MESSAGE(APMPBEventFilter);
APM_NANO_MESSAGE(APMPBPropertyFilter);
APM_NANO_MESSAGE(APMPBFilter);
APM_NANO_MESSAGE(APMPBStringFilter);
APM_NANO_MESSAGE(APMPBNumberFilter);
APM_NANO_MESSAGE(APMPBResultData);
APM_NANO_MESSAGE(APMPBDynamicFilterResultTimestamp);
APM_NANO_MESSAGE(APMPBSequenceFilterResultTimestamp);
APM_NANO_MESSAGE(APMPBAudienceLeafFilterResult);

// Conversion values.
APM_NANO_MESSAGE(APMPBSkAdNetworkConversionValueRequest);
APM_NANO_MESSAGE(APMPBSkAdNetworkConversionValueResponse);

// Experiments.
APM_NANO_MESSAGE(APMPBFlag);
APM_NANO_MESSAGE(APMPBExperiment);
APM_NANO_MESSAGE(APMPBSnapshot);
APM_NANO_MESSAGE(APMPBSdkResponse);
APM_NANO_MESSAGE(APMPBExperimentResponse);
APM_NANO_MESSAGE(APMPBAppProperty);
APM_NANO_MESSAGE(APMPBCustomProperty);
APM_NANO_MESSAGE(APMPBClientProperty);
APM_NANO_MESSAGE(APMPBExperimentRequest);

APM_NANO_MESSAGE(APMPBRuntimeEntity);
APM_NANO_MESSAGE(APMPBOgtActivity);
APM_NANO_MESSAGE(APMPBOgtActivities);
APM_NANO_MESSAGE(APMPBProgram);

#undef APM_NANO_MESSAGE

// The field index of a bundle field given by its wire tag (-1 when the
// bundle has no such field). Bundle fields are named by tag everywhere, but
// their tags have gaps, so the index is not the tag minus one.
inline int APMPBMeasurementBundleFieldIndex(int tag) { return NANOFieldIndexForTag<APMPBMeasurementBundle>(tag); }

// Index of a field of a message whose tags run 1, 2, 3 ... without gaps.
constexpr int APMPBFieldIndexForTag(int tag) { return tag - 1; }

}  // namespace measurement
