#pragma once

// The mark of damage beside a database file: written by whoever finds the
// damage, removed only by a check that began after it was written. Not part
// of the public surface.

#include <optional>
#include <string>

namespace measurement {

// Only a regular file at the path is a mark: whatever else lies there (a
// link, a fifo, a folder) is never opened in a way that waits, never
// followed, read, written or removed as one.

// Whether a mark lies at the path.
bool APMDamageMarkPresent(const std::string& path);

// Writes the mark at the path anew: each writing holds words of its own, so
// that a reader can tell a mark written since it last read one. False, with
// errno set, when it could not be written.
bool APMWriteDamageMark(const std::string& path);

// What the mark at the path holds; none when there is none, or it cannot be
// read (then nothing may remove it on the strength of a reading).
std::optional<std::string> APMReadDamageMark(const std::string& path);

// What became of a mark that a check found the file whole under.
enum class APMDamageMarkRemoval {
    // None is left at the path.
    removed,
    // Written again since it was read: another process found damage
    // meanwhile, and the mark stays.
    rewritten,
    // It could not be read or removed, and stays.
    kept,
};

// Removes the mark when it still holds what `seen` read before a check of
// the whole file began: a mark written after that is never removed.
APMDamageMarkRemoval APMRemoveDamageMarkIfUnchanged(const std::string& path, const std::optional<std::string>& seen);

}  // namespace measurement
