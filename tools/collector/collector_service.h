#pragma once

// The local collector: a loopback measurement service.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace tools::collector {

struct CollectorOptions {
    // Only the loopback address is served: the collector is for people to
    // watch their own engine, never a service for others.
    std::string address = "127.0.0.1";
    // 0 lets the system pick a free port.
    int port = 0;
    // The measurement configuration served at "/config/app/<app id>"
    // (see loadConfig); none answers 404.
    std::optional<std::filesystem::path> configPath;
    // When given, configuration requests for any other app identifier get
    // 404.
    std::optional<std::string> appId;
    // The remote-configuration document served at "/remote-values"; none
    // answers 404.
    std::optional<std::filesystem::path> remoteValuesPath;
    // The JSON reply to an attribution token posted to "/api/v1/"; none
    // answers 404.
    std::optional<std::filesystem::path> searchAdReplyPath;
    // The description of the reply to conversion-value requests posted to
    // "/skan" (see SKANEndpoint); none answers 404.
    std::optional<std::filesystem::path> skanReplyPath;
    // The experiments reply served, gzipped, to requests posted to
    // "/sdk-exp" (see loadExperiments); none answers 404.
    std::optional<std::filesystem::path> experimentsPath;
    // The answer to a batch that decodes (204 acknowledges it; 429, 500,
    // 503 ... let the engine see a failure). 200 to 599.
    int batchStatus = 204;
    // When given, one JSON object per line is appended for every POST to
    // "/a": the decoded batch with "status" and "bytes", or "error".
    std::optional<std::filesystem::path> logPath;
    // Finishes once this many batches have been received; 0 never.
    std::size_t stopAfterBatches = 0;
    // Each connection must deliver its whole request, and take the answer,
    // within this time (seconds, more than 0); a client too slow is answered
    // 408 and cut off. Slow clients never hold up the others.
    double requestDeadlineSeconds = 10;
};

// The local collector: an HTTP service on 127.0.0.1 that the engine can
// upload to. It answers
//   POST /a                    a measurement batch: printed readably, logged,
//                              answered with the batch status (400 with a
//                              one-line reason when it does not decode; a
//                              gzip body is inflated first);
//   GET  /config/app/<app id>  the configuration, with ETag and Last-Modified,
//                              304 when the request's validators match, 404
//                              without a configuration or for another app;
//   GET  /remote-values        the remote-configuration document of a file,
//                              as it stands (404 without one);
//   POST /api/v1/              an attribution token: the search-ad reply of a
//                              file, as it stands (404 without one, 400 for
//                              an empty token);
//   POST /skan                 a conversion-value request: the reply a file
//                              describes (404 without one, 400 for a request
//                              that does not decode);
//   POST /sdk-exp              an experiment request: the experiments reply
//                              of a file, gzipped (404 without one);
//   anything else              404;
//   a malformed request        400 with the reason (a request line or header
//                              that breaks HTTP/1.x, a Content-Length that is
//                              no number, a header line without a colon);
//   a request not complete     408 once the request deadline has passed.
// Every request is printed to the output given, one block at a time.
class CollectorService {
public:
    // Checks the options and reads the configuration once; throws
    // std::invalid_argument with a one-line reason when they will not do.
    CollectorService(CollectorOptions options, std::ostream& out);
    // That reason, from the same checks, without making the service (the
    // log is neither made nor opened); none when the options will do.
    static std::optional<std::string> refusedOptions(const CollectorOptions& options);
    // Stops the service.
    ~CollectorService();
    CollectorService(const CollectorService&) = delete;
    CollectorService& operator=(const CollectorService&) = delete;

    // Binds, prints "listening on 127.0.0.1:<port>" and serves on threads
    // of its own; answers the port. Throws std::runtime_error when the port
    // cannot be had.
    int start();
    // Blocks until stop() is called or the batch limit is reached.
    void waitUntilFinished();
    // Stops serving: connections still reading or writing are cut off at
    // once, and the requests being handled finish. Safe to call more than
    // once, from any thread but the service's own handlers.
    void stop();

    int port() const;
    // Batches received that decoded.
    std::size_t batchCount() const;
    // Why the log (CollectorOptions::logPath) stopped taking batches, said
    // on standard error as it happened; none while it takes them all.
    std::optional<std::string> logFailure() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tools::collector
