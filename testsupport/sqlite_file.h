#pragma once

// What the tests do to a database file as another program would: SQL run
// through a connection of their own, and the changes others make.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace testsupport {

// Runs the statements on the file through a connection of its own, each in
// turn (the file's declarations are parsed, none of them run); a statement
// that fails fails the test with SQLite's message.
void runSQL(const std::filesystem::path& database, const std::string& statements);
// The first column of the query's first row, as text (NULL as empty); a
// query that gives no row fails the test.
std::string querySQL(const std::filesystem::path& database, const std::string& query);

// Triggers another program may add to the engine's file: one that deletes
// the events stored before each new one, one that renames the new one, and
// one that refuses every event.
inline constexpr const char* kTriggerDeletingEarlierEvents =
    "CREATE TRIGGER wipe AFTER INSERT ON raw_events BEGIN DELETE FROM raw_events WHERE rowid < NEW.rowid; END";
inline constexpr const char* kTriggerRenamingNewEvent =
    "CREATE TRIGGER rename AFTER INSERT ON raw_events BEGIN UPDATE raw_events SET name = 'renamed' WHERE rowid = "
    "NEW.rowid; END";
inline constexpr const char* kTriggerRefusingEveryEvent =
    "CREATE TRIGGER refuse BEFORE INSERT ON raw_events BEGIN SELECT RAISE(ABORT, 'no room'); END";

// The byte of a database file's header that says which format SQLite may
// write it in; 3 is past the one it writes, so that it reads the file and
// refuses to write it.
inline constexpr std::size_t kWriteVersionAt = 18;
inline constexpr const char* kWriteVersionPastSQLite = "\x03";

// The file format's numbers, read from a file's bytes as the tests find
// their way to a cell: a big-endian number of `width` bytes at `at`, and a
// variable-length integer at `*at` (moved past it).
std::uint32_t bigEndian(const std::string& bytes, std::size_t at, std::size_t width);
std::int64_t varint(const std::string& bytes, std::size_t* at);

}  // namespace testsupport
