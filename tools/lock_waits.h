#pragma once

// What a command says, as it ends, of the waits for a lock it gave up on.

#include <iostream>
#include <set>
#include <string>

#include "measurement/control/engine_control.h"

namespace tools {

// Says each wait for the lock of a shared file that the process gave up on,
// under the command's name. A command that otherwise succeeded then fails
// (status 1): what it was to write to that file is not written.
inline int reportGivenUpLockWaits(const std::string& command, int status) {
    const auto waits = measurement::control::lockWaitsGivenUp();
    // A file opened twice (the experiments database) may be given up on
    // twice, in the same words.
    std::set<std::string> said;
    for (const auto& wait : waits) {
        if (!said.insert(wait).second) continue;
        const auto colon = wait.find(": ");
        std::cerr << command << ": gave up waiting for the lock of " << wait.substr(0, colon)
                  << ", so what this run was to write there is not written: "
                  << (colon == std::string::npos ? std::string() : wait.substr(colon + 2)) << '\n';
    }
    return waits.empty() || status != 0 ? status : 1;
}

}  // namespace tools
