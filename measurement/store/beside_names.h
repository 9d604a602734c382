#pragma once

// The names beside a database file that the store, or SQLite for it, opens
// or makes, and what is done with one where no regular file lies. Not part
// of the public surface.

#include <optional>
#include <string>
#include <vector>

namespace measurement {

// Their suffixes: the log, its index and the journal, the mark of damage,
// and the carry's file with its own log, index and journal. The lock file
// is not among them: no lock guards its own name, so it is set aside apart
// (APMSqliteStore::setAsideOddLock), before the lock is taken.
const std::vector<std::string>& APMBesideSuffixes();
// Every suffix a copy set aside may have a name under: those, and the lock
// file's.
const std::vector<std::string>& APMSetAsideNameSuffixes();

// What lies at the name when it is no regular file, in words ("a folder",
// "a fifo", "a link"); none for a regular file, or for nothing there.
std::optional<std::string> APMOddKind(const std::string& name);

// The suffixes of the names beside the file at `path` where something other
// than a regular file lies, each with its kind.
struct APMOddName {
    std::string suffix;
    std::string kind;
    bool operator==(const APMOddName&) const = default;
};
std::vector<APMOddName> APMOddNamesBeside(const std::string& path);

// Renames each of them to the name of the next set-aside copy with the same
// suffix (a fifo at "<database>-wal" becomes "<database>.corrupt-N-wal"), so
// that SQLite makes a new log there; nothing is opened or followed. As a log
// left without its file, it is never deleted by the bound of copies. False,
// *why filled, at the first that will not move (those moved before stay
// moved); *aside names the copy.
bool APMSetAsideOddNames(const std::string& path, const std::vector<APMOddName>& odd, std::string* aside,
                         std::string* why);

// The odd names as the monitor says them: "-wal (a fifo), -damaged (a link)".
std::string APMOddNamesText(const std::vector<APMOddName>& odd);

}  // namespace measurement
