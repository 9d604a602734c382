// Tests of the bundle rewrite before an upload.
#include <doctest/doctest.h>

#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/bundle_redaction.h"
#include "measurement/upload/upload_test_support.h"

using namespace measurement;
using namespace bundle_tag;
using upload_test::FakeIdentity;
using upload_test::bundleString;
using upload_test::hasBundleField;
using upload_test::setBundleString;
using upload_test::userAttribute;

namespace {

constexpr const char* kIDFA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kIDFV = "59E4C7A2-0E2B-4C6E-9D8B-3A1F2E4D5C6B";

FakeIdentity fullIdentity() {
    FakeIdentity identity;
    identity.status = kAPMTrackingStatusAuthorized;
    identity.hasLAT = true;
    identity.lat = false;
    identity.idfa = kIDFA;
    identity.idfv = kIDFV;
    identity.instanceID = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
    identity.ephemeralID = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
    return identity;
}

// A stored bundle with every field the identifier rewrite may clear.
APMPBMeasurementBundle storedBundle(const std::string& signals) {
    APMPBMeasurementBundle bundle;
    setBundleString(bundle, kConsentSignals, signals);
    setBundleString(bundle, kSessionStitchingToken, "stitch-token");
    NANOSetArray(bundle, bundleFieldIndex(kAudienceResults), std::vector<APMPBAudienceLeafFilterResult>(1));
    return bundle;
}

std::size_t audienceResultCount(const APMPBMeasurementBundle& bundle) {
    return NANOGetArray<APMPBAudienceLeafFilterResult>(bundle, bundleFieldIndex(kAudienceResults)).size();
}

}  // namespace

TEST_CASE("signals deny analytics storage by their fourth character") {
    CHECK(signalsDenyAnalyticsStorage("G110"));
    CHECK(signalsDenyAnalyticsStorage("G1-D"));
    CHECK(signalsDenyAnalyticsStorage("G11d"));
    CHECK_FALSE(signalsDenyAnalyticsStorage("G101"));
    CHECK_FALSE(signalsDenyAnalyticsStorage("G1--"));
    CHECK_FALSE(signalsDenyAnalyticsStorage("G10"));
    CHECK_FALSE(signalsDenyAnalyticsStorage(""));
}

