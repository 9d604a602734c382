// The collector's batch endpoint: inflate, decode, print and log.
#include <algorithm>
#include <cctype>

#include "platform/frameworks/utilities/gzip.h"
#include "tools/collector/batch_description.h"
#include "tools/collector/endpoints.h"
#include "tools/collector/printable_text.h"

namespace tools::collector {

namespace {

// Batches are a few hundred kilobytes at most; the limit only keeps a
// hostile body from inflating without end.
constexpr std::size_t kMaxInflatedBytes = 64u * 1024u * 1024u;

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The batch bytes of a request, inflated when the request says gzip. Our
// inflation refuses damaged and truncated data, so a cut-off upload is
// never taken for a shorter batch.
std::optional<Bytes> batchBytes(const Exchange& request, std::string* reason) {
    Bytes body(request.body.begin(), request.body.end());
    const auto header = request.headers.find("Content-Encoding");
    const std::string encoding = header == request.headers.end() ? "" : lowercase(header->second);
    if (encoding.empty() || encoding == "identity") return body;
    if (encoding != "gzip" && encoding != "x-gzip") {
        *reason = "unsupported Content-Encoding \"" + printable(header->second) + "\"";
        return std::nullopt;
    }
    platform::RULError error;
    auto inflated = platform::rul_dataByInflatingGzippedData(body, &error, kMaxInflatedBytes);
    if (!inflated) *reason = "gzip body does not inflate (" + error.message + ")";
    return inflated;
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

}  // namespace

BatchEndpoint::BatchEndpoint(const CollectorOptions& options, Printer& printer, std::function<void()> limitReached)
    : status_(options.batchStatus),
      limit_(options.stopAfterBatches),
      printer_(printer),
      limitReached_(std::move(limitReached)) {}

Reply BatchEndpoint::handle(const Exchange& request) {
    std::string reason;
    const auto bytes = batchBytes(request, &reason);
    const auto batch = bytes ? batchValue(*bytes, &reason) : std::nullopt;
    if (!batch) return refuse(request, reason);

    const std::size_t bundles = (*batch)["bundles"].asArray().size();
    printer_.print(requestLine(request) + ": batch of " + plural(bundles, "bundle", "bundles") + ", " +
                   plural(bytes->size(), "byte", "bytes") + " -> " + std::to_string(status_) + '\n' +
                   batchText(*batch));
    platform::Value entry = *batch;
    entry.asDictionary()["status"] = status_;
    entry.asDictionary()["bytes"] = static_cast<long long>(bytes->size());
    printer_.log(entry);

    // Counted after printing, so that whoever waits for the limit finds
    // the batch in the output.
    if (++count_ == limit_ && limitReached_) limitReached_();
    Reply reply;
    reply.status = status_;
    return reply;
}

Reply BatchEndpoint::refuse(const Exchange& request, const std::string& reason) {
    printer_.print(requestLine(request) + ": 400, " + reason + '\n');
    printer_.log(platform::Value::Dictionary{
        {"status", 400}, {"error", reason}, {"bytes", static_cast<long long>(request.body.size())}});
    Reply reply;
    reply.status = 400;
    reply.body = reason + '\n';
    return reply;
}

}  // namespace tools::collector
