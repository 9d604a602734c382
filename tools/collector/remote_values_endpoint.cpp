// Answering GET /remote-values with the document of a file.
#include "tools/collector/remote_values_endpoint.h"

#include <stdexcept>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/remote_config/remote_values_document.h"

namespace tools::collector {

RemoteValuesEndpoint::RemoteValuesEndpoint(const std::optional<std::filesystem::path>& path, Printer& printer)
    : path_(path), printer_(printer) {}

void RemoteValuesEndpoint::checkReadable(const std::filesystem::path& path) {
    const auto text = platform::readFile(path);
    if (!text) throw std::invalid_argument(path.string() + ": cannot be read");
    std::string reason;
    if (!platform::parseRemoteValuesDocument(*text, &reason)) {
        throw std::invalid_argument(path.string() + ": no remote-configuration document ({\"entries\": {...}}): " +
                                    reason);
    }
}

Reply RemoteValuesEndpoint::handle(const Exchange& request) {
    Reply reply;
    std::string outcome;
    if (!path_) {
        outcome = "404, no remote values given";
    } else if (const auto text = platform::readFile(*path_); !text) {
        reply.status = 500;
        reply.body = path_->string() + ": cannot be read\n";
        outcome = "500, " + path_->string() + " cannot be read";
    } else {
        reply.status = 200;
        reply.body = *text;
        reply.contentType = "application/json";
        std::string reason;
        const auto values = platform::parseRemoteValuesDocument(*text, &reason);
        outcome = "200, " + (values ? std::to_string(values->size()) + " entries"
                                    : "not a remote-configuration document (" + reason + ")");
    }
    printer_.print(requestLine(request) + ": " + outcome + '\n');
    return reply;
}

}  // namespace tools::collector
