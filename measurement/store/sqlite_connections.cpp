// Opening connections to database files that other programs may have changed.
#include "measurement/store/sqlite_connections.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "measurement/store/sqlite_file/log_snapshot.h"
#include "measurement/store/sqlite_statement.h"
#include "measurement/store/sqlite_store_shared_state.h"

namespace measurement {

std::atomic<bool>& detail::fileTriggersRun() {
    static std::atomic<bool> run{false};
    return run;
}

namespace sqlite_connections {

namespace {

using sqlite_statement::runToEnd;

struct Setting {
    int option;
    int value;
    const char* name;
};

bool apply(sqlite3* db, const Setting& setting, std::string* why) {
    int now = -1;
    if (sqlite3_db_config(db, setting.option, setting.value, &now) == SQLITE_OK && now == setting.value) return true;
    *why = std::string("SQLite refuses to set ") + setting.name;
    return false;
}

// Prepared, it loads the schema; stepped, it reads no row of it, whose own
// pages may be damaged past the declarations that loaded.
constexpr const char* kSchemaLoad = "SELECT 1 FROM sqlite_master LIMIT 0";
// Answers a row once a table of the file's own loaded.
constexpr const char* kSomeTableLoaded =
    "SELECT 1 FROM pragma_table_list WHERE schema = 'main' AND type = 'table' AND name NOT LIKE 'sqlite\\_%' "
    "ESCAPE '\\' LIMIT 1";

// SQLite's own layer is kept beside the copy, whose app data stays the
// base's: SQLite's layers read their own settings from it.
struct RegularFilesLayer {
    sqlite3_vfs layer;
    sqlite3_vfs* base;
    const std::string* name;
};
// SQLite hands back a pointer to `layer`, its first member, from which the
// rest is found.
static_assert(std::is_standard_layout_v<RegularFilesLayer>);

sqlite3_vfs* baseOf(sqlite3_vfs* layer) { return reinterpret_cast<RegularFilesLayer*>(layer)->base; }

bool otherThanRegularFile(const char* name) {
    struct stat info {};
    return name && ::lstat(name, &info) == 0 && !S_ISREG(info.st_mode);
}

int accessRegularFiles(sqlite3_vfs* layer, const char* name, int flags, int* result) {
    if (flags == SQLITE_ACCESS_EXISTS && otherThanRegularFile(name)) {
        *result = 0;
        return SQLITE_OK;
    }
    return baseOf(layer)->xAccess(baseOf(layer), name, flags, result);
}

// A log or journal is never opened where no regular file lies: SQLite
// would delete a fifo there as an empty log it closes. The database file
// records what each read transaction takes of its log, for the reads of
// its pages past SQLite.
int openRegularFiles(sqlite3_vfs* layer, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    if ((flags & (SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL)) != 0 && otherThanRegularFile(name)) {
        file->pMethods = nullptr;
        return SQLITE_CANTOPEN;
    }
    return sqlite_btree::openRecordingSnapshots(baseOf(layer), layer, name, file, flags, outFlags);
}

constexpr std::string_view kRegularFilesSuffix = "-regular-files";

}  // namespace

const char* regularFilesVfs(const char* base) {
    // Both live for the whole process: a queue may open a file while it ends.
    static auto& mutex = *new std::mutex;
    static auto& layers = *new std::map<std::string, RegularFilesLayer*>;
    std::lock_guard lock(mutex);
    sqlite3_vfs* own = sqlite3_vfs_find(base);
    if (!own) return nullptr;
    if (auto found = layers.find(own->zName); found != layers.end()) return found->second->name->c_str();
    const auto* name = new std::string(std::string(own->zName) + std::string(kRegularFilesSuffix));
    auto* made = new RegularFilesLayer{*own, own, name};
    made->layer.zName = name->c_str();
    made->layer.pNext = nullptr;
    made->layer.xAccess = &accessRegularFiles;
    made->layer.xOpen = &openRegularFiles;
    made->layer.szOsFile = sqlite_btree::recordingFileSize(own->szOsFile);
    if (sqlite3_vfs_register(&made->layer, 0) != SQLITE_OK) {
        delete name;
        delete made;
        return nullptr;
    }
    layers.emplace(own->zName, made);
    return made->name->c_str();
}

std::string fileURI(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    constexpr unsigned kNibbleBits = 4;
    constexpr unsigned kNibble = 0xf;
    std::string uri = "file:";
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    for (unsigned char c : ec ? path : absolute.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kHex[c >> kNibbleBits];
            uri += kHex[c & kNibble];
        }
    }
    return uri;
}

bool distrustFile(sqlite3* db, std::string* why) {
    const bool triggers = detail::fileTriggersRun().load();
    const Setting settings[] = {
        {SQLITE_DBCONFIG_DEFENSIVE, 1, "defensive mode"},
        {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, "an untrusted schema"},
        {SQLITE_DBCONFIG_ENABLE_TRIGGER, triggers ? 1 : 0, "triggers off"},
        {SQLITE_DBCONFIG_ENABLE_VIEW, 0, "views off"},
    };
    for (const auto& setting : settings) {
        if (!apply(db, setting, why)) return false;
    }
    return true;
}

// SQLite takes the schema for loaded once it has read what it could; the
// statement during which that happens may still fail on what it could not,
// the next one no longer does.
bool tolerateSchemaErrors(sqlite3* db, std::string* why) {
    if (!apply(db, {SQLITE_DBCONFIG_DEFENSIVE, 0, "defensive mode off"}, why)) return false;
    if (runToEnd(db, "PRAGMA writable_schema = ON") != SQLITE_DONE ||
        (runToEnd(db, kSchemaLoad) != SQLITE_DONE && runToEnd(db, kSchemaLoad) != SQLITE_DONE)) {
        *why = sqlite3_errmsg(db);
        return false;
    }
    if (sqlite_statement::Statement(db, kSomeTableLoaded).step()) return true;
    *why = "no table of its schema reads";
    return false;
}

sqlite3* openLenientReader(const std::string& path, std::string* why) {
    sqlite3* db = nullptr;
    const char* layer = regularFilesVfs(nullptr);
    const std::string uri = fileURI(path) + "?mode=ro" + (layer ? std::string("&vfs=") + layer : "");
    const int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    if (rc == SQLITE_OK && distrustFile(db, why) && tolerateSchemaErrors(db, why)) return db;
    if (rc != SQLITE_OK) *why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return nullptr;
}

}  // namespace sqlite_connections

}  // namespace measurement
