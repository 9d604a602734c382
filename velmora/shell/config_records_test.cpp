// Tests of the remote-configuration records: strict decoding, ordered encoding, equality.
#include <doctest/doctest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

#include "velmora/shell/config_records.h"

using namespace velmora;
using Json = nlohmann::ordered_json;

namespace {

Json appJson() {
    return Json::parse(R"({
        "appIdentifiers": ["com.velmora.quadratic", "com.velmora.quadratic.pro"],
        "appName": {"en": "Quadratic", "de": "Quadratisch"},
        "appURL": "velmora-quadratic://",
        "appURLPro": "velmora-quadratic-pro://",
        "ratingURL": "https://r.example/q",
        "ratingURLPro": "https://r.example/qp",
        "storeURL": "https://s.example/q",
        "storeURLPro": "https://s.example/qp",
        "isMultiApp": true,
        "shouldShow": false,
        "calculationsUntilInterstitial": 7
    })");
}

AppMetaData appRecord() {
    AppMetaData app;
    app.appIdentifiers = {"com.velmora.quadratic", "com.velmora.quadratic.pro"};
    app.appName = {{"de", "Quadratisch"}, {"en", "Quadratic"}};
    app.appURL = "velmora-quadratic://";
    app.appURLPro = "velmora-quadratic-pro://";
    app.ratingURL = "https://r.example/q";
    app.ratingURLPro = "https://r.example/qp";
    app.storeURL = "https://s.example/q";
    app.storeURLPro = "https://s.example/qp";
    app.isMultiApp = true;
    app.shouldShow = false;
    app.calculationsUntilInterstitial = 7;
    return app;
}

Json umpJson() {
    return Json::parse(R"({"isConsentOrPayActivated": true, "purposeConsents": "111",
                           "purposeLegitimateInterests": "011", "vendorConsents": "1",
                           "vendorLegitimateInterests": "0"})");
}

// One change to a valid app entry, and what decoding must give.
struct AppCase {
    const char* name;
    std::function<void(Json&)> change;
    std::function<void(AppMetaData&)> expected;  // none: decoding fails
    const char* errorPart = "";
};

}  // namespace

