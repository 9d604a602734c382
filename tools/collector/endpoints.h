#pragma once

// The handlers of the collector, apart from the HTTP server that feeds them.

#include <atomic>
#include <cstddef>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/http_client.h"
#include "platform/foundation/value.h"
#include "tools/collector/collector_service.h"

namespace tools::collector {

struct Exchange {
    std::string method;
    std::string path;
    std::string query;  // raw, after '?'
    platform::HTTPHeaders headers;
    std::string body;
};

struct Reply {
    int status = 404;
    platform::HTTPHeaders headers;
    std::string body;
    std::string contentType = "text/plain";
};

// Writes whole blocks to the output and whole lines to the log, one writer
// at a time, flushed at once so that watching scripts see them. A line the
// log did not take (a full disk) is said at once on standard error, with
// the system's reason, and the log takes no more.
class Printer {
public:
    Printer(std::ostream& out, const std::optional<std::filesystem::path>& logPath);
    void print(const std::string& block);
    void log(const platform::Value& entry);
    // Why the log took no more; none while it takes every line.
    std::optional<std::string> logFailure();

private:
    std::mutex mutex_;
    std::ostream& out_;
    std::optional<std::filesystem::path> logPath_;
    std::ofstream log_;
    std::optional<std::string> logFailure_;
};

// POST /a.
class BatchEndpoint {
public:
    BatchEndpoint(const CollectorOptions& options, Printer& printer, std::function<void()> limitReached);
    Reply handle(const Exchange& request);
    std::size_t count() const { return count_; }

private:
    Reply refuse(const Exchange& request, const std::string& reason);

    int status_;
    std::size_t limit_;
    Printer& printer_;
    std::function<void()> limitReached_;
    std::atomic<std::size_t> count_{0};
};

// GET /config/app/<app id>.
class ConfigEndpoint {
public:
    ConfigEndpoint(const CollectorOptions& options, Printer& printer);
    Reply handle(const Exchange& request, const std::string& appId);

private:
    std::optional<std::filesystem::path> path_;
    std::optional<std::string> appId_;
    Printer& printer_;
};

// "<METHOD> <path>[?query]", as the output names a request.
std::string requestLine(const Exchange& request);

}  // namespace tools::collector
