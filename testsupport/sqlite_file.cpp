// Running SQL on a database file as another program would.
#include "testsupport/sqlite_file.h"

#include <doctest/doctest.h>
#include <sqlite3.h>

namespace testsupport {

void runSQL(const std::filesystem::path& database, const std::string& statements) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(database.c_str(), &db) == SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    REQUIRE_MESSAGE(rc == SQLITE_OK, text);
}

}  // namespace testsupport
