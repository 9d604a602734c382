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
// part. Creates the folder when missing. On failure the old file is
// untouched, the temporary file removed, and `why` (when given) says what
// failed: "cannot write <file>: " and the system's reason, that of the
// folder's making when it could not be made.
bool writeFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode = 0644,
                         std::string* why = nullptr);

// Removes what writeFileAtomically left beside `file` in processes that
// ended before their rename: "<file>.tmp-PID-N" files whose process is
// gone. One whose process still runs is left alone, as it may be writing
// it. Answers the files removed.
std::vector<std::filesystem::path> removeAbandonedTemporaryFiles(const std::filesystem::path& file);

// As writeFileAtomically, for a file that is written again and again (the
// preferences, the engine's settings, the remote values): first removes
// what writers killed before their rename left beside it
// (removeAbandonedTemporaryFiles), so that those leftovers do not pile up.
bool rewriteFileAtomically(const std::filesystem::path& file, const std::string& bytes, unsigned mode = 0644,
                           std::string* why = nullptr);

// Renames a damaged file to the next name of its set-aside copies
// ("<file>.corrupt", then the number after the newest copy's: see
// set_aside_copies.h) so that it is kept for inspection rather than
// overwritten, and deletes all but the newest few copies; answers the new
// path, none when it could not be renamed (and `why` says why).
std::optional<std::filesystem::path> setFileAside(const std::filesystem::path& file, std::string* why = nullptr);

}  // namespace platform
