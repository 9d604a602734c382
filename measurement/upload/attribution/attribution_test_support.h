#pragma once

// The campaign links over a test identity, with an engine of their own
// that records what they store and sends requests over the loopback
// network.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "measurement/upload/attribution/deep_links.h"
#include "measurement/upload/identity/identity_test_support.h"
#include "platform/foundation/user_defaults.h"

namespace attribution_test {

using namespace measurement;

// Records the events and user properties handed to it; its worker queue is
// a manual one of the test's time.
struct RecordingHost : APMDeepLinkHost {
    std::shared_ptr<platform::dispatch::Queue> queue = platform::dispatch::makeSerialQueue("worker");
    std::function<std::shared_ptr<APMRemoteConfig>()> config;
    std::vector<APMEvent> events;
    std::vector<APMUserAttribute> properties;
    std::unique_ptr<platform::RULNetwork> net =
        std::make_unique<platform::RULNetwork>("127.0.0.1", nullptr, nullptr, queue);
    std::atomic<bool> pending{false};
    int scheduleUpdates = 0;
    std::vector<std::string> blockIDs;

    std::shared_ptr<platform::dispatch::Queue> workerQueue() const override { return queue; }
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override {
        blockIDs.push_back(blockID);
        queue->async(std::move(block));
    }
    std::shared_ptr<APMRemoteConfig> remoteConfig() const override { return config(); }
    void handleInternalEventOnWorkerQueue(const APMEvent& event) override { events.push_back(event); }
    bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) override {
        properties.push_back(attribute);
        return true;
    }
    platform::RULNetwork& network() override { return *net; }
    void setIsNetworkRequestPending(bool value) override { pending = value; }
    bool shouldUseBackgroundSession() const override { return false; }
    void updateSchedule() override { ++scheduleUpdates; }
};

// The main bundle with deferred deep links switched on.
identity_test::BundleFiles deferredLinkBundle();

class LinksFixture : public identity_test::IdentityFixture {
public:
    explicit LinksFixture(identity_test::BundleFiles files = {});
    ~LinksFixture();

    // The links over the identity made now.
    APMDeepLinks& links();
    // Runs the links' call on the worker queue and everything it queues.
    void onWorker(const std::function<void(APMDeepLinks&)>& call);
    // Waits (real time, at most the limit) until a network completion has
    // reached the worker queue or no request is pending, then runs every
    // queue; false when the limit passed first.
    bool completeRequest(double timeoutSeconds);

    std::shared_ptr<RecordingHost> host = std::make_shared<RecordingHost>();
    std::vector<std::pair<std::string, platform::Value::Dictionary>> delegateRequests;
    bool delegateTakes = true;

private:
    platform::ScopedDataDirectory preferences_;
    std::shared_ptr<APMDeepLinks> links_;
};

}  // namespace attribution_test
