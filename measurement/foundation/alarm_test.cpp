// Tests of the alarms: arming, firing, cancelling and re-arming.
#include <doctest/doctest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "measurement/foundation/alarm.h"
#include "measurement/foundation/first_use_queue.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "platform/dispatch/timer.h"

using namespace measurement;
using platform::dispatch::ManualTime;

TEST_CASE("alarms fire once on their queue at the scheduled time") {
    ManualTime time;
    APMMonitorCapture capture;
    auto queue = platform::dispatch::makeSerialQueue("alarm queue");
    APMAlarm alarm(queue, "Measurement timer");
    const double start = time.now();
    std::vector<double> firings;
    auto record = [&] {
        CHECK(queue->isCurrent());
        firings.push_back(time.now());
    };

    SUBCASE("armed, logged, fired and no longer armed") {
        CHECK_FALSE(alarm.scheduledTimestamp());
        alarm.runAfterDelay(15, record);
        REQUIRE(alarm.scheduledTimestamp());
        CHECK(*alarm.scheduledTimestamp() == doctest::Approx(start + 15));
        auto scheduled = capture.entriesWithCode(2002);
        REQUIRE(scheduled.size() == 1);
        CHECK(scheduled[0].level == 7);
        CHECK(scheduled[0].message == "Measurement timer scheduled to fire in approx. (s)");
        CHECK(scheduled[0].contexts == std::vector<platform::Value>{platform::Value(15.0)});

        time.advance(14.9);
        CHECK(firings.empty());
        time.advance(0.2);
        REQUIRE(firings.size() == 1);
        CHECK(firings[0] == doctest::Approx(start + 15));
        CHECK_FALSE(alarm.scheduledTimestamp());
        auto fired = capture.entriesWithCode(2001);
        REQUIRE(fired.size() == 1);
        CHECK(fired[0].message == "Measurement timer fired");
        // Firing is not a cancellation.
        CHECK_FALSE(capture.hasCode(2003));
        CHECK_FALSE(capture.hasCode(2004));
        time.advance(100);
        CHECK(firings.size() == 1);
    }
    SUBCASE("re-arming replaces the pending firing") {
        alarm.runAfterDelay(10, record);
        time.advance(5);
        alarm.runAfterDelay(10, record);
        CHECK(capture.count(2003) == 1);
        CHECK(*alarm.scheduledTimestamp() == doctest::Approx(start + 15));
        time.advance(6);
        CHECK(firings.empty());
        time.advance(4);
        REQUIRE(firings.size() == 1);
        CHECK(firings[0] == doctest::Approx(start + 15));
    }
    SUBCASE("an alarm can re-arm itself from its own block") {
        int rounds = 0;
        std::function<void()> again = [&] {
            if (++rounds < 3) alarm.runAfterDelay(60, again);
        };
        alarm.runAfterDelay(60, again);
        time.advance(1000);
        CHECK(rounds == 3);
        CHECK(capture.count(2001) == 3);
        CHECK_FALSE(alarm.scheduledTimestamp());
    }
    SUBCASE("a delay in the past fires at once") {
        alarm.runAfterDelay(-30, record);
        CHECK(*alarm.scheduledTimestamp() == doctest::Approx(start - 30));
        time.settle();
        REQUIRE(firings.size() == 1);
        CHECK(firings[0] == doctest::Approx(start));
    }
    SUBCASE("a delay that is not a number fires at once, armed for now") {
        alarm.runAfterDelay(std::numeric_limits<double>::quiet_NaN(), record);
        REQUIRE(alarm.scheduledTimestamp());
        CHECK(*alarm.scheduledTimestamp() == doctest::Approx(start));
        time.settle();
        REQUIRE(firings.size() == 1);
        CHECK(firings[0] == doctest::Approx(start));
    }
    SUBCASE("cancel: logged when armed, nothing when not") {
        alarm.cancel();
        CHECK(capture.entries().empty());
        alarm.runAfterDelay(5, record);
        alarm.cancel();
        auto canceled = capture.entriesWithCode(2003);
        REQUIRE(canceled.size() == 1);
        CHECK(canceled[0].message == "Measurement timer canceled");
        CHECK(canceled[0].level == 7);
        CHECK_FALSE(capture.hasCode(2004));
        CHECK_FALSE(alarm.scheduledTimestamp());
        time.advance(10);
        CHECK(firings.empty());
    }
    SUBCASE("a firing already on its way to the queue does nothing after a cancel") {
        alarm.runAfterDelay(5, record);
        REQUIRE(time.timers().fireNext(start + 5));  // posted to the queue, not yet run
        alarm.cancel();
        time.drain();
        CHECK(firings.empty());
        CHECK_FALSE(capture.hasCode(2001));
    }
    SUBCASE("a firing on its way does nothing after re-arming either") {
        alarm.runAfterDelay(5, record);
        REQUIRE(time.timers().fireNext(start + 5));
        alarm.runAfterDelay(20, record);
        time.drain();
        CHECK(firings.empty());
        time.advance(20);
        CHECK(firings.size() == 1);
    }
    SUBCASE("an empty block is refused and arms nothing") {
        alarm.runAfterDelay(5, record);
        alarm.runAfterDelay(1, nullptr);
        auto refused = capture.entriesWithCode(2000);
        REQUIRE(refused.size() == 1);
        CHECK(refused[0].level == 1);
        CHECK(refused[0].message == "Measurement timer tried to schedule an empty block");
        // The earlier arming stands.
        CHECK(*alarm.scheduledTimestamp() == doctest::Approx(start + 5));
        time.advance(5);
        CHECK(firings.size() == 1);
    }
    SUBCASE("an empty name becomes Timer; a destroyed alarm never fires") {
        bool fired = false;
        {
            APMAlarm unnamed(queue, "");
            CHECK(unnamed.name() == "Timer");
            unnamed.runAfterDelay(1, [&] { fired = true; });
            CHECK(capture.entriesWithCode(2002).back().message == "Timer scheduled to fire in approx. (s)");
        }
        time.advance(5);
        CHECK_FALSE(fired);
    }
}

