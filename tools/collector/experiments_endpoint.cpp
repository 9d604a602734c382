// Answering the experiment request posted to /sdk-exp with the gzipped reply of a file.
#include "tools/collector/experiments_endpoint.h"

#include <stdexcept>

#include "platform/frameworks/utilities/gzip.h"
#include "tools/collector/experiments_file.h"

namespace tools::collector {

ExperimentsEndpoint::ExperimentsEndpoint(const std::optional<std::filesystem::path>& replyPath, Printer& printer)
    : replyPath_(replyPath), printer_(printer) {}

void ExperimentsEndpoint::checkReadable(const std::filesystem::path& path) {
    std::string reason;
    if (!loadExperiments(path, &reason)) throw std::invalid_argument(reason);
}

Reply ExperimentsEndpoint::handle(const Exchange& request) {
    const Bytes requestBytes(request.body.begin(), request.body.end());
    Reply reply;
    std::string outcome;
    std::string reason;
    if (!replyPath_) {
        outcome = "404, no experiments given";
    } else if (const auto response = loadExperiments(*replyPath_, &reason); !response) {
        reply.status = 500;
        reply.body = reason + '\n';
        outcome = "500, " + reason;
    } else if (const auto packed = platform::rul_dataByGzippingData(*response); !packed) {
        reply.status = 500;
        outcome = "500, the reply cannot be compressed";
    } else {
        reply.status = 200;
        reply.body.assign(packed->begin(), packed->end());
        reply.contentType = "application/octet-stream";
        outcome = "200, " + describeExperimentsResponse(*response);
    }
    printer_.print(requestLine(request) + ": " + outcome + "\n  request " + describeExperimentsRequest(requestBytes) +
                   '\n');
    return reply;
}

}  // namespace tools::collector
