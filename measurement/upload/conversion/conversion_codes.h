#pragma once

// Monitor codes of on-device conversion measurement and of the
// conversion-value exchange.

namespace measurement {

enum : long {
    kAPMPSMInitiatedCode = 23225,
    kAPMPSMInvalidURLCode = 23227,
    kAPMPSMQueryFailedCode = 23228,
    kAPMPSMMatchFoundCode = 23229,
    kAPMPSMNoMatchCode = 23230,
    kAPMPSMRetryLimitReachedCode = 23231,
    kAPMPSMPostponedCode = 23232,
    kAPMPSMNotLinkedCode = 23233,
    kAPMPSMEmptyEmailCode = 23234,
    kAPMPSMInProgressCode = 23235,
    kAPMPSMStartLimitCode = 23236,
    kAPMPSMExistingMatchCode = 23237,
    kAPMPSMRetryLimitCode = 23238,
    kAPMPSMEmptyPhoneCode = 23239,
    kAPMSKANPostponedCode = 23240,
    kAPMSKANRequestFailedCode = 23241,
    kAPMSKANNoDataCode = 23242,
    kAPMSKANInvalidDataCode = 23243,
    kAPMSKANMissingEventTimeCode = 23244,
    kAPMSKANInvalidFineValueCode = 23245,
    kAPMSKANExpiredCode = 23246,
    kAPMSKANOutdatedCode = 23247,
    kAPMSKANUpdatingCode = 23248,
    kAPMSKANUpdateFailedCode = 23249,
    kAPMSKANRetryLimitCode = 23250,
    kAPMSKANMissingValuesCode = 23251,
    kAPMPSMLinkedCode = 23253,
    kAPMPSMNotLinkedWithCountsCode = 23254,
    kAPMSKANMissingResultTimeCode = 23255,
    kAPMPSMOutsideFirstOpenWindowCode = 23261,
    kAPMPSMPhoneUnsupportedCode = 23262,
    kAPMPSMEmptyHashedIdentifierCode = 23264,
    kAPMPSMHashedUnsupportedCode = 23265,
};

}  // namespace measurement
