// Answering the attribution token posted to /api/v1/ with the reply of a file.
#include "tools/collector/search_ad_endpoint.h"

#include <stdexcept>

#include "platform/foundation/bundle.h"
#include "platform/foundation/json_codec.h"
#include "tools/collector/printable_text.h"

namespace tools::collector {

namespace {

// What the printed line says of the reply.
std::string replySummary(const std::string& text) {
    const auto json = platform::parseJSON(text);
    if (!json) return "not JSON";
    if (!json->isDictionary()) return "not a JSON object";
    const auto& attribution = (*json)["attribution"];
    std::string summary = "attribution " + std::string(attribution.boolValue(false) ? "true" : "false");
    for (const char* key : {"campaignId", "adId", "keywordId"}) {
        const auto& value = (*json)[key];
        if (!value.isNull()) summary += std::string(", ") + key + " " + platform::writeJSON(value);
    }
    return summary;
}

}  // namespace

SearchAdEndpoint::SearchAdEndpoint(const std::optional<std::filesystem::path>& replyPath, Printer& printer)
    : replyPath_(replyPath), printer_(printer) {}

void SearchAdEndpoint::checkReadable(const std::filesystem::path& path) {
    const auto text = platform::readFile(path);
    if (!text) throw std::invalid_argument(path.string() + ": cannot be read");
    std::string error;
    const auto reply = platform::parseJSON(*text, &error);
    if (!reply) throw std::invalid_argument(path.string() + ": not JSON: " + error);
    if (!reply->isDictionary()) throw std::invalid_argument(path.string() + ": not a JSON object ({\"attribution\": ...})");
}

Reply SearchAdEndpoint::handle(const Exchange& request) {
    Reply reply;
    std::string outcome;
    const std::string& token = request.body;
    if (token.empty()) {
        reply.status = 400;
        reply.body = "no attribution token\n";
        outcome = "400, no attribution token";
    } else if (!replyPath_) {
        outcome = "404, no search-ad reply given";
    } else if (const auto text = platform::readFile(*replyPath_); !text) {
        reply.status = 500;
        reply.body = replyPath_->string() + ": cannot be read\n";
        outcome = "500, " + replyPath_->string() + " cannot be read";
    } else {
        reply.status = 200;
        reply.body = *text;
        reply.contentType = "application/json";
        outcome = "200, " + replySummary(*text);
    }
    std::string details;
    if (!token.empty()) details = "  token " + printable(token) + '\n';
    printer_.print(requestLine(request) + ": " + outcome + '\n' + details);
    return reply;
}

}  // namespace tools::collector
