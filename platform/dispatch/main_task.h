// Work on the main queue that pauses without holding the queue: coroutines
// that await each other and pauses on the process clock.
#pragma once

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace platform::dispatch {

// Recorded with a task; the main queue runs its blocks in order whatever
// their priority.
enum class TaskPriority { background, utility, medium, userInitiated, high };

// Why a pause ended before its time.
struct TaskError {
    std::string description;
    bool operator==(const TaskError&) const = default;
};

namespace detail {

// One started task: owns the outermost coroutine's frame (and through it
// every frame it awaits) until the work ends.
struct TaskState : std::enable_shared_from_this<TaskState> {
    std::coroutine_handle<> root;
    std::exception_ptr* rootError = nullptr;
    bool cancelled = false;
    bool finished = false;
    std::function<void()> wake;  // set while paused: ends the pause early
    ~TaskState();
    // Continues the coroutine on the calling (main) thread.
    void resume(std::coroutine_handle<> coroutine);
};

struct PromiseBase {
    std::weak_ptr<TaskState> task;
    std::coroutine_handle<> continuation;  // the awaiting coroutine; none for a task's outermost one
    std::exception_ptr error;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> done) noexcept {
            auto next = done.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
};

template <class T>
struct ResultPromise : PromiseBase {
    std::optional<T> value;
    void return_value(T v) { value = std::move(v); }
    T take() { return std::move(*value); }
};

template <>
struct ResultPromise<void> : PromiseBase {
    void return_void() {}
    void take() {}
};

}  // namespace detail

// A coroutine's result: `co_await` it from another coroutine (it runs at
// once, on the same task), or start it as a task of its own.
template <class T = void>
class [[nodiscard]] Async {
public:
    struct promise_type : detail::ResultPromise<T> {
        Async get_return_object() { return Async(std::coroutine_handle<promise_type>::from_promise(*this)); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Async(Async&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Async& operator=(Async&& other) noexcept {
        if (this != &other) {
            if (handle_) handle_.destroy();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Async(const Async&) = delete;
    Async& operator=(const Async&) = delete;
    ~Async() {
        if (handle_) handle_.destroy();
    }

    bool await_ready() const noexcept { return !handle_ || handle_.done(); }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> awaiting) noexcept {
        handle_.promise().task = awaiting.promise().task;
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() {
        if (handle_.promise().error) std::rethrow_exception(handle_.promise().error);
        return handle_.promise().take();
    }

    // Gives up the frame to a task that will own it.
    Handle release() { return std::exchange(handle_, nullptr); }

private:
    explicit Async(Handle handle) : handle_(handle) {}
    Handle handle_;
};

// What the starter keeps of a task: it can cancel it and see it end.
// Main thread only.
class MainTask {
public:
    MainTask() = default;
    // Cancelled: a pause in progress ends at once (on the next turn of the
    // main queue) and every later pause fails at once.
    void cancel();
    bool isCancelled() const { return state_ && state_->cancelled; }
    bool isFinished() const { return !state_ || state_->finished; }
    TaskPriority priority() const { return priority_; }

private:
    friend MainTask startMainTask(TaskPriority priority, Async<void> work);
    std::shared_ptr<detail::TaskState> state_;
    TaskPriority priority_ = TaskPriority::medium;
};

// Runs the work on the main queue, starting on its next turn; returns at
// once. The task keeps its frames alive until the work ends; a task whose
// pause can never end (its timer dropped) releases them then.
MainTask startMainTask(TaskPriority priority, Async<void> work);

// `co_await sleepFor(seconds)` pauses the running task for that long on
// the process clock while the main queue goes on; it answers an error
// ("CancellationError()") when the task is cancelled before or during the
// pause, and one when awaited outside a started task.
class SleepFor {
public:
    explicit SleepFor(double seconds) : seconds_(seconds) {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> awaiting) {
        return pause(awaiting.promise().task.lock(), awaiting);
    }
    std::optional<TaskError> await_resume() { return std::move(result_); }

private:
    bool pause(const std::shared_ptr<detail::TaskState>& task, std::coroutine_handle<> awaiting);
    double seconds_;
    std::optional<TaskError> result_;
};

inline SleepFor sleepFor(double seconds) { return SleepFor(seconds); }

// `co_await nextTurn()` lets the blocks already on the main queue run first
// and goes on after them.
class NextTurn {
public:
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> awaiting) {
        return requeue(awaiting.promise().task.lock(), awaiting);
    }
    void await_resume() const noexcept {}

private:
    static bool requeue(const std::shared_ptr<detail::TaskState>& task, std::coroutine_handle<> awaiting);
};

inline NextTurn nextTurn() { return {}; }

inline const TaskError& cancellationError() {
    static const TaskError error{"CancellationError()"};
    return error;
}

}  // namespace platform::dispatch