TEST_CASE("device identifiers follow the consent signals, refreshed or stored") {
    const FakeIdentity identity = fullIdentity();

    SUBCASE("stored all granted, current both denied, no refresh: the stored signals decide") {
        auto bundle = storedBundle("G111");
        applyDeviceIdentifiersToBundle(bundle, "G100", false, identity, false);
        CHECK(bundleString(bundle, kConsentSignals) == "G111");
        CHECK(bundleString(bundle, kResettableDeviceID) == kIDFA);
        CHECK_FALSE(hasBundleField(bundle, kVendorDeviceID));
        CHECK(bundleString(bundle, kAppInstanceID) == identity.instanceID);
        CHECK(bundleString(bundle, kSessionStitchingToken) == "stitch-token");
        CHECK(audienceResultCount(bundle) == 1);
        CHECK(NANOGetBool(bundle, bundleFieldIndex(kLimitedAdTracking)) == false);
        CHECK(hasBundleField(bundle, kLimitedAdTracking));
    }
    SUBCASE("the same with refresh: the current denials clear every identifier") {
        auto bundle = storedBundle("G111");
        setBundleString(bundle, kResettableDeviceID, kIDFA);
        setBundleString(bundle, kVendorDeviceID, kIDFV);
        setBundleString(bundle, kAppInstanceID, "OLD");
        applyDeviceIdentifiersToBundle(bundle, "G100", false, identity, true);
        CHECK(bundleString(bundle, kConsentSignals) == "G100");
        for (int tag : {kResettableDeviceID, kVendorDeviceID, kAppInstanceID, kSessionStitchingToken}) {
            CHECK_FALSE(hasBundleField(bundle, tag));
        }
        CHECK(audienceResultCount(bundle) == 0);
    }
    SUBCASE("a bundle without signals takes the current ones even without refresh") {
        APMPBMeasurementBundle bundle;
        applyDeviceIdentifiersToBundle(bundle, "G1-0", false, identity, false);
        CHECK(bundleString(bundle, kConsentSignals) == "G1-0");
        CHECK(bundleString(bundle, kResettableDeviceID) == kIDFA);
        CHECK_FALSE(hasBundleField(bundle, kAppInstanceID));
    }
    SUBCASE("empty current signals clear the stored ones and deny nothing") {
        auto bundle = storedBundle("G100");
        applyDeviceIdentifiersToBundle(bundle, "", false, identity, true);
        CHECK_FALSE(hasBundleField(bundle, kConsentSignals));
        CHECK(bundleString(bundle, kResettableDeviceID) == kIDFA);
        CHECK(bundleString(bundle, kAppInstanceID) == identity.instanceID);
    }
    SUBCASE("short current signals keep the stored ones but deny nothing") {
        auto bundle = storedBundle("G100");
        applyDeviceIdentifiersToBundle(bundle, "G1", false, identity, true);
        CHECK(bundleString(bundle, kConsentSignals) == "G100");
        CHECK(bundleString(bundle, kResettableDeviceID) == kIDFA);
    }
    SUBCASE("ad storage denied alone: the vendor identifier replaces the advertising one") {
        auto bundle = storedBundle("G101");
        setBundleString(bundle, kResettableDeviceID, kIDFA);
        applyDeviceIdentifiersToBundle(bundle, "G101", false, identity, true);
        CHECK_FALSE(hasBundleField(bundle, kResettableDeviceID));
        CHECK(bundleString(bundle, kVendorDeviceID) == kIDFV);
        CHECK(bundleString(bundle, kAppInstanceID) == identity.instanceID);
    }
    SUBCASE("identifiers already in the bundle are kept") {
        auto bundle = storedBundle("G111");
        setBundleString(bundle, kResettableDeviceID, "STORED-IDFA");
        setBundleString(bundle, kAppInstanceID, "STORED-INSTANCE");
        applyDeviceIdentifiersToBundle(bundle, "G111", false, identity, true);
        CHECK(bundleString(bundle, kResettableDeviceID) == "STORED-IDFA");
        CHECK(bundleString(bundle, kAppInstanceID) == "STORED-INSTANCE");
    }
}

TEST_CASE("tracking status and the ATT gate") {
    FakeIdentity identity = fullIdentity();

    struct Case {
        const char* label;
        bool ios14;
        int status;
        bool gate;
        const char* signals;
        std::optional<int> writtenStatus;
        bool advertisingID;
        bool vendorID;
    };
    const Case cases[] = {
        {"denied with the gate on: the vendor identifier instead", true, 2, true, "G111", 2, false, true},
        {"the same with analytics storage denied: neither", true, 2, true, "G110", 2, false, false},
        {"denied with the gate off: the advertising identifier", true, 2, false, "G111", 2, true, false},
        {"authorised with the gate on: the advertising identifier", true, 3, true, "G111", 3, true, false},
        {"unknown status is not written and still gates", true, 6, true, "G111", std::nullopt, false, true},
        {"below iOS 14: no status, no gate", false, 2, true, "G111", std::nullopt, true, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.label);
        identity.ios14 = c.ios14;
        identity.status = c.status;
        auto bundle = storedBundle(c.signals);
        applyDeviceIdentifiersToBundle(bundle, c.signals, c.gate, identity, true);
        if (c.writtenStatus) {
            CHECK(NANOGetInt32(bundle, bundleFieldIndex(kTrackingAuthorizationStatus)) == *c.writtenStatus);
        } else {
            CHECK_FALSE(hasBundleField(bundle, kTrackingAuthorizationStatus));
        }
        CHECK(hasBundleField(bundle, kResettableDeviceID) == c.advertisingID);
        CHECK(hasBundleField(bundle, kVendorDeviceID) == c.vendorID);
    }
    identity = fullIdentity();
    SUBCASE("unknown limited-ad-tracking state: no advertising identifier, no tag 20") {
        identity.hasLAT = false;
        auto bundle = storedBundle("G111");
        applyDeviceIdentifiersToBundle(bundle, "G111", false, identity, true);
        CHECK_FALSE(hasBundleField(bundle, kResettableDeviceID));
        CHECK(bundleString(bundle, kVendorDeviceID) == kIDFV);
        CHECK_FALSE(hasBundleField(bundle, kLimitedAdTracking));
    }
    SUBCASE("limited ad tracking on is carried and does not hold the advertising identifier back") {
        identity.lat = true;
        auto bundle = storedBundle("G111");
        applyDeviceIdentifiersToBundle(bundle, "G111", false, identity, true);
        CHECK(hasBundleField(bundle, kLimitedAdTracking));
        CHECK(NANOGetBool(bundle, bundleFieldIndex(kLimitedAdTracking)));
        CHECK(bundleString(bundle, kResettableDeviceID) == kIDFA);
    }
    SUBCASE("the default identity leaves no identifier in the bundle") {
        APMUploadIdentitySeam nothing;
        auto bundle = storedBundle("G1--");
        setBundleString(bundle, kResettableDeviceID, kIDFA);
        applyDeviceIdentifiersToBundle(bundle, "G1--", false, nothing, true);
        for (int tag : {kResettableDeviceID, kVendorDeviceID, kAppInstanceID, kTrackingAuthorizationStatus,
                        kLimitedAdTracking}) {
            CHECK_FALSE(hasBundleField(bundle, tag));
        }
    }
}

