// The manual-time fixture and scripted service of the experiments tests.
#include "measurement/experiments/experiments_test_support.h"

#include <doctest/doctest.h>

#include "measurement/experiments/flag_values.h"
#include "platform/frameworks/utilities/gzip.h"

namespace measurement::experiments_test {

namespace {
constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }
}  // namespace

void ScriptedService::postURL(const std::string& url, NANOBytes payload,
                              std::shared_ptr<platform::dispatch::Queue> queue,
                              platform::RULNetworkCompletionHandler completionHandler) {
    requests.push_back({url, std::move(payload), platform::dispatch::currentClock()->now()});
    platform::HTTPURLResponse response;
    std::vector<std::uint8_t> body;
    std::optional<platform::RULError> error;
    if (script.empty()) {
        error = platform::RULError{platform::kRULNetworkErrorDomain, 2, "cannot connect"};
    } else {
        response.statusCode = script.front().status;
        body = script.front().body;
        script.pop_front();
    }
    auto reply = [queue, completionHandler, response, body, error] {
        queue->async([completionHandler, response, body, error] { completionHandler(response, body, error); });
    };
    if (holdReplies) {
        heldReplies.push_back(reply);
    } else {
        reply();
    }
}

void ScriptedService::releaseReplies() {
    auto replies = std::move(heldReplies);
    heldReplies.clear();
    for (const auto& reply : replies) reply();
}

NANOBytes gzipped(const NANOBytes& bytes) {
    auto packed = platform::rul_dataByGzippingData(bytes);
    REQUIRE(packed);
    return *packed;
}

APMPBFlag flag(const std::string& name, const platform::Value& value) {
    auto made = flagMessageWithNameValue(platform::Value(name), value);
    REQUIRE(made);
    return *made;
}

APMPBExperiment experimentMessage(std::int32_t id, const std::vector<APMPBFlag>& flags) {
    APMPBExperiment message;
    NANOSetInt32(message, field(nano_APMPBExperiment_experiment_id_tag), id);
    NANOSetArray(message, field(nano_APMPBExperiment_flags_tag), flags);
    return message;
}

APMPBSnapshot snapshotMessage(const std::string& sdkName, const std::vector<APMPBExperiment>& experiments) {
    APMPBSnapshot message;
    NANOSetString(message, field(nano_APMPBSnapshot_sdk_name_tag), sdkName);
    NANOSetArray(message, field(nano_APMPBSnapshot_experiments_tag), experiments);
    return message;
}

ScriptedService::Answer okReply(const std::vector<APMPBSnapshot>& snapshots) {
    APMPBExperimentResponse response;
    NANOSetArray(response, field(nano_APMPBExperimentResponse_snapshots_tag), snapshots);
    return {200, gzipped(response.protoBuffer())};
}

APMESnapshot snapshot(const std::string& sdkName, const std::vector<APMPBExperiment>& experiments) {
    auto made = APMESnapshot::initWithProtobuf(snapshotMessage(sdkName, experiments));
    REQUIRE(made);
    return *made;
}

void RecordingObserver::clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) {
    newSnapshots.push_back(client->SDKName());
}

void RecordingObserver::client(const std::shared_ptr<APMEClient>& client, const APMError& error) {
    fetchErrors.emplace_back(client->SDKName(), error.code());
}

bool RecordingObserver::shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) {
    ++fetchQuestions;
    return allowsFetches;
}

ExperimentsFixture::ExperimentsFixture() : databasePath((dir / "experiments.sql").string()) {}

ExperimentsFixture::~ExperimentsFixture() { stop(); }

void ExperimentsFixture::launch(bool start) {
    stop();
    auto queue = platform::dispatch::makeSerialQueue("APMExperimentWorkerQueue");
    builder = std::make_shared<APMEExperimentRequestBuilder>();
    builder->setIdentityDiversionKeyProvider([] { return std::optional<std::string>("abcde"); });
    taskManager = std::make_shared<APMETaskManager>(queue, std::make_unique<APMAlarm>(queue, "APMExperimentAlarm"),
                                                    service, APMUserDefaults(kAPMEExperimentSuiteName), databasePath,
                                                    time.now(), builder);
    manager = APMEManager::initWithTaskManager(taskManager);
    if (start) {
        taskManager->startTaskManager();
        settle();
    }
}

void ExperimentsFixture::stop() {
    settle();
    clients.clear();
    manager.reset();
    taskManager.reset();
    settle();
}

std::shared_ptr<APMEClient> ExperimentsFixture::registerSDK(const std::string& sdkName,
                                                            const platform::Value::Dictionary& defaults,
                                                            std::optional<std::string> diversionKey) {
    auto property = APMESDKProperty::initWithName(platform::Value(sdkName));
    REQUIRE(property);
    property->setVersion(110100);
    property->setDiversionKey(std::move(diversionKey));
    auto client = manager->registerSDKProperty(property, defaults);
    if (client) {
        client->setDelegate(observer);
        clients.push_back(client);
    }
    settle();
    return client;
}

std::vector<APMESnapshot> ExperimentsFixture::stored(const std::string& table) {
    auto database = APMEDatabase::initWithPath(databasePath);
    REQUIRE(database);
    auto rows = table == kAPMEPendingSnapshotTable     ? database->fetchAllPendingSnapshots(nullptr)
                : table == kAPMEActivatedSnapshotTable ? database->fetchAllActivatedSnapshots(nullptr)
                                                       : database->fetchAllLaunchedSnapshots(nullptr);
    REQUIRE(rows);
    return *rows;
}

double ExperimentsFixture::timestamp(const std::string& key) const {
    return APMUserDefaults(kAPMEExperimentSuiteName).doubleForKey(key);
}

std::vector<double> ExperimentsFixture::requestTimes() const {
    std::vector<double> times;
    for (const auto& request : service->requests) times.push_back(request.time - kStart);
    return times;
}

std::vector<std::int64_t> ids(std::initializer_list<std::int64_t> list) { return list; }

}  // namespace measurement::experiments_test
