// The data folder of the commands that store, and the limit of its path.
#include "tools/data_folder.h"

#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "measurement/control/store_control.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "tools/path_options.h"

namespace tools {

namespace {

// Where the data folder came from, for messages.
std::string dataFolderSource(const std::string& given, const platform::LaunchOptions& launch) {
    if (!given.empty()) return "--data";
    if (launch.dataFolder) return "$VELMORA_DATA";
    return platform::ProcessInfo::dataHomeSource();
}

}  // namespace

DataFolderLimit dataFolderLimit() {
    // Each limit less the names beneath the folder, with the "/" before
    // them: the engine's deepest database file against SQLite's limit, and
    // a preferences file of the longest name against the file system's
    // (PATH_MAX counts the closing NUL).
    const auto database = measurement::control::deepestDatabaseFile();
    const auto beneath = std::filesystem::path(kApplicationSupportFolderName) / database.path;
    const std::size_t databaseRoom = 1 + beneath.native().size();
    const std::size_t forDatabase = database.longestPath > databaseRoom ? database.longestPath - databaseRoom : 0;
    const std::size_t forPreferences = PATH_MAX - 1 - (1 + std::strlen(kPreferencesFolderName) + 1 + NAME_MAX);
    if (forDatabase <= forPreferences) {
        return {forDatabase, "SQLite opens no file of a path longer than " + std::to_string(database.longestPath) +
                                 " bytes, and " + database.database + " keeps " + beneath.string() + " beneath it"};
    }
    return {forPreferences, "a path may have " + std::to_string(PATH_MAX - 1) + " bytes, and the preferences keep files " +
                                "of names up to " + std::to_string(NAME_MAX) + " bytes in " + kPreferencesFolderName +
                                " beneath it"};
}

std::filesystem::path requireDataFolder(const std::string& command, const std::string& given,
                                        const platform::LaunchOptions& launch, DataFolderUse use) {
    const std::filesystem::path folder =
        !given.empty() ? std::filesystem::path(given)
                       : launch.dataFolder.value_or(
                             platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path());
    const std::string source = dataFolderSource(given, launch);
    // A command's words are checked, and then its body asks again, moments
    // apart: the folder found usable for that use stands.
    static std::optional<std::pair<std::filesystem::path, DataFolderUse>> passed;
    if (passed && passed->first == folder && passed->second == use) return folder;
    requireName(command, source, folder);
    const auto absolute = absolutePath(folder, true);
    if (!absolute) refuse(command, source + " names a relative path, and the working folder cannot be read");
    const auto limit = dataFolderLimit();
    if (absolute->native().size() > limit.longest) {
        refuse(command, tooLong(source, "a data folder too long for the files beneath it", *absolute, limit.longest,
                                limit.because));
    }
    // A folder this user may not make is refused here, once, rather than
    // by each file the engine and the preferences fail to open beneath it.
    auto unusable = [use](const std::filesystem::path& path) {
        auto why = unusableFolder(path);
        if (!why && use == DataFolderUse::store) why = unmakableFolder(path);
        return why;
    };
    if (const auto why = unusable(folder)) refuse(command, source + " " + *why + ": " + shownPath(folder));
    // The two folders it holds: with either unusable, what the command did
    // could never be kept, so nothing runs that would be lost at its end.
    for (const auto& [name, what] : {std::pair{kApplicationSupportFolderName, "the measurement engine's folder"},
                                     std::pair{kPreferencesFolderName, "the preferences folder"}}) {
        const auto inside = folder / name;
        if (const auto why = unusable(inside)) {
            refuse(command, std::string(what) + " of " + source + " " + *why + ": " + shownPath(inside));
        }
    }
    passed.emplace(folder, use);
    return folder;
}

void useDataFolder(const std::filesystem::path& folder) {
    platform::ProcessInfo::setApplicationSupportDirectory(folder / kApplicationSupportFolderName);
    platform::UserDefaults::setDataDirectory(folder / kPreferencesFolderName);
}

}  // namespace tools
