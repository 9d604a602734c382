// The experiments service: its address and the network that posts the fetch request to it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/foundation/nano_message.h"
#include "platform/dispatch/queue.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

// The path of the fetch on the experiments service.
inline constexpr const char* kAPMEExperimentsPath = "/sdk-exp";
// The service property list's key for the service's base address; empty or
// absent means no service is known.
inline constexpr const char* kAPMEExperimentsServiceBaseURLKey = "EXPERIMENTS_SERVICE_BASE_URL";
// The launch options' address when they name one (tools and tests point
// the client elsewhere so), else the service property list's; none when
// neither names one.
std::optional<std::string> APMEExperimentsServiceBaseURL();
// The fetch address on that service; empty when no service is known (a
// request to it fails at once, as a request to an unreachable service).
std::string APMEExperimentsFetchURL();

// Posts the fetch request. The completion runs once, on the queue given,
// with the HTTP response (status 0 when none came), the reply body and the
// transport error.
class APMEExperimentsNetwork {
public:
    virtual ~APMEExperimentsNetwork() = default;
    virtual void postURL(const std::string& url, NANOBytes payload, std::shared_ptr<platform::dispatch::Queue> queue,
                         platform::RULNetworkCompletionHandler completionHandler) = 0;
    // Whether there is a network to post over; a network that cannot tell
    // says there is.
    virtual bool isNetworkConnected() const { return true; }
    // Calls `returned` each time the network becomes reachable, for as long
    // as the observation lives; none from a network that cannot tell.
    virtual std::unique_ptr<platform::Reachability::Observation> whenReachable(std::function<void()> returned) {
        (void)returned;
        return nullptr;
    }
};

// The platform's network object, made with the service's host as its
// reachability host; no background session.
std::shared_ptr<APMEExperimentsNetwork> APMEMakeExperimentsNetwork();

}  // namespace measurement
