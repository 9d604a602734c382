// The collector's conversion-value service: POST /skan.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "tools/collector/endpoints.h"

namespace tools::collector {

// What the engine asks: its request message, decoded.
struct SKANRequestSummary {
    std::int64_t libraryVersion = 0;
    std::string appID;
    std::string appInstanceID;
    std::string skanVersion;
    std::int64_t evaluationEventTimeMillis = 0;
    std::int64_t lastUploadedEventTimeMillis = 0;
};

// Takes a conversion-value request and answers with the reply a JSON file
// describes, read anew for every request so that edits show at the next
// fetch:
//   {"status": 1, "label": "purchase", "fine_value": 5, "coarse_value": 2,
//    "lock_window": true, "result_time_millis": ..., "event_time_millis": ...,
//    "update_backoff_millis": 3600000}
// Each field of the reply message is sent only when the file has it, so that
// replies the engine refuses can be tried out too. Times may also be given
// relative to the exchange: "result_valid_seconds" (the result time is now
// plus that) and "event_time_from_request": true (the request's last uploaded
// event time). "http_status" (200 to 599, default 200) and "gzip": true
// (the body compressed, with "Content-Encoding: gzip") shape the answer.
// Without a file it answers 404; a request that does not decode gets 400.
class SKANEndpoint {
public:
    SKANEndpoint(const std::optional<std::filesystem::path>& replyPath, Printer& printer);
    Reply handle(const Exchange& request);

    // Throws std::invalid_argument with a one-line reason when the file
    // cannot be read or does not describe a reply.
    static void checkReadable(const std::filesystem::path& path);
    // The request of the body; none when it does not decode.
    static std::optional<SKANRequestSummary> decodeRequest(const std::string& body);
    // The reply a description gives for the request at that time (ms); none
    // and the reason when the description will not do.
    static std::optional<Reply> replyFor(const platform::Value& description, const SKANRequestSummary& request,
                                         std::int64_t nowMillis, std::string* reason);

private:
    std::optional<std::filesystem::path> replyPath_;
    Printer& printer_;
};

}  // namespace tools::collector
