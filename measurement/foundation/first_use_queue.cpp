// Serial queues made on their first use.
#include "measurement/foundation/first_use_queue.h"

#include <atomic>
#include <mutex>

namespace measurement {

namespace {

class FirstUseQueue : public platform::dispatch::Queue {
public:
    explicit FirstUseQueue(std::string label) : label_(std::move(label)) {}

    void async(platform::dispatch::Block block) override { made().async(std::move(block)); }
    void sync(const platform::dispatch::Block& block) override { made().sync(block); }
    bool isCurrent() const override {
        const auto* queue = made_.load(std::memory_order_acquire);
        return queue && queue->isCurrent();
    }
    const std::string& label() const override { return label_; }
    void suspend() override { made().suspend(); }
    void resume() override { made().resume(); }

private:
    platform::dispatch::Queue& made() {
        std::call_once(once_, [this] {
            queue_ = platform::dispatch::makeSerialQueue(label_);
            made_.store(queue_.get(), std::memory_order_release);
        });
        return *queue_;
    }

    const std::string label_;
    std::once_flag once_;
    std::shared_ptr<platform::dispatch::Queue> queue_;
    std::atomic<platform::dispatch::Queue*> made_{nullptr};
};

}  // namespace

std::shared_ptr<platform::dispatch::Queue> APMMakeSerialQueueOnFirstUse(std::string label) {
    return std::make_shared<FirstUseQueue>(std::move(label));
}

}  // namespace measurement
