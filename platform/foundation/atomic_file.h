#pragma once

// Files replaced whole through a temporary file and a rename, and files set aside.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Writes the bytes to a temporary file beside `file`, flushes them to the
// disk and renames the temporary file over `file`, so that a reader (or a
// crash, or a power cut) sees either the old file or the new one, never a
// part. The temporary file is the writer's own: made new (never opened
// through a link, nor one that was there) under a name with a part drawn
// from the system's secure random source, "<file>.tmp-PID-RANDOM", so that
// no other process can foresee it. The rename replaces whatever stands at
// `file`, a link too, without following it. First removes what writers
// killed before their rename left beside `file`
// (removeAbandonedTemporaryFiles), so that no leftover stays for good.
// Creates the folder when missing. On failure the old file is untouched,
// the temporary file removed, and `why` (when given) says what failed:
// "cannot write <file>: " and the system's reason, that of the folder's
// making when it could not be made.
bool writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode = 0644,
                         std::string* why = nullptr);

// Makes a new file at `path`, open for writing, and never opens one that
// was there: a file, a link (which is not followed) or anything else at the
// path fails it with EEXIST. Answers its descriptor, -1 with errno set.
int createNewFile(const std::filesystem::path& path, unsigned mode);

// Removes what was left at the names of writeFileAtomically's temporary
// files beside `file`: a regular file whose process is gone, and a link,
// which no writer makes (one planted there). A file whose process still
// runs is left alone, as it may be writing it. Answers the names removed.
std::vector<std::filesystem::path> removeAbandonedTemporaryFiles(const std::filesystem::path& file);

// Renames a damaged file to the next name of its set-aside copies
// ("<file>.corrupt", then the number after the newest copy's: see
// set_aside_copies.h) so that it is kept for inspection rather than
// overwritten, and deletes all but the newest few copies; answers the new
// path, none when it could not be renamed (and `why` says why).
std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file, std::string* why = nullptr);

}  // namespace platform
