#pragma once

// One statement of the store's own SQL, prepared, stepped and finalised in
// one place. Not part of the public surface.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace measurement::sqlite_statement {

using TextRows = std::vector<std::vector<std::string>>;

// A column's text with all its bytes; NULL reads empty.
std::string columnText(sqlite3_stmt* statement, int column);

// A statement this use owns alone. code() is SQLite's result of the prepare,
// then of the last step: SQLITE_ROW, SQLITE_DONE, or a failure, which is
// never taken for done; message() is SQLite's words for the last failure.
class Statement {
public:
    Statement() = default;
    // The text's first statement; `flags` as sqlite3_prepare_v3 takes them.
    Statement(sqlite3* db, std::string_view sql, unsigned flags = 0);
    explicit operator bool() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_.get(); }
    int code() const { return code_; }
    std::string message() const;
    // Nothing but blanks and ";" follows the statement in the text.
    bool single() const { return single_; }
    bool bind(int place, std::string_view text);
    bool bind(int place, std::int64_t value);
    // True on a row. One that did not prepare keeps its failure; a text of
    // no statement fails as SQLite's step of none does.
    bool step();
    // Steps to done or a failure, the rows kept as text when asked; the last code.
    int runToEnd(TextRows* rows = nullptr);
    // Ready to run again, its values unbound.
    void reset();
    std::string text(int column) const { return columnText(get(), column); }
    std::int64_t integer(int column) const;
    // Hands the statement over, no longer finalised here.
    sqlite3_stmt* release() { return statement_.release(); }

private:
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const;
    };
    sqlite3* db_ = nullptr;
    std::unique_ptr<sqlite3_stmt, Finalize> statement_;
    int code_ = 0;
    bool single_ = false;
};

// Prepared, run to its end and finalised before the caller reads the
// connection's error; the last code.
int runToEnd(sqlite3* db, std::string_view sql, TextRows* rows = nullptr);
// As runToEnd; false with SQLite's words in *why unless it ends done.
bool execute(sqlite3* db, std::string_view sql, std::string* why);

}  // namespace measurement::sqlite_statement
