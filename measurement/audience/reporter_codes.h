#pragma once

// Monitor codes of the session, screen-view and ad-exposure reporters and
// of the tracking of view controllers and windows.

namespace measurement {

enum : long {
    // Ad exposure.
    kAPMAdBeginEmptyIDCode = 1000,
    kAPMAdUnitLimitCode = 1002,
    kAPMAdEndEmptyIDCode = 1003,
    kAPMAdUnknownUnitCode = 1004,
    kAPMAdExposureDisabledCode = 1005,
    kAPMAdExposureTooShortCode = 1006,
    kAPMAdUnitExposureDisabledCode = 1007,
    kAPMAdUnitExposureEmptyIDCode = 1008,
    kAPMAdUnitExposureTooShortCode = 1009,
    kAPMAdExposureInactiveCode = 1010,
    kAPMAdUnitExposureInactiveCode = 1011,

    // Screen views.
    kAPMScreenNameReportingDisabledCode = 31000,
    kAPMInvalidScreenNameCode = 31001,
    kAPMInvalidScreenClassCode = 31002,
    kAPMNoViewControllerAppearedCode = 31003,
    kAPMDuplicateScreenCode = 31004,
    kAPMNilViewControllerCode = 31005,
    kAPMViewControllerAlreadyTrackedCode = 31006,
    kAPMTrimmedScreenClassCode = 31007,
    kAPMInvalidDefaultScreenClassCode = 31008,
    kAPMSetScreenNameCode = 31009,
    kAPMTrackingViewControllerCode = 31010,
    kAPMRootViewControllerNotFoundCode = 31011,
    kAPMEmptyScreenParametersCode = 31012,
    kAPMScreenViewAppInactiveCode = 31013,
    kAPMEmptyScreenClassNameCode = 31014,
    kAPMInvalidScreenClassNameCode = 31015,
    kAPMOverrideScreenDelegateCode = 31016,
    kAPMIncompatibleScreenDelegateCode = 31019,
    kAPMTrackScreenAppInactiveCode = 31026,
    kAPMInvalidTrackedScreenNameCode = 31027,
    kAPMInvalidTrackedScreenClassCode = 31028,
    kAPMLoggingScreenViewCode = 31029,

    // Sessions.
    kAPMNegativeSessionTimeoutCode = 33001,
    kAPMNegativeEngagementTimeCode = 33004,
    kAPMSessionStartAppInactiveCode = 33005,
    kAPMEngagementAppInactiveCode = 33006,
    kAPMAppBackgroundedAppInactiveCode = 33008,

    // View controllers and windows.
    kAPMUnknownViewControllerObjectCode = 36000,
    kAPMScreenReportingDisabledAtLoadCode = 36001,
    kAPMNoAppearImplementationCode = 36003,
    kAPMNoDisappearImplementationCode = 36004,
    kAPMOlderFrameworkCode = 36005,
    kAPMUnknownWindowObjectCode = 38000,
};

}  // namespace measurement
