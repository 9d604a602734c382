#include "platform/foundation/notification_center.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platform {

namespace detail {

struct ObserverEntry {
    std::uint64_t id = 0;
    const void* owner = nullptr;
    std::string name;
    const void* object = nullptr;
    NotificationCenter::Block block;

    // Guards `active` and `running`, the threads now inside the block.
    std::mutex mutex;
    std::condition_variable idle;
    bool active = true;
    std::vector<std::thread::id> running;

    bool matches(const Notification& n) const {
        return (name.empty() || name == n.name) && (object == nullptr || object == n.object);
    }

    // After this returns the block is never entered again, and no other
    // thread is inside it. The calling thread may be inside it itself (an
    // observer removing itself), which must not wait for its own return.
    void deactivate() {
        std::unique_lock lock(mutex);
        active = false;
        auto self = std::this_thread::get_id();
        idle.wait(lock, [&] {
            return std::all_of(running.begin(), running.end(), [&](std::thread::id t) { return t == self; });
        });
    }

    void deliver(const Notification& n) {
        auto self = std::this_thread::get_id();
        {
            std::lock_guard lock(mutex);
            if (!active) return;
            running.push_back(self);
        }
        struct Leave {
            ObserverEntry& entry;
            std::thread::id self;
            ~Leave() {
                std::lock_guard lock(entry.mutex);
                entry.running.erase(std::find(entry.running.begin(), entry.running.end(), self));
                entry.idle.notify_all();
            }
        } leave{*this, self};
        block(n);
    }
};

struct NotificationCenterState {
    std::mutex mutex;
    std::vector<std::shared_ptr<ObserverEntry>> entries;
    std::uint64_t nextId = 1;

    std::uint64_t add(const void* owner, const std::string& name, const void* object,
                      NotificationCenter::Block block) {
        auto entry = std::make_shared<ObserverEntry>();
        entry->owner = owner;
        entry->name = name;
        entry->object = object;
        entry->block = std::move(block);
        std::lock_guard lock(mutex);
        entry->id = nextId++;
        entries.push_back(entry);
        return entry->id;
    }

    template <class Predicate>
    void removeWhere(Predicate pred) {
        std::vector<std::shared_ptr<ObserverEntry>> removed;
        {
            std::lock_guard lock(mutex);
            auto split = std::stable_partition(entries.begin(), entries.end(), [&](const auto& e) { return !pred(*e); });
            removed.assign(split, entries.end());
            entries.erase(split, entries.end());
        }
        // Waiting happens outside the centre's lock so that deliveries
        // elsewhere can finish.
        for (const auto& entry : removed) entry->deactivate();
    }

    std::vector<std::shared_ptr<ObserverEntry>> matching(const Notification& n) {
        std::lock_guard lock(mutex);
        std::vector<std::shared_ptr<ObserverEntry>> found;
        for (const auto& entry : entries) {
            if (entry->matches(n)) found.push_back(entry);
        }
        return found;
    }
};

}  // namespace detail

ObserverToken::ObserverToken(ObserverToken&& other) noexcept
    : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
    if (this != &other) {
        remove();
        state_ = std::move(other.state_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void ObserverToken::remove() {
    auto id = std::exchange(id_, 0);
    if (id == 0) return;
    if (auto state = state_.lock()) {
        state->removeWhere([id](const detail::ObserverEntry& e) { return e.id == id; });
    }
    state_.reset();
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<detail::NotificationCenterState>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter;  // lives as long as the process
    return *center;
}

ObserverToken NotificationCenter::addObserver(const std::string& name, const void* object, Block block) {
    auto id = state_->add(nullptr, name, object, std::move(block));
    return ObserverToken(state_, id);
}

void NotificationCenter::addObserver(const void* owner, const std::string& name, const void* object, Block block) {
    state_->add(owner, name, object, std::move(block));
}

void NotificationCenter::removeObserver(const void* owner) {
    if (owner == nullptr) return;
    state_->removeWhere([owner](const detail::ObserverEntry& e) { return e.owner == owner; });
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name, const void* object) {
    if (owner == nullptr) return;
    state_->removeWhere([&](const detail::ObserverEntry& e) {
        return e.owner == owner && (name.empty() || e.name == name) && (object == nullptr || e.object == object);
    });
}

void NotificationCenter::post(const Notification& notification) {
    // The observers are taken before the first call, so one added during the
    // delivery waits for the next post; each is checked again as its turn
    // comes, so one removed meanwhile is skipped.
    for (const auto& entry : state_->matching(notification)) entry->deliver(notification);
}

void NotificationCenter::post(const std::string& name, const void* object, Value::Dictionary userInfo) {
    post(Notification{name, object, std::move(userInfo)});
}

}  // namespace platform
