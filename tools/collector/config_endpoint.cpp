// The collector's configuration endpoint with conditional GET.
#include <sstream>

#include "measurement/foundation/string_util.h"
#include "tools/collector/config_file.h"
#include "tools/collector/endpoints.h"
#include "tools/collector/printable_text.h"

namespace tools::collector {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// If-None-Match holds "*" or a list of entity tags; a GET compares them
// weakly, so a "W/" prefix does not matter.
bool entityTagListMatches(const std::string& list, const std::string& etag) {
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        item = trimmed(item);
        if (item.rfind("W/", 0) == 0) item.erase(0, 2);
        if (item == "*" || item == etag) return true;
    }
    return false;
}

std::optional<std::string> header(const Exchange& request, const char* name) {
    const auto found = request.headers.find(name);
    if (found == request.headers.end()) return std::nullopt;
    return found->second;
}

// If-None-Match decides when present; If-Modified-Since is then ignored.
// The engine sends back exactly the Last-Modified text it stored, so that
// text is compared as it stands.
bool notModified(const Exchange& request, const ServedConfig& config) {
    if (auto tags = header(request, "If-None-Match")) return entityTagListMatches(*tags, config.etag);
    if (auto since = header(request, "If-Modified-Since")) return trimmed(*since) == config.lastModified;
    return false;
}

std::string unescaped(const std::string& text) {
    return measurement::apm_stringByUnescapingFromURLArgument(text).value_or(text);
}

// The query items in the order sent, repeated names included.
std::string queryItemsText(const std::string& query) {
    std::string out;
    std::istringstream parts(query);
    for (std::string part; std::getline(parts, part, '&');) {
        if (part.empty()) continue;
        const auto equals = part.find('=');
        const std::string name = unescaped(part.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : unescaped(part.substr(equals + 1));
        out += "  query " + printable(name) + " = " + printable(value) + '\n';
    }
    return out;
}

std::string conditionsText(const Exchange& request) {
    std::string out;
    for (const char* name : {"If-None-Match", "If-Modified-Since"}) {
        if (auto value = header(request, name)) out += std::string("  ") + name + ": " + printable(*value) + '\n';
    }
    return out;
}

}  // namespace

ConfigEndpoint::ConfigEndpoint(const CollectorOptions& options, Printer& printer)
    : path_(options.configPath), appId_(options.appId), printer_(printer) {}

Reply ConfigEndpoint::handle(const Exchange& request, const std::string& appId) {
    const std::string details = queryItemsText(request.query) + conditionsText(request);
    Reply reply;
    std::string outcome;
    std::optional<ServedConfig> config;
    if (!path_) {
        outcome = "404, no configuration given";
    } else if (appId_ && appId != *appId_) {
        outcome = "404, the configuration is for " + *appId_;
    } else if (std::string reason; !(config = loadConfig(*path_, &reason))) {
        reply.status = 500;
        reply.body = reason + '\n';
        outcome = "500, " + reason;
    } else {
        reply.headers = {{"ETag", config->etag}, {"Last-Modified", config->lastModified}};
        reply.status = notModified(request, *config) ? 304 : 200;
        outcome = std::to_string(reply.status) + ", ETag " + config->etag;
        if (reply.status == 200) {
            reply.body.assign(config->body.begin(), config->body.end());
            reply.contentType = "application/x-protobuf";
            outcome += ", " + std::to_string(reply.body.size()) + " bytes";
        }
    }
    printer_.print(requestLine(request) + ": " + outcome + '\n' + details);
    return reply;
}

}  // namespace tools::collector
