#include "platform/dispatch/queue.h"

#include "platform/dispatch/main_loop_turn.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::dispatch {

namespace {

const std::thread::id gMainThread = std::this_thread::get_id();

// The queues whose blocks the calling thread is running, innermost last.
thread_local std::vector<const Queue*> tCurrentQueues;

class CurrentScope {
public:
    explicit CurrentScope(const Queue* queue) { tCurrentQueues.push_back(queue); }
    ~CurrentScope() { tCurrentQueues.pop_back(); }
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;
};

bool runsOnThisThread(const Queue* queue) {
    return std::find(tCurrentQueues.begin(), tCurrentQueues.end(), queue) != tCurrentQueues.end();
}

void reportEscapedException(const std::string& label) {
    try {
        throw;
    } catch (const std::exception& e) {
        std::cerr << "dispatch: a block on queue \"" << label << "\" threw: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "dispatch: a block on queue \"" << label << "\" threw\n";
    }
}

// A serial queue with a thread of its own. Blocks added before the queue is
// destroyed still run; the thread ends once they have.
//
// A hand-off costs a wake-up only when the thread sleeps, and then one for
// all that arrives before it runs: the thread takes every waiting block at
// once and sleeps again only when none is left, so a steady stream of blocks
// keeps it awake instead of waking it block by block.
class ThreadQueue : public Queue {
public:
    explicit ThreadQueue(std::string label) : state_(std::make_shared<State>()) {
        state_->label = std::move(label);
        thread_ = std::thread([state = state_, self = this] { run(*state, self); });
    }

    ~ThreadQueue() override {
        {
            std::lock_guard lock(state_->mutex);
            state_->stopping = true;
        }
        state_->wake.notify_all();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // the last owner let go from inside a block
        } else {
            thread_.join();
        }
    }

    void async(Block block) override {
        bool wake = false;
        {
            std::lock_guard lock(state_->mutex);
            state_->blocks.push_back(std::move(block));
            wake = state_->sleeping && !state_->wakePosted;
            if (wake) state_->wakePosted = true;
        }
        if (wake) state_->wake.notify_one();
    }

    void sync(const Block& block) override {
        if (isCurrent()) {
            block();
            return;
        }
        auto handoff = std::make_shared<SyncHandoff>();
        async([handoff, &block] {
            std::exception_ptr failure;
            try {
                block();
            } catch (...) {
                failure = std::current_exception();
            }
            // Out of the catch, this thread holds nothing of the exception
            // but `failure`, which it hands over whole: the caller's is
            // then the last reference, and the caller frees the exception,
            // after the lock has ordered everything done to it here.
            {
                std::lock_guard lock(handoff->mutex);
                handoff->failure = std::move(failure);
                handoff->done = true;
            }
            handoff->finished.notify_one();
        });
        std::exception_ptr failure;
        {
            std::unique_lock lock(handoff->mutex);
            handoff->finished.wait(lock, [&] { return handoff->done; });
            failure = std::move(handoff->failure);
        }
        if (failure) std::rethrow_exception(std::move(failure));
    }

    bool isCurrent() const override { return runsOnThisThread(this); }
    const std::string& label() const override { return state_->label; }

    void suspend() override {
        std::lock_guard lock(state_->mutex);
        state_->suspended.fetch_add(1, std::memory_order_relaxed);
    }

    void resume() override {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->suspended.load(std::memory_order_relaxed) > 0) {
                state_->suspended.fetch_sub(1, std::memory_order_relaxed);
            }
        }
        state_->wake.notify_one();
    }

private:
    // What a sync caller waits on: the block's end and its exception, if any.
    struct SyncHandoff {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::exception_ptr failure;
    };

    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Block> blocks;
        std::string label;
        // Written under the mutex; read without it between the blocks of a
        // batch, so that a block that suspends its queue holds back the
        // rest of the batch.
        std::atomic<int> suspended{0};
        bool stopping = false;
        // The thread waits for blocks, and whether a wake-up is already on
        // its way to it.
        bool sleeping = false;
        bool wakePosted = false;
    };

    static bool runnable(const State& state) {
        return state.suspended.load(std::memory_order_relaxed) == 0 && !state.blocks.empty();
    }

    static void run(State& state, const Queue* self) {
        std::deque<Block> batch;
        for (;;) {
            {
                std::unique_lock lock(state.mutex);
                // What a suspension held back goes first again.
                while (!batch.empty()) {
                    state.blocks.push_front(std::move(batch.back()));
                    batch.pop_back();
                }
                if (!runnable(state) && !state.stopping) {
                    state.sleeping = true;
                    state.wake.wait(lock, [&] { return runnable(state) || state.stopping; });
                    state.sleeping = false;
                    state.wakePosted = false;
                }
                if (!runnable(state)) return;  // stopping
                batch.swap(state.blocks);
            }
            CurrentScope scope(self);
            while (!batch.empty() && state.suspended.load(std::memory_order_relaxed) == 0) {
                Block block = std::move(batch.front());
                batch.pop_front();
                try {
                    block();
                } catch (...) {
                    reportEscapedException(state.label);
                }
            }
        }
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

class ThreadQueueFactory : public QueueFactory {
public:
    std::shared_ptr<Queue> makeSerialQueue(std::string label) override {
        return std::make_shared<ThreadQueue>(std::move(label));
    }
};

std::mutex gFactoryMutex;
std::shared_ptr<QueueFactory> gFactory;

}  // namespace

