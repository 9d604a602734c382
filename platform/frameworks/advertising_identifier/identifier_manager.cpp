// The advertising-identifier stand-in: a class in the registry whose shared
// manager answers what a test or tool set, after a settable delay.
#include "platform/frameworks/advertising_identifier/identifier_manager.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/foundation/class_registry.h"

namespace platform::adsupport {

namespace {

constexpr const char* kSharedManagerSelector = "sharedManager";
constexpr const char* kIdentifierSelector = "advertisingIdentifier";
constexpr const char* kTrackingEnabledSelector = "isAdvertisingTrackingEnabled";

struct State {
    std::mutex mutex;
    std::condition_variable released;
    std::condition_variable requested;
    std::string identifier = AdvertisingIdentifierManager::kZeroIdentifier;
    bool trackingEnabled = false;
    std::chrono::nanoseconds delay{0};
    // Raised by every release, so that a waiting answer knows it was let go.
    std::uint64_t releaseGeneration = 0;
    std::size_t requests = 0;
    std::size_t answers = 0;
};

State& state() {
    static State instance;
    return instance;
}

// Waits out the delay (or a release), then reads the identifier.
std::string answerIdentifier() {
    auto& s = state();
    std::unique_lock lock(s.mutex);
    ++s.requests;
    s.requested.notify_all();
    if (s.delay.count() > 0) {
        const auto generation = s.releaseGeneration;
        s.released.wait_for(lock, s.delay, [&] { return s.releaseGeneration != generation; });
    }
    ++s.answers;
    return s.identifier;
}

class Manager : public RuntimeObject {
public:
    bool respondsToSelector(const std::string& selector) const override {
        return selector == kIdentifierSelector || selector == kTrackingEnabledSelector;
    }
    Value performSelector(const std::string& selector) override {
        if (selector == kIdentifierSelector) return Value(answerIdentifier());
        if (selector == kTrackingEnabledSelector) {
            std::lock_guard lock(state().mutex);
            return Value(state().trackingEnabled);
        }
        return {};
    }
};

class ManagerClass : public RuntimeObject {
public:
    bool respondsToSelector(const std::string& selector) const override { return selector == kSharedManagerSelector; }
    std::shared_ptr<RuntimeObject> performObjectSelector(const std::string& selector) override {
        return selector == kSharedManagerSelector ? manager_ : nullptr;
    }

private:
    std::shared_ptr<Manager> manager_ = std::make_shared<Manager>();
};

}  // namespace

void AdvertisingIdentifierManager::link() {
    ClassRegistry::registerClass(kClassName, std::make_shared<ManagerClass>());
}

void AdvertisingIdentifierManager::unlink() { ClassRegistry::removeClass(kClassName); }

bool AdvertisingIdentifierManager::isLinked() {
    return std::dynamic_pointer_cast<ManagerClass>(ClassRegistry::classNamed(kClassName)) != nullptr;
}

void AdvertisingIdentifierManager::setAdvertisingIdentifier(std::string identifier) {
    std::lock_guard lock(state().mutex);
    state().identifier = std::move(identifier);
}

std::string AdvertisingIdentifierManager::advertisingIdentifier() {
    std::lock_guard lock(state().mutex);
    return state().identifier;
}

void AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(bool enabled) {
    std::lock_guard lock(state().mutex);
    state().trackingEnabled = enabled;
}

void AdvertisingIdentifierManager::setAnswerDelay(std::chrono::nanoseconds delay) {
    std::lock_guard lock(state().mutex);
    state().delay = delay;
}

void AdvertisingIdentifierManager::releaseDelayedAnswers() {
    {
        std::lock_guard lock(state().mutex);
        ++state().releaseGeneration;
    }
    state().released.notify_all();
}

std::size_t AdvertisingIdentifierManager::identifierRequestCount() {
    std::lock_guard lock(state().mutex);
    return state().requests;
}

void AdvertisingIdentifierManager::waitForIdentifierRequests(std::size_t count) {
    std::unique_lock lock(state().mutex);
    state().requested.wait(lock, [&] { return state().requests >= count; });
}

std::size_t AdvertisingIdentifierManager::identifierAnswerCount() {
    std::lock_guard lock(state().mutex);
    return state().answers;
}

void AdvertisingIdentifierManager::reset() {
    releaseDelayedAnswers();
    unlink();
    std::lock_guard lock(state().mutex);
    auto& s = state();
    s.identifier = kZeroIdentifier;
    s.trackingEnabled = false;
    s.delay = std::chrono::nanoseconds{0};
    s.requests = 0;
    s.answers = 0;
}

}  // namespace platform::adsupport