TEST_CASE("an application entry decodes strictly") {
    const AppCase cases[] = {
        {"complete", [](Json&) {}, [](AppMetaData&) {}},
        {"without isMultiApp", [](Json& j) { j.erase("isMultiApp"); }, [](AppMetaData& a) { a.isMultiApp.reset(); }},
        {"isMultiApp null", [](Json& j) { j["isMultiApp"] = nullptr; }, [](AppMetaData& a) { a.isMultiApp.reset(); }},
        {"isMultiApp false", [](Json& j) { j["isMultiApp"] = false; }, [](AppMetaData& a) { a.isMultiApp = false; }},
        {"isMultiApp 1", [](Json& j) { j["isMultiApp"] = 1; }, nullptr, "typeMismatch at isMultiApp"},
        {"shouldShow \"true\"", [](Json& j) { j["shouldShow"] = "true"; }, nullptr, "typeMismatch at shouldShow"},
        {"shouldShow 0", [](Json& j) { j["shouldShow"] = 0; }, nullptr, "shouldShow"},
        {"shouldShow null", [](Json& j) { j["shouldShow"] = nullptr; }, nullptr, "valueNotFound at shouldShow"},
        {"count 5.0", [](Json& j) { j["calculationsUntilInterstitial"] = 5.0; },
         [](AppMetaData& a) { a.calculationsUntilInterstitial = 5; }},
        {"count 1e3", [](Json& j) { j["calculationsUntilInterstitial"] = 1e3; },
         [](AppMetaData& a) { a.calculationsUntilInterstitial = 1000; }},
        {"count -3", [](Json& j) { j["calculationsUntilInterstitial"] = -3; },
         [](AppMetaData& a) { a.calculationsUntilInterstitial = -3; }},
        {"count 2^63-1", [](Json& j) { j["calculationsUntilInterstitial"] = INT64_MAX; },
         [](AppMetaData& a) { a.calculationsUntilInterstitial = INT64_MAX; }},
        {"count -2^63", [](Json& j) { j["calculationsUntilInterstitial"] = INT64_MIN; },
         [](AppMetaData& a) { a.calculationsUntilInterstitial = INT64_MIN; }},
        {"count 2^63", [](Json& j) { j["calculationsUntilInterstitial"] = 9223372036854775808ULL; }, nullptr,
         "dataCorrupted at calculationsUntilInterstitial"},
        {"count 1e19", [](Json& j) { j["calculationsUntilInterstitial"] = 1e19; }, nullptr, "does not fit"},
        {"count 5.5", [](Json& j) { j["calculationsUntilInterstitial"] = 5.5; }, nullptr, "5.5"},
        {"count \"5\"", [](Json& j) { j["calculationsUntilInterstitial"] = "5"; }, nullptr, "typeMismatch"},
        {"count true", [](Json& j) { j["calculationsUntilInterstitial"] = true; }, nullptr, "typeMismatch"},
        {"identifiers empty", [](Json& j) { j["appIdentifiers"] = Json::array(); },
         [](AppMetaData& a) { a.appIdentifiers.clear(); }},
        {"identifiers a text", [](Json& j) { j["appIdentifiers"] = "com.velmora.quadratic"; }, nullptr,
         "typeMismatch at appIdentifiers"},
        {"identifier a number", [](Json& j) { j["appIdentifiers"][1] = 7; }, nullptr, "appIdentifiers[1]"},
        {"name a number", [](Json& j) { j["appName"]["fr"] = 1; }, nullptr, "appName[\"fr\"]"},
        {"names a list", [](Json& j) { j["appName"] = Json::array({"a"}); }, nullptr, "appName"},
        {"address a number", [](Json& j) { j["storeURL"] = 1; }, nullptr, "typeMismatch at storeURL"},
        {"address null", [](Json& j) { j["appURLPro"] = nullptr; }, nullptr, "valueNotFound at appURLPro"},
        {"unknown keys", [](Json& j) { j["extra"] = Json::object({{"deep", {1, 2}}}); }, [](AppMetaData&) {}},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        Json json = appJson();
        c.change(json);
        std::string error;
        const auto decoded = decodeConfigRecord<AppMetaData>(json.dump(), &error);
        if (c.expected) {
            AppMetaData expected = appRecord();
            c.expected(expected);
            REQUIRE(decoded);
            CHECK(*decoded == expected);
            CHECK(error.empty());
        } else {
            CHECK_FALSE(decoded);
            CHECK(error.find(c.errorPart) != std::string::npos);
        }
    }
    SUBCASE("every key but isMultiApp is required") {
        for (const char* key : {"appIdentifiers", "appName", "appURL", "appURLPro", "ratingURL", "ratingURLPro",
                                "storeURL", "storeURLPro", "shouldShow", "calculationsUntilInterstitial"}) {
            CAPTURE(std::string(key));
            Json json = appJson();
            json.erase(key);
            std::string error;
            CHECK_FALSE(decodeConfigRecord<AppMetaData>(json.dump(), &error));
            CHECK(error == std::string("keyNotFound at the top: no value for the key \"") + key + "\"");
        }
    }
    SUBCASE("texts that are no object fail") {
        for (const char* text : {"", " ", "null", "[]", "\"apps\"", "{", "{\"appIdentifiers\": [}", "\xff"}) {
            CAPTURE(std::string(text));
            std::string error;
            CHECK_FALSE(decodeConfigRecord<AppMetaData>(text, &error));
            CHECK_FALSE(error.empty());
        }
    }
}

TEST_CASE("one bad application fails the whole list") {
    Json all = Json::object({{"apps", Json::array({appJson(), appJson()})}});
    const auto good = decodeConfigRecord<AllAppMetaData>(all.dump());
    REQUIRE(good);
    REQUIRE(good->apps.size() == 2);
    CHECK(good->apps[1] == appRecord());

    all["apps"][1].erase("shouldShow");
    std::string error;
    CHECK_FALSE(decodeConfigRecord<AllAppMetaData>(all.dump(), &error));
    CHECK(error == "keyNotFound at apps[1]: no value for the key \"shouldShow\"");

    CHECK(decodeConfigRecord<AllAppMetaData>(R"({"apps": []})")->apps.empty());
    CHECK_FALSE(decodeConfigRecord<AllAppMetaData>(R"({"apps": {}})"));
    CHECK_FALSE(decodeConfigRecord<AllAppMetaData>(R"({"other": []})"));
    CHECK_FALSE(decodeConfigRecord<AllAppMetaData>(R"([])"));
}

