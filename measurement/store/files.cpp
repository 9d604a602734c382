// The engine's folder and file helpers.
#include "measurement/store/files.h"

#include <sys/xattr.h>

#include <filesystem>
#include <system_error>

#include "measurement/foundation/monitor.h"
#include "platform/foundation/process_info.h"

namespace measurement {

namespace fs = std::filesystem;

std::string APMApplicationSupportPath(const std::string& fileName) {
    if (fileName.empty()) return {};
    const fs::path folder = platform::ProcessInfo::applicationSupportDirectory() / kAPMApplicationSupportFolder;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMApplicationSupportDirectoryNotFoundCode,
                                          "Application support directory not found. Path, error",
                                          platform::Value(folder.string()), platform::Value(ec.message()));
    }
    return (folder / fileName).string();
}

bool APMDeleteFileAtPath(const std::string& path, APMErrorOut error) {
    if (path.empty()) {
        APMSetError(error, 1, "Received empty path for deleting file");
        return false;
    }
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) {
        if (error) *error = apm_errorWithCode(2, "Failed to delete file", platform::Value(ec.message()));
        return false;
    }
    return true;
}

bool APMExcludeFileFromBackup(const std::string& path) {
    static constexpr char kName[] = "user.xdg.robots.backup";
    static constexpr char kValue[] = "false";
    return ::setxattr(path.c_str(), kName, kValue, sizeof(kValue) - 1, 0) == 0;
}

}  // namespace measurement