TEST_CASE("DMA consent fields") {
    APMDMAServerState server{true, {"b", "a"}};

    SUBCASE("core platform services in the DMA region are sorted and joined") {
        APMPBMeasurementBundle bundle;
        applyDMAConsentToBundle(bundle, "19911", false, std::nullopt, server, false);
        CHECK(bundleString(bundle, kConsentDiagnostics) == "19911");
        CHECK(NANOGetBool(bundle, bundleFieldIndex(kDMARegion)));
        CHECK(bundleString(bundle, kCorePlatformServices) == "ab");
    }
    SUBCASE("ad user data denied or no services: a dash") {
        APMPBMeasurementBundle bundle;
        applyDMAConsentToBundle(bundle, "19911", true, std::nullopt, server, false);
        CHECK(bundleString(bundle, kCorePlatformServices) == "-");
        APMPBMeasurementBundle other;
        applyDMAConsentToBundle(other, "19911", false, std::nullopt, APMDMAServerState{true, {}}, false);
        CHECK(bundleString(other, kCorePlatformServices) == "-");
    }
    SUBCASE("outside the DMA region the services are cleared") {
        APMPBMeasurementBundle bundle;
        setBundleString(bundle, kCorePlatformServices, "xy");
        applyDMAConsentToBundle(bundle, "19911", false, std::nullopt, APMDMAServerState{false, {"a"}}, true);
        CHECK_FALSE(hasBundleField(bundle, kCorePlatformServices));
        CHECK(hasBundleField(bundle, kDMARegion));
        CHECK_FALSE(NANOGetBool(bundle, bundleFieldIndex(kDMARegion)));
    }
    SUBCASE("stored fields are kept without refresh and overwritten with it") {
        APMPBMeasurementBundle bundle;
        setBundleString(bundle, kConsentDiagnostics, "11111");
        NANOSetBool(bundle, bundleFieldIndex(kDMARegion), false);
        setBundleString(bundle, kCorePlatformServices, "z");
        applyDMAConsentToBundle(bundle, "19911", false, std::nullopt, server, false);
        CHECK(bundleString(bundle, kConsentDiagnostics) == "11111");
        CHECK_FALSE(NANOGetBool(bundle, bundleFieldIndex(kDMARegion)));
        CHECK(bundleString(bundle, kCorePlatformServices) == "z");
        applyDMAConsentToBundle(bundle, "19911", false, std::nullopt, server, true);
        CHECK(bundleString(bundle, kConsentDiagnostics) == "19911");
        CHECK(NANOGetBool(bundle, bundleFieldIndex(kDMARegion)));
        CHECK(bundleString(bundle, kCorePlatformServices) == "ab");
    }
    SUBCASE("a stored region flag of false leaves missing services unset") {
        APMPBMeasurementBundle bundle;
        NANOSetBool(bundle, bundleFieldIndex(kDMARegion), false);
        applyDMAConsentToBundle(bundle, "19911", false, std::nullopt, server, false);
        CHECK_FALSE(hasBundleField(bundle, kCorePlatformServices));
    }
    SUBCASE("the _npa property is appended, replaced only on refresh") {
        APMPBMeasurementBundle bundle;
        NANOSetArray(bundle, bundleFieldIndex(kUserAttributes),
                     std::vector<APMPBUserAttribute>{userAttribute("_lte", 5, 1000)});
        applyDMAConsentToBundle(bundle, "19911", false, userAttribute("_npa", 1, 2000), server, false);
        auto npa = npaUserAttributeOfBundle(bundle);
        REQUIRE(npa);
        CHECK(NANOGetInt64(*npa, user_attribute_field::kIntValue) == 1);
        CHECK(NANOGetArray<APMPBUserAttribute>(bundle, bundleFieldIndex(kUserAttributes)).size() == 2);

        applyDMAConsentToBundle(bundle, "19911", false, userAttribute("_npa", 0, 3000), server, false);
        CHECK(NANOGetInt64(*npaUserAttributeOfBundle(bundle), user_attribute_field::kIntValue) == 1);

        applyDMAConsentToBundle(bundle, "19911", false, userAttribute("_npa", 0, 3000), server, true);
        npa = npaUserAttributeOfBundle(bundle);
        CHECK(NANOGetInt64(*npa, user_attribute_field::kIntValue) == 0);
        CHECK(NANOGetInt64(*npa, user_attribute_field::kSetTimestamp) == 3000);
        const auto attributes = NANOGetArray<APMPBUserAttribute>(bundle, bundleFieldIndex(kUserAttributes));
        REQUIRE(attributes.size() == 2);
        CHECK(NANOGetString(attributes[0], user_attribute_field::kName) == "_lte");
    }
}

