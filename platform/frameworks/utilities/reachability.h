#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

// Whether the device has a network, as a switch that tests and the velmora
// tool flip. There is no probing of real hosts: a network object asks this
// switch whatever host it watches. Observers hear of every change, and only
// of changes, on the thread that flips the switch. An observer may flip it
// too: that change is announced once the current one has reached everyone.
class Reachability {
    struct Registry;

public:
    using Observer = std::function<void(bool reachable)>;

    // Removes its observer when destroyed: changes made after that no
    // longer reach it.
    class Observation {
    public:
        ~Observation();
        Observation(const Observation&) = delete;
        Observation& operator=(const Observation&) = delete;

    private:
        friend class Reachability;
        Observation(std::weak_ptr<Registry> registry, std::uint64_t id);
        std::weak_ptr<Registry> registry_;
        std::uint64_t id_;
    };

    explicit Reachability(bool reachable = true);

    // The process's switch. It starts as the launch options say (reachable
    // unless $VELMORA_NETWORK_REACHABLE is "0", "no" or "false").
    static std::shared_ptr<Reachability> shared();

    bool isReachable() const;
    void setReachable(bool reachable);
    [[nodiscard]] std::unique_ptr<Observation> observe(Observer observer);

private:
    void announce(bool reachable);

    std::shared_ptr<Registry> registry_;
};

}  // namespace platform
