// Tests of the stored launch link, its expiry and the links of user activities and launches.
#include <doctest/doctest.h>

#include "measurement/upload/attribution/attribution_test_support.h"
#include "measurement/upload/attribution/stored_deep_link.h"
#include "platform/foundation/process_info.h"

using namespace attribution_test;
using platform::Value;

TEST_CASE("the stored launch link, its age and the previous hour") {
    LinksFixture f;
    auto preferences = APMUserDefaults::sharedUserDefaults();
    SUBCASE("stored with the time of storing, expired only past the interval either way") {
        CHECK_FALSE(isStoredDeepLinkExpired(preferences, 10));
        storeDeepLink(preferences, "bern://open?utm_source=a");
        CHECK(preferences.stringForKey(kAPMStoredDeepLinkKey) == "bern://open?utm_source=a");
        CHECK(preferences.doubleForKey(kAPMStoredDeepLinkTimestampKey) == f.time().now());
        const struct {
            double move;
            bool expired;
        } cases[] = {{10, false}, {0.5, true}, {-20.5, false}, {-0.5, true}};
        for (const auto& c : cases) {
            f.time().clock().setNow(f.time().now() + c.move);
            CHECK(isStoredDeepLinkExpired(preferences, 10) == c.expired);
        }
        clearStoredDeepLink(preferences);
        CHECK_FALSE(preferences.objectForKey(kAPMStoredDeepLinkKey));
        CHECK_FALSE(preferences.objectForKey(kAPMStoredDeepLinkTimestampKey));
    }
    SUBCASE("cleared when older than the attribution cache time") {
        storeDeepLink(preferences, "bern://x");
        f.time().advance(604800);
        CHECK_FALSE(clearStoredDeepLinkIfExpired(*f.config()));
        f.time().advance(1);
        CHECK(clearStoredDeepLinkIfExpired(*f.config()));
        CHECK_FALSE(preferences.objectForKey(kAPMStoredDeepLinkKey));
    }
    SUBCASE("the start of the previous hour") {
        const struct {
            std::int64_t millis;
            std::int64_t expected;
        } cases[] = {
            {1700000500250, 1699995600000},  // 22:21:40 gives 21:00
            {1699999200000, 1699995600000},  // on the hour: the hour before
            {3599999, -3600000},
            {0, -3600000},
            {-1, -3600000},  // truncation toward zero
            {INT64_MIN, INT64_MIN / 3600000 * 3600000},
        };
        for (const auto& c : cases) CHECK(previousHourStartMillis(c.millis) == c.expected);
    }
}

TEST_CASE("the links of user activities and launches") {
    LinksFixture f;
    const Value browsing(Value::Dictionary{{"activityType", "NSUserActivityTypeBrowsingWeb"},
                                           {"webpageURL", "https://example.org/x?utm_source=web"}});
    SUBCASE("user activities") {
        const struct {
            const char* name;
            const char* os;
            Value activity;
            std::optional<std::string> link;
            long code;
        } cases[] = {
            {"a browsing activity", "17.4", browsing, "https://example.org/x?utm_source=web", 0},
            {"none", "17.4", Value(), std::nullopt, kAPMUserActivityEmptyCode},
            {"an empty activity", "17.4", Value(Value::Dictionary{}), std::nullopt, kAPMUserActivityEmptyCode},
            {"an old OS", "8.4", browsing, std::nullopt, kAPMUserActivityOSUnsupportedCode},
            {"not an activity", "17.4", Value("https://example.org"), std::nullopt, kAPMUserActivityUnsupportedCode},
            {"another type", "17.4",
             Value(Value::Dictionary{{"activityType", "com.example.reading"}, {"webpageURL", "https://e.org"}}),
             std::nullopt, kAPMUserActivityNoDeepLinkCode},
            {"an empty address", "17.4",
             Value(Value::Dictionary{{"activityType", "NSUserActivityTypeBrowsingWeb"}, {"webpageURL", ""}}),
             std::nullopt, kAPMUserActivityNoDeepLinkCode},
        };
        for (const auto& c : cases) {
            CAPTURE(std::string(c.name));
            platform::ProcessInfo::setOSVersion(c.os);
            f.monitor().clear();
            CHECK(deepLinkFromUserActivity(c.activity) == c.link);
            if (c.code) CHECK(f.monitor().hasCode(c.code));
        }
    }
    SUBCASE("launch options: the activity's link first, else the launch URL") {
        const Value::Dictionary withActivity{{kAPMLaunchOptionsUserActivityKey, browsing}};
        const struct {
            const char* name;
            Value::Dictionary userInfo;
            std::optional<std::string> stored;
        } cases[] = {
            {"both", {{kAPMLaunchOptionsUserActivityDictionaryKey, withActivity}, {kAPMLaunchOptionsURLKey, "bern://u"}},
             "https://example.org/x?utm_source=web"},
            {"the URL alone", {{kAPMLaunchOptionsURLKey, "bern://u?utm_source=l"}}, "bern://u?utm_source=l"},
            {"an activity without a link, and a URL",
             {{kAPMLaunchOptionsUserActivityDictionaryKey,
               Value::Dictionary{{kAPMLaunchOptionsUserActivityKey, Value::Dictionary{{"activityType", "other"}}}}},
              {kAPMLaunchOptionsURLKey, "bern://u"}},
             "bern://u"},
            {"nothing of use", {{"other", 1}}, std::nullopt},
            {"a launch URL that is none", {{kAPMLaunchOptionsURLKey, "not a link"}}, std::nullopt},
        };
        for (const auto& c : cases) {
            CAPTURE(std::string(c.name));
            auto preferences = APMUserDefaults::sharedUserDefaults();
            clearStoredDeepLink(preferences);
            handleStoredURLAfterAppLaunchWithNotification(c.userInfo);
            CHECK(preferences.stringForKey(kAPMStoredDeepLinkKey) == c.stored);
        }
    }
}
