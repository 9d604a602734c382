#pragma once

// Where the measurement engine keeps its files, as a program that runs it
// needs to know before it starts: how long their paths may be, and whether
// the engine could open its database.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace measurement::control {

// The set-aside copies of a database the paths leave room for: ".corrupt"
// then ".corrupt-2" up to this number.
inline constexpr int kSetAsideCopiesRoom = 999;

// Of the files the engine's databases make beneath the application-support
// folder (each database, its set-aside copies and what SQLite and the store
// keep beside them), the one with the longest name, and the longest
// absolute path, in bytes, of what opens it: SQLite's default file layer,
// whose limit binds every file beside a database as it binds the journal.
struct DeepestDatabaseFile {
    std::filesystem::path path;  // beneath the application-support folder
    std::size_t longestPath = 0;
    // The database it belongs to, in words: "the experiments database".
    std::string database;
};
DeepestDatabaseFile deepestDatabaseFile();

// Why the engine could not open its measurement database when it started,
// in words; none when it did, or has not tried.
std::optional<std::string> databaseFailure();

}  // namespace measurement::control
