// Answering conversion-value requests posted to /skan with the reply a file describes.
#include "tools/collector/skan_endpoint.h"

#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>

#include "measurement/foundation/messages.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/json_codec.h"
#include "platform/frameworks/utilities/gzip.h"
#include "tools/collector/printable_text.h"
#include "tools/collector/time_format.h"

namespace tools::collector {

namespace {

using Request = measurement::APMPBSkAdNetworkConversionValueRequest;
using Response = measurement::APMPBSkAdNetworkConversionValueResponse;

int requestField(pb_size_t tag) { return measurement::NANOFieldIndexForTag<Request>(tag); }
int responseField(pb_size_t tag) { return measurement::NANOFieldIndexForTag<Response>(tag); }

const std::set<std::string> kKeys = {
    "status",        "label",        "fine_value",         "coarse_value",           "lock_window",
    "result_time_millis", "event_time_millis", "update_backoff_millis", "result_valid_seconds",
    "event_time_from_request", "http_status", "gzip"};

// An integer member within the bounds; none when absent, false when it is
// there but will not do.
bool readInteger(const platform::Value& description, const std::string& key, std::int64_t minimum,
                 std::int64_t maximum, std::optional<std::int64_t>& out, std::string* reason) {
    const auto* value = description.find(key);
    if (!value) return true;
    const bool integral = value->isInt() || (value->isReal() && std::floor(value->realValue()) == value->realValue());
    if (!integral || value->intValue() < minimum || value->intValue() > maximum) {
        *reason = "\"" + key + "\" must be a whole number from " + std::to_string(minimum) + " to " +
                  std::to_string(maximum);
        return false;
    }
    out = value->intValue();
    return true;
}

bool readBool(const platform::Value& description, const std::string& key, std::optional<bool>& out,
              std::string* reason) {
    const auto* value = description.find(key);
    if (!value) return true;
    if (!value->isBool()) {
        *reason = "\"" + key + "\" must be true or false";
        return false;
    }
    out = value->boolValue();
    return true;
}

// The reply's fields as the file gives them.
struct Fields {
    std::optional<std::int64_t> status, fine, coarse, resultTime, eventTime, backoff, validSeconds, httpStatus;
    std::optional<bool> lock, eventFromRequest, gzip;
    std::optional<std::string> label;
};

bool readFields(const platform::Value& description, Fields& f, std::string* reason) {
    if (!description.isDictionary()) {
        *reason = "the reply must be a JSON object";
        return false;
    }
    for (const auto& [key, value] : description.asDictionary()) {
        if (!kKeys.count(key)) {
            *reason = "unknown key \"" + key + "\"";
            return false;
        }
    }
    constexpr auto int32Min = std::numeric_limits<std::int32_t>::min();
    constexpr auto int32Max = std::numeric_limits<std::int32_t>::max();
    constexpr auto uint32Max = static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max());
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    if (const auto* label = description.find("label")) {
        if (!label->isString()) {
            *reason = "\"label\" must be a string";
            return false;
        }
        f.label = label->asString();
    }
    return readInteger(description, "status", int32Min, int32Max, f.status, reason) &&
           readInteger(description, "fine_value", 0, uint32Max, f.fine, reason) &&
           readInteger(description, "coarse_value", int32Min, int32Max, f.coarse, reason) &&
           readInteger(description, "result_time_millis", 0, int64Max, f.resultTime, reason) &&
           readInteger(description, "event_time_millis", 0, int64Max, f.eventTime, reason) &&
           readInteger(description, "update_backoff_millis", 0, int64Max, f.backoff, reason) &&
           readInteger(description, "result_valid_seconds", -315360000, 315360000, f.validSeconds, reason) &&
           readInteger(description, "http_status", 200, 599, f.httpStatus, reason) &&
           readBool(description, "lock_window", f.lock, reason) &&
           readBool(description, "event_time_from_request", f.eventFromRequest, reason) &&
           readBool(description, "gzip", f.gzip, reason);
}

std::string bodyOf(const Fields& f, const SKANRequestSummary& request, std::int64_t nowMillis) {
    Response message;
    using namespace measurement;
    if (f.status) NANOSetInt32(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_status_tag),
                               static_cast<std::int32_t>(*f.status));
    if (f.label) NANOSetString(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_label_tag), *f.label);
    if (f.fine) {
        NANOSetInt32(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_fine_value_tag),
                     static_cast<std::int32_t>(static_cast<std::uint32_t>(*f.fine)));
    }
    if (f.coarse) {
        NANOSetInt32(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_coarse_value_tag),
                     static_cast<std::int32_t>(*f.coarse));
    }
    if (f.lock) NANOSetBool(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_lock_window_tag), *f.lock);
    std::optional<std::int64_t> resultTime = f.resultTime;
    if (f.validSeconds) resultTime = nowMillis + *f.validSeconds * 1000;
    if (resultTime) {
        NANOSetInt64(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_result_time_millis_tag),
                     *resultTime);
    }
    std::optional<std::int64_t> eventTime = f.eventTime;
    if (f.eventFromRequest.value_or(false)) eventTime = request.lastUploadedEventTimeMillis;
    if (eventTime) {
        NANOSetInt64(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_event_time_millis_tag),
                     *eventTime);
    }
    if (f.backoff) {
        NANOSetInt64(message, responseField(nano_APMPBSkAdNetworkConversionValueResponse_update_backoff_millis_tag),
                     *f.backoff);
    }
    const auto bytes = message.protoBuffer();
    return std::string(bytes.begin(), bytes.end());
}

