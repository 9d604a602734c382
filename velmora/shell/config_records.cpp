// Strict JSON decoding, ordered encoding and equality of the remote-configuration records.
#include "velmora/shell/config_records.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Far deeper than any record; keeps a hostile value from exhausting the
// parser's memory before decoding even starts.
constexpr int kMaxNesting = 64;

class DecodeFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

const char* jsonTypeName(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null: return "null";
        case Json::value_t::boolean: return "a Boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: return "a number";
        case Json::value_t::string: return "a string";
        case Json::value_t::array: return "an array";
        case Json::value_t::object: return "an object";
        default: return "something else";
    }
}

// Walks one parsed value along a record's members, keeping the path for
// the error text.
class Reader {
public:
    [[noreturn]] void fail(const std::string& kind, const std::string& what) const {
        throw DecodeFailure(kind + " at " + pathText() + ": " + what);
    }

    void expect(const Json& value, bool ok, const char* wanted) const {
        if (ok) return;
        if (value.is_null()) fail("valueNotFound", std::string("expected ") + wanted + " but found null");
        fail("typeMismatch", std::string("expected ") + wanted + " but found " + jsonTypeName(value));
    }

    std::string string(const Json& value) const {
        expect(value, value.is_string(), "a string");
        return value.get<std::string>();
    }

    bool boolean(const Json& value) const {
        expect(value, value.is_boolean(), "a Boolean");
        return value.get<bool>();
    }

    std::int64_t integer(const Json& value) const {
        expect(value, value.is_number(), "a whole number");
        if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
        if (value.is_number_unsigned()) {
            const auto u = value.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return static_cast<std::int64_t>(u);
            }
            fail("dataCorrupted", "the number " + value.dump() + " does not fit a 64-bit whole number");
        }
        const double d = value.get<double>();
        // 2^63 is exactly representable; every double below it in magnitude
        // (and -2^63 itself) converts without overflow.
        constexpr double kLimit = 9223372036854775808.0;
        if (!std::isfinite(d) || std::trunc(d) != d || d >= kLimit || d < -kLimit) {
            fail("dataCorrupted", "the number " + value.dump() + " does not fit a 64-bit whole number");
        }
        return static_cast<std::int64_t>(d);
    }

    const Json& object(const Json& value) const {
        expect(value, value.is_object(), "an object");
        return value;
    }

    const Json& required(const Json& object, const char* key) {
        const auto found = object.find(key);
        if (found == object.end()) fail("keyNotFound", std::string("no value for the key \"") + key + "\"");
        path_.push_back(std::string(".") + key);
        return *found;
    }

    // Absent and null both mean "no value".
    const Json* optional(const Json& object, const char* key) {
        const auto found = object.find(key);
        if (found == object.end() || found->is_null()) return nullptr;
        path_.push_back(std::string(".") + key);
        return &*found;
    }

    void leave() { path_.pop_back(); }

    template <class F>
    auto member(const Json& object, const char* key, F&& read) {
        const Json& value = required(object, key);
        auto result = read(value);
        leave();
        return result;
    }

    template <class F>
    auto optionalMember(const Json& object, const char* key, F&& read) -> std::optional<decltype(read(object))> {
        const Json* value = optional(object, key);
        if (!value) return std::nullopt;
        auto result = read(*value);
        leave();
        return result;
    }

    template <class F>
    auto list(const Json& value, F&& read) {
        expect(value, value.is_array(), "an array");
        std::vector<decltype(read(value))> items;
        for (std::size_t i = 0; i < value.size(); ++i) {
            path_.push_back("[" + std::to_string(i) + "]");
            items.push_back(read(value[i]));
            path_.pop_back();
        }
        return items;
    }

    template <class F>
    auto map(const Json& value, F&& read) {
        object(value);
        std::map<std::string, decltype(read(value))> items;
        for (const auto& [key, item] : value.items()) {
            path_.push_back("[\"" + key + "\"]");
            items.emplace(key, read(item));
            path_.pop_back();
        }
        return items;
    }

