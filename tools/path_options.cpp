// Paths that options and variables name, checked before a command uses them.
#include "tools/path_options.h"

#include <climits>
#include <iostream>

#include "platform/foundation/bundle.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"

namespace tools {

namespace {

// Beyond this a path is shortened in messages: a name too long for the file
// system is mostly far longer than a line.
constexpr std::size_t kLongestShownPath = 60;

[[noreturn]] void refuse(const std::string& command, const std::string& message) {
    std::cerr << command << ": " << message << '\n';
    throw CLI::RuntimeError(2);
}

// Where the data folder came from, for messages.
std::string dataFolderSource(const std::string& given, const platform::LaunchOptions& launch) {
    if (!given.empty()) return "--data";
    if (launch.dataFolder) return "$VELMORA_DATA";
    return launch.xdgDataHome ? "$XDG_DATA_HOME" : "$HOME";
}

}  // namespace

std::string shownPath(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.size() <= kLongestShownPath) return text;
    return text.substr(0, kLongestShownPath) + "... (" + std::to_string(text.size()) + " bytes)";
}

std::optional<std::string> refusedName(const std::filesystem::path& path, std::size_t room) {
    const std::string& text = path.native();
    if (text.empty()) return "the name is empty";
    for (const auto& part : path) {
        if (part.native().size() > NAME_MAX) {
            return "a part of it is " + std::to_string(part.native().size()) + " bytes long, and a file name may have " +
                   std::to_string(NAME_MAX);
        }
    }
    // PATH_MAX counts the closing NUL.
    const std::size_t longest = PATH_MAX - 1 - room;
    if (text.size() > longest) {
        return "it is " + std::to_string(text.size()) + " bytes long, and a path may have " +
               std::to_string(longest) + (room > 0 ? " here (the files beneath it need the rest)" : "");
    }
    return std::nullopt;
}

void requireName(const std::string& command, const std::string& source, const std::filesystem::path& path,
                 std::size_t room) {
    if (auto why = refusedName(path, room)) {
        refuse(command, source + " names a path the file system refuses (" + *why + "): " + shownPath(path));
    }
}

std::filesystem::path requireDataFolder(const std::string& command, const std::string& given,
                                        const platform::LaunchOptions& launch) {
    const std::filesystem::path folder =
        !given.empty() ? std::filesystem::path(given)
                       : launch.dataFolder.value_or(
                             platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path());
    requireName(command, dataFolderSource(given, launch), folder, kDataFolderRoom);
    return folder;
}

void useDataFolder(const std::filesystem::path& folder) {
    platform::ProcessInfo::setApplicationSupportDirectory(folder / "Application Support");
    platform::UserDefaults::setDataDirectory(folder / "Preferences");
}

void requireBundle(const std::string& command, const platform::LaunchOptions& launch) {
    const auto& bundle = platform::Bundle::main();
    const auto folder = bundle.resourcePath();
    const std::string source = launch.resourcesFolder ? "$VELMORA_RESOURCES"
                                                      : "the built-in resources folder (set $VELMORA_RESOURCES)";
    requireName(command, source, folder);
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        refuse(command, source + " names no application bundle: there is no folder at " + shownPath(folder));
    }
    const auto table = std::filesystem::path(bundle.language() + ".lproj") / "Localizable.strings";
    const auto text = platform::readFile(folder / table);
    if (!text || !platform::parseStringsTable(*text)) {
        refuse(command, source + " names no application bundle: " + shownPath(folder) +
                            " holds no strings table " + table.string() + ", so every text would show as its key");
    }
}

}  // namespace tools
