// The collector's stand-in for the search-ad attribution service: POST /api/v1/.
#pragma once

#include <filesystem>
#include <optional>

#include "tools/collector/endpoints.h"

namespace tools::collector {

// Takes an attribution token (plain text) and answers the JSON reply of a
// file, read anew for every request so that edits show at the next try. A
// file that holds no JSON object is refused as the collector starts; the
// bytes of an edit go out as they stand, so that a reply the engine
// refuses can be tried out too. Without a file, or for an empty token, it answers 404 and
// 400: the engine sees a failure and tries again the next day.
class SearchAdEndpoint {
public:
    SearchAdEndpoint(const std::optional<std::filesystem::path>& replyPath, Printer& printer);
    Reply handle(const Exchange& request);

    // Throws std::invalid_argument when the file cannot be read or holds no
    // JSON object.
    static void checkReadable(const std::filesystem::path& path);

private:
    std::optional<std::filesystem::path> replyPath_;
    Printer& printer_;
};

}  // namespace tools::collector
