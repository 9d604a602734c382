// The one definition of damage that the open's checks, the statements in use and the carry share.
#include "measurement/store/sqlite_damage.h"

#include <sqlite3.h>

#include <cstring>

namespace measurement::sqlite_damage {

namespace {

// SQLite's words, and its only ones, for a schema format number past those
// it reads (a plain SQLITE_ERROR otherwise).
constexpr const char* kUnsupportedFormat = "unsupported file format";

}  // namespace

bool isDamage(sqlite3* db, int code) {
    const int primary = code & 0xff;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_TOOBIG) return true;
    return primary == SQLITE_ERROR && db && std::strcmp(sqlite3_errmsg(db), kUnsupportedFormat) == 0;
}

}  // namespace measurement::sqlite_damage