TEST_CASE("data controls") {
    FakeIdentity identity = fullIdentity();
    APMPBMeasurementBundle bundle;
    setBundleString(bundle, kOSVersion, "17.4.1");
    setBundleString(bundle, kDeviceModel, "iPhone15,2");
    setBundleString(bundle, kAppInstanceID, "INSTANCE");
    setBundleString(bundle, kSessionStitchingToken, "token");
    setBundleString(bundle, kConsentSignals, "G111");
    NANOSetArray(bundle, bundleFieldIndex(kUserAttributes),
                 std::vector<APMPBUserAttribute>{userAttribute("_id", 7, 1), userAttribute("_lte", 5, 1),
                                                 userAttribute("_id", 8, 2)});

    SUBCASE("device_info alone cuts the OS version and clears the model") {
        applyDataControlsToBundle(bundle, {"device_info"}, identity);
        CHECK(bundleString(bundle, kOSVersion) == "17");
        CHECK_FALSE(hasBundleField(bundle, kDeviceModel));
        CHECK(NANOGetArray<std::string>(bundle, bundleFieldIndex(kDataControlsApplied)) ==
              std::vector<std::string>{"device_info"});
        CHECK(bundleString(bundle, kAppInstanceID) == "INSTANCE");
    }
    SUBCASE("an OS version without a dot stays") {
        setBundleString(bundle, kOSVersion, "17");
        applyDataControlsToBundle(bundle, {"os_version"}, identity);
        CHECK(bundleString(bundle, kOSVersion) == "17");
        CHECK(bundleString(bundle, kDeviceModel) == "iPhone15,2");
    }
    SUBCASE("app_instance_id swaps in the ephemeral identifier unless analytics storage is denied") {
        applyDataControlsToBundle(bundle, {"app_instance_id"}, identity);
        CHECK_FALSE(hasBundleField(bundle, kAppInstanceID));
        CHECK(bundleString(bundle, kEphemeralAppInstanceID) == identity.ephemeralID);

        setBundleString(bundle, kConsentSignals, "G11D");
        applyDataControlsToBundle(bundle, {"app_instance_id"}, identity);
        CHECK_FALSE(hasBundleField(bundle, kEphemeralAppInstanceID));
    }
    SUBCASE("user_id removes every _id property, enhanced_user_id the stitching token") {
        applyDataControlsToBundle(bundle, {"user_id", "enhanced_user_id"}, identity);
        const auto attributes = NANOGetArray<APMPBUserAttribute>(bundle, bundleFieldIndex(kUserAttributes));
        REQUIRE(attributes.size() == 1);
        CHECK(NANOGetString(attributes[0], user_attribute_field::kName) == "_lte");
        CHECK_FALSE(hasBundleField(bundle, kSessionStitchingToken));
        CHECK(NANOGetArray<std::string>(bundle, bundleFieldIndex(kDataControlsApplied)) ==
              std::vector<std::string>{"user_id", "enhanced_user_id"});
    }
    SUBCASE("no controls change nothing") {
        const auto before = bundle;
        applyDataControlsToBundle(bundle, {}, identity);
        CHECK(bundle == before);
    }
}

