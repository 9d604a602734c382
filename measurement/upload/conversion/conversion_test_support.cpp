// The conversion test fixture: real database, manual time and a loopback service.
#include "measurement/upload/conversion/conversion_test_support.h"

#include <doctest/doctest.h>

#include <chrono>
#include <thread>

#include "measurement/foundation/scheduler.h"
#include "measurement/store/database_config_storage.h"

namespace conversion_test {

HostStandIn::HostStandIn(std::shared_ptr<platform::dispatch::Queue> worker,
                         std::shared_ptr<platform::RULNetwork> network, std::shared_ptr<APMRemoteConfig> config,
                         std::shared_ptr<APMDatabase> database)
    : worker_(std::move(worker)), network_(std::move(network)), config_(std::move(config)),
      database_(std::move(database)) {}

// Recorded on the worker queue: the platform's answer comes from a thread
// of its own.
void HostStandIn::scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) {
    worker_->async([this, blockID, block = std::move(block)] {
        blockIDs.push_back(blockID);
        block();
    });
}

bool HostStandIn::isNetworkReadyForRequest() { return !pending_ && !uploading && !network_->hasUploadInProgress(); }

void HostStandIn::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
    attributes.push_back(attribute);
    REQUIRE(database_->updateUserAttribute(attribute, nullptr));
}

ConversionFixture::ConversionFixture(bool manualQueues)
    : time(manualQueues),
      worker(platform::dispatch::makeSerialQueue("conversion-test-worker")),
      network(std::make_shared<platform::RULNetwork>("127.0.0.1", nullptr, reachability, worker)) {
    // Its blocks run on the test's thread, as the engine's worker queue does
    // in engine tests.
    APMScheduler::registerBackgroundQueue(worker);
    onWorkerOnly([this] {
        std::optional<APMError> error;
        database = APMDatabase::makeWithPath((folder.path() / "measurement.sql").string(), &error);
        REQUIRE(database);
        persisted = std::make_shared<APMPersistedConfig>(folder.path() / "settings.plist");
        remoteConfig = std::make_shared<APMRemoteConfig>(std::make_shared<APMDatabaseConfigStorage>(database),
                                                         config_test::testEnvironment(server.url("")));
    });
    host = std::make_shared<HostStandIn>(worker, network, remoteConfig, database);
    host->created = time.now();
}

ConversionFixture::~ConversionFixture() { time.drain(); }

APMConversionInputs ConversionFixture::inputs() const {
    APMConversionInputs inputs;
    inputs.host = host;
    inputs.identity = identity;
    inputs.persistedConfig = persisted;
    inputs.database = database;
    return inputs;
}

void ConversionFixture::onWorker(const std::function<void()>& block) {
    worker->async(block);
    time.settle();
}

void ConversionFixture::configure(config_test::ConfigBuilder builder) {
    remoteConfig->parseRemoteConfigFromMeasurementConfig(builder.config());
}

bool ConversionFixture::completeRequest(double timeoutSeconds) {
    auto* manual = dynamic_cast<platform::dispatch::ManualQueue*>(worker.get());
    REQUIRE(manual);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (manual->pendingCount() == 0) {
        if (!host->isNetworkRequestPending()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    time.settle();
    return true;
}

void ConversionFixture::onWorkerOnly(const std::function<void()>& block) { worker->sync(block); }

std::optional<APMUserAttribute> ConversionFixture::property(const std::string& name) {
    std::optional<APMUserAttribute> found;
    onWorkerOnly([&] { found = database->userAttributeWithName(name, nullptr); });
    return found;
}

void ConversionFixture::storeProperty(const std::string& name, APMValue value, double setTime) {
    bool stored = false;
    onWorkerOnly([&] {
        stored = database->updateUserAttribute(APMUserAttribute("auto", name, std::move(value), setTime), nullptr);
    });
    REQUIRE(stored);
}

std::vector<testsupport::RecordedRequest> ConversionFixture::requestsTo(const std::string& path) const {
    std::vector<testsupport::RecordedRequest> matching;
    for (const auto& request : server.requests()) {
        if (request.path == path) matching.push_back(request);
    }
    return matching;
}

testsupport::ScriptedResponse reply(int status, const std::string& body, const testsupport::HeaderList& headers) {
    testsupport::ScriptedResponse response;
    response.status = status;
    response.body = body;
    response.headers = headers;
    return response;
}

std::vector<std::uint8_t> bytesOfHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (char c : hex) {
        if (c != ' ') digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace conversion_test