std::shared_ptr<Queue> makeSerialQueue(std::string label) {
    std::shared_ptr<QueueFactory> factory;
    {
        std::lock_guard lock(gFactoryMutex);
        factory = gFactory;
    }
    if (!factory) {
        static ThreadQueueFactory threads;
        return threads.makeSerialQueue(std::move(label));
    }
    return factory->makeSerialQueue(std::move(label));
}

void setQueueFactory(std::shared_ptr<QueueFactory> factory) {
    std::lock_guard lock(gFactoryMutex);
    gFactory = std::move(factory);
}

// ---- ManualQueue ----

struct ManualQueue::State {
    mutable std::mutex mutex;
    std::deque<Block> blocks;
    std::string label;
    int suspended = 0;
};

ManualQueue::ManualQueue(std::string label) : state_(std::make_unique<State>()) {
    state_->label = std::move(label);
}

ManualQueue::~ManualQueue() = default;

void ManualQueue::async(Block block) {
    std::lock_guard lock(state_->mutex);
    state_->blocks.push_back(std::move(block));
}

void ManualQueue::sync(const Block& block) {
    // Earlier blocks run first, as on a real serial queue; a suspended
    // manual queue runs the block at once rather than hang the test.
    if (!isCurrent()) drain();
    CurrentScope scope(this);
    perform(block);
}

bool ManualQueue::isCurrent() const { return runsOnThisThread(this); }
const std::string& ManualQueue::label() const { return state_->label; }

void ManualQueue::suspend() {
    std::lock_guard lock(state_->mutex);
    ++state_->suspended;
}

void ManualQueue::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->suspended > 0) --state_->suspended;
}

bool ManualQueue::runOne() {
    Block block;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->suspended > 0 || state_->blocks.empty()) return false;
        block = std::move(state_->blocks.front());
        state_->blocks.pop_front();
    }
    CurrentScope scope(this);
    perform(block);
    return true;
}

std::size_t ManualQueue::drain() {
    std::size_t count = 0;
    while (runOne()) ++count;
    return count;
}

std::size_t ManualQueue::pendingCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocks.size();
}

// ---- MainQueue ----

struct MainQueue::Loop {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    std::size_t generation = 0;  // raised by every async, resume and stop
};

MainQueue::MainQueue() : ManualQueue("main"), loop_(std::make_shared<Loop>()) {}

void MainQueue::async(Block block) {
    ManualQueue::async(std::move(block));
    wakeLoop(false);
}

void MainQueue::resume() {
    ManualQueue::resume();
    wakeLoop(false);
}

void MainQueue::stop() { wakeLoop(true); }

void MainQueue::perform(const Block& block) {
    MainLoopTurn turn;
    block();
}

void MainQueue::wakeLoop(bool stopping) {
    {
        std::lock_guard lock(loop_->mutex);
        if (stopping) loop_->stopped = true;
        ++loop_->generation;
    }
    loop_->wake.notify_all();
}

void MainQueue::runUntilStopped() {
    runUntil([] { return false; }, -1);
}

bool MainQueue::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    using Steady = std::chrono::steady_clock;
    const bool limited = timeoutSeconds >= 0;
    const auto deadline = Steady::now() + std::chrono::duration_cast<Steady::duration>(
                                              std::chrono::duration<double>(limited ? timeoutSeconds : 0));
    for (;;) {
        std::size_t seen;
        {
            std::lock_guard lock(loop_->mutex);
            if (loop_->stopped) {
                loop_->stopped = false;
                return done();
            }
            seen = loop_->generation;
        }
        drain();
        if (done()) return true;
        std::unique_lock lock(loop_->mutex);
        auto woken = [&] { return loop_->generation != seen || loop_->stopped; };
        if (limited) {
            if (!loop_->wake.wait_until(lock, deadline, woken)) return done();
        } else {
            loop_->wake.wait(lock, woken);
        }
    }
}

std::shared_ptr<MainQueue> mainQueuePointer() {
    static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return *queue;
}

MainQueue& mainQueue() { return *mainQueuePointer(); }

bool isMainThread() { return std::this_thread::get_id() == gMainThread; }

// ---- ManualQueueFactory ----

struct ManualQueueFactory::State {
    mutable std::mutex mutex;
    std::vector<std::weak_ptr<ManualQueue>> queues;
};

ManualQueueFactory::ManualQueueFactory() : state_(std::make_shared<State>()) {}
ManualQueueFactory::~ManualQueueFactory() = default;

std::shared_ptr<Queue> ManualQueueFactory::makeSerialQueue(std::string label) {
    auto queue = std::make_shared<ManualQueue>(std::move(label));
    std::lock_guard lock(state_->mutex);
    state_->queues.push_back(queue);
    return queue;
}

std::size_t ManualQueueFactory::drainAll() {
    std::size_t total = 0;
    for (;;) {
        std::vector<std::shared_ptr<ManualQueue>> live;
        {
            std::lock_guard lock(state_->mutex);
            std::erase_if(state_->queues, [](const auto& weak) { return weak.expired(); });
            for (const auto& weak : state_->queues) {
                if (auto queue = weak.lock()) live.push_back(queue);
            }
        }
        std::size_t ran = mainQueue().drain();
        for (const auto& queue : live) ran += queue->drain();
        if (ran == 0) return total;
        total += ran;
    }
}

std::size_t ManualQueueFactory::queueCount() const {
    std::lock_guard lock(state_->mutex);
    std::size_t count = 0;
    for (const auto& weak : state_->queues) count += weak.expired() ? 0 : 1;
    return count;
}

}  // namespace platform::dispatch
