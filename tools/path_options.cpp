// Paths that options and variables name, checked before a command uses them.
#include "tools/path_options.h"

#include <climits>
#include <iostream>

#include "platform/foundation/bundle.h"

namespace tools {

namespace {

// Beyond this a path is shortened in messages: a name too long for the file
// system is mostly far longer than a line.
constexpr std::size_t kLongestShownPath = 60;

}  // namespace

void refuse(const std::string& command, const std::string& message) {
    std::cerr << command << ": " << message << '\n';
    throw CLI::RuntimeError(2);
}

std::string shownPath(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.size() <= kLongestShownPath) return text;
    return shownStart(path) + " (" + std::to_string(text.size()) + " bytes)";
}

std::string shownStart(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.size() <= kLongestShownPath) return text;
    return text.substr(0, kLongestShownPath) + "...";
}

std::string tooLong(const std::string& source, const std::string& what, const std::filesystem::path& absolute,
                    std::size_t longest, const std::string& because) {
    return source + " names " + what + ": as an absolute path it is " + std::to_string(absolute.native().size()) +
           " bytes long (" + shownStart(absolute) + "), and it may have at most " + std::to_string(longest) +
           ", as " + because;
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

std::optional<std::filesystem::path> absolutePath(const std::filesystem::path& path, bool followLinks) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error).lexically_normal();
    if (error) return std::nullopt;
    if (followLinks) {
        // Links that cannot be read leave the path as it is written, as
        // they leave the file that opens it.
        auto resolved = std::filesystem::weakly_canonical(absolute, error);
        if (!error) absolute = std::move(resolved);
    }
    if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    return absolute;
}

void requirePreferencesFolder(const std::string& command, const platform::LaunchOptions& launch) {
    if (!launch.preferencesFolder) return;
    const std::string source = "$VELMORA_PREFERENCES";
    const auto& folder = *launch.preferencesFolder;
    requireName(command, source, folder);
    const auto absolute = absolutePath(folder, false);
    if (!absolute) refuse(command, source + " names a relative path, and the working folder cannot be read");
    // A "/" and a file name beneath it; PATH_MAX counts the closing NUL.
    const std::size_t longest = PATH_MAX - 1 - 1 - NAME_MAX;
    if (absolute->native().size() > longest) {
        refuse(command, tooLong(source, "a preferences folder too long for the files beneath it", *absolute, longest,
                                "a path may have " + std::to_string(PATH_MAX - 1) + " bytes and a file name beneath it " +
                                    std::to_string(NAME_MAX)));
    }
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
