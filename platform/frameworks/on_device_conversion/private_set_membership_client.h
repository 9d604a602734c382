#pragma once

// The on-device conversion library as an application links it: a client
// class found by name that hashes a user's e-mail address or phone number
// and makes the query the measurement service answers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::ondevice {

// What the client makes of its input, as `inputType` numbers it.
enum PSMInputType : int {
    kPSMInputEmailAddress = 1,
    kPSMInputPhoneNumber = 2,
    kPSMInputHashedEmailAddress = 3,
    kPSMInputHashedPhoneNumber = 4,
};

// The messages the class object and its clients answer.
inline constexpr const char* kInitWithEmailAddressSelector = "initWithEmailAddress:appID:";
inline constexpr const char* kInitWithEmailAddressPrefixSelector = "initWithEmailAddress:appID:prefixBitLength:";
inline constexpr const char* kInitWithPhoneNumberSelector = "initWithPhoneNumber:appID:";
inline constexpr const char* kInitWithPhoneNumberPrefixSelector = "initWithPhoneNumber:appID:prefixBitLength:";
inline constexpr const char* kInitWithHashedEmailAddressSelector = "initWithHashedEmailAddress:appID:prefixBitLength:";
inline constexpr const char* kInitWithHashedPhoneNumberSelector = "initWithHashedPhoneNumber:appID:prefixBitLength:";
inline constexpr const char* kInputTypeSelector = "inputType";
inline constexpr const char* kRequestURLSelector = "PSMRequestURLWithRetryCount:";
inline constexpr const char* kDebugKeySelector = "debugKey";
inline constexpr const char* kParsedValueSelector = "parsedPSMValueFromResponse:";

// One client as it was made.
struct PSMClientRecord {
    int inputType = 0;
    // The SHA-256 digest of the normalised input (or the hashed input as
    // given), as 64 lower-case hexadecimal digits.
    std::string digestHex;
    std::string appID;
    // None for the forms without a prefix length.
    std::optional<int> prefixBitLength;
};

// Controls the stand-in. While linked, the class "APMPrivateSetMembershipClient"
// is in the class registry; its initialisers normalise the input (e-mail:
// trimmed, lower case, one "@" between non-empty parts; phone: "+" and 7 to
// 15 digits once spaces, dashes, dots and brackets are gone), hash it with
// SHA-256 (hashed input must be a 32-byte digest already) and answer a
// client, or null for input they refuse. A client's query sends only the
// first prefixBitLength bits of the digest (the whole digest for the forms
// without a length) to "<service>/psm/query"; it reads the service's reply
// {"value": "..."} as the match value, anything else as no match. Safe from
// any thread.
class PrivateSetMembership {
public:
    static constexpr const char* kClassName = "APMPrivateSetMembershipClient";
    static constexpr const char* kQueryPath = "/psm/query";

    static void link();
    static void unlink();
    static bool isLinked();

    // Which initialisers the linked class offers; all of them by default.
    // Without the prefix forms the class is an older library; without the
    // phone or hashed forms, one that cannot take that input.
    static void setOffersPrefixBitLength(bool offers);
    static void setOffersPhoneNumbers(bool offers);
    static void setOffersHashedIdentifiers(bool offers);

    // The query service's base address: the one set here, else
    // $VELMORA_ON_DEVICE_CONVERSION_URL when not empty, else none (and then a
    // client has no query to give).
    static std::optional<std::string> serviceBaseURL();
    static void setServiceBaseURL(std::optional<std::string> url);
    // What clients answer to `debugKey`; none (the default): they do not
    // answer it at all.
    static void setDebugKey(std::optional<std::string> key);

    // The normalised forms the initialisers hash; none for refused input.
    static std::optional<std::string> normalizedEmailAddress(const std::string& emailAddress);
    static std::optional<std::string> normalizedPhoneNumber(const std::string& phoneNumber);
    static std::vector<std::uint8_t> sha256(const std::string& text);
    // The first `bits` bits of the digest as hexadecimal digits, the bits
    // after them in the last digit zero.
    static std::string digestPrefixHex(const std::vector<std::uint8_t>& digest, int bits);

    // What clients were made, which retry counts their queries were asked
    // for, and how many replies they read.
    static std::vector<PSMClientRecord> clients();
    static std::vector<std::int64_t> queryRetryCounts();
    static std::size_t parsedResponseCount();

    // Unlinked, every initialiser offered, no address, no debug key, nothing
    // recorded.
    static void reset();
};

}  // namespace platform::ondevice
