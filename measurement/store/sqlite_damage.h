#pragma once

// What a failure of SQLite says of the database file: damage, or nothing of
// the file at all. Not part of the public surface.

struct sqlite3;

namespace measurement::sqlite_damage {

// Whether a statement's failure on the connection tells of a damaged file:
// pages that do not read as SQLite writes them (SQLITE_CORRUPT), a header
// SQLite refuses as a database's (SQLITE_NOTADB, or a schema format it does
// not read, "unsupported file format", which the engine never writes), or a
// row whose size reads past SQLite's limit (SQLITE_TOOBIG: the engine writes
// no such row, only a damaged size reads so). Any other failure (I/O,
// memory, a lock, a full disk) says nothing of the file. The connection's
// last error is read for the format's refusal: call it before the next
// statement runs.
bool isDamage(sqlite3* db, int code);

// What is said of a schema that SQLite could not load whole, whose tables
// are then read as far as it parses, before SQLite's reason.
inline constexpr const char* kSchemaReadInPart = "the schema does not parse whole, and was read as far as it parses: ";

}  // namespace measurement::sqlite_damage
