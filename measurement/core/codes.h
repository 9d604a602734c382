#pragma once

// Monitor codes of the public interface, the facade and the engine core.

namespace measurement {

// Why an event write left the event out when analytics is disabled: by
// the user's choice, not for want of storage.
inline constexpr const char* kAPMEventNotWrittenDisabledReason = "analytics is disabled";

// Monitor codes of the public interface, the facade and the engine core.
enum : long {
    // Engine.
    kAPMEngineInitFailedCode = 23010,
    kAPMEngineStartedCode = 23011,
    kAPMConditionalUserPropertyFailedCode = 23050,
    kAPMWritingEventCode = 23051,
    kAPMEventNotWrittenDisabledCode = 23052,
    kAPMEventWriteFailedCode = 23053,
    kAPMUserPropertyWriteFailedCode = 23060,
    kAPMUserPropertyNotWrittenDisabledCode = 23061,
    kAPMFirstOpenReportedCode = 23070,
    kAPMAppInstanceIDNotDecidedCode = 23071,
    kAPMFirstOpenLostToDamageCode = 23072,
    kAPMAppInstanceIDLostToDamageCode = 23073,
    kAPMPurchaseEmptyFingerprintCode = 23139,
    kAPMPurchaseFingerprintSaveFailedCode = 23140,
    kAPMPurchaseDuplicateCode = 23141,
    kAPMNetworkPendingCode = 23143,
    kAPMSessionIDDeleteFailedCode = 23177,
    kAPMSessionNumberDeleteFailedCode = 23178,
    kAPMInvalidExtendSessionCode = 23179,
    kAPMSessionEngagementDeleteFailedCode = 23192,
    kAPMEventEditingFailedCode = 23223,

    // Facade and public interface.
    kAPMEventNotLoggedNotConfiguredCode = 25018,
    kAPMInvalidEventNameCode = 25019,
    kAPMInvalidUserPropertyCode = 25020,
    kAPMInvalidOriginCode = 25021,
    kAPMScreenNameNotOnMainThreadCode = 25025,
    kAPMUnbridgeableValueCode = 25040,
    kAPMEmptyConsentSettingsCode = 25041,
    kAPMInvalidConsentValueCode = 25042,
    kAPMLowerPriorityConsentCode = 25043,
    kAPMUserDataNotSetDisabledCode = 25044,
    kAPMEmailNotConfiguredCode = 25051,
    kAPMPhoneNotConfiguredCode = 25052,
    kAPMHashedEmailNotConfiguredCode = 25053,
    kAPMHashedPhoneNotConfiguredCode = 25054,
    kAPMConsentDescriptionCode = 25055,
    kAPMNotConfiguredCode = 25056,
};

}  // namespace measurement
