// Tests of the identity: the app instance ID and its rotation, the advertising and vendor identifiers under consent, the tracking status, the session stitching token, the diversion key and version texts.
#include <doctest/doctest.h>

#include <set>

#include "measurement/upload/identity/identity.h"
#include "measurement/upload/identity/identity_test_support.h"
#include "platform/foundation/process_info.h"

using namespace identity_test;
using platform::Value;

namespace {

bool isAppInstanceIDText(const std::optional<std::string>& text) {
    return text && text->size() == 32 && text->find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

}  // namespace

TEST_CASE("the app instance ID survives restarts and rotates only when a known advertising identifier changes") {
    IdentityFixture f;
    f.support()->idfa.reset();
    auto identity = f.make();
    const auto first = f.persisted().appInstanceID();
    REQUIRE(isAppInstanceIDText(first));
    CHECK(identity->appInstanceID() == first);
    CHECK_FALSE(f.persisted().hashedResettableDeviceID());

    // A restart reads the same settings again.
    identity.reset();
    f.restart();
    identity = f.make();
    CHECK(identity->appInstanceID() == first);

    // The first advertising identifier ever seen stores its hash only.
    f.support()->idfa = kAdvertisingID;
    f.time().advance(2);
    CHECK(identity->resettableDeviceID() == kAdvertisingID);
    CHECK(identity->appInstanceID() == first);
    CHECK(f.persisted().hashedResettableDeviceID() == kAdvertisingIDHash);
    CHECK(identity->hashedResettableDeviceID() == kAdvertisingIDHash);
    CHECK_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());

    // A later run with another identifier: a new app instance ID, the reset
    // recorded.
    identity.reset();
    f.restart();
    f.support()->idfa = kOtherAdvertisingID;
    identity = f.make();
    const auto second = identity->appInstanceID();
    REQUIRE(isAppInstanceIDText(second));
    CHECK(second != first);
    CHECK(f.persisted().hashedResettableDeviceID() == kOtherAdvertisingIDHash);
    CHECK(identity->shouldSetLastAdvertisingIDResetUserProperty());

    // The all-zero identifier counts as none: nothing rotates and the cache
    // is cleared.
    f.support()->idfa = kAPMZeroAdvertisingIdentifier;
    f.time().advance(2);
    CHECK_FALSE(identity->resettableDeviceID());
    CHECK(identity->appInstanceID() == second);
    CHECK(f.persisted().hashedResettableDeviceID() == kOtherAdvertisingIDHash);
}

TEST_CASE("a new app instance ID is put to the folder, whose answer is taken unless another was made since") {
    IdentityFixture f;
    struct Asked {
        std::optional<std::string> replacing;
        std::string proposed;
        std::function<void(const std::string&)> take;
    };
    std::vector<Asked> asked;
    f.agreement = [&](const std::optional<std::string>& replacing, const std::string& proposed,
                      std::function<void(const std::string&)> take) {
        asked.push_back({replacing, proposed, std::move(take)});
    };
    f.support()->idfa = kAdvertisingID;
    auto identity = f.make();
    // The first ID, made at creation: the folder holds another already.
    REQUIRE(asked.size() == 1);
    CHECK_FALSE(asked[0].replacing);
    CHECK(f.persisted().appInstanceID() == asked[0].proposed);
    const std::string folders = "0A0B0C0D0E0F40118899AABBCCDDEEFF";
    asked[0].take(folders);
    f.time().settle();
    CHECK(identity->appInstanceID() == folders);
    // The first advertising identifier stores its hash and asks nothing; a
    // new one makes a new ID, put to the folder with the one it replaces.
    CHECK(f.persisted().hashedResettableDeviceID() == kAdvertisingIDHash);
    f.support()->idfa = kOtherAdvertisingID;
    f.time().advance(2);
    const auto rotated = identity->appInstanceID();
    REQUIRE(asked.size() == 2);
    CHECK(asked[1].replacing == folders);
    CHECK(rotated == asked[1].proposed);
    // A late answer to the first question changes nothing: the ID it was
    // about was replaced meanwhile. The folder's own answer to the second
    // keeps the new one.
    asked[0].take("FFFFFFFFFFFF4FFFBFFFFFFFFFFFFFFF");
    asked[1].take(asked[1].proposed);
    f.time().settle();
    CHECK(f.persisted().appInstanceID() == rotated);
    CHECK(asked.size() == 2);
}

