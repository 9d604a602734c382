// The server configuration as an SDK of the experiments client: its registration and the delegate that passes the news on.
#include "measurement/experiments/experiments_manager.h"

namespace measurement {

namespace {

// The handle the server configuration keeps: the client itself, and the
// delegate (held weakly by the client) that tells the configuration of new
// snapshots and failed fetches and asks it about due fetches. It lives as
// long as the configuration keeps it.
class ConfigurationClient : public APMExperimentsClient, public APMEExperimentObserverDelegate {
public:
    ConfigurationClient(std::shared_ptr<APMEClient> client, std::weak_ptr<APMExperimentsClientDelegate> listener)
        : client_(std::move(client)), listener_(std::move(listener)) {}

    bool activateLatestSnapshot(APMErrorOut error) override { return client_->activateLatestSnapshot(error); }
    std::optional<platform::Value> objectForKeyedSubscript(const std::string& flagName) override {
        return client_->objectForKeyedSubscript(platform::Value(flagName));
    }

    // The configuration names no queue: its news come on the main queue.
    bool respondsToClientDidReceiveNewSnapshot() const override { return true; }
    void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) override {
        if (auto listener = listener_.lock()) listener->clientDidReceiveNewSnapshot();
    }
    bool respondsToClientDidReceiveFetchError() const override { return true; }
    void client(const std::shared_ptr<APMEClient>&, const APMError& error) override {
        if (auto listener = listener_.lock()) listener->clientDidReceiveFetchError(error);
    }
    bool respondsToShouldFetchExperimentsForClient() const override { return true; }
    bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) override {
        auto listener = listener_.lock();
        return listener && listener->shouldFetchExperimentsForClient();
    }

private:
    const std::shared_ptr<APMEClient> client_;
    const std::weak_ptr<APMExperimentsClientDelegate> listener_;
};

}  // namespace

std::shared_ptr<APMExperimentsClient> APMEManager::registerSDKProperty(
    const std::string& sdkName, std::int64_t sdkVersion, std::weak_ptr<APMExperimentsClientDelegate> delegate) {
    auto property = APMESDKProperty::initWithName(platform::Value(sdkName));
    if (!property) return nullptr;
    property->setVersion(sdkVersion);
    auto client = registerSDKProperty(property, platform::Value::Dictionary{});
    if (!client) return nullptr;
    auto handle = std::make_shared<ConfigurationClient>(client, std::move(delegate));
    client->setDelegate(handle);
    return handle;
}

}  // namespace measurement
