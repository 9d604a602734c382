#include "platform/dispatch/timer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::dispatch {

namespace {

// One armed timer. Cancelling it lets go of its block and queue at once,
// so that what the block holds does not live on until the fire date.
class TimerRecord {
public:
    TimerRecord(std::shared_ptr<Queue> queue, Block block) : queue_(std::move(queue)), block_(std::move(block)) {}

    double fireDate = 0;
    std::uint64_t sequence = 0;

    bool isActive() const {
        std::lock_guard lock(mutex_);
        return active_;
    }

    void cancel() {
        // Let go of after the lock: what the block captured may cancel this
        // very timer as it goes.
        std::shared_ptr<Queue> queue;
        Block block;
        std::lock_guard lock(mutex_);
        active_ = false;
        queue = std::move(queue_);
        block = std::move(block_);
    }

    // The queue to post the firing to; none once cancelled.
    std::shared_ptr<Queue> queue() const {
        std::lock_guard lock(mutex_);
        return queue_;
    }

    // The block, once: none when the timer was cancelled (or fired) since.
    Block takeBlock() {
        std::shared_ptr<Queue> queue;  // let go of after the lock
        std::lock_guard lock(mutex_);
        if (!active_) return {};
        active_ = false;
        queue = std::move(queue_);
        return std::move(block_);
    }

private:
    mutable std::mutex mutex_;
    bool active_ = true;
    std::shared_ptr<Queue> queue_;
    Block block_;
};

class TimerHandle : public Timer {
public:
    explicit TimerHandle(std::shared_ptr<TimerRecord> record) : record_(std::move(record)) {}
    void cancel() override { record_->cancel(); }
    bool isActive() const override { return record_->isActive(); }
    double fireDate() const override { return record_->fireDate; }

private:
    std::shared_ptr<TimerRecord> record_;
};

// Hands the block to its queue; the queue checks once more that nobody
// cancelled the timer in the meantime.
void post(const std::shared_ptr<TimerRecord>& record) {
    auto queue = record->queue();
    if (!queue) return;
    queue->async([record] {
        if (Block block = record->takeBlock()) block();
    });
}

constexpr double kLongestWaitSeconds = 60;

// Real timers: one thread that sleeps until the earliest fire date.
class SystemTimerService : public TimerService {
public:
    std::shared_ptr<Timer> schedule(std::shared_ptr<Queue> queue, double delaySeconds, Block block) override {
        auto record = std::make_shared<TimerRecord>(std::move(queue), std::move(block));
        record->fireDate = clock_.now() + std::max(0.0, delaySeconds);
        {
            std::lock_guard lock(mutex_);
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
            pending_.emplace(record->fireDate, record);
        }
        wake_.notify_all();
        return std::make_shared<TimerHandle>(record);
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (pending_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto first = pending_.begin();
            double wait = first->first - clock_.now();
            if (wait > 0) {
                // Waits in bounded steps: an endless delay cannot be turned
                // into a wait, and a step that ends early just looks again,
                // so a wall-clock jump delays a timer by one step at most.
                wake_.wait_for(lock, std::chrono::duration<double>(std::min(wait, kLongestWaitSeconds)));
                continue;
            }
            auto record = first->second;
            pending_.erase(first);
            post(record);
        }
    }

    SystemClock clock_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<double, std::shared_ptr<TimerRecord>> pending_;
    std::thread thread_;
};

std::mutex gServiceMutex;
std::shared_ptr<TimerService> gService;

std::shared_ptr<TimerService> systemTimers() {
    // Lives for the whole process: its thread may still be waiting at exit.
    static auto* service = new std::shared_ptr<TimerService>(std::make_shared<SystemTimerService>());
    return *service;
}

}  // namespace

std::shared_ptr<TimerService> timers() {
    std::lock_guard lock(gServiceMutex);
    return gService ? gService : systemTimers();
}

void setTimerService(std::shared_ptr<TimerService> service) {
    std::lock_guard lock(gServiceMutex);
    gService = std::move(service);
}

// ---- ManualTimerService ----

struct ManualTimerService::State {
    mutable std::mutex mutex;
    std::shared_ptr<ManualClock> clock;
    std::vector<std::shared_ptr<TimerRecord>> records;
    std::uint64_t nextSequence = 0;
};

ManualTimerService::ManualTimerService(std::shared_ptr<ManualClock> clock) : state_(std::make_shared<State>()) {
    state_->clock = std::move(clock);
}

ManualTimerService::~ManualTimerService() = default;

std::shared_ptr<Timer> ManualTimerService::schedule(std::shared_ptr<Queue> queue, double delaySeconds, Block block) {
    auto record = std::make_shared<TimerRecord>(std::move(queue), std::move(block));
    std::lock_guard lock(state_->mutex);
    record->fireDate = state_->clock->now() + std::max(0.0, delaySeconds);
    record->sequence = state_->nextSequence++;
    state_->records.push_back(record);
    return std::make_shared<TimerHandle>(record);
}

bool ManualTimerService::fireNext(double until) {
    std::shared_ptr<TimerRecord> due;
    {
        std::lock_guard lock(state_->mutex);
        std::erase_if(state_->records, [](const auto& r) { return !r->isActive(); });
        auto earliest = std::min_element(state_->records.begin(), state_->records.end(), [](const auto& a, const auto& b) {
            return a->fireDate != b->fireDate ? a->fireDate < b->fireDate : a->sequence < b->sequence;
        });
        if (earliest == state_->records.end() || (*earliest)->fireDate > until) return false;
        due = *earliest;
        state_->records.erase(earliest);
        double now = state_->clock->now();
        if (due->fireDate > now) state_->clock->advance(due->fireDate - now);
    }
    post(due);
    return true;
}

std::size_t ManualTimerService::activeCount() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(
        std::count_if(state_->records.begin(), state_->records.end(), [](const auto& r) { return r->isActive(); }));
}

double ManualTimerService::nextFireDate() const {
    std::lock_guard lock(state_->mutex);
    double next = -1;
    for (const auto& r : state_->records) {
        if (r->isActive() && (next < 0 || r->fireDate < next)) next = r->fireDate;
    }
    return next;
}

// ---- ManualTime ----

ManualTime::ManualTime(bool manualQueues, double now)
    : clock_(std::make_shared<ManualClock>(now)), timers_(std::make_shared<ManualTimerService>(clock_)) {
    setClock(clock_);
    setTimerService(timers_);
    if (manualQueues) {
        queues_ = std::make_shared<ManualQueueFactory>();
        setQueueFactory(queues_);
    }
}

ManualTime::~ManualTime() {
    if (queues_) setQueueFactory(nullptr);
    setTimerService(nullptr);
    setClock(nullptr);
}

std::size_t ManualTime::drain() {
    return queues_ ? queues_->drainAll() : mainQueue().drain();
}

void ManualTime::advance(double seconds) {
    const double target = clock_->now() + std::max(0.0, seconds);
    for (;;) {
        drain();
        if (timers_->fireNext(target)) continue;
        if (clock_->now() < target) {
            clock_->advance(target - clock_->now());
            continue;
        }
        break;
    }
}

}  // namespace platform::dispatch
