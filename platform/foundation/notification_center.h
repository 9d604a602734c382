#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/value.h"

namespace platform {

// A named announcement. The object is the sender, compared by identity only;
// the centre never reads through it.
struct Notification {
    std::string name;
    const void* object = nullptr;
    Value::Dictionary userInfo;
};

namespace detail {
struct NotificationCenterState;
}

// Removes its observer when destroyed or when remove() is called, whichever
// comes first. Outliving the centre is harmless.
class ObserverToken {
public:
    ObserverToken() = default;
    ObserverToken(ObserverToken&& other) noexcept;
    ObserverToken& operator=(ObserverToken&& other) noexcept;
    ObserverToken(const ObserverToken&) = delete;
    ObserverToken& operator=(const ObserverToken&) = delete;
    ~ObserverToken() { remove(); }

    void remove();
    bool isActive() const { return id_ != 0; }

private:
    friend class NotificationCenter;
    ObserverToken(std::weak_ptr<detail::NotificationCenterState> state, std::uint64_t id)
        : state_(std::move(state)), id_(id) {}

    std::weak_ptr<detail::NotificationCenterState> state_;
    std::uint64_t id_ = 0;
};

// Delivers each posted notification synchronously, on the posting thread, to
// the matching observers in the order they were added. An empty name in an
// observer matches every name, a null object every sender. Observers may be
// added and removed from any thread, also from inside a delivery: one removed
// during a delivery is not called after its removal, one added during it
// hears only later posts. Removal waits for calls of that observer still
// running on other threads, so what the block captured may be destroyed
// right after.
class NotificationCenter {
public:
    using Block = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    static NotificationCenter& defaultCenter();

    [[nodiscard]] ObserverToken addObserver(const std::string& name, const void* object, Block block);

    // Observers registered for an owner, removed together with
    // removeObserver(owner), as a page does when it leaves the screen.
    void addObserver(const void* owner, const std::string& name, const void* object, Block block);
    void removeObserver(const void* owner);
    void removeObserver(const void* owner, const std::string& name, const void* object = nullptr);

    void post(const Notification& notification);
    void post(const std::string& name, const void* object = nullptr, Value::Dictionary userInfo = {});

private:
    std::shared_ptr<detail::NotificationCenterState> state_;
};

}  // namespace platform
