// The fetch: the request posted to the experiments service, the gzip reply and what the response brings.
#include <cstdint>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/experiments/task_manager.h"
#include "platform/dispatch/clock.h"
#include "platform/frameworks/utilities/gzip.h"

namespace measurement {

namespace {

using platform::Value;

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

double currentTime() { return platform::dispatch::currentClock()->now(); }

void log(int level, long code, const std::string& message, const Value& context = Value(),
         const Value& context2 = Value()) {
    APMEMonitor::shared().logWithLevel(level, code, message, context, context2);
}

// "ios de com.velmora.bernoulli 10000; clients doz_urerizarori (abcde-doz_urerizarori, 110100)".
std::string requestDescription(const APMPBExperimentRequest& request) {
    std::string text;
    if (const auto app = NANOGetMessage<APMPBAppProperty>(request, field(nano_APMPBExperimentRequest_app_property_tag))) {
        for (int tag : {nano_APMPBAppProperty_platform_tag, nano_APMPBAppProperty_language_tag,
                        nano_APMPBAppProperty_bundle_id_tag}) {
            if (auto value = NANOGetString(*app, field(tag))) text += *value + " ";
        }
        text += std::to_string(NANOGetInt64(*app, field(nano_APMPBAppProperty_library_version_tag)));
    }
    text += "; clients";
    for (const auto& client : NANOGetArray<APMPBClientProperty>(
             request, field(nano_APMPBExperimentRequest_client_properties_tag))) {
        text += " " + NANOGetString(client, field(nano_APMPBClientProperty_sdk_name_tag)).value_or("") + " (" +
                NANOGetString(client, field(nano_APMPBClientProperty_diversion_id_tag)).value_or("") + ", " +
                std::to_string(NANOGetInt64(client, field(nano_APMPBClientProperty_sdk_version_tag))) + ")";
    }
    return text;
}

Value snapshotsContext(const std::vector<APMESnapshot>& snapshots) {
    std::string text;
    for (const auto& snapshot : snapshots) text += (text.empty() ? "" : "; ") + snapshot.description();
    return Value(text);
}

// The Snapshot messages of a response: its list or, when that is empty, the
// SDK responses' snapshots named after their SDK response.
std::vector<APMPBSnapshot> snapshotMessages(const APMPBExperimentResponse& message) {
    auto snapshots = NANOGetArray<APMPBSnapshot>(message, field(nano_APMPBExperimentResponse_snapshots_tag));
    if (!snapshots.empty()) return snapshots;
    for (const auto& response : NANOGetArray<APMPBSdkResponse>(
             message, field(nano_APMPBExperimentResponse_sdk_responses_tag))) {
        auto snapshot = NANOGetMessage<APMPBSnapshot>(response, field(nano_APMPBSdkResponse_snapshot_tag));
        if (!snapshot) continue;
        const auto name = NANOGetString(response, field(nano_APMPBSdkResponse_sdk_name_tag));
        if (name && !name->empty()) NANOSetString(*snapshot, field(nano_APMPBSnapshot_sdk_name_tag), name);
        snapshots.push_back(std::move(*snapshot));
    }
    return snapshots;
}

// "<sdk> [id, ...]" for each snapshot a response carries, as it came.
Value responseContext(const std::optional<APMPBExperimentResponse>& message) {
    if (!message) return Value();
    std::string text;
    for (const auto& snapshot : snapshotMessages(*message)) {
        text += (text.empty() ? "" : "; ") +
                NANOGetString(snapshot, field(nano_APMPBSnapshot_sdk_name_tag)).value_or("(no name)") + " [";
        bool first = true;
        for (const auto& experiment :
             NANOGetArray<APMPBExperiment>(snapshot, field(nano_APMPBSnapshot_experiments_tag))) {
            text += (first ? "" : ", ") +
                    std::to_string(NANOGetInt32(experiment, field(nano_APMPBExperiment_experiment_id_tag)));
            first = false;
        }
        text += "]";
    }
    return Value(text);
}

// The per-SDK error code of a status: the complement of 1 to 3, -1 above.
long errorCodeOfStatus(std::uint32_t status) { return status <= 3 ? ~static_cast<long>(status) : -1; }

}  // namespace

void APMETaskManager::fetchExperiments() {
    const std::string url = APMEExperimentsFetchURL();
    // Without an address there is nothing to ask, and no request failed: said
    // once, plainly, as the uploader says it, and no fetch is scheduled again,
    // since the address is read where the process starts.
    if (url.empty()) {
        if (!missingAddressLogged_) {
            missingAddressLogged_ = true;
            APMEMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMENoServiceAddressCode,
                                               "No experiments service address is configured. Experiments will not "
                                               "be fetched");
        }
        return;
    }
    const auto request = requestBuilder_->request();
    log(kAPMMonitorLevelVerbose, kAPMEFetchingCode, "Fetching new experiments. Request",
        Value(requestDescription(request)));
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    network_->postURL(url, request.protoBuffer(), workerQueue_,
                      [weak](const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& body,
                             const std::optional<platform::RULError>& error) {
                          if (auto self = weak.lock()) self->handleReply(response, body, error);
                      });
}