namespace {
// Timers that report themselves stopped as soon as they are made.
class StoppedTimers : public platform::dispatch::TimerService {
    struct Stopped : platform::dispatch::Timer {
        void cancel() override {}
        bool isActive() const override { return false; }
        double fireDate() const override { return 0; }
    };

public:
    std::shared_ptr<platform::dispatch::Timer> schedule(std::shared_ptr<platform::dispatch::Queue>, double,
                                                        platform::dispatch::Block) override {
        return std::make_shared<Stopped>();
    }
};
}  // namespace

TEST_CASE("cancelling an alarm whose timer already stopped warns that it is not active") {
    ManualTime time;
    APMMonitorCapture capture;
    platform::dispatch::setTimerService(std::make_shared<StoppedTimers>());
    APMAlarm alarm(platform::dispatch::makeSerialQueue("q"), "SKAN conversion value fetch timer");
    alarm.runAfterDelay(5, [] {});
    alarm.cancel();
    auto warning = capture.entriesWithCode(2004);
    REQUIRE(warning.size() == 1);
    CHECK(warning[0].level == 4);
    CHECK(warning[0].message == "SKAN conversion value fetch timer is not active");
    CHECK_FALSE(alarm.scheduledTimestamp());
    platform::dispatch::setTimerService(nullptr);
}

