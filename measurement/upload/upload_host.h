#pragma once

// What the batch upload, its schedule and the configuration fetch read and
// drive of the engine that hosts them: the worker queue, the network object,
// the upload alarm, the engine's request-pending flag and background task,
// and the calls into the consent, audience, conversion and attribution
// components. Each is an interface whose defaults stand alone (a network and
// alarm of their own, nothing to call), so the upload runs and is tested
// without the engine; the engine hands its own adapter to the upload it
// makes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "measurement/foundation/alarm.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/scheduler.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

enum : long {
    kAPMNetworkNotUploadingCode = 23041,
};

// Whether a new request of an engine may start: none of its requests is
// pending and its network has none in flight. A pending request that the
// network no longer knows of is logged as an inconsistency.
bool APMIsNetworkReadyForRequest(bool requestPending, const platform::RULNetwork& network);

class APMUploadHost : public std::enable_shared_from_this<APMUploadHost> {
public:
    // The worker queue of a scheduler of its own; an alarm named
    // "Measurement timer" on it; a network object that watches the given
    // reachability switch (the process's when none) and tells the worker
    // queue of changes.
    explicit APMUploadHost(std::shared_ptr<platform::Reachability> reachability = nullptr);
    virtual ~APMUploadHost();
    APMUploadHost(const APMUploadHost&) = delete;
    APMUploadHost& operator=(const APMUploadHost&) = delete;

    // Held by a call that arrives late (a network completion, the alarm, a
    // change of reachability) for as long as it runs, so that what the
    // engine works on cannot go meanwhile; none once it has gone, and the
    // call is dropped. A host of its own parts answers itself.
    virtual std::shared_ptr<const void> retainParts();

    virtual const std::shared_ptr<platform::dispatch::Queue>& workerQueue() const;
    // Runs the block on the worker queue under the identifier.
    virtual void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block);
    virtual platform::RULNetwork& network();
    virtual APMAlarm& uploadAlarm();

    // Set while a request of the engine is under way.
    virtual bool isNetworkRequestPending() const;
    virtual void setIsNetworkRequestPending(bool pending);
    // Whether the engine holds a background task that keeps an upload alive.
    virtual bool holdsBackgroundTask() const { return false; }
    virtual void terminateBackgroundTask() {}
    // Seconds the process still runs (real time): unlimited until a process
    // that is about to end says how long it gives.
    virtual double backgroundTimeRemaining() const { return std::numeric_limits<double>::infinity(); }
    // Told of reachability changes while the engine waits for a network.
    virtual std::shared_ptr<platform::RULReachabilityDelegate> reachabilityDelegate() { return nullptr; }

    // Consent after a new server configuration, and from the TCF data.
    virtual void updateConsentSettingsUtilWithRemoteConfig() {}
    virtual void tcfClientSetConsentFromData() {}
    virtual bool shouldRequestDeferredDeepLinkAfterConfigFetch() const { return false; }
    virtual void setShouldRequestDeferredDeepLinkAfterConfigFetch(bool /*value*/) {}

protected:
    // For adapters that forward everything to an engine of their own.
    struct NoParts {};
    explicit APMUploadHost(NoParts) {}

private:
    std::unique_ptr<APMScheduler> scheduler_;
    std::unique_ptr<platform::RULNetwork> network_;
    std::unique_ptr<APMAlarm> alarm_;
    std::atomic<bool> pending_{false};
};

// The components that come after an upload or a configuration fetch and are
// built elsewhere: conversion values, on-device conversion, audiences, deep
// links and the TCF client. The defaults do nothing.
class APMUploadPeers {
public:
    virtual ~APMUploadPeers() = default;
    // Conversion values: a successful upload resets the fetch retries and
    // may schedule a fetch; the first postback window shortens the interval.
    virtual void resetSKANRetryCount() {}
    virtual void scheduleSKANCVFetchAfterDataUpload() {}
    virtual bool isInFirstSKANPostbackWindow() const { return false; }
    // On-device conversion: a request postponed until the next successful
    // upload. Answers whether one was waiting, and forgets it.
    virtual bool takePostponedPSMRequest() { return false; }
    virtual void retrievePSMResponse() {}
    // The audiences of a new server configuration; false refuses them.
    virtual bool updateAudiences(const std::vector<APMPBAudience>& /*audiences*/) { return true; }
    // The deferred deep link, requested once a configuration has arrived.
    virtual void requestDeferredDeepLink() {}
    // The TCF client learns the region of a new configuration.
    virtual void setIsDMARegion(bool /*region*/) {}
};

}  // namespace measurement