TEST_CASE("ads, offers, consent data and video lists decode strictly") {
    SUBCASE("ads by key") {
        const auto ads = decodeConfigRecord<KuvoAdsByKey>(
            R"({"default": [{"imageName": "adA", "linkingString": "https://a.example", "discountNumber": "30"}],
                "empty": []})");
        REQUIRE(ads);
        CHECK(*ads == KuvoAdsByKey{{"default", {{"adA", "https://a.example", "30"}}}, {"empty", {}}});
        struct Case {
            const char* text;
            const char* errorPart;
        };
        const Case failing[] = {
            {R"({"default": [{"imageName": "adA", "linkingString": "l", "discountNumber": 30}]})",
             "typeMismatch at [\"default\"][0].discountNumber"},
            {R"({"default": [{"imageName": "adA", "linkingString": "l"}]})", "keyNotFound at [\"default\"][0]"},
            {R"({"default": {"imageName": "adA", "linkingString": "l", "discountNumber": "3"}})", "expected an array"},
            {R"([])", "expected an object"},
            {R"({"default": [)", "dataCorrupted"},
            {"", "empty"},
        };
        for (const auto& c : failing) {
            CAPTURE(std::string(c.text));
            std::string error;
            CHECK_FALSE(decodeConfigRecord<KuvoAdsByKey>(c.text, &error));
            CHECK(error.find(c.errorPart) != std::string::npos);
        }
    }
    SUBCASE("offers by key") {
        const auto offers =
            decodeConfigRecord<OffersByKey>(R"({"spring": [{"buttonTexts": {"en": "Buy"}, "offerId": "s1"}]})");
        REQUIRE(offers);
        CHECK(*offers == OffersByKey{{"spring", {{{{"en", "Buy"}}, "s1"}}}});
        CHECK_FALSE(decodeConfigRecord<OffersByKey>(R"({"spring": [{"buttonTexts": {"en": "Buy"}}]})"));
        CHECK_FALSE(decodeConfigRecord<OffersByKey>(R"({"spring": [{"buttonTexts": ["Buy"], "offerId": "s1"}]})"));
        CHECK_FALSE(decodeConfigRecord<OffersByKey>(R"({"spring": [{"buttonTexts": {"en": 1}, "offerId": "s1"}]})"));
    }
    SUBCASE("consent reference data") {
        const UmpReferenceData full{true, "111", "011", "1", "0"};
        CHECK(decodeConfigRecord<UmpReferenceData>(umpJson().dump()) == full);
        Json json = umpJson();
        json.erase("isConsentOrPayActivated");
        UmpReferenceData withoutFlag = full;
        withoutFlag.isConsentOrPayActivated.reset();
        CHECK(decodeConfigRecord<UmpReferenceData>(json.dump()) == withoutFlag);
        for (const char* key : {"purposeConsents", "purposeLegitimateInterests", "vendorConsents",
                                "vendorLegitimateInterests"}) {
            CAPTURE(std::string(key));
            Json missing = umpJson();
            missing.erase(key);
            CHECK_FALSE(decodeConfigRecord<UmpReferenceData>(missing.dump()));
        }
        json = umpJson();
        json["isConsentOrPayActivated"] = 0;
        CHECK_FALSE(decodeConfigRecord<UmpReferenceData>(json.dump()));
    }
    SUBCASE("video lists") {
        const auto videos =
            decodeConfigRecord<VideoTutorialsByCode>(R"({"QZT": {"en": ["a", "b"], "de": []}, "PLF": {}})");
        REQUIRE(videos);
        CHECK(*videos == VideoTutorialsByCode{{"QZT", {{"en", {"a", "b"}}, {"de", {}}}}, {"PLF", {}}});
        CHECK_FALSE(decodeConfigRecord<VideoTutorialsByCode>(R"({"QZT": {"en": "a"}})"));
        CHECK_FALSE(decodeConfigRecord<VideoTutorialsByCode>(R"({"QZT": ["a"]})"));
        CHECK_FALSE(decodeConfigRecord<VideoTutorialsByCode>(R"({"QZT": {"en": [1]}})"));
    }
    SUBCASE("a value nested beyond any record is refused while parsing") {
        const std::string deep = "{\"x\": " + std::string(100, '[') + std::string(100, ']') + "}";
        std::string error;
        CHECK_FALSE(decodeConfigRecord<OffersByKey>(deep, &error));
        CHECK(error.find("nested too deeply") != std::string::npos);
    }
}