TEST_CASE("consent comparison, first open and the _npa property of bundles") {
    APMPBMeasurementBundle first;
    setBundleString(first, kConsentSignals, "G111");
    setBundleString(first, kConsentDiagnostics, "19911");
    APMPBMeasurementBundle second = first;

    SUBCASE("equal fields, missing ones equal") { CHECK(bundlesHaveSameConsent(first, second)); }
    SUBCASE("each field tells them apart") {
        SUBCASE("signals") { setBundleString(second, kConsentSignals, "G110"); }
        SUBCASE("diagnostics missing on one side") {
            NANOClearField(second, bundleFieldIndex(kConsentDiagnostics));
        }
        SUBCASE("services") { setBundleString(second, kCorePlatformServices, "ab"); }
        SUBCASE("DMA region") { NANOSetBool(second, bundleFieldIndex(kDMARegion), true); }
        SUBCASE("npa value") {
            NANOSetArray(second, bundleFieldIndex(kUserAttributes),
                         std::vector<APMPBUserAttribute>{userAttribute("_npa", 1, 0)});
        }
        CHECK_FALSE(bundlesHaveSameConsent(first, second));
    }
    SUBCASE("a DMA region of false equals a missing one, an _npa of 0 a missing one") {
        NANOSetBool(second, bundleFieldIndex(kDMARegion), false);
        NANOSetArray(second, bundleFieldIndex(kUserAttributes),
                     std::vector<APMPBUserAttribute>{userAttribute("_npa", 0, 0)});
        CHECK(bundlesHaveSameConsent(first, second));
    }
    SUBCASE("first open and _npa lookup") {
        APMPBEvent open;
        NANOSetString(open, event_field::kName, std::string("_f"));
        APMPBEvent other;
        NANOSetString(other, event_field::kName, std::string("_e"));
        NANOSetArray(first, bundleFieldIndex(kEvents), std::vector<APMPBEvent>{other});
        CHECK_FALSE(bundleHasFirstOpenEvent(first));
        NANOSetArray(first, bundleFieldIndex(kEvents), std::vector<APMPBEvent>{other, open});
        CHECK(bundleHasFirstOpenEvent(first));
        CHECK_FALSE(npaUserAttributeOfBundle(first));
        NANOSetArray(first, bundleFieldIndex(kUserAttributes),
                     std::vector<APMPBUserAttribute>{userAttribute("_npa", 1, 5), userAttribute("_npa", 0, 6)});
        auto npa = npaUserAttributeOfBundle(first);
        REQUIRE(npa);
        CHECK(NANOGetInt64(*npa, user_attribute_field::kSetTimestamp) == 5);
    }
}
