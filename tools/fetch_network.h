#pragma once

// What a command whose job is a fetch says where there is no network.

#include <iostream>
#include <string>

#include "platform/frameworks/utilities/reachability.h"

namespace tools {

// Where the network counts as unreachable ($VELMORA_NETWORK_REACHABLE is 0,
// no or false), a fetch could only fail, after making no connection: the
// command says so under its name, at once, and answers true; it then ends
// with status 1, having asked nothing.
inline bool refuseFetchWithoutNetwork(const std::string& command) {
    if (platform::Reachability::shared()->isReachable()) return false;
    std::cerr << command
              << ": the network is unreachable ($VELMORA_NETWORK_REACHABLE is 0, no or false), so nothing was fetched\n";
    return true;
}

}  // namespace tools
