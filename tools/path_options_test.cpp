// Names the file system takes and those it refuses, and the folders the
// commands refuse as too long for the files beneath them, at the limits.
#include "tools/path_options.h"

#include <doctest/doctest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "measurement/control/store_control.h"
#include "testsupport/child_process.h"
#include "testsupport/file_text.h"
#include "testsupport/temp_dir.h"
#include "tools/data_folder.h"

namespace {

// A path of that many bytes, in parts of at most 200.
std::string pathOf(std::size_t bytes) {
    std::string path;
    while (path.size() + 201 < bytes) path += "/" + std::string(200, 'p');
    return path + "/" + std::string(bytes - path.size() - 1, 'q');
}

}  // namespace

TEST_CASE("a name is refused past the longest file name, or past the longest path less the room asked for") {
    struct Case {
        std::string path;
        std::size_t room;
        const char* refusal;  // a part of why; none when taken
    };
    const std::vector<Case> cases = {
        {"", 0, "empty"},
        {"/tmp/" + std::string(NAME_MAX, 'n'), 0, nullptr},
        {"/tmp/" + std::string(NAME_MAX + 1, 'n') + "/x", 0, "a part of it is 256 bytes long"},
        {"relative/" + std::string(NAME_MAX + 1, 'n'), 0, "a file name may have 255"},
        {pathOf(PATH_MAX - 1), 0, nullptr},
        {pathOf(PATH_MAX), 0, "it is 4096 bytes long, and a path may have 4095"},
        {pathOf(PATH_MAX - 1 - 128), 128, nullptr},
        {pathOf(PATH_MAX - 128), 128, "a path may have 3967 here"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.path.size());
        const auto refused = tools::refusedName(c.path, c.room);
        REQUIRE(refused.has_value() == (c.refusal != nullptr));
        if (c.refusal) CHECK(refused->find(c.refusal) != std::string::npos);
    }
}

namespace {

namespace fs = std::filesystem;

// `bytes` bytes of path made of parts of at most 200, each starting with
// `first` after a "/": appended to `start` (whose own bytes count).
std::string extendedTo(std::string start, std::size_t bytes) {
    REQUIRE(bytes > start.size() + 1);
    while (start.size() + 201 < bytes) start += "/" + std::string(200, 'p');
    return start + "/" + std::string(bytes - start.size() - 1, 'q');
}

// A relative path of exactly that many bytes.
std::string relativeOf(std::size_t bytes) { return extendedTo("r", bytes + 2).substr(2); }

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

// The tool run in the working folder, with the variables and none of this
// process's VELMORA_ ones.
Run runIn(const fs::path& workingFolder, const std::vector<std::string>& arguments,
          const std::vector<std::string>& variables = {}) {
    testsupport::TempDir logs;
    const int out = open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open((logs / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE((out >= 0 && err >= 0));
    std::vector<std::string> argv{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", workingFolder.string(), VELMORA_TOOL_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t pid = testsupport::spawnChild(argv, testsupport::environmentWith(variables, "VELMORA_"), out, err);
    close(out);
    close(err);
    Run run;
    run.status = testsupport::waitForChild(pid, 120);
    run.out = testsupport::readText(logs / "out");
    run.err = testsupport::readText(logs / "err");
    return run;
}

// The names of the raw events stored beneath the data folder, read with
// SQLite itself.
std::vector<std::string> storedEvents(const fs::path& folder) {
    const auto database = folder / "Application Support" / "Rozeda" / "Measurement" / "rozeda-app-measurement.sql";
    std::vector<std::string> names;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* rows = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name FROM raw_events ORDER BY rowid", -1, &rows, nullptr) == SQLITE_OK) {
            while (sqlite3_step(rows) == SQLITE_ROW) {
                names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
            }
        }
        sqlite3_finalize(rows);
    }
    sqlite3_close(db);
    return names;
}

}  // namespace

TEST_CASE("a data folder may be as long as lets SQLite open the deepest database file beneath it, and no longer") {
    const auto deepest = measurement::control::deepestDatabaseFile();
    CHECK(deepest.longestPath == static_cast<std::size_t>(sqlite3_vfs_find(nullptr)->mxPathname));
    CHECK(deepest.path == "Rozeda/Measurement/rozeda_experimentation_database.sql.corrupt-999-journal");
    const std::size_t longest = tools::dataFolderLimit().longest;
    testsupport::TempDir base;
    const auto start = fs::weakly_canonical(base.path()).string();
    // The deepest database a folder of that length holds is a set-aside copy
    // of the experiments database: SQLite opens it, and writes its journal,
    // at the limit, and refuses it one byte further.
    for (const std::size_t extra : {0, 1}) {
        CAPTURE(extra);
        const fs::path folder = extendedTo(start, longest + extra);
        const auto database = folder / "Application Support" / "Rozeda" / "Measurement" /
                              "rozeda_experimentation_database.sql.corrupt-999";
        fs::create_directories(database.parent_path());
        sqlite3* db = nullptr;
        const int opened = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        const int written = opened == SQLITE_OK ? sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr) : opened;
        sqlite3_close(db);
        CHECK((written == SQLITE_OK) == (extra == 0));
    }
    // README states these limits as the code reports them.
    std::ifstream readme(VELMORA_SOURCE_DIR "/README.md");
    std::stringstream text;
    text << readme.rdbuf();
    std::string flowed = text.str();
    std::replace(flowed.begin(), flowed.end(), '\n', ' ');
    const std::string preferences = std::to_string(PATH_MAX - 2 - NAME_MAX);
    for (const std::string& statement :
         {"a data folder may have at most " + std::to_string(longest) + " bytes as an absolute path",
          "is longer than " + std::to_string(deepest.longestPath) + " bytes", "`Application Support/" +
          deepest.path.string() + "`", "may have at most " + preferences.substr(0, 1) + "," + preferences.substr(1) +
          " bytes as an absolute path"}) {
        CHECK_MESSAGE(flowed.find(statement) != std::string::npos, "README.md does not say: " << statement);
    }
}

