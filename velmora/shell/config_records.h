// The records of the remotely configured content: promoted applications, own advertisements, offers, consent reference data.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// One application of the maker's family. JSON keys equal the member names;
// every key is required except "isMultiApp".
struct AppMetaData {
    std::vector<std::string> appIdentifiers;
    std::map<std::string, std::string> appName;  // display name by language code
    std::string appURL;
    std::string appURLPro;  // opens the installed application
    std::string ratingURL;
    std::string ratingURLPro;  // the application's rating page
    std::string storeURL;
    std::string storeURLPro;  // the store page, when not installed
    std::optional<bool> isMultiApp;
    bool shouldShow = false;
    std::int64_t calculationsUntilInterstitial = 0;

    friend bool operator==(const AppMetaData& a, const AppMetaData& b);
};

// The "apps" value and the bundle's list of promoted applications.
struct AllAppMetaData {
    std::vector<AppMetaData> apps;
};

// One own advertisement.
struct KuvoAdData {
    std::string imageName;
    std::string linkingString;
    std::string discountNumber;

    friend bool operator==(const KuvoAdData& a, const KuvoAdData& b);
};

struct OfferData {
    std::map<std::string, std::string> buttonTexts;
    std::string offerId;

    friend bool operator==(const OfferData& a, const OfferData& b);
};

// Consent reference strings; only "isConsentOrPayActivated" is optional.
struct UmpReferenceData {
    std::optional<bool> isConsentOrPayActivated;
    std::string purposeConsents;
    std::string purposeLegitimateInterests;
    std::string vendorConsents;
    std::string vendorLegitimateInterests;

    friend bool operator==(const UmpReferenceData& a, const UmpReferenceData& b);
};

// The shapes of the "ads", "offers" and "videoTutorials" values. The last
// maps a calculator's short code to video addresses by language code.
using KuvoAdsByKey = std::map<std::string, std::vector<KuvoAdData>>;
using OffersByKey = std::map<std::string, std::vector<OfferData>>;
using VideoTutorialsByCode = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

// Decodes a JSON text as T: AllAppMetaData, AppMetaData, KuvoAdData,
// OfferData, UmpReferenceData, KuvoAdsByKey, OffersByKey or
// VideoTutorialsByCode. Strict and all or nothing: a missing required key,
// a value of another JSON type (Booleans are only true and false, whole
// numbers may be written 5.0 but not 5.5, null only stands for an absent
// optional), malformed or empty text fail the whole value, and *error
// says what and where. Keys that are not members are ignored.
template <class T>
std::optional<T> decodeConfigRecord(std::string_view json, std::string* error = nullptr);

// The JSON text of a value of those types: members in declaration order,
// absent optionals left out, map keys sorted.
template <class T>
std::string encodeConfigRecord(const T& value);

// Text equality by meaning: canonically equivalent UTF-8 texts (a
// precomposed letter and its decomposed form) are equal.
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace velmora