private:
    std::string pathText() const {
        std::string text = "the top";
        if (path_.empty()) return text;
        text.clear();
        for (const auto& piece : path_) text += piece;
        return text.front() == '.' ? text.substr(1) : text;
    }

    std::vector<std::string> path_;
};

auto stringReader(Reader& r) {
    return [&r](const Json& v) { return r.string(v); };
}

auto stringMapReader(Reader& r) {
    return [&r](const Json& v) { return r.map(v, stringReader(r)); };
}

auto boolReader(Reader& r) {
    return [&r](const Json& v) { return r.boolean(v); };
}

AppMetaData readApp(Reader& r, const Json& value) {
    const Json& o = r.object(value);
    AppMetaData app;
    app.appIdentifiers = r.member(o, "appIdentifiers", [&r](const Json& v) { return r.list(v, stringReader(r)); });
    app.appName = r.member(o, "appName", stringMapReader(r));
    app.appURL = r.member(o, "appURL", stringReader(r));
    app.appURLPro = r.member(o, "appURLPro", stringReader(r));
    app.ratingURL = r.member(o, "ratingURL", stringReader(r));
    app.ratingURLPro = r.member(o, "ratingURLPro", stringReader(r));
    app.storeURL = r.member(o, "storeURL", stringReader(r));
    app.storeURLPro = r.member(o, "storeURLPro", stringReader(r));
    app.isMultiApp = r.optionalMember(o, "isMultiApp", boolReader(r));
    app.shouldShow = r.member(o, "shouldShow", boolReader(r));
    app.calculationsUntilInterstitial =
        r.member(o, "calculationsUntilInterstitial", [&r](const Json& v) { return r.integer(v); });
    return app;
}

AllAppMetaData readAllApps(Reader& r, const Json& value) {
    const Json& o = r.object(value);
    return {r.member(o, "apps", [&r](const Json& v) { return r.list(v, [&r](const Json& e) { return readApp(r, e); }); })};
}

KuvoAdData readAd(Reader& r, const Json& value) {
    const Json& o = r.object(value);
    KuvoAdData ad;
    ad.imageName = r.member(o, "imageName", stringReader(r));
    ad.linkingString = r.member(o, "linkingString", stringReader(r));
    ad.discountNumber = r.member(o, "discountNumber", stringReader(r));
    return ad;
}

OfferData readOffer(Reader& r, const Json& value) {
    const Json& o = r.object(value);
    OfferData offer;
    offer.buttonTexts = r.member(o, "buttonTexts", stringMapReader(r));
    offer.offerId = r.member(o, "offerId", stringReader(r));
    return offer;
}

UmpReferenceData readUmp(Reader& r, const Json& value) {
    const Json& o = r.object(value);
    UmpReferenceData ump;
    ump.isConsentOrPayActivated = r.optionalMember(o, "isConsentOrPayActivated", boolReader(r));
    ump.purposeConsents = r.member(o, "purposeConsents", stringReader(r));
    ump.purposeLegitimateInterests = r.member(o, "purposeLegitimateInterests", stringReader(r));
    ump.vendorConsents = r.member(o, "vendorConsents", stringReader(r));
    ump.vendorLegitimateInterests = r.member(o, "vendorLegitimateInterests", stringReader(r));
    return ump;
}

template <class T>
T read(Reader& r, const Json& value);

