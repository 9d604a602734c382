// Where the experiments service is, and posting to it through the platform's network object.
#include "measurement/experiments/experiments_network.h"

#include "measurement/foundation/environment.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/url.h"

namespace measurement {

namespace {

class PlatformExperimentsNetwork : public APMEExperimentsNetwork {
public:
    explicit PlatformExperimentsNetwork(std::string reachabilityHost) : network_(std::move(reachabilityHost)) {}

    void postURL(const std::string& url, NANOBytes payload, std::shared_ptr<platform::dispatch::Queue> queue,
                 platform::RULNetworkCompletionHandler completionHandler) override {
        network_.postURL(url, std::move(payload), std::move(queue), false, std::move(completionHandler));
    }

    bool isNetworkConnected() const override { return network_.isNetworkConnected(); }

    std::unique_ptr<platform::Reachability::Observation> whenReachable(std::function<void()> returned) override {
        return platform::Reachability::shared()->observe([returned = std::move(returned)](bool reachable) {
            if (reachable) returned();
        });
    }

private:
    platform::RULNetwork network_;
};

std::string hostOf(const std::optional<std::string>& base) {
    if (!base) return "experiments.invalid";
    const auto url = platform::URL::parse(*base);
    return url && !url->host().empty() ? url->host() : *base;
}

}  // namespace

std::optional<std::string> APMEExperimentsServiceBaseURL() {
    if (auto address = platform::LaunchOptions::current().experimentsServiceURL) return address;
    const auto plist = APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist();
    if (!plist) return std::nullopt;
    const auto found = plist->find(kAPMEExperimentsServiceBaseURLKey);
    if (found == plist->end() || !found->second.isString() || found->second.asString().empty()) return std::nullopt;
    return found->second.asString();
}

std::string APMEExperimentsFetchURL() {
    auto base = APMEExperimentsServiceBaseURL();
    if (!base) return "";
    while (!base->empty() && base->back() == '/') base->pop_back();
    return *base + kAPMEExperimentsPath;
}

std::shared_ptr<APMEExperimentsNetwork> APMEMakeExperimentsNetwork() {
    return std::make_shared<PlatformExperimentsNetwork>(hostOf(APMEExperimentsServiceBaseURL()));
}

}  // namespace measurement
