#include <doctest/doctest.h>

#include <future>
#include <limits>
#include <string>
#include <vector>

#include "platform/dispatch/timer.h"

using namespace platform::dispatch;

TEST_CASE("manual time fires timers in order on its clock") {
    ManualTime time;
    auto queue = makeSerialQueue("timers");
    const double start = time.now();
    std::vector<std::pair<std::string, double>> fired;
    auto record = [&](std::string name) {
        return [&fired, &time, name] { fired.emplace_back(name, time.now()); };
    };

    SUBCASE("in fire-date order, the clock standing at each fire date") {
        timers()->schedule(queue, 10, record("ten"));
        timers()->schedule(queue, 5, record("five"));
        timers()->schedule(queue, 5, record("five again"));
        time.advance(4.9);
        CHECK(fired.empty());
        time.advance(10);
        REQUIRE(fired.size() == 3);
        CHECK(fired[0] == std::make_pair(std::string("five"), start + 5));
        CHECK(fired[1].first == "five again");
        CHECK(fired[2] == std::make_pair(std::string("ten"), start + 10));
        CHECK(time.now() == doctest::Approx(start + 14.9));
    }
    SUBCASE("a cancelled timer never runs, even when its firing is already queued") {
        auto cancelled = timers()->schedule(queue, 1, record("cancelled"));
        CHECK(cancelled->isActive());
        cancelled->cancel();
        CHECK_FALSE(cancelled->isActive());
        auto late = timers()->schedule(queue, 1, record("late"));
        CHECK(time.timers().fireNext(time.now() + 1));  // posted, not yet run
        late->cancel();
        time.drain();
        CHECK(fired.empty());
    }
    SUBCASE("a fired timer is no longer active; a past delay fires at once") {
        auto timer = timers()->schedule(queue, -3, record("past"));
        CHECK(timer->fireDate() == doctest::Approx(start));
        time.settle();
        REQUIRE(fired.size() == 1);
        CHECK_FALSE(timer->isActive());
        CHECK(time.timers().activeCount() == 0);
        CHECK(time.timers().nextFireDate() < 0);
    }
    SUBCASE("timers armed by firing blocks fire within the same advance") {
        int rounds = 0;
        std::function<void()> rearm = [&] {
            if (++rounds < 5) timers()->schedule(queue, 2, rearm);
        };
        timers()->schedule(queue, 2, rearm);
        time.advance(9);
        CHECK(rounds == 4);
        time.advance(1);
        CHECK(rounds == 5);
    }
    SUBCASE("the clock's two readings move together; setNow moves the wall alone") {
        const double up = time.clock().uptime();
        time.advance(30);
        CHECK(time.clock().uptime() == doctest::Approx(up + 30));
        time.clock().setNow(start - 100);
        CHECK(currentClock()->now() == doctest::Approx(start - 100));
        CHECK(time.clock().uptime() == doctest::Approx(up + 30));
    }
}

TEST_CASE("a real timer with an endless delay stays pending and holds up no other") {
    auto queue = makeSerialQueue("endless timer");
    bool endlessRan = false;
    auto endless = timers()->schedule(queue, std::numeric_limits<double>::infinity(), [&] { endlessRan = true; });
    std::promise<void> fired;
    timers()->schedule(queue, 0.02, [&] { fired.set_value(); });
    REQUIRE(fired.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready);
    CHECK(endless->isActive());
    endless->cancel();
    queue->sync([] {});
    CHECK_FALSE(endlessRan);
}

TEST_CASE("real timers fire on their queue after their delay") {
    auto queue = makeSerialQueue("real timers");
    std::promise<bool> fired;
    const double scheduledAt = currentClock()->now();
    auto timer = timers()->schedule(queue, 0.05, [&] { fired.set_value(queue->isCurrent()); });
    auto result = fired.get_future();
    REQUIRE(result.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
    CHECK(result.get());
    CHECK(currentClock()->now() - scheduledAt >= 0.04);
    CHECK_FALSE(timer->isActive());

    std::promise<void> marker;
    bool cancelledRan = false;
    auto cancelled = timers()->schedule(queue, 0.01, [&] { cancelledRan = true; });
    cancelled->cancel();
    timers()->schedule(queue, 0.05, [&] { marker.set_value(); });
    marker.get_future().wait();
    CHECK_FALSE(cancelledRan);
}

TEST_CASE("a timer holds its block and queue only while it is armed") {
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> tokenWatch = token;

    SUBCASE("manual timers, cancelled") {
        ManualTime time;
        auto queue = makeSerialQueue("held by the timer");
        const std::weak_ptr<Queue> queueWatch = queue;
        auto timer = timers()->schedule(std::move(queue), 3600, [token = std::move(token)] {});
        CHECK_FALSE(tokenWatch.expired());
        CHECK_FALSE(queueWatch.expired());
        timer->cancel();
        CHECK(tokenWatch.expired());
        CHECK(queueWatch.expired());
    }
    SUBCASE("manual timers, fired") {
        ManualTime time;
        auto queue = makeSerialQueue("held by the timer");
        const std::weak_ptr<Queue> queueWatch = queue;
        bool ran = false;
        auto timer = timers()->schedule(std::move(queue), 1, [token = std::move(token), &ran] { ran = true; });
        time.advance(1);
        CHECK(ran);
        CHECK(tokenWatch.expired());
        CHECK(queueWatch.expired());
    }
    SUBCASE("real timers, cancelled long before their fire date") {
        auto queue = makeSerialQueue("held by the timer");
        const std::weak_ptr<Queue> queueWatch = queue;
        auto timer = timers()->schedule(std::move(queue), 3600, [token = std::move(token)] {});
        CHECK_FALSE(tokenWatch.expired());
        timer->cancel();
        CHECK(tokenWatch.expired());
        CHECK(queueWatch.expired());
    }
}