TEST_CASE("a data or preferences folder too long as an absolute path is refused by every command, naming the limit") {
    const std::size_t longest = tools::dataFolderLimit().longest;
    const std::size_t sqliteLimit = measurement::control::deepestDatabaseFile().longestPath;
    // A preferences folder leaves room for a "/" and a file name of the
    // longest length within a path (PATH_MAX counts the closing NUL).
    const std::size_t longestPreferences = PATH_MAX - 2 - NAME_MAX;
    testsupport::TempDir base;
    const std::string start = fs::weakly_canonical(base.path()).string();
    const std::string atLimit = extendedTo(start + "/at", longest);
    const std::string overLimit = extendedTo(start + "/over", longest + 1);
    // Working folders: a short one, and one of 4,038 bytes.
    const fs::path shortFolder = start + "/short";
    const fs::path longFolder = extendedTo(start + "/long", 4038);
    for (const auto& folder : {shortFolder, longFolder}) fs::create_directories(folder);
    const std::string relativeAt = relativeOf(longest - shortFolder.native().size() - 1);
    const std::string relativeOver = "o" + relativeOf(longest - shortFolder.native().size() - 1);
    testsupport::writeText(start + "/quit.script", "quit\n");
    testsupport::writeText(start + "/sum.txt", "(add 1 2)\n");
    // A short link to a folder one byte too long: SQLite follows it.
    const fs::path linkTarget = extendedTo(start + "/target", longest + 1);
    fs::create_directories(linkTarget);
    fs::create_directory_symlink(linkTarget, shortFolder / "link");
    const std::string quit = start + "/quit.script";
    const std::string sum = start + "/sum.txt";

    const std::string tooLongData = " names a data folder too long for the files beneath it: as an absolute path it is ";
    const std::string dataLimit = "and it may have at most " + std::to_string(longest) +
                                  ", as SQLite opens no file of a path longer than " + std::to_string(sqliteLimit) +
                                  " bytes, and the experiments database keeps Application Support/Rozeda/Measurement/"
                                  "rozeda_experimentation_database.sql.corrupt-999-journal beneath it";
    const std::string overBytes = std::to_string(longest + 1) + " bytes long";
    const std::string tooLongPreferences =
        "$VELMORA_PREFERENCES names a preferences folder too long for the files beneath it: as an absolute path it is ";
    const std::string preferencesLimit = "and it may have at most " + std::to_string(longestPreferences) + ", as";
    struct Case {
        std::vector<std::string> arguments;
        fs::path workingFolder;
        std::vector<std::string> variables;
        int status;
        std::vector<std::string> err;  // parts of standard error
        fs::path stored = {};          // a data folder where the run stores events
    };
    const std::vector<Case> cases = {
        // Absolute, at and past the limit.
        {{"analytics", "log", "at", "--data", atLimit}, shortFolder, {}, 0, {}, atLimit},
        {{"analytics", "log", "over", "--data", overLimit}, shortFolder, {}, 2,
         {"velmora analytics log: --data" + tooLongData + overBytes, dataLimit}},
        // Relative, resolved against the working folder.
        {{"analytics", "log", "relative", "--data", relativeAt}, shortFolder, {}, 0, {}, shortFolder / relativeAt},
        {{"analytics", "log", "relative", "--data", relativeOver}, shortFolder, {}, 2,
         {"velmora analytics log: --data" + tooLongData + overBytes}},
        {{"analytics", "log", "linked", "--data", "link"}, shortFolder, {}, 2,
         {"velmora analytics log: --data" + tooLongData + overBytes + " (" + linkTarget.string().substr(0, 60) + "...)"}},
        {{"analytics", "log", "deep", "--data", "data"}, longFolder, {}, 2,
         {"velmora analytics log: --data" + tooLongData + "4043 bytes long", dataLimit}},
        {{"calc", "--k", "1", "--n", "2", "--p", "0.5"}, shortFolder, {"VELMORA_DATA=" + relativeOver}, 2,
         {"velmora calc: $VELMORA_DATA" + tooLongData + overBytes}},
        {{"analytics", "dump", "--data", overLimit}, shortFolder, {}, 2, {"velmora analytics dump: --data" + tooLongData}},
        {{"analytics", "consent", "--data", overLimit}, shortFolder, {}, 2, {"velmora analytics consent: --data"}},
        {{"experiments", "--data", overLimit}, shortFolder, {}, 2, {"velmora experiments: --data" + tooLongData}},
        // The application: refused before it launches, or run in full.
        {{"app", "--script", quit, "--data", overLimit}, shortFolder, {}, 2, {"velmora app: --data" + tooLongData + overBytes}},
        {{"app", "--script", quit, "--data", "data"}, longFolder, {}, 2, {"velmora app: --data" + tooLongData}},
        {{"app", "--script", quit}, shortFolder, {"VELMORA_DATA=" + relativeOver}, 2, {"velmora app: $VELMORA_DATA"}},
        {{"app", "--script", quit, "--data", atLimit + "/app"}, shortFolder, {}, 2, {"velmora app: --data"}},
        {{"app", "--script", quit, "--data", relativeAt}, shortFolder, {}, 0, {}, shortFolder / relativeAt},
        // The preferences folder of the commands that set no data folder.
        {{"script", "eval", "--text", sum}, shortFolder, {"VELMORA_PREFERENCES=" + extendedTo(start, longestPreferences)}, 0, {}},
        {{"script", "eval", "--text", sum}, shortFolder,
         {"VELMORA_PREFERENCES=" + extendedTo(start, longestPreferences + 1)}, 2,
         {"velmora script eval: " + tooLongPreferences + std::to_string(longestPreferences + 1) + " bytes long",
          preferencesLimit}},
        {{"script", "run", "--text", sum}, longFolder, {"VELMORA_PREFERENCES=preferences"}, 2,
         {"velmora script run: " + tooLongPreferences + "4050 bytes long", preferencesLimit}},
        {{"collector", "--port", "0"}, shortFolder, {"VELMORA_PREFERENCES=" + extendedTo(start, 5000)}, 2,
         {"velmora collector: $VELMORA_PREFERENCES names a path the file system refuses (it is 5000 bytes long"}},
    };
    for (const auto& c : cases) {
        std::string line = c.workingFolder.filename().string() + ":";
        for (const auto& word : c.arguments) line += " " + word.substr(0, 40);
        for (const auto& variable : c.variables) line += " " + variable.substr(0, 40);
        CAPTURE(line);
        const auto run = runIn(c.workingFolder, c.arguments, c.variables);
        CAPTURE(run.err);
        CHECK(run.status == c.status);
        for (const auto& part : c.err) CHECK(run.err.find(part) != std::string::npos);
        if (c.status == 2) CHECK(run.out.empty());
        if (!c.stored.empty()) CHECK_FALSE(storedEvents(c.stored).empty());
    }
    // Nothing was made for a refused folder.
    CHECK_FALSE(fs::exists(overLimit));
    CHECK_FALSE(fs::exists(longFolder / "data"));
    CHECK_FALSE(fs::exists(shortFolder / relativeOver));
    CHECK(fs::is_empty(linkTarget));
    const auto atTheLimit = storedEvents(atLimit);
    CHECK((!atTheLimit.empty() && atTheLimit.back() == "at"));
}

