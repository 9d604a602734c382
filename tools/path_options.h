#pragma once

// Paths that options and variables name, checked before a command uses
// them: a name the file system refuses, or an application bundle that is
// not there, stops the command with the reason and status 2.

#include <CLI/CLI.hpp>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/launch_options.h"

namespace tools {

// What the data folder's path leaves for the names beneath it: the engine's
// databases with their logs and set-aside copies, the preferences' files.
inline constexpr std::size_t kDataFolderRoom = 128;

// Why the file system would refuse the path as a name: a part longer than a
// file name may be, or the whole (with `room` bytes more for names beneath
// it) longer than a path may be; none when it takes it. Only the name is
// looked at, not what is there.
std::optional<std::string> refusedName(const std::filesystem::path& path, std::size_t room = 0);

// The path given by `source` ("--data", "$VELMORA_DATA"...), for
// `command` ("velmora app"): when the file system refuses its name, says so
// on standard error and throws the parser's error that ends the command with
// status 2.
void requireName(const std::string& command, const std::string& source, const std::filesystem::path& path,
                 std::size_t room = 0);

// The data folder a command works in: the one given, else the launch
// options', else velmora under the user's data home; its name checked.
std::filesystem::path requireDataFolder(const std::string& command, const std::string& given,
                                        const platform::LaunchOptions& launch);

// Makes the folder the one the measurement engine and the preferences live
// in.
void useDataFolder(const std::filesystem::path& folder);

// The application bundle's folder ($VELMORA_RESOURCES, else the built-in
// one) holds the application's texts: a folder that is not there, or that
// has no strings table in the bundle's language, ends the command as
// requireName does.
void requireBundle(const std::string& command, const platform::LaunchOptions& launch);

// A long path as messages show it: its start, and its length.
std::string shownPath(const std::filesystem::path& path);

}  // namespace tools
