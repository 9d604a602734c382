// Tests of the preferences suites.
#include <doctest/doctest.h>

#include "measurement/store/preferences_suite.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/user_defaults.h"
#include "testsupport/temp_dir.h"

using measurement::APMUserDefaults;
using platform::Value;

TEST_CASE("engine preferences on the platform's suites") {
    testsupport::TempDir dir;
    platform::ScopedDataDirectory scope(dir.path());

    SUBCASE("two objects on one suite see each other's writes") {
        APMUserDefaults first("APMExperimentSuiteName");
        APMUserDefaults second("APMExperimentSuiteName");
        first.setObject(Value("snapshot"), "last_fetch");
        second.setDouble(1700000000.5, "fetched_at");
        CHECK(second.stringForKey("last_fetch") == "snapshot");
        CHECK(first.doubleForKey("fetched_at") == 1700000000.5);
        second.removeObjectForKey("last_fetch");
        CHECK_FALSE(first.objectForKey("last_fetch"));
    }

    SUBCASE("the shared object is the application's own preferences") {
        APMUserDefaults::sharedUserDefaults().setObject(Value("https://velmora.example.test/open"),
                                                         "/rozeda/measurement/deep_link");
        CHECK(platform::UserDefaults::standard().stringForKey("/rozeda/measurement/deep_link") ==
              "https://velmora.example.test/open");
        platform::UserDefaults::standard().setInteger(1, "IABTCF_gdprApplies");
        CHECK(APMUserDefaults::sharedUserDefaults().numberForKey("IABTCF_gdprApplies") == Value(1));
    }

    SUBCASE("a suite is its own file, written at once") {
        APMUserDefaults suite("APMAnalyticsSuiteName");
        suite.setBool(true, "consent_settings_on_start");
        auto bytes = platform::readFile(platform::UserDefaults::fileForSuite("APMAnalyticsSuiteName"));
        REQUIRE(bytes);
        auto parsed = platform::parsePropertyList(*bytes);
        REQUIRE(parsed);
        CHECK((*parsed)["consent_settings_on_start"] == Value(true));
        CHECK_FALSE(APMUserDefaults::sharedUserDefaults().objectForKey("consent_settings_on_start"));
    }

    SUBCASE("typed reads answer only their own kind") {
        APMUserDefaults suite("typed");
        suite.setObject(Value("12"), "text");
        suite.setObject(Value(12), "number");
        suite.setBool(true, "flag");
        CHECK_FALSE(suite.numberForKey("text"));
        CHECK(suite.doubleForKey("text") == 0);
        CHECK_FALSE(suite.stringForKey("number"));
        CHECK(suite.numberForKey("number") == Value(12));
        CHECK(suite.doubleForKey("number") == 12);
        CHECK(suite.numberForKey("flag") == Value(true));
        CHECK(suite.doubleForKey("flag") == 1);
        CHECK(suite.doubleForKey("absent") == 0);
        CHECK_FALSE(suite.objectForKey("absent"));
    }

    SUBCASE("clearing a suite leaves the others alone") {
        APMUserDefaults tcf("tcf");
        APMUserDefaults other("other");
        tcf.setObject(Value("CPXxRfAPXxRfAAfKABENB"), "tcf_StringRepresentation");
        tcf.setDouble(2, "IABTCF_PolicyVersion");
        other.setDouble(3, "kept");
        CHECK(tcf.clearAllData());
        CHECK_FALSE(tcf.objectForKey("tcf_StringRepresentation"));
        CHECK_FALSE(APMUserDefaults("tcf").objectForKey("IABTCF_PolicyVersion"));
        CHECK(other.doubleForKey("kept") == 3);
    }
}
