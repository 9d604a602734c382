// The collector's service of remote-configuration values: GET /remote-values.
#pragma once

#include <filesystem>
#include <optional>

#include "tools/collector/endpoints.h"

namespace tools::collector {

// Serves the remote-configuration document of a file, read anew for every
// request so that edits show at the next fetch. A file that holds none is
// refused as the collector starts, as its other files are; the bytes of an
// edit go out as they stand, a document the client will refuse included
// (the printed line says so): that is how a client's handling of a broken
// source is tried out.
class RemoteValuesEndpoint {
public:
    RemoteValuesEndpoint(const std::optional<std::filesystem::path>& path, Printer& printer);
    Reply handle(const Exchange& request);

    // Throws std::invalid_argument when the file cannot be read or holds
    // no remote-configuration document.
    static void checkReadable(const std::filesystem::path& path);

private:
    std::optional<std::filesystem::path> path_;
    Printer& printer_;
};

}  // namespace tools::collector