template <>
AppMetaData read(Reader& r, const Json& v) { return readApp(r, v); }
template <>
AllAppMetaData read(Reader& r, const Json& v) { return readAllApps(r, v); }
template <>
KuvoAdData read(Reader& r, const Json& v) { return readAd(r, v); }
template <>
OfferData read(Reader& r, const Json& v) { return readOffer(r, v); }
template <>
UmpReferenceData read(Reader& r, const Json& v) { return readUmp(r, v); }
template <>
KuvoAdsByKey read(Reader& r, const Json& v) {
    return r.map(v, [&r](const Json& list) { return r.list(list, [&r](const Json& e) { return readAd(r, e); }); });
}
template <>
OffersByKey read(Reader& r, const Json& v) {
    return r.map(v, [&r](const Json& list) { return r.list(list, [&r](const Json& e) { return readOffer(r, e); }); });
}
template <>
VideoTutorialsByCode read(Reader& r, const Json& v) {
    return r.map(v, [&r](const Json& languages) {
        return r.map(languages, [&r](const Json& list) { return r.list(list, stringReader(r)); });
    });
}

Json parse(std::string_view text) {
    if (text.empty()) throw DecodeFailure("dataCorrupted at the top: the data is empty");
    const Json::parser_callback_t limitNesting = [](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxNesting) throw DecodeFailure("dataCorrupted at the top: the JSON is nested too deeply");
        return true;
    };
    try {
        return Json::parse(text.begin(), text.end(), limitNesting);
    } catch (const Json::exception& failure) {
        throw DecodeFailure(std::string("dataCorrupted at the top: not valid JSON (") + failure.what() + ")");
    }
}

// Encoding, members in declaration order.

OrderedJson toJson(const AppMetaData& app) {
    OrderedJson o = OrderedJson::object();
    o["appIdentifiers"] = app.appIdentifiers;
    o["appName"] = app.appName;
    o["appURL"] = app.appURL;
    o["appURLPro"] = app.appURLPro;
    o["ratingURL"] = app.ratingURL;
    o["ratingURLPro"] = app.ratingURLPro;
    o["storeURL"] = app.storeURL;
    o["storeURLPro"] = app.storeURLPro;
    if (app.isMultiApp) o["isMultiApp"] = *app.isMultiApp;
    o["shouldShow"] = app.shouldShow;
    o["calculationsUntilInterstitial"] = app.calculationsUntilInterstitial;
    return o;
}

OrderedJson toJson(const AllAppMetaData& all) {
    OrderedJson list = OrderedJson::array();
    for (const auto& app : all.apps) list.push_back(toJson(app));
    OrderedJson o = OrderedJson::object();
    o["apps"] = std::move(list);
    return o;
}

OrderedJson toJson(const KuvoAdData& ad) {
    OrderedJson o = OrderedJson::object();
    o["imageName"] = ad.imageName;
    o["linkingString"] = ad.linkingString;
    o["discountNumber"] = ad.discountNumber;
    return o;
}

OrderedJson toJson(const OfferData& offer) {
    OrderedJson o = OrderedJson::object();
    o["buttonTexts"] = offer.buttonTexts;
    o["offerId"] = offer.offerId;
    return o;
}

OrderedJson toJson(const UmpReferenceData& ump) {
    OrderedJson o = OrderedJson::object();
    if (ump.isConsentOrPayActivated) o["isConsentOrPayActivated"] = *ump.isConsentOrPayActivated;
    o["purposeConsents"] = ump.purposeConsents;
    o["purposeLegitimateInterests"] = ump.purposeLegitimateInterests;
    o["vendorConsents"] = ump.vendorConsents;
    o["vendorLegitimateInterests"] = ump.vendorLegitimateInterests;
    return o;
}

OrderedJson toJson(const std::string& text) { return text; }

template <class Item>
OrderedJson toJson(const std::vector<Item>& items) {
    OrderedJson list = OrderedJson::array();
    for (const auto& item : items) list.push_back(toJson(item));
    return list;
}

template <class Item>
OrderedJson toJson(const std::map<std::string, Item>& items) {
    OrderedJson o = OrderedJson::object();
    for (const auto& [key, item] : items) o[key] = toJson(item);
    return o;
}

