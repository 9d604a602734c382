// What the remote-configuration client keeps between launches, and its file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/frameworks/remote_config/remote_values_document.h"
#include "platform/frameworks/remote_config/vez_remote_config.h"

namespace platform {

struct RemoteValuesRecord {
    RemoteValues active;
    // Fetched and not yet activated.
    std::optional<RemoteValues> pending;
    VEZRemoteConfigFetchStatus lastFetchStatus = VEZRemoteConfigFetchStatus::noFetchYet;
    // Seconds since 1970: when values last came from the source, and when
    // the source was last asked (whatever it answered).
    std::optional<double> lastFetchTime;
    std::optional<double> lastSourceContact;

    bool operator==(const RemoteValuesRecord&) const = default;
};

// The record in the file; an empty record when there is none. A file that
// cannot be understood is set aside as "<file>.corrupt" (never deleted) and
// an empty record answered, with what happened in *note.
RemoteValuesRecord loadRemoteValuesRecord(const std::filesystem::path& file, std::string* note = nullptr);

// Replaces the file atomically; false, with the reason in *why, when it
// could not be written.
bool saveRemoteValuesRecord(const std::filesystem::path& file, const RemoteValuesRecord& record,
                            std::string* why = nullptr);

}  // namespace platform
