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

std::string querySQL(const std::filesystem::path& database, const std::string& query) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    const bool prepared = sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK;
    const bool row = prepared && sqlite3_step(statement) == SQLITE_ROW;
    const auto* text = row ? sqlite3_column_text(statement, 0) : nullptr;
    const std::string value = text ? reinterpret_cast<const char*>(text) : "";
    const std::string error = sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    const std::string said = query + ": " + error;
    REQUIRE_MESSAGE(row, said);
    return value;
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

std::int64_t varint(const std::string& bytes, std::size_t* at) {
    constexpr int kLongest = 9;
    std::uint64_t value = 0;
    for (int i = 0; i < kLongest; ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at((*at)++));
        if (i == kLongest - 1) return static_cast<std::int64_t>((value << 8) | byte);
        value = (value << 7) | (byte & 0x7f);
        if ((byte & 0x80) == 0) break;
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace testsupport
