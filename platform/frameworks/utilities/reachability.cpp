#include "platform/frameworks/utilities/reachability.h"

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/launch_options.h"

namespace platform {

struct Reachability::Registry {
    // Taken for a whole change, so that observers hear changes one at a
    // time and in the order they happened.
    std::mutex changing;
    mutable std::mutex mutex;
    bool reachable = true;
    // The thread announcing a change, and the changes its observers made
    // meanwhile, announced after the current one in the order made.
    std::thread::id announcer;
    std::vector<bool> pending;
    std::uint64_t nextId = 0;
    std::map<std::uint64_t, std::shared_ptr<Observer>> observers;
};

Reachability::Observation::Observation(std::weak_ptr<Registry> registry, std::uint64_t id)
    : registry_(std::move(registry)), id_(id) {}

Reachability::Observation::~Observation() {
    if (auto registry = registry_.lock()) {
        std::lock_guard lock(registry->mutex);
        registry->observers.erase(id_);
    }
}

Reachability::Reachability(bool reachable) : registry_(std::make_shared<Registry>()) {
    registry_->reachable = reachable;
}

std::shared_ptr<Reachability> Reachability::shared() {
    static const std::shared_ptr<Reachability> instance =
        std::make_shared<Reachability>(LaunchOptions::current().networkReachable);
    return instance;
}

bool Reachability::isReachable() const {
    std::lock_guard lock(registry_->mutex);
    return registry_->reachable;
}

void Reachability::setReachable(bool reachable) {
    {
        std::lock_guard lock(registry_->mutex);
        if (registry_->announcer == std::this_thread::get_id()) {
            // An observer flipped the switch: waiting for the change lock
            // here would wait for ourselves.
            if (registry_->reachable != reachable) {
                registry_->reachable = reachable;
                registry_->pending.push_back(reachable);
            }
            return;
        }
    }
    std::lock_guard change(registry_->changing);
    std::vector<bool> changes;
    {
        std::lock_guard lock(registry_->mutex);
        if (registry_->reachable == reachable) {
            return;
        }
        registry_->reachable = reachable;
        registry_->announcer = std::this_thread::get_id();
        changes.push_back(reachable);
    }
    while (!changes.empty()) {
        for (bool value : changes) {
            announce(value);
        }
        std::lock_guard lock(registry_->mutex);
        changes = std::exchange(registry_->pending, {});
        if (changes.empty()) {
            registry_->announcer = std::thread::id();
        }
    }
}

void Reachability::announce(bool reachable) {
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard lock(registry_->mutex);
        for (const auto& entry : registry_->observers) {
            ids.push_back(entry.first);
        }
    }
    // Observers run without the lock, so that they may read the state; one
    // removed meanwhile is skipped.
    for (std::uint64_t id : ids) {
        std::shared_ptr<Observer> observer;
        {
            std::lock_guard lock(registry_->mutex);
            auto it = registry_->observers.find(id);
            if (it == registry_->observers.end()) {
                continue;
            }
            observer = it->second;
        }
        (*observer)(reachable);
    }
}

std::unique_ptr<Reachability::Observation> Reachability::observe(Observer observer) {
    std::lock_guard lock(registry_->mutex);
    const std::uint64_t id = ++registry_->nextId;
    registry_->observers.emplace(id, std::make_shared<Observer>(std::move(observer)));
    return std::unique_ptr<Observation>(new Observation(registry_, id));
}

}  // namespace platform
