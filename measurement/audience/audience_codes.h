#pragma once

// Monitor codes of the audience component and the error codes of its
// definition check.

namespace measurement {

enum : long {
    // Evaluation, bundling, session starts and definitions.
    kAPMAudienceEventFiltersQueryFailedCode = 6000,
    kAPMAudienceEventResultQueryFailedCode = 6001,
    kAPMAudienceEventResultsSaveFailedCode = 6003,
    kAPMAudiencePropertyFiltersQueryFailedCode = 6004,
    kAPMAudiencePropertyResultQueryFailedCode = 6005,
    kAPMAudiencePropertyResultsSaveFailedCode = 6007,
    kAPMAudienceTooManyAudiencesCode = 6008,
    kAPMAudienceInvalidDefinitionCode = 6009,
    kAPMAudienceDeleteEventFiltersFailedCode = 6010,
    kAPMAudienceDeletePropertyFiltersFailedCode = 6011,
    kAPMAudienceSaveEventFiltersFailedCode = 6012,
    kAPMAudienceSavePropertyFiltersFailedCode = 6013,
    kAPMAudiencePruneQueryFailedCode = 6015,
    kAPMAudienceTooManyResultsCode = 6016,
    kAPMAudiencePruneIDsQueryFailedCode = 6017,
    kAPMAudiencePruneDeleteFailedCode = 6018,
    kAPMAudienceBundlingQueryFailedCode = 6019,
    kAPMAudienceBundlingUndecodableCode = 6020,
    kAPMAudienceBundlingZeroStatusCode = 6021,
    kAPMAudienceBundlingSaveFailedCode = 6022,
    kAPMAudienceResultMissingWordsCode = 6023,
    kAPMAudienceEventFilterCorruptCode = 6035,
    kAPMAudiencePropertyFilterCorruptCode = 6036,
    kAPMAudienceEarlierTimestampCode = 6037,
    kAPMAudienceNanoPropertyUnconvertibleCode = 6039,
    kAPMAudienceSessionFiltersQueryFailedCode = 6040,
    kAPMAudienceSessionResultsQueryFailedCode = 6041,
    kAPMAudienceSessionDeleteFailedCode = 6042,
    kAPMAudienceSessionUpdateFailedCode = 6043,

    // Matching an event or a user property.
    kAPMFilterNeitherNumberNorStringCode = 7000,
    kAPMFilterValueNotNumericCode = 7001,
    kAPMFilterValueOutOfDoubleRangeCode = 7002,
    kAPMFilterValueNotStringCode = 7003,
    kAPMEventFilterMissingCode = 7004,
    kAPMEventNameMissingCode = 7005,
    kAPMEventFilterNameMismatchCode = 7006,
    kAPMEventAggregatesNameMismatchCode = 7007,
    kAPMEventFilterNoParameterNameCode = 7008,
    kAPMEventParameterMissingCode = 7009,
    kAPMEventParameterStringWithoutStringFilterCode = 7010,
    kAPMPropertyFilterMissingCode = 7011,
    kAPMUserPropertyMissingCode = 7012,
    kAPMPropertyFilterNameMismatchCode = 7013,
    kAPMPropertyFilterNoFilterCode = 7014,
    kAPMUserPropertyUnknownTypeCode = 7015,

    // Number filters.
    kAPMNumberFilterValueNotNumberCode = 8002,
    kAPMNumberFilterMinNotNumberCode = 8004,
    kAPMNumberFilterMaxNotNumberCode = 8005,
    kAPMNumberFilterNoComparisonTypeCode = 8006,
    kAPMNumberFilterUnknownComparisonTypeCode = 8007,
    kAPMNumberFilterInvalidValueCode = 8008,
    kAPMNumberFilterInvalidMinCode = 8009,
    kAPMNumberFilterInvalidMaxCode = 8010,
    kAPMNumberFilterRealUnknownComparisonTypeCode = 8011,
    kAPMNumberFilterUnparsableDoubleCode = 8012,
    kAPMNumberFilterInvalidDecimalsCode = 8015,

    // String filters.
    kAPMStringFilterNoMatchTypeCode = 9000,
    kAPMStringFilterUnknownMatchTypeCode = 9001,
    kAPMStringFilterNoExpressionCode = 9002,
    kAPMStringFilterNoExpressionListCode = 9003,
    kAPMStringFilterRegexInvalidCode = 9004,
    kAPMStringFilterNoStringCode = 9005,
    kAPMStringFilterInvalidCode = 9006,
    // A server expression that ran past its time or memory limit.
    kAPMStringFilterRegexTooCostlyCode = 9007,

    // Sequence timestamps.
    kAPMSequenceTimestampOutOfOrderCode = 42000,
    kAPMSequenceTimestampSetOutOfOrderCode = 42001,
};

// Error codes of the definition check: the audience itself, one of its
// event filters, one of its property filters.
enum : long {
    kAPMAudienceDefinitionErrorCode = 9,
    kAPMAudienceEventFilterErrorCode = 10,
    kAPMAudiencePropertyFilterErrorCode = 11,
};

}  // namespace measurement
