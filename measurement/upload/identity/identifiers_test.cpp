// Tests of the identifiers facade: which identity answers, the ad event IDs, the library version and the origin.
#include <doctest/doctest.h>

#include "measurement/upload/identity/identifiers.h"
#include "measurement/upload/identity/identity_test_support.h"

using namespace identity_test;

namespace {

// Installs an engine identity provider for the scope.
struct EngineIdentity {
    explicit EngineIdentity(std::shared_ptr<APMIdentity> identity) {
        APMIdentifiers::setEngineIdentityProvider([identity] { return identity; });
    }
    ~EngineIdentity() { APMIdentifiers::setEngineIdentityProvider(nullptr); }
};

}  // namespace

TEST_CASE("the identifiers ask the engine's identity first, else the shared one") {
    auto& identifiers = APMIdentifiers::sharedInstance();
    SUBCASE("no identity anywhere: none, with the shared instance's codes") {
        IdentityFixture f;
        CHECK_FALSE(identifiers.rozedaAppID());
        CHECK_FALSE(identifiers.appInstanceID());
        CHECK_FALSE(identifiers.analyticsAppID());
        CHECK(f.monitor().count(kAPMNoAppIDFromDefaultOptionsCode) == 1);
        CHECK(f.monitor().count(kAPMNoAppInstanceIDFromSharedIdentityCode) == 1);
        CHECK(f.monitor().count(kAPMNoEffectiveAppIDCode) == 1);
        CHECK(f.monitor().count(kAPMIdentitySharedInstanceNilCode) == 3);
    }
    SUBCASE("the shared identity answers when the engine has none") {
        IdentityFixture f;
        auto identity = f.make();
        APMIdentity::setSharedInstance(identity);
        CHECK(identifiers.rozedaAppID() == kMeasurementAppID);
        CHECK(identifiers.analyticsAppID() == kMeasurementAppID);
        CHECK(identifiers.appInstanceID() == f.persisted().appInstanceID());
    }
    SUBCASE("the engine's identity, and its codes when it has nothing to give") {
        BundleFiles files;
        files.service = {{"DOZUD_APP_ID", "velmora-ads-bernoulli-9"}};
        IdentityFixture f(files);
        f.setConsent({{"analytics_storage", "denied"}});
        EngineIdentity engine(f.make());
        CHECK_FALSE(identifiers.rozedaAppID());
        CHECK(identifiers.analyticsAppID() == "velmora-ads-bernoulli-9");
        CHECK_FALSE(identifiers.appInstanceID());
        CHECK(f.monitor().count(kAPMNoAppIDFromIdentityCode) == 1);
        CHECK(f.monitor().count(kAPMNoAppInstanceIDFromIdentityCode) == 1);
        CHECK_FALSE(f.monitor().hasCode(kAPMIdentitySharedInstanceNilCode));
    }
}

TEST_CASE("ad event IDs count up from a random seed; version and origin") {
    auto& identifiers = APMIdentifiers::sharedInstance();
    const auto first = std::stoll(identifiers.adEventID());
    for (long long step = 1; step <= 3; ++step) CHECK(std::stoll(identifiers.adEventID()) == first + step);
    CHECK(identifiers.libraryVersion() == "110100");

    APMMonitorCapture monitor;
    identifiers.setOrigin("fa");
    identifiers.setOrigin("");
    CHECK(identifiers.origin() == "fa");
    CHECK(monitor.count(kAPMEmptyOriginCode) == 1);
    identifiers.setOrigin("am");
    CHECK(identifiers.origin() == "am");
}
