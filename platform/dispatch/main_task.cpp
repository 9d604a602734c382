// Work on the main queue that pauses without holding it.
#include "platform/dispatch/main_task.h"

#include <cstdio>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"

namespace platform::dispatch {

namespace detail {

TaskState::~TaskState() {
    // The work never ended (its pause was dropped with the clock that held
    // it): its frames go with the task.
    if (root && !finished) root.destroy();
}

void TaskState::resume(std::coroutine_handle<> coroutine) {
    auto keep = shared_from_this();
    coroutine.resume();
    if (!root || !root.done()) return;
    finished = true;
    if (rootError && *rootError) {
        try {
            std::rethrow_exception(*rootError);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "a main task ended with an exception: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "a main task ended with an exception\n");
        }
    }
    root.destroy();
    root = nullptr;
    rootError = nullptr;
}

}  // namespace detail

void MainTask::cancel() {
    if (!state_ || state_->cancelled) return;
    state_->cancelled = true;
    if (auto wake = std::move(state_->wake)) {
        state_->wake = nullptr;
        wake();
    }
}

MainTask startMainTask(TaskPriority priority, Async<void> work) {
    auto handle = work.release();
    MainTask task;
    task.priority_ = priority;
    task.state_ = std::make_shared<detail::TaskState>();
    if (!handle) {
        task.state_->finished = true;
        return task;
    }
    handle.promise().task = task.state_;
    task.state_->root = handle;
    task.state_->rootError = &handle.promise().error;
    mainQueue().async([state = task.state_] { state->resume(state->root); });
    return task;
}

namespace {

// One pause: the armed timer's block holds it, and it holds the task, so a
// paused task lives as long as its timer does and no longer.
struct Pause {
    std::shared_ptr<detail::TaskState> task;
};

}  // namespace

bool SleepFor::pause(const std::shared_ptr<detail::TaskState>& task, std::coroutine_handle<> awaiting) {
    if (!task) {
        result_ = TaskError{"not in a task"};
        return false;
    }
    if (task->cancelled) {
        result_ = cancellationError();
        return false;
    }
    auto pause = std::make_shared<Pause>(Pause{task});
    timers()->schedule(mainQueuePointer(), seconds_, [pause, awaiting] {
        auto paused = std::move(pause->task);
        if (!paused) return;  // ended early by a cancellation
        paused->wake = nullptr;
        paused->resume(awaiting);
    });
    // Cancelling ends the pause on the next turn instead and lets the timer
    // go empty; the awaiter lives in the paused frame, so it can take its
    // answer until then.
    std::weak_ptr<Pause> weakPause = pause;
    task->wake = [this, weakPause, awaiting] {
        auto ending = weakPause.lock();
        if (!ending || !ending->task) return;
        result_ = cancellationError();
        mainQueue().async([paused = std::move(ending->task), awaiting] { paused->resume(awaiting); });
    };
    return true;
}

bool NextTurn::requeue(const std::shared_ptr<detail::TaskState>& task, std::coroutine_handle<> awaiting) {
    if (!task) return false;  // outside a task there is no turn to wait for: go on at once
    mainQueue().async([task, awaiting] { task->resume(awaiting); });
    return true;
}

}  // namespace platform::dispatch
