#pragma once

// The engine's folder under the application-support folder, and file helpers.

#include <string>

#include "measurement/foundation/measurement_error.h"

namespace measurement {

// The folder of the engine's files under the application-support folder of
// the process (platform::ProcessInfo, which tests and programs set).
inline constexpr const char* kAPMApplicationSupportFolder = "Rozeda/Measurement";

enum : long {
    kAPMApplicationSupportDirectoryNotFoundCode = 19001,
};

// The path of that file in the engine's folder, which is created when
// missing; the empty string for an empty name. Logs code 19001 when the
// folder cannot be found or made (the path is still answered, so that the
// caller's open reports the failure).
std::string APMApplicationSupportPath(const std::string& fileName);

// Deletes the file; true when it is gone or was absent. An empty path fails
// with code 1, "Received empty path for deleting file".
bool APMDeleteFileAtPath(const std::string& path, APMErrorOut error);

// Marks the file as one that backups leave out (the extended attribute
// "user.xdg.robots.backup" = "false"). False when the file system refuses.
bool APMExcludeFileFromBackup(const std::string& path);

}  // namespace measurement