void APMETaskManager::handleReply(const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& body,
                                  const std::optional<platform::RULError>& error) {
    if (cleared_) {
        log(kAPMMonitorLevelVerbose, kAPMEReplyAfterClearCode,
            "Experiments were cleared while fetching. The reply is dropped. Code", Value(response.statusCode));
        return;
    }
    std::optional<NANOBytes> data;
    if (!body.empty()) {
        platform::RULError inflateError;
        data = platform::rul_dataByInflatingGzippedData(body, &inflateError);
        if (!data) {
            log(kAPMMonitorLevelSilentError, kAPMEInflateFailedCode, "Cannot inflate downloaded experiment data. Error",
                Value(inflateError.description()));
        }
    }
    handleFetchingExperimentsResponse(&response, data, error);
}

void APMETaskManager::handleFetchingExperimentsResponse(const platform::HTTPURLResponse* response,
                                                        const std::optional<NANOBytes>& data,
                                                        const std::optional<platform::RULError>& error) {
    const int status = response ? response->statusCode : 0;
    const double now = currentTime();
    if (status != platform::kRULNetworkHTTPStatusOK && status != platform::kRULNetworkHTTPStatusNoContent) {
        persistedStorage_.setDouble(now, kAPMEFetchFailureTimestampKey);
        if (status == platform::kRULNetworkHTTPStatusCodeUnavailable ||
            status == platform::kRULNetworkHTTPStatusCodeCannotAcceptTraffic) {
            persistedStorage_.setDouble(now, kAPMEFetchBackoffTimestampKey);
        }
        log(kAPMMonitorLevelError, kAPMEFetchFailedCode, "Network fetch failed. Will retry later. Code, error",
            Value(status), error ? Value(error->description()) : Value());
        scheduleFetchingExperimentsOnWorkerQueue();
        tellFetchEnded(error ? "the request failed: " + error->message
                             : "the service answered " + std::to_string(status));
        return;
    }
    const auto message = data ? APMPBExperimentResponse::initWithBuffer(*data)
                              : std::optional<APMPBExperimentResponse>(APMPBExperimentResponse());
    log(kAPMMonitorLevelVerbose, kAPMEFetchSucceededCode, "Successful fetch. Got network response. Code, data",
        Value(status), responseContext(message));
    recordFetchSuccess(now);
    const auto* received = message ? &*message : nullptr;
    auto snapshots = experimentSnapshotsFromExperimentResponse(received).value_or(std::vector<APMESnapshot>{});
    auto errors = errorsFromExperimentResponse(received).value_or(APMEFetchErrors{});
    if (!snapshots.empty()) {
        std::optional<APMError> upsertError;
        if (!database_ || !database_->upsertPendingExperimentSnapshots(snapshots, &upsertError)) {
            log(kAPMMonitorLevelError, kAPMEUpsertFetchedFailedCode, "Cannot upsert pending snapshots. Error, snapshots",
                upsertError ? upsertError->asContext() : Value(), snapshotsContext(snapshots));
        }
    }
    if (auto delegate = this->delegate()) delegate->taskManager(*this, std::move(snapshots), std::move(errors));
    scheduleFetchingExperimentsOnWorkerQueue();
    tellFetchEnded(std::nullopt);
}

std::optional<std::vector<APMESnapshot>> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse* message) {
    if (!message) {
        log(kAPMMonitorLevelSilentError, kAPMENilResponseCode, "Cannot create experiment snapshots from nil response");
        return std::nullopt;
    }
    std::vector<APMESnapshot> snapshots;
    for (const auto& entry : snapshotMessages(*message)) {
        if (auto snapshot = APMESnapshot::initWithProtobuf(entry)) {
            snapshots.push_back(std::move(*snapshot));
        } else {
            log(kAPMMonitorLevelSilentError, kAPMESnapshotFromProtoFailedCode, "Cannot create a snapshot from the proto");
        }
    }
    return snapshots;
}

std::optional<APMEFetchErrors> APMETaskManager::errorsFromExperimentResponse(const APMPBExperimentResponse* message) {
    if (!message) return std::nullopt;
    APMEFetchErrors errors;
    for (const auto& response : NANOGetArray<APMPBSdkResponse>(
             *message, field(nano_APMPBExperimentResponse_sdk_responses_tag))) {
        if (!NANOHasField(response, field(nano_APMPBSdkResponse_status_tag))) continue;
        const auto status = static_cast<std::uint32_t>(NANOGetInt32(response, field(nano_APMPBSdkResponse_status_tag)));
        const auto name = NANOGetString(response, field(nano_APMPBSdkResponse_sdk_name_tag));
        if (status == 0 || !name || name->empty()) continue;
        errors.insert_or_assign(*name, APMError(kAPMEErrorDomain, errorCodeOfStatus(status)));
    }
    return errors;
}

std::optional<std::vector<APMESnapshot>> APMETaskManager::experimentSnapshotsFromData(const NANOBytes& data) {
    if (data.empty()) {
        log(kAPMMonitorLevelSilentError, kAPMEEmptyResponseDataCode, "Cannot create experiment snapshots from empty data");
        return std::nullopt;
    }
    const auto message = APMPBExperimentResponse::initWithBuffer(data);
    return experimentSnapshotsFromExperimentResponse(message ? &*message : nullptr);
}

}  // namespace measurement