TEST_CASE("refreshes within the cache time ask the platform once") {
    const struct {
        const char* cacheTime;
        double later;
        int requests;
    } cases[] = {
        {nullptr, 0.5, 1},
        {nullptr, 1.0, 2},
        {"30", 20, 1},
        {"30", 31, 2},
    };
    for (const auto& c : cases) {
        CAPTURE(c.later);
        IdentityFixture f;
        if (c.cacheTime) f.configure({{"measurement.ad_id_cache_time", c.cacheTime}});
        auto identity = f.make();
        identity->resettableDeviceID();
        f.time().advance(c.later);
        identity->resettableDeviceID();
        CHECK(f.support()->idfaRequests == c.requests);
    }
}

TEST_CASE("the tracking status code and the advertising identifier it allows") {
    // Below OS 14 the status is unknown and the identifier is read whatever
    // the platform says; from 14 the frameworks and the status decide, and
    // the gate keeps the identifier from everything but an authorised one.
    const struct {
        const char* os;
        bool hasLAT;
        bool hasStatus;
        long status;
        bool gate;
        int code;
        bool identifier;
    } cases[] = {
        {"13.7", true, true, 2, true, 6, true},
        {"13.7", false, false, 0, false, 6, true},
        {"17.4", false, true, 3, false, 6, true},
        {"17.4", false, true, 3, true, 6, false},
        {"17.4", true, false, 3, false, 5, true},
        {"17.4", true, true, 0, false, 4, true},
        {"17.4", true, true, 0, true, 4, false},
        {"17.4", true, true, 1, true, 1, false},
        {"17.4", true, true, 2, false, 2, true},
        {"17.4", true, true, 3, true, 3, true},
        {"17.4", true, true, 7, false, 5, true},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.os));
        CAPTURE(c.status);
        CAPTURE(c.gate);
        IdentityFixture f;
        platform::ProcessInfo::setOSVersion(c.os);
        f.support()->hasLAT = c.hasLAT;
        f.support()->hasStatus = c.hasStatus;
        f.support()->status = c.status;
        if (c.gate) f.configure({{"measurement.attmas_gate", "true"}});
        auto identity = f.make();
        CHECK(identity->appleConsentStatus() == c.code);
        CHECK(identity->resettableDeviceID().has_value() == c.identifier);
        CHECK(f.persisted().hashedResettableDeviceID().has_value() == c.identifier);
    }
}

TEST_CASE("consent decides which identifiers are made, kept and handed out") {
    SUBCASE("analytics storage denied at creation: no app instance ID until it is granted") {
        IdentityFixture f;
        f.setConsent({{"analytics_storage", "denied"}});
        auto identity = f.make();
        CHECK_FALSE(f.persisted().appInstanceID());
        CHECK_FALSE(identity->appInstanceID());
        f.setConsent({{"analytics_storage", "granted"}});
        f.time().advance(2);
        CHECK(isAppInstanceIDText(identity->appInstanceID()));
    }
    SUBCASE("ad storage denied: neither identifier nor hash, and the stored hash is left alone") {
        IdentityFixture f;
        f.persisted().setHashedResettableDeviceID(std::string(kOtherAdvertisingIDHash));
        f.setConsent({{"ad_storage", "denied"}});
        auto identity = f.make();
        CHECK_FALSE(identity->resettableDeviceID());
        CHECK_FALSE(identity->hashedResettableDeviceID());
        CHECK(f.persisted().hashedResettableDeviceID() == kOtherAdvertisingIDHash);
        CHECK(f.support()->idfaRequests == 0);
    }
    SUBCASE("a cached identifier stops at once when ad storage becomes denied") {
        IdentityFixture f;
        auto identity = f.make();
        REQUIRE(identity->resettableDeviceID() == kAdvertisingID);
        f.setConsent({{"ad_storage", "denied"}});
        // Within the cache time: no refresh runs, the read itself refuses.
        CHECK_FALSE(identity->resettableDeviceID());
        f.setConsent({{"ad_storage", "granted"}});
        CHECK_FALSE(identity->resettableDeviceID());
        f.time().advance(2);
        CHECK(identity->resettableDeviceID() == kAdvertisingID);
    }
    SUBCASE("a revoked authorisation under the gate stops the cached identifier") {
        IdentityFixture f;
        f.configure({{"measurement.attmas_gate", "true"}, {"measurement.ad_id_cache_time", "3600"}});
        auto identity = f.make();
        REQUIRE(identity->resettableDeviceID() == kAdvertisingID);
        f.support()->status = 2;
        CHECK_FALSE(identity->resettableDeviceID());
        f.support()->status = 3;
        f.time().advance(3601);
        CHECK(identity->resettableDeviceID() == kAdvertisingID);
    }
    SUBCASE("an identifier change while analytics storage is denied waits for the grant") {
        IdentityFixture f;
        auto identity = f.make();
        const auto first = identity->appInstanceID();
        REQUIRE(f.persisted().hashedResettableDeviceID() == kAdvertisingIDHash);
        f.setConsent({{"analytics_storage", "denied"}});
        f.support()->idfa = kOtherAdvertisingID;
        f.time().advance(2);
        CHECK(identity->resettableDeviceID() == kOtherAdvertisingID);
        CHECK(f.persisted().hashedResettableDeviceID() == kAdvertisingIDHash);
        CHECK_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
        CHECK(f.persisted().appInstanceID() == first);

        f.setConsent({{"analytics_storage", "granted"}});
        f.time().advance(2);
        const auto rotated = identity->appInstanceID();
        CHECK(isAppInstanceIDText(rotated));
        CHECK(rotated != first);
        CHECK(f.persisted().hashedResettableDeviceID() == kOtherAdvertisingIDHash);
        CHECK(identity->shouldSetLastAdvertisingIDResetUserProperty());
    }
}