TEST_CASE("velmora app whose measurement database cannot be opened says that nothing was stored, and fails") {
    testsupport::TempDir data;
    fs::create_directories(data / "Application Support");
    testsupport::writeText(data / "Application Support" / "Rozeda", "a file where the engine's folder would be\n");
    testsupport::writeText(data / "quit.script", "quit\n");
    const auto run = runIn(data.path(), {"app", "--script", "quit.script", "--data", "."});
    CHECK(run.status == 1);
    CHECK(run.err.find("velmora app: the measurement database could not be opened, so no analytics event was stored: ") !=
          std::string::npos);
    CHECK(run.err.find("Failed to open database") != std::string::npos);
}

TEST_CASE("a folder, a file to write and a file to read are refused where something else lies, with what it is") {
    testsupport::TempDir base;
    const auto file = base / "file";
    testsupport::writeText(file, "text\n");
    fs::create_directory(base / "folder");
    REQUIRE(mkfifo((base / "fifo").c_str(), 0644) == 0);
    struct Case {
        fs::path path;
        const char* asFolder;  // a part of why; none when taken
        const char* asFile;    // for writing
        const char* toRead;
    };
    const char* underFile = "lies under ";
    fs::create_directory_symlink(base / "nothing", base / "dangling");
    fs::create_directory_symlink(base / "folder", base / "to-folder");
    const std::vector<Case> cases = {
        {base / "folder", nullptr, "is a folder, not a file", "is a folder, not a file"},
        {file, "is a file, not a folder", nullptr, nullptr},
        {base / "fifo", "is a fifo, not a folder", "is a fifo, not a file", "is a fifo, not a file"},
        {"/dev/null", "is a device, not a folder", "is a device, not a file", "is a device, not a file"},
        {file / "beneath" / "deeper", underFile, underFile, underFile},
        // Nothing there yet: what makes it makes it, but there is nothing to read.
        {base / "new" / "deeper", nullptr, nullptr, "names nothing that is there"},
        // A link to nothing: no folder can be made where it stands, nor
        // beneath it.
        {base / "dangling", "is a link to ", nullptr, "names nothing that is there"},
        {base / "dangling" / "deeper", ", a link to ", nullptr, "names nothing that is there"},
        {base / "to-folder", nullptr, "is a folder, not a file", "is a folder, not a file"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.path);
        const auto expect = [](const std::optional<std::string>& why, const char* part) {
            REQUIRE(why.has_value() == (part != nullptr));
            if (part) CHECK(why->find(part) != std::string::npos);
        };
        expect(tools::unusableFolder(c.path), c.asFolder);
        expect(tools::unusableFile(c.path), c.asFile);
        std::string why;
        const auto contents = tools::readWholeFile(c.path, &why);
        expect(contents ? std::nullopt : std::optional(why), c.toRead);
        if (contents) CHECK(*contents == "text\n");
    }
    CHECK(tools::unusableFolder(file / "x")->find("lies under " + file.string() + ", which is a file, not a folder") == 0);
    CHECK(tools::unusableFolder(base / "dangling" / "x" / "y") ==
          "lies under " + (base / "dangling").string() + ", a link to " + (base / "nothing").string() +
              ", which is not there");
}

TEST_CASE("a refusal names the folder that cannot serve by its whole path, shortened only past a line's length") {
    testsupport::TempDir base;
    struct Case {
        std::size_t bytes;  // of the data folder's path
        bool whole;
    };
    for (const Case& c : {Case{120, true}, Case{300, false}}) {
        CAPTURE(c.bytes);
        const fs::path data = extendedTo(base.path().string(), c.bytes);
        fs::create_directories(data);
        testsupport::writeText(data / "Application Support", "not a folder\n");
        const auto run = runIn(base.path(), {"analytics", "log", "x", "--data", data.string()});
        CHECK(run.status == 2);
        const std::string said = "the measurement engine's folder of --data is a file, not a folder: ";
        const auto shown = (data / "Application Support").string();
        CAPTURE(run.err);
        if (c.whole) CHECK(run.err.find(said + shown + "\n") != std::string::npos);
        if (!c.whole) CHECK(run.err.find("... (" + std::to_string(shown.size()) + " bytes)\n") != std::string::npos);
    }
}
