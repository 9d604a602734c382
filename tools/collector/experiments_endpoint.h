// The collector's stand-in for the experiments service: POST /sdk-exp.
#pragma once

#include <filesystem>
#include <optional>

#include "tools/collector/endpoints.h"

namespace tools::collector {

// Takes an experiment request and answers the experiments reply of a file,
// gzipped as the service sends it. The file is read anew for every request,
// so that edits show at the next fetch. Without a file it answers 404, and
// 500 when the file can no longer be read or understood: either way the
// engine counts a failed fetch and tries again later.
class ExperimentsEndpoint {
public:
    ExperimentsEndpoint(const std::optional<std::filesystem::path>& replyPath, Printer& printer);
    Reply handle(const Exchange& request);

    // Throws std::invalid_argument with a one-line reason when the file
    // cannot be read or understood.
    static void checkReadable(const std::filesystem::path& path);

private:
    std::optional<std::filesystem::path> replyPath_;
    Printer& printer_;
};

}  // namespace tools::collector
