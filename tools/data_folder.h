#pragma once

// The data folder of the commands that store: the measurement engine's
// files beneath "Application Support", the preferences beneath
// "Preferences". Its path is checked, as the absolute path the files beneath
// it will have, against the limit of what opens them, before a command
// uses it: one too long stops the command with the limit and status 2.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/launch_options.h"

namespace tools {

inline constexpr const char* kApplicationSupportFolderName = "Application Support";
inline constexpr const char* kPreferencesFolderName = "Preferences";

// The longest absolute path a data folder may have, in bytes, and why, in
// words that follow "it may have at most N, as ".
struct DataFolderLimit {
    std::size_t longest = 0;
    std::string because;
};
DataFolderLimit dataFolderLimit();

// What a command does in its data folder: stores (and so makes the folders
// that are not there yet), or only reads what is there.
enum class DataFolderUse { store, read };

// The data folder a command works in: the one given, else the launch
// options', else velmora under the user's data home; its name checked, its
// absolute path against dataFolderLimit(), and that it and the two folders
// it holds are folders or can be made ones (nothing but folders above them,
// no link that leads nowhere), and, for a command that stores, ones this
// user may make (unmakableFolder).
std::filesystem::path requireDataFolder(const std::string& command, const std::string& given,
                                        const platform::LaunchOptions& launch,
                                        DataFolderUse use = DataFolderUse::store);

// Makes the folder the one the measurement engine and the preferences live
// in.
void useDataFolder(const std::filesystem::path& folder);

}  // namespace tools