// Canonical equivalence: compare the NFC forms. ICU failing to normalise
// (invalid UTF-8 turns into replacement characters, which still compare)
// falls back to comparing the bytes.
std::string nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(text);
    const auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    const icu::UnicodeString normal = normalizer->normalize(source, status);
    if (U_FAILURE(status)) return std::string(text);
    std::string out;
    normal.toUTF8String(out);
    return out;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool equalLists(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const std::string& x, const std::string& y) { return canonicallyEqual(x, y); });
}

// Keys are compared as texts too: two maps whose keys differ only in their
// composition hold the same entries.
bool equalMaps(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
    if (a.size() != b.size()) return false;
    auto normalised = [](const std::map<std::string, std::string>& m) {
        std::map<std::string, std::string> out;
        for (const auto& [key, value] : m) out.emplace(nfc(key), nfc(value));
        return out;
    };
    return normalised(a) == normalised(b);
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return nfc(a) == nfc(b);
}

bool operator==(const AppMetaData& a, const AppMetaData& b) {
    return equalLists(a.appIdentifiers, b.appIdentifiers) && equalMaps(a.appName, b.appName) &&
           canonicallyEqual(a.appURL, b.appURL) && canonicallyEqual(a.appURLPro, b.appURLPro) &&
           canonicallyEqual(a.ratingURL, b.ratingURL) && canonicallyEqual(a.ratingURLPro, b.ratingURLPro) &&
           canonicallyEqual(a.storeURL, b.storeURL) && canonicallyEqual(a.storeURLPro, b.storeURLPro) &&
           a.isMultiApp == b.isMultiApp && a.shouldShow == b.shouldShow &&
           a.calculationsUntilInterstitial == b.calculationsUntilInterstitial;
}

bool operator==(const KuvoAdData& a, const KuvoAdData& b) {
    return canonicallyEqual(a.imageName, b.imageName) && canonicallyEqual(a.linkingString, b.linkingString) &&
           canonicallyEqual(a.discountNumber, b.discountNumber);
}

bool operator==(const OfferData& a, const OfferData& b) {
    return equalMaps(a.buttonTexts, b.buttonTexts) && canonicallyEqual(a.offerId, b.offerId);
}

bool operator==(const UmpReferenceData& a, const UmpReferenceData& b) {
    return a.isConsentOrPayActivated == b.isConsentOrPayActivated &&
           canonicallyEqual(a.purposeConsents, b.purposeConsents) &&
           canonicallyEqual(a.purposeLegitimateInterests, b.purposeLegitimateInterests) &&
           canonicallyEqual(a.vendorConsents, b.vendorConsents) &&
           canonicallyEqual(a.vendorLegitimateInterests, b.vendorLegitimateInterests);
}

template <class T>
std::optional<T> decodeConfigRecord(std::string_view json, std::string* error) {
    try {
        const Json parsed = parse(json);
        Reader reader;
        return read<T>(reader, parsed);
    } catch (const DecodeFailure& failure) {
        if (error) *error = failure.what();
        return std::nullopt;
    }
}

template <class T>
std::string encodeConfigRecord(const T& value) {
    return toJson(value).dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

#define VELMORA_CONFIG_RECORD(T)                                                               \
    template std::optional<T> decodeConfigRecord<T>(std::string_view, std::string*); \
    template std::string encodeConfigRecord<T>(const T&);

VELMORA_CONFIG_RECORD(AppMetaData)
VELMORA_CONFIG_RECORD(AllAppMetaData)
VELMORA_CONFIG_RECORD(KuvoAdData)
VELMORA_CONFIG_RECORD(OfferData)
VELMORA_CONFIG_RECORD(UmpReferenceData)
VELMORA_CONFIG_RECORD(KuvoAdsByKey)
VELMORA_CONFIG_RECORD(OffersByKey)
VELMORA_CONFIG_RECORD(VideoTutorialsByCode)

#undef VELMORA_CONFIG_RECORD

}  // namespace velmora
