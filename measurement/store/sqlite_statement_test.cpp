// Tests that a statement's failure keeps SQLite's code and words, and is never taken for done.
#include <doctest/doctest.h>

#include <sqlite3.h>

#include <string>

#include "measurement/store/sqlite_statement.h"

using namespace measurement::sqlite_statement;

TEST_CASE("a statement that fails to prepare or to step keeps SQLite's code and words") {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open(":memory:", &db) == SQLITE_OK);
    struct Case {
        const char* sql;
        int code;
        const char* words;
        TextRows rows;
    };
    const Case cases[] = {
        {"SELEC 1", SQLITE_ERROR, "near \"SELEC\": syntax error", {}},
        // Fails at its first step, after it prepared.
        {"SELECT abs(-9223372036854775807 - 1)", SQLITE_ERROR, "integer overflow", {}},
        // No statement in the text: nothing ran, which is not done.
        {" ; ", SQLITE_MISUSE, "", {}},
        {"SELECT NULL, 'a' || char(0) || 'b' UNION ALL SELECT 'c', ''", SQLITE_DONE, "",
         {{"", std::string("a\0b", 3)}, {"c", ""}}},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.sql);
        TextRows rows;
        std::string why;
        CHECK(runToEnd(db, entry.sql, &rows) == entry.code);
        CHECK(rows == entry.rows);
        CHECK(execute(db, entry.sql, &why) == (entry.code == SQLITE_DONE));
        if (*entry.words) CHECK(why == entry.words);
    }
    // SQLite reads up to a zero; what follows it is more text all the same.
    CHECK(Statement(db, "SELECT 1 ; ").single());
    CHECK_FALSE(Statement(db, "SELECT 1; SELECT 2").single());
    CHECK_FALSE(Statement(db, std::string("SELECT 1\0; DELETE", 17)).single());
    sqlite3_close(db);
}
