// Preparing, stepping and finalising one statement of the store's own SQL.
#include "measurement/store/sqlite_statement.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>

namespace measurement::sqlite_statement {

std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : "";
}

void Statement::Finalize::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

// Bytes past a zero, which SQLite does not read, count as more text.
Statement::Statement(sqlite3* db, std::string_view sql, unsigned flags) : db_(db) {
    sqlite3_stmt* prepared = nullptr;
    const char* tail = nullptr;
    code_ = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), flags, &prepared, &tail);
    statement_.reset(prepared);
    const auto rest = tail ? sql.substr(static_cast<std::size_t>(tail - sql.data())) : std::string_view();
    single_ = prepared && std::all_of(rest.begin(), rest.end(), [](char c) {
                  return std::isspace(static_cast<unsigned char>(c)) || c == ';';
              });
}

std::string Statement::message() const { return db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code_); }

bool Statement::bind(int place, std::string_view text) {
    return statement_ && sqlite3_bind_text64(get(), place, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) ==
                             SQLITE_OK;
}

bool Statement::bind(int place, std::int64_t value) {
    return statement_ && sqlite3_bind_int64(get(), place, value) == SQLITE_OK;
}

bool Statement::step() {
    if (statement_ || code_ == SQLITE_OK) code_ = statement_ ? sqlite3_step(get()) : SQLITE_MISUSE;
    return code_ == SQLITE_ROW;
}

int Statement::runToEnd(TextRows* rows) {
    while (step()) {
        if (!rows) continue;
        auto& row = rows->emplace_back();
        for (int column = 0; column < sqlite3_column_count(get()); ++column) row.push_back(text(column));
    }
    return code_;
}

void Statement::reset() {
    if (!statement_) return;
    sqlite3_reset(get());
    sqlite3_clear_bindings(get());
    code_ = SQLITE_OK;
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(get(), column); }

int runToEnd(sqlite3* db, std::string_view sql, TextRows* rows) { return Statement(db, sql).runToEnd(rows); }

bool execute(sqlite3* db, std::string_view sql, std::string* why) {
    if (runToEnd(db, sql) == SQLITE_DONE) return true;
    *why = sqlite3_errmsg(db);
    return false;
}

}  // namespace measurement::sqlite_statement
