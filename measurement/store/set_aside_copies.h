#pragma once

// The copies of a database file set aside beside it: the name each new one
// takes, and the few kept, as the platform names and bounds every file's
// copies, with the database's companions. Not part of the public surface.

#include <optional>
#include <string>

namespace measurement {

// The name the next copy of the file at `path` is set aside under, free for
// it and anything set aside under its name (APMBesideSuffixes): the number
// after the newest copy's. A name numbered past
// kAPMSqliteStoreSetAsideLastNumber is none of the store's copies: it is
// neither counted, renamed nor deleted. Past
// kAPMSqliteStoreSetAsideLastNumber, the copies there are first renamed, in
// their order, to the lowest names free. None, with *why, when no name
// within it can be had.
std::optional<std::string> APMNextSetAsideName(const std::string& path, std::string* why);

// Deletes every copy of the file at `path` but the newest
// kAPMSqliteStoreSetAsideCopiesKept, each with its companions. What is no
// regular file (a folder set aside from the database's path, a link) holds
// no file of the store's and is kept. Logged (34044) when a copy cannot be
// deleted.
void APMDeleteOlderSetAsideCopies(const std::string& path);

}  // namespace measurement
