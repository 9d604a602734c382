#pragma once

// Paths that options and variables name, checked before a command uses
// them: a name the file system refuses, a file that cannot be read, a folder
// path where something else lies, or an application bundle that is not
// there, stops the command with the reason and status 2. The data folder's
// own check is in data_folder.h.

#include <CLI/CLI.hpp>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/launch_options.h"

namespace tools {

// Why the file system would refuse the path as a name: a part longer than a
// file name may be, or the whole (with `room` bytes more for names beneath
// it) longer than a path may be; none when it takes it. Only the name is
// looked at, not what is there.
std::optional<std::string> refusedName(const std::filesystem::path& path, std::size_t room = 0);

// The absolute path a file opened under `path` has: resolved against the
// working folder, with "." and ".." taken out and no closing separator;
// with `followLinks`, the links that are there followed too, as SQLite
// resolves a database's path. None when the working folder cannot be read.
std::optional<std::filesystem::path> absolutePath(const std::filesystem::path& path, bool followLinks);

// The preferences folder of the commands that set no data folder
// ($VELMORA_PREFERENCES, when set) must leave room, as an absolute path,
// for a file name of the longest length beneath it, and be a folder or one
// that can be made (unusableFolder); refused as requireName does.
void requirePreferencesFolder(const std::string& command, const platform::LaunchOptions& launch);

// The path given by `source` ("--data", "$VELMORA_DATA"...), for
// `command` ("velmora app"): when the file system refuses its name, says so
// on standard error and throws the parser's error that ends the command with
// status 2.
void requireName(const std::string& command, const std::string& source, const std::filesystem::path& path,
                 std::size_t room = 0);

// The application bundle's folder ($VELMORA_RESOURCES, else the built-in
// one) holds the application's texts: a folder that is not there, or that
// has no strings table in the bundle's language, ends the command as
// requireName does.
void requireBundle(const std::string& command, const platform::LaunchOptions& launch);

// Why the command cannot keep files in a folder at `path`, in words that
// follow the option's name ("is a file, not a folder"): something other
// than a folder lies there, a part of the path above it is no folder, or
// it or a part above it is a link that leads to nothing or round a loop of
// links, where no folder can be made; none when a folder is there or can be
// made there (whether this user may make it is unmakableFolder's question).
std::optional<std::string> unusableFolder(const std::filesystem::path& path);

// The same for a file the command writes: something other than a regular
// file lies there (a folder, or a fifo that would hold the command until a
// reader came), or a part of the path above it is no folder.
std::optional<std::string> unusableFile(const std::filesystem::path& path);

// Why a folder cannot be made at `path`, where nothing is yet, in words
// that follow the option's name ("cannot be made: /srv takes no new folder
// from this user (Permission denied)"): the nearest folder above it refuses
// this user a new entry, by its permissions or a read-only file system.
// None when it can be made, and when something lies there already or above
// it is no folder (unusableFolder says what).
std::optional<std::string> unmakableFolder(const std::filesystem::path& path);

// The whole of the regular file `path` names, read at once; none, with why in
// `why` in words that follow the option's name ("is a folder, not a file:
// /tmp/x"), when there is none there, it is a folder, a fifo or a device
// (read without waiting for a writer, so that none holds the command), a part
// of the path is no folder, or it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::string* why);

// The file that `source` names, read whole, for `command`; one that cannot
// be read ends the command as requireName does, with `hint` after the reason.
std::string requireFileContents(const std::string& command, const std::string& source,
                                const std::filesystem::path& path, const std::string& hint = {});

// A path as messages show it: whole up to 200 bytes, beyond that its start
// and its length.
std::string shownPath(const std::filesystem::path& path);
// Its start only.
std::string shownStart(const std::filesystem::path& path);

// Why `source` ("--data") names something too long: "<source> names <what>:
// as an absolute path it is N bytes long (<start>), and it may have at most
// <longest>, as <because>".
std::string tooLong(const std::string& source, const std::string& what, const std::filesystem::path& absolute,
                    std::size_t longest, const std::string& because);

// Ends the command: says why on standard error, under the command's name
// (sayError), and throws the parser's error that ends it with status 2.
[[noreturn]] void refuse(const std::string& command, const std::string& message);

}  // namespace tools