TEST_CASE("encoding writes the members in order and leaves absent optionals out") {
    AppMetaData app = appRecord();
    app.isMultiApp.reset();
    app.appName = {{"en", "Q"}};
    app.appIdentifiers = {"q"};
    CHECK(encodeConfigRecord(app) ==
          R"({"appIdentifiers":["q"],"appName":{"en":"Q"},"appURL":"velmora-quadratic://",)"
          R"("appURLPro":"velmora-quadratic-pro://","ratingURL":"https://r.example/q",)"
          R"("ratingURLPro":"https://r.example/qp","storeURL":"https://s.example/q",)"
          R"("storeURLPro":"https://s.example/qp","shouldShow":false,"calculationsUntilInterstitial":7})");
    UmpReferenceData ump{std::nullopt, "a", "b", "c", "d"};
    CHECK(encodeConfigRecord(ump) ==
          R"({"purposeConsents":"a","purposeLegitimateInterests":"b","vendorConsents":"c","vendorLegitimateInterests":"d"})");
    ump.isConsentOrPayActivated = false;
    CHECK(encodeConfigRecord(ump).rfind(R"({"isConsentOrPayActivated":false,"purposeConsents")", 0) == 0);
    CHECK(encodeConfigRecord(KuvoAdData{"i", "l", "3"}) == R"({"imageName":"i","linkingString":"l","discountNumber":"3"})");
    CHECK(encodeConfigRecord(OfferData{{{"en", "x"}}, "o"}) == R"({"buttonTexts":{"en":"x"},"offerId":"o"})");

    SUBCASE("what is encoded decodes to an equal value") {
        const AllAppMetaData all{{appRecord(), app}};
        const auto back = decodeConfigRecord<AllAppMetaData>(encodeConfigRecord(all));
        REQUIRE(back);
        CHECK(back->apps == all.apps);
        const KuvoAdsByKey ads{{"k", {{"i", "l", "3"}, {"j", "m", "4"}}}};
        CHECK(decodeConfigRecord<KuvoAdsByKey>(encodeConfigRecord(ads)) == ads);
        const VideoTutorialsByCode videos{{"QZT", {{"en", {"a"}}}}};
        CHECK(decodeConfigRecord<VideoTutorialsByCode>(encodeConfigRecord(videos)) == videos);
        CHECK(decodeConfigRecord<UmpReferenceData>(encodeConfigRecord(ump)) == ump);
    }
}

TEST_CASE("records are equal member by member, texts by their meaning") {
    const AppMetaData base = appRecord();
    struct Case {
        const char* name;
        std::function<void(AppMetaData&)> change;
        bool equal;
    };
    const Case cases[] = {
        {"same", [](AppMetaData&) {}, true},
        {"identifiers in another order",
         [](AppMetaData& a) { std::swap(a.appIdentifiers[0], a.appIdentifiers[1]); }, false},
        {"isMultiApp absent against true", [](AppMetaData& a) { a.isMultiApp.reset(); }, false},
        {"another count", [](AppMetaData& a) { a.calculationsUntilInterstitial = 8; }, false},
        {"another name", [](AppMetaData& a) { a.appName["en"] = "Quadratics"; }, false},
        {"one more name", [](AppMetaData& a) { a.appName["fr"] = "Quadratique"; }, false},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        AppMetaData other = base;
        c.change(other);
        CHECK((other == base) == c.equal);
    }
    SUBCASE("isMultiApp absent is not false") {
        AppMetaData absent = base, no = base;
        absent.isMultiApp.reset();
        no.isMultiApp = false;
        CHECK_FALSE(absent == no);
        AppMetaData alsoAbsent = absent;
        CHECK(absent == alsoAbsent);
    }
    SUBCASE("the order of the name keys in the JSON does not matter") {
        Json reordered = appJson();
        reordered["appName"] = Json::parse(R"({"de": "Quadratisch", "en": "Quadratic"})");
        CHECK(decodeConfigRecord<AppMetaData>(reordered.dump()) == decodeConfigRecord<AppMetaData>(appJson().dump()));
    }
    SUBCASE("canonically equivalent texts are equal, in values and in keys") {
        const std::string precomposed = "Caf\xc3\xa9";  // é as one code point
        const std::string decomposed = "Cafe\xcc\x81";  // e and a combining acute accent
        CHECK(canonicallyEqual(precomposed, decomposed));
        CHECK_FALSE(canonicallyEqual(precomposed, "Cafe"));
        CHECK_FALSE(canonicallyEqual("a", "b"));
        CHECK(KuvoAdData{precomposed, "l", "1"} == KuvoAdData{decomposed, "l", "1"});
        CHECK(OfferData{{{precomposed, "x"}}, "o"} == OfferData{{{decomposed, "x"}}, "o"});
        CHECK_FALSE(OfferData{{{precomposed, "x"}}, "o"} == OfferData{{{"Cafe", "x"}}, "o"});
        CHECK(UmpReferenceData{true, precomposed, "", "", ""} == UmpReferenceData{true, decomposed, "", "", ""});
        CHECK_FALSE(UmpReferenceData{true, "1", "", "", ""} == UmpReferenceData{false, "1", "", "", ""});
    }
}
