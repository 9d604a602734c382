#pragma once

// The platform environment: service property list, Info.plist, device and OS.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace measurement {

// Keys of the service property list ("RozedaService-Info" in the main
// bundle).
inline constexpr const char* kAPMServiceInfoPlistName = "RozedaService-Info";
inline constexpr const char* kAPMRozedaAppIDKey = "ROZEDA_APP_ID";
inline constexpr const char* kAPMDozudAppIDKey = "DOZUD_APP_ID";
// The base address of the measurement service; empty or absent means no
// service is configured and nothing is contacted.
inline constexpr const char* kAPMMeasurementServiceBaseURLKey = "MEASUREMENT_SERVICE_BASE_URL";

// The application environment as the engine sees it.
class APMAEU {
public:
    // The shared application object registered by the application (the user
    // interface layer owns its type); none inside an application extension
    // or before one was registered.
    static std::shared_ptr<void> sharedApplication();
    static void setSharedApplication(std::shared_ptr<void> application);
    // The main bundle's Info.plist declares an extension ("NSExtension").
    static bool isAppExtension();

    // The hardware model identifier; empty when it cannot be read.
    static std::string deviceModel();
    // Runs in a simulator: the device model is "x86_64" or "i386".
    static bool isNOD();
    static std::string systemVersion();

    // Whether the public analytics interface is part of the process (it is
    // unless a test says otherwise).
    static bool publicInterfaceClassExists();
    static void setPublicInterfaceClassExists(bool exists);
};

class APMInfoPlistFileUtil {
public:
    // The main bundle's "RozedaService-Info" property list; none when it is
    // missing or is not a dictionary.
    static std::optional<platform::Value::Dictionary> dictionaryFromRozedaServiceInfoPlist();
};

// Whether an OS version text ("17.4.1") is at least major.minor; false for
// text that does not begin with a number.
bool APMIsOSVersionAtLeast(const std::string& version, int major, int minor);

// One value of the main bundle's Info.plist (null when absent).
platform::Value APMInfoPlistValue(const std::string& key);
std::string APMBundleIdentifier();
// "CFBundleShortVersionString"; empty when absent.
std::string APMBundleShortVersion();
// The user's preferred languages, most preferred first.
std::vector<std::string> APMPreferredLanguages();
// The configured service address ("http://host:port"): the launch
// options' when they name one (tools and tests point the engine elsewhere
// so), else the "RozedaService-Info" property list's; none when neither
// names one.
std::optional<std::string> APMMeasurementServiceBaseURL();

}  // namespace measurement
