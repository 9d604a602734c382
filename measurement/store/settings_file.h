#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace measurement {

// Writes the bytes to a temporary file beside `file`, flushes them to the
// disk and renames the temporary file over `file`, so that a reader (or a
// crash) sees either the old file or the new one, never a part. Creates the
// folder when missing. On failure the old file is untouched, the temporary
// file removed, and `why` (when given) tells what failed.
bool APMWriteSettingsFileAtomically(const std::filesystem::path& file, const std::string& bytes,
                                    std::string* why = nullptr);

// Renames a damaged file to "<file>.corrupt" (or "<file>.corrupt-2", -3 ...
// when that is taken) so that it is kept for inspection rather than
// overwritten; answers the new path, none when it could not be renamed.
std::optional<std::filesystem::path> APMSetSettingsFileAside(const std::filesystem::path& file);

// A null anywhere inside makes a value no property list.
bool APMValueHoldsNull(const platform::Value& value);

}  // namespace measurement
