#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform::dispatch {

using Block = std::function<void()>;

// A serial queue: blocks run one at a time, in the order they were added.
class Queue {
public:
    virtual ~Queue() = default;

    virtual void async(Block block) = 0;
    // Runs the block on the queue after everything added before it and
    // waits for it. Called from a block of this same queue, it runs the
    // block at once instead of waiting for itself for ever.
    virtual void sync(const Block& block) = 0;
    // True while the calling thread runs a block of this queue.
    virtual bool isCurrent() const = 0;
    virtual const std::string& label() const = 0;
    // A suspended queue keeps its blocks until resumed as often as suspended.
    virtual void suspend() = 0;
    virtual void resume() = 0;
};

// Makes the serial queues of the process. The default factory gives each
// queue a thread of its own; tests install a ManualQueueFactory so that
// every queue made afterwards runs only when drained.
class QueueFactory {
public:
    virtual ~QueueFactory() = default;
    virtual std::shared_ptr<Queue> makeSerialQueue(std::string label) = 0;
};

std::shared_ptr<Queue> makeSerialQueue(std::string label);
// nullptr restores the default factory.
void setQueueFactory(std::shared_ptr<QueueFactory> factory);

// A queue whose blocks run on the thread that drains it. Any thread may add
// blocks.
class ManualQueue : public Queue {
public:
    explicit ManualQueue(std::string label);
    ~ManualQueue() override;

    void async(Block block) override;
    void sync(const Block& block) override;
    bool isCurrent() const override;
    const std::string& label() const override;
    void suspend() override;
    void resume() override;

    // Runs blocks, including those added meanwhile, until none is left (or
    // the queue is suspended); answers how many ran.
    std::size_t drain();
    std::size_t pendingCount() const;

protected:
    // Runs one of the queue's blocks on the calling thread.
    virtual void perform(const Block& block) { block(); }

private:
    bool runOne();

    struct State;
    std::unique_ptr<State> state_;
};

// The queue of the user interface. Its blocks run on the main thread, when
// the process runs its loop (runUntilStopped) or a test drains it; each
// block is a turn of the main loop (MainLoopTurn) of its own, unless it runs
// inside one already.
class MainQueue : public ManualQueue {
public:
    MainQueue();
    // Runs blocks as they arrive until stop() is called from any thread.
    void runUntilStopped();
    // Runs blocks as they arrive until the predicate holds or the real time
    // limit passes; answers whether the predicate held.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
    void stop();

    void async(Block block) override;
    // A resumed main queue wakes its loop for the blocks it held back.
    void resume() override;

protected:
    void perform(const Block& block) override;

private:
    struct Loop;
    void wakeLoop(bool stopping);
    std::shared_ptr<Loop> loop_;
};

MainQueue& mainQueue();
std::shared_ptr<MainQueue> mainQueuePointer();
bool isMainThread();

// Makes ManualQueues and remembers them, so that a test can run every
// queue of the process, the main queue included, until all are idle.
class ManualQueueFactory : public QueueFactory {
public:
    ManualQueueFactory();
    ~ManualQueueFactory() override;
    std::shared_ptr<Queue> makeSerialQueue(std::string label) override;
    std::size_t drainAll();
    std::size_t queueCount() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform::dispatch
