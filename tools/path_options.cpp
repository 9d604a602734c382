// Paths that options and variables name, checked before a command uses them.
#include "tools/path_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_contents.h"
#include "tools/option_values.h"

namespace tools {

namespace {

// Beyond this a path is shortened in messages, to its first bytes: a name
// too long for the file system is mostly far longer than a line.
constexpr std::size_t kLongestShownPath = 60;
// A path of an ordinary depth is shown whole all the same, so that the
// message names the very file that is wrong.
constexpr std::size_t kLongestWholePath = 200;

// What lies at a path, as messages name it.
std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISREG(mode)) return "a file";
    if (S_ISFIFO(mode)) return "a fifo";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "no file or folder";
}

// The nearest of the folders above `path` that is there, with what it is;
// none when none is (a relative path's nearest is the working folder).
std::optional<std::pair<std::filesystem::path, mode_t>> nearestAbove(const std::filesystem::path& path) {
    for (auto above = path.lexically_normal().parent_path(); !above.empty(); above = above.parent_path()) {
        struct stat info {};
        if (::stat(above.c_str(), &info) == 0) return std::pair{above, info.st_mode};
        if (above == above.parent_path()) break;
    }
    return std::nullopt;
}

// Why a path that stat() or open() refused with `error` is of no use:
// nothing there, a part above it that is no folder, else the system's
// reason.
std::string unreachable(const std::filesystem::path& path, int error) {
    if (error == ENOENT || error == ENOTDIR) {
        const auto above = nearestAbove(path);
        if (above && !S_ISDIR(above->second)) {
            return "lies under " + shownPath(above->first) + ", which is " + kindOf(above->second) + ", not a folder";
        }
        if (error == ENOENT) return "names nothing that is there";
    }
    return std::string("cannot be opened: ") + std::strerror(error);
}

// A link on the way to a path that leads nowhere: to nothing, or round a
// loop of links back to itself.
struct BrokenLink {
    std::filesystem::path at;
    std::filesystem::path leadsTo;
    bool loop = false;
};

// The link nearest `path` (itself, or a folder above it) that leads
// nowhere; none when every link on the way leads somewhere. Only what is not
// there is looked at: the first part that is ends the search.
std::optional<BrokenLink> brokenLink(const std::filesystem::path& path) {
    for (auto at = path.lexically_normal(); !at.empty(); at = at.parent_path()) {
        if (!at.has_filename() && at.has_relative_path()) continue;  // "a/b/" names "a/b"
        struct stat info {};
        if (::stat(at.c_str(), &info) == 0) return std::nullopt;
        const bool loop = errno == ELOOP;
        std::error_code error;
        if (::lstat(at.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            return BrokenLink{at, std::filesystem::read_symlink(at, error), loop};
        }
        if (at == at.parent_path()) break;
    }
    return std::nullopt;
}

// Why nothing of the kind wanted (a folder, else a regular file) is at
// `path` or can be made there; none when it is or can be.
std::optional<std::string> unusableAs(const std::filesystem::path& path, bool folder) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) return std::nullopt;
        return "is " + kindOf(info.st_mode) + ", not " + (folder ? "a folder" : "a file");
    }
    const int error = errno;
    // A folder is made where a link leads only by whoever makes what it
    // leads to: every maker of folders meets the link ("File exists").
    if (const auto link = folder ? brokenLink(path) : std::nullopt) {
        const std::string leads = "a link to " + shownPath(link->leadsTo) +
                                  (link->loop ? ", which leads round a loop of links back to itself"
                                              : ", which is not there");
        if (link->at == path.lexically_normal()) return "is " + leads;
        return "lies under " + shownPath(link->at) + ", " + leads;
    }
    const auto above = nearestAbove(path);
    // Nothing there yet, under folders: what makes it makes them.
    if (error == ENOENT && (!above || S_ISDIR(above->second))) return std::nullopt;
    return unreachable(path, error);
}

}  // namespace

std::optional<std::string> unusableFolder(const std::filesystem::path& path) { return unusableAs(path, true); }

std::optional<std::string> unusableFile(const std::filesystem::path& path) { return unusableAs(path, false); }

std::optional<std::string> unmakableFolder(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) return std::nullopt;
    const auto above = nearestAbove(path);
    if (above && !S_ISDIR(above->second)) return std::nullopt;
    // A relative path's nearest folder is the working folder.
    const std::filesystem::path folder = above ? above->first : std::filesystem::path(".");
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return std::nullopt;
    return "cannot be made: " + shownPath(folder) + " takes no new folder from this user (" + std::strerror(errno) +
           ")";
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = unreachable(path, errno) + ": " + shownPath(path);
        return std::nullopt;
    }
    std::optional<std::string> contents;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        *why = std::string("cannot be read: ") + std::strerror(errno) + ": " + shownPath(path);
    } else if (!S_ISREG(info.st_mode)) {
        *why = "is " + kindOf(info.st_mode) + ", not a file: " + shownPath(path);
    } else {
        contents = platform::readToEnd(fd);
        if (!contents) {
            *why = std::string("cannot be read: ") + std::strerror(errno) + ": " + shownPath(path);
        }
    }
    ::close(fd);
    return contents;
}

std::string requireFileContents(const std::string& command, const std::string& source,
                                const std::filesystem::path& path, const std::string& hint) {
    requireName(command, source, path);
    std::string why;
    auto contents = readWholeFile(path, &why);
    if (!contents) refuse(command, source + " " + why + (hint.empty() ? "" : " " + hint));
    return std::move(*contents);
}

void refuse(const std::string& command, const std::string& message) {
    sayError(command, message);
    throw CLI::RuntimeError(2);
}

std::string shownPath(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.size() <= kLongestWholePath) return text;
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
    if (const auto why = unusableFolder(folder)) refuse(command, source + " " + *why + ": " + shownPath(folder));
}

void requireBundle(const std::string& command, const platform::LaunchOptions& launch) {
    const auto& bundle = platform::Bundle::main();
    const auto folder = bundle.resourcePath();
    const std::string source = launch.resourcesFolder ? "$VELMORA_RESOURCES"
                                                      : "the built-in resources folder (set $VELMORA_RESOURCES)";
    // Asked by a command's check of its words and again by its body,
    // moments apart: a bundle found whole stands.
    static std::optional<std::filesystem::path> passed;
    const auto table = std::filesystem::path(bundle.language() + ".lproj") / "Localizable.strings";
    if (passed == folder / table) return;
    requireName(command, source, folder);
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        refuse(command, source + " names no application bundle: there is no folder at " + shownPath(folder));
    }
    const auto text = platform::readFile(folder / table);
    if (!text || !platform::parseStringsTable(*text)) {
        refuse(command, source + " names no application bundle: " + shownPath(folder) +
                            " holds no strings table " + table.string() + ", so every text would show as its key");
    }
    passed = folder / table;
}

}  // namespace tools