TEST_CASE("the vendor identifier is handed out only without an advertising identifier") {
    const struct {
        bool advertising;
        std::optional<bool> collection;
        bool analyticsDenied;
        bool handedOut;
    } cases[] = {
        {true, std::nullopt, false, false},
        {false, std::nullopt, false, true},
        {false, true, false, true},
        {false, false, false, false},
        {false, std::nullopt, true, false},
    };
    for (const auto& c : cases) {
        BundleFiles files;
        if (c.collection) files.info[kAPMIDFVCollectionEnabledKey] = *c.collection;
        IdentityFixture f(files);
        platform::ProcessInfo::setIdentifierForVendor("11111111-2222-4333-8444-555555555555");
        if (!c.advertising) f.support()->idfa.reset();
        if (c.analyticsDenied) f.setConsent({{"analytics_storage", "denied"}});
        auto identity = f.make();
        const auto expected = c.handedOut ? std::optional<std::string>("11111111-2222-4333-8444-555555555555")
                                          : std::nullopt;
        CHECK(identity->identifierForVendor() == expected);
        // Cached after the first read: the platform is asked at most once.
        CHECK(identity->identifierForVendor() == expected);
        CHECK(platform::ProcessInfo::identifierForVendorRequestCount() == (c.handedOut ? 1u : 0u));
        CHECK(identity->isIDFVCollectionEnabled() == c.collection);
        CHECK(f.monitor().hasCode(kAPMIDFVCollectionSettingCode) == c.collection.has_value());
    }
}

TEST_CASE("the session stitching token follows the session numbers") {
    struct Request {
        std::int64_t number;
        bool expired;
        bool userID;
        double later;
        bool sameToken;
    };
    const struct {
        const char* name;
        std::vector<Request> requests;
    } cases[] = {
        {"same session twice", {{5, false, false, 0, false}, {5, false, false, 10, true}}},
        {"the session after an expired one", {{5, true, false, 0, false}, {6, false, false, 10, true}}},
        {"a skipped session", {{5, false, false, 0, false}, {7, false, false, 10, false}}},
        {"the next session when the last was not expired", {{5, false, false, 0, false}, {6, false, false, 10, false}}},
        {"a day without a user ID", {{5, false, false, 0, false}, {5, false, false, 86400, false}}},
        {"a day with a user ID", {{5, false, true, 0, false}, {5, false, true, 86400, true}}},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        IdentityFixture f;
        auto identity = f.make();
        std::optional<std::string> last;
        for (const auto& request : c.requests) {
            f.time().advance(request.later);
            const auto token = identity->sessionStitchingToken(request.number, request.expired, request.userID);
            REQUIRE(isAppInstanceIDText(token));
            if (last) CHECK((token == last) == request.sameToken);
            last = token;
        }
    }
    SUBCASE("denied analytics storage: none, and the token is kept for later") {
        IdentityFixture f;
        auto identity = f.make();
        const auto token = identity->sessionStitchingToken(3, false, false);
        f.setConsent({{"analytics_storage", "denied"}});
        CHECK_FALSE(identity->sessionStitchingToken(3, false, false));
        f.setConsent({{"analytics_storage", "granted"}});
        CHECK(identity->sessionStitchingToken(3, false, false) == token);
        identity->resetSessionStitchingToken();
        CHECK(identity->sessionStitchingToken(3, false, false) != token);
    }
    SUBCASE("the same request is answered without the identity queue; a reset still queued is not passed over") {
        IdentityFixture f;
        auto identity = f.make();
        f.time().settle();
        const auto token = identity->sessionStitchingToken(4, false, false);
        // A block left waiting on the identity queue, which an answer read
        // there would have run first.
        identity->resetEphemeralAppInstanceID();
        CHECK(identity->sessionStitchingToken(4, false, false) == token);
        CHECK(f.time().drain() == 1);
        identity->resetSessionStitchingToken();
        identity->resetEphemeralAppInstanceID();
        const auto after = identity->sessionStitchingToken(4, false, false);
        CHECK(isAppInstanceIDText(after));
        CHECK(after != token);
        CHECK(f.time().drain() == 0);
    }
}

