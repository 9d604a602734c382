// Tests of tasks on the main queue and their pauses on the manual clock.
#include <doctest/doctest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch/main_task.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"

using namespace platform::dispatch;

namespace {

std::vector<std::string> trail;

Async<int> twice(int value) {
    trail.push_back("twice " + std::to_string(value));
    co_return value * 2;
}

Async<int> pausedSum(double seconds) {
    auto error = co_await sleepFor(seconds);
    trail.push_back(error ? "sum woke: " + error->description : "sum woke");
    int a = co_await twice(1);
    int b = co_await twice(2);
    co_return a + b;
}

Async<void> work(double seconds, int* result) {
    trail.push_back("start");
    *result = co_await pausedSum(seconds);
    trail.push_back("end " + std::to_string(*result));
}

Async<int> failing() {
    throw std::runtime_error("broken");
    co_return 0;
}

Async<void> catching() {
    try {
        co_await failing();
    } catch (const std::runtime_error& e) {
        trail.push_back(std::string("caught ") + e.what());
    }
}

struct Witness {
    bool* gone;
    ~Witness() { *gone = true; }
};

Async<void> holding(bool* gone) {
    Witness witness{gone};
    co_await sleepFor(10);
    trail.push_back("never");
}

Async<void> pausesAfterCancel(MainTask* self) {
    self->cancel();
    auto first = co_await sleepFor(1);
    auto second = co_await sleepFor(1);
    trail.push_back((first ? first->description : "none") + " / " + (second ? second->description : "none"));
}

Async<void> afterQueuedWork() {
    platform::dispatch::mainQueue().async([] { trail.push_back("queued before"); });
    trail.push_back("asks for a turn");
    co_await nextTurn();
    trail.push_back("goes on");
}

}  // namespace

TEST_CASE("a main task runs on the next turn and pauses on the clock") {
    ManualTime time;
    trail.clear();
    int result = 0;
    double start = time.now();

    SUBCASE("values come back through awaited work, after the pause and not before") {
        auto task = startMainTask(TaskPriority::userInitiated, work(2, &result));
        CHECK(task.priority() == TaskPriority::userInitiated);
        CHECK(trail.empty());  // started on the next turn, not inside the call
        time.settle();
        CHECK(trail == std::vector<std::string>{"start"});
        mainQueue().async([] { trail.push_back("other work meanwhile"); });
        time.advance(1.9);
        CHECK(trail == std::vector<std::string>{"start", "other work meanwhile"});
        CHECK_FALSE(task.isFinished());
        time.advance(0.1);
        CHECK(trail == std::vector<std::string>{"start", "other work meanwhile", "sum woke", "twice 1", "twice 2",
                                                "end 6"});
        CHECK(result == 6);
        CHECK(task.isFinished());
        CHECK(time.now() == doctest::Approx(start + 2));
    }
    SUBCASE("cancelling ends a pause at once with the cancellation error") {
        auto task = startMainTask(TaskPriority::medium, work(2, &result));
        time.settle();
        task.cancel();
        CHECK(task.isCancelled());
        time.settle();
        CHECK(trail.at(1) == "sum woke: CancellationError()");
        CHECK(task.isFinished());
        CHECK(time.now() == doctest::Approx(start));
        auto before = trail;
        time.advance(5);  // the emptied timer fires into nothing
        CHECK(trail == before);
    }
    SUBCASE("pauses after a cancellation fail without waiting") {
        MainTask task;
        task = startMainTask(TaskPriority::medium, pausesAfterCancel(&task));
        time.settle();
        CHECK(trail == std::vector<std::string>{"CancellationError() / CancellationError()"});
    }
    SUBCASE("waiting for the next turn lets queued blocks run first, without the clock") {
        startMainTask(TaskPriority::medium, afterQueuedWork());
        time.settle();
        CHECK(trail == std::vector<std::string>{"asks for a turn", "queued before", "goes on"});
        CHECK(time.now() == doctest::Approx(start));
    }
    SUBCASE("an exception reaches the awaiting coroutine") {
        startMainTask(TaskPriority::medium, catching());
        time.settle();
        CHECK(trail == std::vector<std::string>{"caught broken"});
    }
    SUBCASE("a pause outside a task fails rather than hanging") {
        Async<void> loose = [](std::vector<std::string>& out) -> Async<void> {
            auto error = co_await sleepFor(1);
            out.push_back(error ? error->description : "slept");
        }(trail);
        // awaited by nothing that runs in a task: drive it by hand
        auto handle = loose.release();
        handle.resume();
        CHECK(trail == std::vector<std::string>{"not in a task"});
        handle.destroy();
    }
}

TEST_CASE("a task whose pause is dropped releases what its frames hold") {
    trail.clear();
    bool gone = false;
    {
        ManualTime time;
        startMainTask(TaskPriority::medium, holding(&gone));
        time.settle();
        CHECK_FALSE(gone);
    }  // the clock and its armed timer go away
    CHECK(gone);
    CHECK(trail.empty());
}
