// Tests of the environment information: time zone, device, OS and language.
#include <doctest/doctest.h>

#include "measurement/foundation/monitor.h"
#include "measurement/upload/identity_support/environment_info.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/process_info.h"

using namespace measurement;

namespace {
struct ResetProcess {
    ~ResetProcess() { platform::ProcessInfo::reset(); }
};

// 2024-01-15 12:00 UTC and 2024-07-15 12:00 UTC.
constexpr double kWinter = 1705320000;
constexpr double kSummer = 1721044800;
}  // namespace

TEST_CASE("time-zone offsets in minutes, truncated toward zero") {
    ResetProcess reset;
    platform::dispatch::ManualTime time;
    const struct {
        const char* zone;
        double when;
        std::int64_t seconds;
        std::int32_t minutes;
    } cases[] = {
        {"Asia/Kolkata", kWinter, 19800, 330},
        {"America/St_Johns", kWinter, -12600, -210},
        {"America/St_Johns", kSummer, -9000, -150},
        {"Europe/Berlin", kSummer, 7200, 120},
        {"Asia/Kathmandu", kWinter, 20700, 345},
        {"UTC", kSummer, 0, 0},
        // Liberia kept 44 minutes 30 seconds behind GMT until 1972.
        {"Africa/Monrovia", 0, -2670, -44},
        // Helsinki kept 1 hour 39 minutes 49 seconds ahead until 1921.
        {"Europe/Helsinki", -1900000000, 5989, 99},
        {"GMT-00:00:30", kWinter, -30, 0},
        {"GMT+05:30", kSummer, 19800, 330},
        {"No/Such_Zone", kWinter, 0, 0},
    };
    for (const auto& c : cases) {
        CAPTURE(c.zone);
        CHECK(APMTimeZoneOffsetSeconds(c.zone, c.when) == c.seconds);
        platform::ProcessInfo::setTimeZoneName(c.zone);
        time.clock().setNow(c.when);
        CHECK(APMEnvironmentInfo().timeZoneOffsetMinutes() == c.minutes);
    }
}

TEST_CASE("device model, OS version and preferred language") {
    ResetProcess reset;
    APMMonitorCapture monitor;

    SUBCASE("the device model is read once") {
        platform::ProcessInfo::setDeviceModel("iPad13,1");
        APMEnvironmentInfo info;
        CHECK(info.deviceModel() == "iPad13,1");
        platform::ProcessInfo::setDeviceModel("iPhone15,2");
        CHECK(info.deviceModel() == "iPad13,1");
        CHECK_FALSE(monitor.hasCode(kAPMDeviceModelFailedCode));
    }
    SUBCASE("an empty device model is logged") {
        platform::ProcessInfo::setDeviceModel("");
        CHECK(APMEnvironmentInfo().deviceModel().empty());
        CHECK(monitor.count(kAPMDeviceModelFailedCode) == 1);
    }
    SUBCASE("the most preferred language, lower-cased; none is logged") {
        platform::ProcessInfo::setPreferredLanguages({"de-CH", "en-US"});
        CHECK(APMEnvironmentInfo().userDefaultLanguage() == "de-ch");
        platform::ProcessInfo::setPreferredLanguages({});
        CHECK_FALSE(APMEnvironmentInfo().userDefaultLanguage());
        CHECK(monitor.count(kAPMPreferredLanguageFailedCode) == 1);
    }
}
