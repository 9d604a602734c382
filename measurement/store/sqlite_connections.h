#pragma once

// How the store opens connections to files that other programs may have
// changed. Not part of the public surface.

#include <string>

struct sqlite3;

namespace measurement::sqlite_connections {

// A file layer over SQLite's own one named `base` (the default when null;
// "unix-none" takes no locks) that answers "absent" when asked whether something
// that is no regular file (a fifo, a folder, a link) lies at a name, and
// opens no log or journal there: SQLite looks for a journal to roll back
// before it reads a file, and would open a fifo at the journal's name,
// which waits for a peer for good, and delete one at the log's name as an
// empty log. Its database files record the snapshot of each read
// transaction (sqlite_btree::readSnapshotOf). Registered on first use,
// never made the default; its name, for sqlite3_open_v2 or a URI's "vfs"
// parameter. Null when SQLite has no layer named `base`.
const char* regularFilesVfs(const char* base);

// The path as an SQLite URI: "file:" and the absolute path, percent-encoded.
std::string fileURI(const std::string& path);

// Sets the connection up as SQLite advises for such files, so that nothing
// a file holds runs on it: defensive mode (no statement that damages the
// file by design), the schema not trusted (no function with side effects in
// what the file declares), no trigger and no view (the engine makes none).
// False, *why filled, when SQLite refuses a setting.
bool distrustFile(sqlite3* db, std::string* why);

// For a connection that only reads, distrusted as above: SQLite loads as
// much of the file's schema as parses and reads, and ignores the
// declarations it cannot parse or reach (writable_schema, which defensive
// mode refuses and which is therefore turned off). False, *why filled, when
// SQLite refuses even that (a header it does not read), or no table loads.
bool tolerateSchemaErrors(sqlite3* db, std::string* why);

// The file opened for reading only through regularFilesVfs, distrusted, its
// schema tolerated as above. Null, *why filled, when it cannot be.
sqlite3* openLenientReader(const std::string& path, std::string* why);

}  // namespace measurement::sqlite_connections
