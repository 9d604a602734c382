#pragma once

// The two conversion components on a temporary data folder for tests:
// manual time and queues, a real measurement database and persisted
// settings, a server configuration pointed at a loopback service, and an
// engine stand-in that records what the components write.

#include <doctest/doctest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/config_test_support.h"
#include "measurement/upload/conversion/conversion_host.h"
#include "platform/dispatch/timer.h"
#include "testsupport/loopback_server.h"
#include "testsupport/temp_dir.h"

namespace conversion_test {

using namespace measurement;

inline constexpr const char* kBundleID = "com.velmora.bernoulli";
inline constexpr const char* kInstanceID = "0A1B2C3D4E5F60718293A4B5C6D7E8F9";
inline constexpr std::int64_t kLibraryVersion = 110100;

// The engine around the components.
class HostStandIn : public APMConversionHost {
public:
    HostStandIn(std::shared_ptr<platform::dispatch::Queue> worker, std::shared_ptr<platform::RULNetwork> network,
                std::shared_ptr<APMRemoteConfig> config, std::shared_ptr<APMDatabase> database);

    std::shared_ptr<platform::dispatch::Queue> workerQueue() const override { return worker_; }
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override;
    std::shared_ptr<APMRemoteConfig> remoteConfig() const override { return config_; }
    platform::RULNetwork& network() override { return *network_; }
    bool isNetworkReadyForRequest() override;
    void setIsNetworkRequestPending(bool pending) override { pending_ = pending; }
    bool shouldUseBackgroundSession() const override { return backgroundSession; }
    void updateSchedule() override { ++scheduleUpdates; }
    double initTimestamp() const override { return created; }
    // Stored as the engine would store them.
    void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) override;
    void writeEventOnWorkerQueue(const APMEvent& event) override { writtenEvents.push_back(event); }
    void handleInternalEventOnWorkerQueue(const APMEvent& event) override { internalEvents.push_back(event); }

    bool isNetworkRequestPending() const { return pending_; }

    // An upload of the engine is under way: no request may start.
    bool uploading = false;
    bool backgroundSession = false;
    double created = 0;
    int scheduleUpdates = 0;
    std::vector<std::string> blockIDs;
    std::vector<APMUserAttribute> attributes;
    std::vector<APMEvent> writtenEvents;
    std::vector<APMEvent> internalEvents;

private:
    std::shared_ptr<platform::dispatch::Queue> worker_;
    std::shared_ptr<platform::RULNetwork> network_;
    std::shared_ptr<APMRemoteConfig> config_;
    std::shared_ptr<APMDatabase> database_;
    bool pending_ = false;
};

struct IdentityStandIn : APMConversionIdentity {
    std::optional<std::string> instanceID = std::string(kInstanceID);
    std::string appID() const override { return kBundleID; }
    std::optional<std::string> appInstanceID() const override { return instanceID; }
    std::int64_t libraryVersion() const override { return kLibraryVersion; }
};

class ConversionFixture {
public:
    // With real queues (manualQueues false) the worker queue and the
    // platform's queues run on threads of their own; the clock and timers
    // stay manual.
    explicit ConversionFixture(bool manualQueues = true);
    ~ConversionFixture();
    ConversionFixture(const ConversionFixture&) = delete;
    ConversionFixture& operator=(const ConversionFixture&) = delete;

    APMConversionInputs inputs() const;
    // Runs the block on the worker queue and settles.
    void onWorker(const std::function<void()>& block);
    // Runs the block on the worker queue and waits for it (with manual
    // queues, after draining that queue alone: no timer fires, no other
    // queue runs).
    void onWorkerOnly(const std::function<void()>& block);
    // Takes these server settings (and nothing else beyond the defaults).
    void configure(config_test::ConfigBuilder builder);
    // Waits (real time, bounded) for the request in flight to complete on
    // the worker queue, then settles. False when none came.
    bool completeRequest(double timeoutSeconds = 20);
    std::optional<APMUserAttribute> property(const std::string& name);
    void storeProperty(const std::string& name, APMValue value, double setTime);
    // The requests the service received on that path.
    std::vector<testsupport::RecordedRequest> requestsTo(const std::string& path) const;

    platform::dispatch::ManualTime time;
    testsupport::TempDir folder;
    testsupport::LoopbackServer server;
    APMMonitorCapture capture;
    std::shared_ptr<platform::Reachability> reachability = std::make_shared<platform::Reachability>(true);
    std::shared_ptr<platform::dispatch::Queue> worker;
    std::shared_ptr<platform::RULNetwork> network;
    std::shared_ptr<APMDatabase> database;
    std::shared_ptr<APMPersistedConfig> persisted;
    std::shared_ptr<APMRemoteConfig> remoteConfig;
    std::shared_ptr<HostStandIn> host;
    std::shared_ptr<IdentityStandIn> identity = std::make_shared<IdentityStandIn>();
};

// The service's answer.
testsupport::ScriptedResponse reply(int status, const std::string& body = {},
                                    const testsupport::HeaderList& headers = {});

// Bytes of a text of hexadecimal pairs, spaces between them allowed.
std::vector<std::uint8_t> bytesOfHex(const std::string& hex);

}  // namespace conversion_test

// Monitor codes as failures show them.
template <>
struct doctest::StringMaker<std::vector<long>> {
    static doctest::String convert(const std::vector<long>& codes) {
        std::string text = "{";
        for (long code : codes) text += (text.size() > 1 ? ", " : "") + std::to_string(code);
        return (text + "}").c_str();
    }
};
