// The ad-network stand-in: conversion-value updates checked, recorded and
// completed on a queue of the framework's own.
#include "platform/frameworks/ad_network/sk_ad_network.h"

#include <mutex>

namespace platform {

namespace {

struct State {
    std::mutex mutex;
    std::vector<SKAdNetwork::Update> updates;
    int failures = 0;
    SKANError failure;
    std::shared_ptr<dispatch::Queue> queue;
};

State& state() {
    static State instance;
    return instance;
}

bool isCoarseValue(const std::string& value) {
    return value == SKAdNetworkCoarseConversionValueLow || value == SKAdNetworkCoarseConversionValueMedium ||
           value == SKAdNetworkCoarseConversionValueHigh;
}

// The outcome of one update, recorded under the lock.
std::optional<SKANError> decide(long fineValue, const std::string& coarseValue, bool lockWindow) {
    auto& s = state();
    std::optional<SKANError> error;
    if (s.failures > 0) {
        --s.failures;
        error = s.failure;
    } else if (fineValue < 0 || fineValue > 63) {
        error = SKANError{SKANErrorDomain, kSKANErrorInvalidFineValue, "fine conversion value out of range"};
    } else if (!isCoarseValue(coarseValue)) {
        error = SKANError{SKANErrorDomain, kSKANErrorInvalidCoarseValue, "unknown coarse conversion value"};
    }
    s.updates.push_back({fineValue, coarseValue, lockWindow, error});
    return error;
}

}  // namespace

void SKAdNetwork::updatePostbackConversionValue(long fineValue, const std::string& coarseValue, bool lockWindow,
                                                CompletionHandler completionHandler) {
    std::optional<SKANError> error;
    {
        std::lock_guard lock(state().mutex);
        error = decide(fineValue, coarseValue, lockWindow);
    }
    if (!completionHandler) return;
    completionQueue()->async([completionHandler = std::move(completionHandler), error] { completionHandler(error); });
}

std::vector<SKAdNetwork::Update> SKAdNetwork::updates() {
    std::lock_guard lock(state().mutex);
    return state().updates;
}

void SKAdNetwork::failNextUpdates(int count, SKANError error) {
    std::lock_guard lock(state().mutex);
    state().failures = count > 0 ? count : 0;
    state().failure = std::move(error);
}

std::shared_ptr<dispatch::Queue> SKAdNetwork::completionQueue() {
    std::lock_guard lock(state().mutex);
    if (!state().queue) state().queue = dispatch::makeSerialQueue("platform.skadnetwork");
    return state().queue;
}

void SKAdNetwork::reset() {
    std::lock_guard lock(state().mutex);
    state().updates.clear();
    state().failures = 0;
    state().failure = {};
    state().queue.reset();
}

}  // namespace platform
