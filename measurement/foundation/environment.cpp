// The platform environment as the engine reads it: bundle, device, launch arguments.
#include "measurement/foundation/environment.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "platform/foundation/bundle.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/process_info.h"

namespace measurement {

namespace {

std::mutex gApplicationMutex;
std::shared_ptr<void> gApplication;
std::atomic<bool> gPublicInterfaceExists{true};

}  // namespace

std::shared_ptr<void> APMAEU::sharedApplication() {
    if (isAppExtension()) return nullptr;
    std::lock_guard lock(gApplicationMutex);
    return gApplication;
}

void APMAEU::setSharedApplication(std::shared_ptr<void> application) {
    std::lock_guard lock(gApplicationMutex);
    gApplication = std::move(application);
}

bool APMAEU::isAppExtension() { return !APMInfoPlistValue("NSExtension").isNull(); }

std::string APMAEU::deviceModel() { return platform::ProcessInfo::deviceModel(); }

bool APMAEU::isNOD() {
    const std::string model = deviceModel();
    return model == "x86_64" || model == "i386";
}

std::string APMAEU::systemVersion() { return platform::ProcessInfo::osVersion(); }

bool APMAEU::publicInterfaceClassExists() { return gPublicInterfaceExists.load(); }

void APMAEU::setPublicInterfaceClassExists(bool exists) { gPublicInterfaceExists.store(exists); }

std::optional<platform::Value::Dictionary> APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist() {
    auto plist = platform::Bundle::main().propertyListResource(kAPMServiceInfoPlistName);
    if (!plist || !plist->isDictionary()) return std::nullopt;
    return plist->asDictionary();
}

platform::Value APMInfoPlistValue(const std::string& key) {
    return platform::Bundle::main().objectForInfoDictionaryKey(key);
}

std::string APMBundleIdentifier() { return platform::Bundle::main().bundleIdentifier(); }

std::string APMBundleShortVersion() { return APMInfoPlistValue("CFBundleShortVersionString").stringValue(); }

std::vector<std::string> APMPreferredLanguages() { return platform::ProcessInfo::preferredLanguages(); }

std::optional<std::string> APMMeasurementServiceBaseURL() {
    if (auto address = platform::LaunchOptions::current().measurementServiceURL) return address;
    auto plist = APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist();
    if (!plist) return std::nullopt;
    auto found = plist->find(kAPMMeasurementServiceBaseURLKey);
    if (found == plist->end() || !found->second.isString() || found->second.asString().empty()) return std::nullopt;
    return found->second.asString();
}

bool APMIsOSVersionAtLeast(const std::string& version, int major, int minor) {
    std::istringstream parts(version);
    int actualMajor = 0;
    int actualMinor = 0;
    char dot = 0;
    if (!(parts >> actualMajor)) return false;
    if (parts >> dot && dot == '.') parts >> actualMinor;
    return actualMajor > major || (actualMajor == major && actualMinor >= minor);
}

}  // namespace measurement
