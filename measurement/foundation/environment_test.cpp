// Tests of the environment reads: property lists, versions and service address.
#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>

#include "measurement/foundation/environment.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/process_info.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"

using namespace measurement;
using platform::Value;

namespace {
// Points the main bundle at a folder for the test's lifetime.
class MainBundleAt {
public:
    explicit MainBundleAt(const std::filesystem::path& path) : saved_(platform::Bundle::main().resourcePath()) {
        platform::Bundle::setMainResourcePath(path);
    }
    ~MainBundleAt() { platform::Bundle::setMainResourcePath(saved_); }

private:
    std::filesystem::path saved_;
};

void writePlist(const std::filesystem::path& path, const Value& value) {
    std::ofstream(path, std::ios::binary) << platform::writePropertyListXML(value);
}
}  // namespace

TEST_CASE("the application's service property list") {
    SUBCASE("the shipped one names the app and no service") {
        auto plist = APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist();
        REQUIRE(plist);
        REQUIRE(plist->count(kAPMRozedaAppIDKey));
        CHECK_FALSE(plist->at(kAPMRozedaAppIDKey).stringValue().empty());
        CHECK_FALSE(APMMeasurementServiceBaseURL());
        CHECK(APMBundleIdentifier() == "com.velmora.bernoulli");
    }
    SUBCASE("a configured service address; a missing or malformed list gives none") {
        testsupport::TempDir dir;
        MainBundleAt bundle(dir.path());
        CHECK_FALSE(APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist());
        CHECK_FALSE(APMMeasurementServiceBaseURL());

        writePlist(dir / "RozedaService-Info.plist",
                   Value(Value::Dictionary{{"ROZEDA_APP_ID", "velmora-test-one"},
                                           {"MEASUREMENT_SERVICE_BASE_URL", "http://127.0.0.1:8080"}}));
        CHECK(APMMeasurementServiceBaseURL() == "http://127.0.0.1:8080");

        writePlist(dir / "RozedaService-Info.plist", Value(Value::Array{Value("not a dictionary")}));
        CHECK_FALSE(APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist());
    }
    SUBCASE("the launch options name another service; without one, the list's stands") {
        testsupport::TempDir dir;
        MainBundleAt bundle(dir.path());
        writePlist(dir / "RozedaService-Info.plist",
                   Value(Value::Dictionary{{"ROZEDA_APP_ID", "velmora-test-one"},
                                           {"MEASUREMENT_SERVICE_BASE_URL", "http://127.0.0.1:8080"}}));
        {
            testsupport::ScopedLaunchOptions other(
                [](platform::LaunchOptions& o) { o.measurementServiceURL = "http://127.0.0.1:9"; });
            CHECK(APMMeasurementServiceBaseURL() == "http://127.0.0.1:9");
        }
        testsupport::ScopedLaunchOptions none([](platform::LaunchOptions& o) { o.measurementServiceURL.reset(); });
        CHECK(APMMeasurementServiceBaseURL() == "http://127.0.0.1:8080");
    }
    SUBCASE("Info.plist values and versions") {
        testsupport::TempDir dir;
        MainBundleAt bundle(dir.path());
        writePlist(dir / "Info.plist", Value(Value::Dictionary{{"CFBundleIdentifier", "com.example.app"},
                                                               {"CFBundleShortVersionString", "2.0b4"},
                                                               {"CFBundleVersion", "2.0.17"},
                                                               {"RerudodoAutomaticScreenReportingEnabled", false}}));
        CHECK(APMBundleIdentifier() == "com.example.app");
        CHECK(APMBundleShortVersion() == "2.0b4");
        CHECK(APMInfoPlistValue("RerudodoAutomaticScreenReportingEnabled") == Value(false));
        CHECK(APMInfoPlistValue("Missing").isNull());
        CHECK_FALSE(APMAEU::isAppExtension());
    }
}

TEST_CASE("the platform environment") {
    struct Reset {
        ~Reset() {
            platform::ProcessInfo::reset();
            APMAEU::setSharedApplication(nullptr);
        }
    } reset;

    SUBCASE("a device by default, a simulator only when configured as one") {
        CHECK_FALSE(APMAEU::deviceModel().empty());
        CHECK_FALSE(APMAEU::isNOD());
        platform::ProcessInfo::setDeviceModel("x86_64");
        CHECK(APMAEU::isNOD());
        platform::ProcessInfo::setDeviceModel("i386");
        CHECK(APMAEU::isNOD());
        platform::ProcessInfo::setDeviceModel("iPad13,1");
        CHECK_FALSE(APMAEU::isNOD());
        platform::ProcessInfo::setOSVersion("16.1");
        CHECK(APMAEU::systemVersion() == "16.1");
    }
    SUBCASE("the shared application, none inside an extension") {
        CHECK_FALSE(APMAEU::sharedApplication());
        auto application = std::make_shared<int>(7);
        APMAEU::setSharedApplication(application);
        CHECK(APMAEU::sharedApplication() == application);

        testsupport::TempDir dir;
        MainBundleAt bundle(dir.path());
        writePlist(dir / "Info.plist", Value(Value::Dictionary{{"NSExtension", Value(Value::Dictionary{})}}));
        CHECK(APMAEU::isAppExtension());
        CHECK_FALSE(APMAEU::sharedApplication());
    }
}

TEST_CASE("OS versions compared with a major and minor version") {
    const struct {
        const char* version;
        int major;
        int minor;
        bool atLeast;
    } cases[] = {
        {"16.1", 16, 1, true},    {"16.0.9", 16, 1, false}, {"17", 16, 1, true},   {"16", 16, 1, false},
        {"14.5.1", 14, 5, true},  {"13.7", 14, 0, false},   {"", 0, 0, false},     {"beta", 1, 0, false},
        {"16.10", 16, 9, true},
    };
    for (const auto& c : cases) {
        CAPTURE(c.version);
        CHECK(APMIsOSVersionAtLeast(c.version, c.major, c.minor) == c.atLeast);
    }
}