TEST_CASE("the scheduler runs identified blocks on the worker queue") {
    ManualTime time;
    APMMonitorCapture capture;
    APMScheduler scheduler;
    std::vector<std::string> ran;

    scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:1", [&] {
        CHECK(scheduler.workerQueue()->isCurrent());
        ran.push_back("first");
    });
    scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:2", [] { throw std::runtime_error("boom"); });
    scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:3", [&] { ran.push_back("third"); });
    CHECK(ran.empty());
    time.drain();
    CHECK(ran == std::vector<std::string>{"first", "third"});
    auto caught = capture.entriesWithCode(30002);
    REQUIRE(caught.size() == 1);
    CHECK(caught[0].contexts == std::vector<platform::Value>{platform::Value("APMMeasurement:2"), platform::Value("boom")});

    SUBCASE("the background-thread check") {
        capture.clear();
        // The test body runs on the main thread.
        CHECK_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
        CHECK_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(""));
        auto entries = capture.entriesWithCode(30001);
        REQUIRE(entries.size() == 2);
        CHECK(entries[0].level == 1);
        CHECK(entries[0].message == "Method uploadData should execute on background thread");
        CHECK(entries[1].message == "Method <empty method name> should execute on background thread");

        // Worker blocks count as background work even when a test drains them
        // on the main thread.
        bool answer = false;
        scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:4", [&] {
            answer = APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
        });
        time.drain();
        CHECK(answer);
        // Another thread is not the main thread.
        std::thread other([&] { answer = APMScheduler::checkOnBackgroundThreadWithMethodName("x"); });
        other.join();
        CHECK(answer);
        // The main queue is the main thread.
        platform::dispatch::mainQueue().async([&] { answer = APMScheduler::checkOnBackgroundThreadWithMethodName("y"); });
        platform::dispatch::mainQueue().drain();
        CHECK_FALSE(answer);
        CHECK(capture.count(30001) == 3);
    }
}

TEST_CASE("a queue made on first use makes its queue when a block first reaches it, and only then") {
    auto factory = std::make_shared<platform::dispatch::ManualQueueFactory>();
    platform::dispatch::setQueueFactory(factory);
    const auto queue = APMMakeSerialQueueOnFirstUse("APMTestQueue");
    CHECK(queue->label() == "APMTestQueue");
    CHECK_FALSE(queue->isCurrent());
    CHECK(factory->queueCount() == 0);

    std::vector<int> ran;
    bool current = false;
    queue->async([&] {
        current = queue->isCurrent();
        ran.push_back(1);
    });
    queue->async([&] { ran.push_back(2); });
    CHECK(factory->queueCount() == 1);
    CHECK(ran.empty());
    factory->drainAll();
    CHECK(ran == std::vector<int>{1, 2});
    CHECK(current);
    CHECK_FALSE(queue->isCurrent());

    queue->suspend();
    queue->async([&] { ran.push_back(3); });
    factory->drainAll();
    CHECK(ran.size() == 2);
    queue->resume();
    factory->drainAll();
    CHECK(ran == std::vector<int>{1, 2, 3});
    CHECK(factory->queueCount() == 1);
    platform::dispatch::setQueueFactory(nullptr);
}

TEST_CASE("an alarm on a queue of its own thread can be re-armed and cancelled from another thread") {
    // Manual clock and timers, real queues: firings run on the queue's thread
    // while this thread keeps re-arming and cancelling.
    ManualTime time(false);
    APMMonitorCapture capture;
    auto queue = platform::dispatch::makeSerialQueue("alarm thread");
    APMAlarm alarm(queue, "Engagement timer");
    std::atomic<int> fired{0};
    for (int i = 0; i < 200; ++i) {
        alarm.runAfterDelay(0, [&] { fired.fetch_add(1); });
        time.settle();  // the firing is on its way to the queue's thread
        if (i % 2) {
            alarm.cancel();  // races the firing: it runs fully or not at all
        } else {
            queue->sync([] {});
        }
        alarm.scheduledTimestamp();
    }
    queue->sync([] {});
    CHECK(fired.load() >= 100);
    CHECK(fired.load() <= 200);
    CHECK(static_cast<int>(capture.count(2001)) == fired.load());
    CHECK_FALSE(alarm.scheduledTimestamp());
}
