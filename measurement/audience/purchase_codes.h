// Monitor codes of purchase reporting: the reporter, the receipt scan and the event parameters.
#pragma once

namespace measurement {

enum : long {
    kAPMPurchaseNilTransactionCode = 21014,
    kAPMPurchaseNilIdentifierCode = 21015,
    kAPMPurchaseEmptyIdentifierCode = 21016,
    kAPMPurchaseZeroIdentifierCode = 21017,
    kAPMPurchaseProductRequestFailedCode = 21027,
    kAPMPurchaseReceiptParsedCode = 21028,
    kAPMReceiptFreeTrialValueCode = 39025,
    kAPMReceiptLongLengthCode = 39027,
    kAPMReceiptIntroductoryOfferValueCode = 39028,
    kAPMPurchaseEmptyTransactionIDCode = 40003,
    kAPMPurchaseNonConsumableRepurchaseCode = 40005,
    kAPMPurchaseMismatchedIDsCode = 40007,
    kAPMPurchaseSubscriptionCode = 40008,
    kAPMPurchaseFreeTrialCode = 40009,
    kAPMPurchaseRenewalCode = 40010,
    kAPMPurchaseFreeTrialRepurchaseCode = 40011,
    kAPMPurchaseIntroductoryOfferCode = 40018,
    kAPMPurchaseMissingInReceiptCode = 40020,
    kAPMPurchaseConsumableCode = 40021,
    kAPMPurchaseNonConsumableCode = 40022,
    kAPMPurchaseSubscriptionMissingCode = 40023,
    kAPMPurchaseDuplicateDateCode = 40024,
    kAPMPurchaseNonRenewingCode = 40025,
    kAPMPurchaseNilProductCode = 40026,
    kAPMPurchaseEmptyProductIDCode = 40027,
};

}  // namespace measurement
