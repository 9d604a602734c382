#pragma once

// What a command says, as it ends, of the waits for a lock it gave up on,
// and the status that then says what became of what it was to store.

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "measurement/control/engine_control.h"
#include "tools/option_values.h"

namespace tools {

using measurement::control::SharedFile;

// What a run did not write to a file whose lock it gave up on.
inline const char* notWritten(SharedFile file) {
    switch (file) {
        case SharedFile::measurementDatabase: return "the events of this run are not stored";
        case SharedFile::experimentsDatabase: return "what this run was to record of its experiments is not written";
        case SharedFile::settings: return "the changes this run made to the engine's settings are not written";
        case SharedFile::other: break;
    }
    return "what this run was to write there is not written";
}

// Says each wait for the lock of a shared file that the process gave up on,
// under the command's name, and answers the command's status. A command
// whose own work went to such a file (one of `holdingWork`: the measurement
// database for a command that stores an event) did not store it, and fails
// (status 1), so that a caller that tries again on failure stores nothing
// twice. Any other file's is said as a warning: what the command was asked
// to store is stored, and its status stands.
inline int reportGivenUpLockWaits(const std::string& command, int status,
                                  const std::vector<SharedFile>& holdingWork) {
    bool workLost = false;
    // A file opened twice (the experiments database) by two threads at
    // once may be given up on twice, in the same words.
    std::set<std::pair<std::string, std::string>> said;
    for (const auto& wait : measurement::control::lockWaitsGivenUp()) {
        if (!said.emplace(wait.purpose, wait.reason).second) continue;
        const bool work = std::find(holdingWork.begin(), holdingWork.end(), wait.file) != holdingWork.end();
        workLost = workLost || work;
        sayError(command, std::string(work ? "" : "warning: ") + "gave up waiting for the lock of " + wait.purpose +
                              ", so " + notWritten(wait.file) + ": " + wait.reason);
    }
    return workLost && status == 0 ? 1 : status;
}

}  // namespace tools
