// Tests of identity support and the advertising-identifier wait.
#include <doctest/doctest.h>

#include <chrono>

#include "measurement/foundation/monitor.h"
#include "measurement/upload/identity_support/default_identity_support.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/advertising_identifier/identifier_manager.h"
#include "platform/frameworks/tracking_authorization/tracking_manager.h"

using namespace measurement;
using platform::adsupport::AdvertisingIdentifierManager;
using platform::tracking::TrackingManager;

namespace {

constexpr const char* kIdentifier = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

// Links the platform support under its class name, made afresh on each
// lookup so that it sees the frameworks linked at that moment.
struct FreshPlatformSupportClass : platform::RuntimeObject {
    bool respondsToSelector(const std::string& selector) const override { return selector == "sharedInstance"; }
    std::shared_ptr<platform::RuntimeObject> performObjectSelector(const std::string&) override {
        return std::make_shared<APMPlatformIdentitySupport>();
    }
};

// The process with the frameworks and the platform support as asked, put
// back to none of them afterwards.
struct Frameworks {
    Frameworks(bool tracking, bool advertising, bool support) {
        reset();
        if (tracking) TrackingManager::link();
        if (advertising) AdvertisingIdentifierManager::link();
        if (support) {
            platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kClassName,
                                                   std::make_shared<FreshPlatformSupportClass>());
        }
    }
    ~Frameworks() {
        reset();
        platform::ProcessInfo::reset();
    }
    static void reset() {
        TrackingManager::reset();
        AdvertisingIdentifierManager::reset();
        platform::ClassRegistry::removeClass(APMPlatformIdentitySupport::kClassName);
    }
};

}  // namespace

TEST_CASE("the platform support answers what the linked frameworks answer") {
    SUBCASE("both frameworks linked") {
        Frameworks frameworks(true, true, false);
        AdvertisingIdentifierManager::setAdvertisingIdentifier(kIdentifier);
        APMPlatformIdentitySupport support;
        CHECK(support.hasAppDataConsentStatus());
        CHECK(support.hasLimitedAdTracking());
        for (long status : {0L, 1L, 2L, 3L, 9L}) {
            TrackingManager::setTrackingAuthorizationStatus(status);
            CHECK(support.appDataConsentStatus() == status);
        }
        CHECK(support.limitedAdTracking());
        AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(true);
        CHECK_FALSE(support.limitedAdTracking());
        CHECK(support.resettableDeviceID() == kIdentifier);
    }
    SUBCASE("neither linked") {
        Frameworks frameworks(false, false, false);
        APMPlatformIdentitySupport support;
        CHECK_FALSE(support.hasAppDataConsentStatus());
        CHECK(support.appDataConsentStatus() == -1);
        CHECK_FALSE(support.hasLimitedAdTracking());
        CHECK_FALSE(support.limitedAdTracking());
        CHECK_FALSE(support.resettableDeviceID());
    }
    SUBCASE("linked under its class name, it is found there") {
        APMPlatformIdentitySupport::registerClass();
        auto supportClass = platform::ClassRegistry::classNamed("APMPlatformIdentitySupport");
        REQUIRE(supportClass);
        auto instance = supportClass->performObjectSelector("sharedInstance");
        CHECK(instance == APMPlatformIdentitySupport::sharedInstance());
        CHECK(instance->respondsToSelector("resettableDeviceID"));
        platform::ClassRegistry::removeClass(APMPlatformIdentitySupport::kClassName);
    }
}

TEST_CASE("the default support with and without what it depends on") {
    const struct {
        const char* name;
        bool tracking, advertising, support;
        const char* osVersion;
        std::vector<long> codes;
        bool hasStatus;
        long status;
        bool hasLimited;
        bool limited;
        std::optional<std::string> identifier;
    } cases[] = {
        {"engine without the platform support", true, true, false, "17.4", {44003}, false, -1, false, true,
         std::nullopt},
        {"no advertising framework", true, false, true, "17.4", {44000, 44002}, true, 3, false, true, std::nullopt},
        {"everything linked", true, true, true, "17.4", {44000, 44001}, true, 3, true, false, kIdentifier},
        {"below OS 14 the platform says whether tracking is limited", false, true, true, "13.7", {44000, 44001}, false,
         -1, true, false, kIdentifier},
        {"below OS 14 without the platform support", false, false, false, "13.7", {44003}, false, -1, false, false,
         std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Frameworks frameworks(c.tracking, c.advertising, c.support);
        platform::ProcessInfo::setOSVersion(c.osVersion);
        TrackingManager::setTrackingAuthorizationStatus(3);
        AdvertisingIdentifierManager::setAdvertisingIdentifier(kIdentifier);
        AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(true);
        APMMonitorCapture monitor;
        APMDefaultIdentitySupport support;
        CHECK(monitor.codes() == c.codes);
        // A first fetch that has finished: later calls answer at least its
        // identifier, however slowly the support queue runs.
        support.resettableDeviceID();
        support.waitForPendingFetches();
        CHECK(support.resettableDeviceID() == c.identifier);
        CHECK(support.hasAppDataConsentStatus() == c.hasStatus);
        CHECK(support.appDataConsentStatus() == c.status);
        CHECK(support.hasLimitedAdTracking() == c.hasLimited);
        CHECK(support.limitedAdTracking() == c.limited);
    }
    SUBCASE("on OS 14 and later the all-zero identifier means limited tracking") {
        Frameworks frameworks(true, true, true);
        AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(true);
        APMDefaultIdentitySupport support;
        support.resettableDeviceID();
        support.waitForPendingFetches();
        CHECK(support.resettableDeviceID() == kAPMZeroAdvertisingIdentifier);
        CHECK(support.limitedAdTracking());
    }
}

TEST_CASE("the advertising identifier is waited for at most 10 ms") {
    Frameworks frameworks(true, true, true);
    AdvertisingIdentifierManager::setAdvertisingIdentifier(kIdentifier);
    // The platform answers only when the test lets it: without the bound,
    // a call would wait for minutes.
    AdvertisingIdentifierManager::setAnswerDelay(std::chrono::minutes(10));
    APMDefaultIdentitySupport support;

    const auto start = std::chrono::steady_clock::now();
    CHECK_FALSE(support.resettableDeviceID());
    CHECK(std::chrono::steady_clock::now() - start >= APMDefaultIdentitySupport::kFetchWait);
    CHECK(AdvertisingIdentifierManager::identifierAnswerCount() == 0);
    // Released only once the fetch waits for it: a busy machine may not have
    // started the fetch in 10 ms, and a release before it waits reaches
    // nothing, leaving it to wait out the whole delay.
    AdvertisingIdentifierManager::waitForIdentifierRequests(1);

    // The late answer is kept, and a later call answers it while its own
    // fetch is still waiting.
    AdvertisingIdentifierManager::releaseDelayedAnswers();
    support.waitForPendingFetches();
    CHECK(AdvertisingIdentifierManager::identifierAnswerCount() == 1);
    AdvertisingIdentifierManager::setAdvertisingIdentifier("00000000-0000-0000-0000-000000000001");
    CHECK(support.resettableDeviceID() == kIdentifier);

    AdvertisingIdentifierManager::setAnswerDelay(std::chrono::nanoseconds(0));
    AdvertisingIdentifierManager::releaseDelayedAnswers();
    support.waitForPendingFetches();
    CHECK(support.resettableDeviceID() == "00000000-0000-0000-0000-000000000001");
}