TEST_CASE("diversion key, ephemeral ID and the application's identifiers") {
    SUBCASE("a stored diversion key of any length but five is replaced") {
        for (const char* stored : {"", "ABCD", "ABCDEF", "ABCDE"}) {
            IdentityFixture f;
            if (*stored) f.persisted().setDiversionKey(std::string(stored));
            auto identity = f.make();
            const auto key = identity->diversionKey();
            CHECK(key.size() == 5);
            CHECK((key == stored) == (std::string(stored) == "ABCDE"));
            CHECK(f.persisted().diversionKey() == key);
            CHECK(identity->diversionKey() == key);
        }
    }
    SUBCASE("the ephemeral ID lives in memory until reset") {
        IdentityFixture f;
        auto identity = f.make();
        const auto ephemeral = identity->ephemeralAppInstanceID();
        CHECK(isAppInstanceIDText(ephemeral));
        CHECK(identity->ephemeralAppInstanceID() == ephemeral);
        CHECK(ephemeral != f.persisted().appInstanceID());
        identity->resetEphemeralAppInstanceID();
        CHECK(identity->ephemeralAppInstanceID() != ephemeral);
    }
    SUBCASE("bundle identifier, versions and the first application identifier of the process") {
        IdentityFixture f;
        auto identity = f.make();
        CHECK(identity->appID() == "com.example.identity");
        CHECK(identity->appVersion() == "2.4");
        CHECK(identity->appVersionMajor() == 7);
        CHECK(identity->appVersionMinor() == 3);
        CHECK(identity->appVersionRelease() == 11);
        CHECK(identity->appIDFromRUZ() == kMeasurementAppID);
        CHECK_FALSE(identity->appIDFromDoZud());
        identity->setAppIDFromRUZ("velmora-other-ios");
        identity->setAppIDFromDoZud("");
        identity->setAppIDFromDoZud("velmora-ads-bernoulli-1");
        identity->setAppIDFromDoZud("velmora-ads-bernoulli-2");
        CHECK(identity->appIDFromRUZ() == kMeasurementAppID);
        CHECK(identity->appIDFromDoZud() == "velmora-ads-bernoulli-1");
        CHECK(f.monitor().count(kAPMEmptyDozudAppIDCode) == 1);
        CHECK_FALSE(identity->devCertHash());
    }
    SUBCASE("a service property list without the measurement identifier is reported") {
        BundleFiles files;
        files.service = {{"DOZUD_APP_ID", "velmora-ads-bernoulli-3"}};
        IdentityFixture f(files);
        auto identity = f.make();
        CHECK(f.monitor().hasCode(kAPMRozedaAppIDMissingInPlistCode));
        CHECK(identity->appIDFromDoZud() == "velmora-ads-bernoulli-3");
    }
    SUBCASE("without persisted settings there is no identity") {
        IdentityFixture f;
        CHECK_FALSE(APMIdentity::makeWithPersistedConfig({}));
        CHECK(f.monitor().hasCode(kAPMIdentityMissingPersistedConfigCode));
        APMIdentity::setSharedInstance(nullptr);
        CHECK_FALSE(APMIdentity::sharedInstance());
        CHECK(f.monitor().hasCode(kAPMIdentitySharedInstanceNilCode));
    }
}

TEST_CASE("version texts as numbers") {
    const struct {
        const char* text;
        std::vector<std::int64_t> fields;
        bool warned;
    } cases[] = {
        {"1.2.3", {1, 2, 3}, false},
        {"2.0b4", {2, 4}, true},
        {"", {}, false},
        {"..7..", {7}, false},
        {"x.5", {0, 5}, true},
        {"99999999999999999999.1", {INT64_MAX, 1}, false},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.text));
        APMMonitorCapture monitor;
        CHECK(APMIdentity::numericFieldsFromAppVersionNumeric(c.text) == c.fields);
        CHECK(monitor.hasCode(kAPMAppVersionNonNumericCode) == c.warned);
    }
    const struct {
        const char* text;
        std::int64_t number;
    } versions[] = {{"110100000", 110100}, {"1234", 1}, {"123", 0}, {"12a456", 0}};
    for (const auto& v : versions) CHECK(APMIdentity::libraryVersionFromString(v.text) == v.number);
    CHECK(APMIdentity::dozUrerizaroriLibraryVersion() == 110100);
}