Reply textReply(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

std::string timeText(std::int64_t millis) {
    if (millis == 0) return "none";
    return isoTimeFromMillis(millis).value_or(std::to_string(millis));
}

// What the printed line says of the reply.
std::string replySummary(const Fields& f) {
    std::string summary;
    auto add = [&summary](const std::string& part) { summary += (summary.empty() ? "" : ", ") + part; };
    add(f.status ? "status " + std::to_string(*f.status) : "no status");
    if (f.label) add("label " + *f.label);
    if (f.fine) add("fine " + std::to_string(*f.fine));
    if (f.coarse) add("coarse " + std::to_string(*f.coarse));
    if (f.lock.value_or(false)) add("lock");
    if (f.gzip.value_or(false)) add("gzip");
    return summary;
}

std::string requestDetails(const SKANRequestSummary& r) {
    return "  app " + printable(r.appID) + ", instance " +
           (r.appInstanceID.empty() ? "none" : printable(r.appInstanceID)) + ", library " +
           std::to_string(r.libraryVersion) + ", version " + printable(r.skanVersion) + "\n  evaluated up to " +
           timeText(r.evaluationEventTimeMillis) + ", uploaded up to " + timeText(r.lastUploadedEventTimeMillis) + '\n';
}

}  // namespace

SKANEndpoint::SKANEndpoint(const std::optional<std::filesystem::path>& replyPath, Printer& printer)
    : replyPath_(replyPath), printer_(printer) {}

void SKANEndpoint::checkReadable(const std::filesystem::path& path) {
    const auto text = platform::readFile(path);
    if (!text) throw std::invalid_argument(path.string() + ": cannot be read");
    std::string error;
    const auto description = platform::parseJSON(*text, &error);
    if (!description) throw std::invalid_argument(path.string() + ": not JSON: " + error);
    Fields fields;
    if (!readFields(*description, fields, &error)) throw std::invalid_argument(path.string() + ": " + error);
}

std::optional<SKANRequestSummary> SKANEndpoint::decodeRequest(const std::string& body) {
    using namespace measurement;
    const auto message = Request::initWithBuffer(body);
    if (!message) return std::nullopt;
    SKANRequestSummary summary;
    summary.libraryVersion =
        NANOGetInt64(*message, requestField(nano_APMPBSkAdNetworkConversionValueRequest_library_version_tag));
    summary.appID =
        NANOGetString(*message, requestField(nano_APMPBSkAdNetworkConversionValueRequest_app_id_tag)).value_or("");
    summary.appInstanceID =
        NANOGetString(*message, requestField(nano_APMPBSkAdNetworkConversionValueRequest_app_instance_id_tag))
            .value_or("");
    summary.skanVersion =
        NANOGetString(*message, requestField(nano_APMPBSkAdNetworkConversionValueRequest_skan_version_tag)).value_or("");
    summary.evaluationEventTimeMillis = NANOGetInt64(
        *message, requestField(nano_APMPBSkAdNetworkConversionValueRequest_evaluation_event_time_millis_tag));
    summary.lastUploadedEventTimeMillis = NANOGetInt64(
        *message, requestField(nano_APMPBSkAdNetworkConversionValueRequest_last_uploaded_event_time_millis_tag));
    return summary;
}

std::optional<Reply> SKANEndpoint::replyFor(const platform::Value& description, const SKANRequestSummary& request,
                                            std::int64_t nowMillis, std::string* reason) {
    Fields fields;
    if (!readFields(description, fields, reason)) return std::nullopt;
    Reply reply;
    reply.status = static_cast<int>(fields.httpStatus.value_or(200));
    reply.contentType = "application/x-protobuf";
    reply.body = bodyOf(fields, request, nowMillis);
    if (fields.gzip.value_or(false)) {
        const auto gzipped = platform::rul_dataByGzippingData(std::vector<std::uint8_t>(reply.body.begin(), reply.body.end()));
        if (!gzipped) {
            *reason = "the reply could not be compressed";
            return std::nullopt;
        }
        reply.body.assign(gzipped->begin(), gzipped->end());
        reply.headers.emplace("Content-Encoding", "gzip");
    }
    return reply;
}

Reply SKANEndpoint::handle(const Exchange& request) {
    const auto summary = decodeRequest(request.body);
    if (!summary) {
        printer_.print(requestLine(request) + ": 400, not a conversion-value request\n");
        return textReply(400, "not a conversion-value request\n");
    }
    const std::string details = requestDetails(*summary);
    if (!replyPath_) {
        printer_.print(requestLine(request) + ": 404, no conversion-value reply given\n" + details);
        return Reply{};
    }
    std::string reason;
    std::optional<platform::Value> description;
    if (const auto text = platform::readFile(*replyPath_)) {
        description = platform::parseJSON(*text, &reason);
    } else {
        reason = "cannot be read";
    }
    const auto nowMillis = static_cast<std::int64_t>(platform::dispatch::currentClock()->now() * 1000);
    std::optional<Reply> reply;
    if (description) reply = replyFor(*description, *summary, nowMillis, &reason);
    if (!reply) {
        printer_.print(requestLine(request) + ": 500, " + replyPath_->string() + ": " + reason + '\n' + details);
        return textReply(500, replyPath_->string() + ": " + reason + '\n');
    }
    Fields fields;
    readFields(*description, fields, &reason);
    printer_.print(requestLine(request) + ": " + std::to_string(reply->status) + ", " + replySummary(fields) + '\n' +
                   details);
    return *reply;
}

}  // namespace tools::collector
