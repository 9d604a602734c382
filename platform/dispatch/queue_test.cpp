#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch/queue.h"

using namespace platform::dispatch;

TEST_CASE("serial queues with threads of their own") {
    auto queue = makeSerialQueue("test.serial");

    SUBCASE("blocks run one at a time in order, and sync waits for them") {
        std::vector<int> order;
        for (int i = 0; i < 100; ++i) queue->async([&order, i] { order.push_back(i); });
        queue->sync([] {});
        REQUIRE(order.size() == 100);
        for (int i = 0; i < 100; ++i) CHECK(order[i] == i);
    }
    SUBCASE("isCurrent and sync from inside the queue") {
        bool inside = false;
        bool nested = false;
        queue->sync([&] {
            inside = queue->isCurrent();
            queue->sync([&] { nested = true; });  // must not wait for itself
        });
        CHECK(inside);
        CHECK(nested);
        CHECK_FALSE(queue->isCurrent());
    }
    SUBCASE("many threads adding at once lose nothing") {
        std::atomic<int> ran{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 500; ++i) queue->async([&] { ran.fetch_add(1); });
            });
        }
        for (auto& t : threads) t.join();
        queue->sync([] {});
        CHECK(ran.load() == 4000);
    }
    SUBCASE("a suspended queue keeps its blocks until resumed") {
        std::atomic<int> ran{0};
        queue->suspend();
        queue->async([&] { ran.fetch_add(1); });
        CHECK(ran.load() == 0);
        std::thread resumer([&] { queue->resume(); });
        queue->sync([] {});  // returns only once the queue runs again
        resumer.join();
        CHECK(ran.load() == 1);
        // A resume with no suspension left to undo holds nothing back later.
        queue->resume();
        std::promise<void> later;
        queue->async([&] { later.set_value(); });
        CHECK(later.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready);
    }
    SUBCASE("blocks that arrive together run in order, and one that suspends the queue holds back the rest") {
        std::promise<void> release;
        auto released = release.get_future().share();
        std::promise<void> suspended;
        std::atomic<bool> resumed{false};
        std::vector<int> order;
        queue->async([released] { released.wait(); });
        queue->async([&] {
            order.push_back(1);
            queue->suspend();
            suspended.set_value();
        });
        for (int i = 2; i <= 4; ++i) {
            queue->async([&, i] {
                CHECK(resumed.load());
                order.push_back(i);
            });
        }
        release.set_value();
        suspended.get_future().wait();
        resumed = true;
        queue->resume();
        queue->sync([] {});
        CHECK(order == std::vector<int>{1, 2, 3, 4});
    }
    SUBCASE("a throwing block neither stops the queue nor the process") {
        queue->async([] { throw std::runtime_error("boom"); });
        bool after = false;
        queue->sync([&] { after = true; });
        CHECK(after);
        CHECK_THROWS_AS(queue->sync([] { throw std::logic_error("to the caller"); }), std::logic_error);
    }
    SUBCASE("blocks added before the queue goes away still run") {
        std::atomic<int> ran{0};
        for (int i = 0; i < 10; ++i) queue->async([&] { ran.fetch_add(1); });
        queue.reset();
        CHECK(ran.load() == 10);
    }
}

TEST_CASE("manual queues run only when drained") {
    ManualQueue queue("test.manual");
    std::vector<int> order;

    SUBCASE("drain runs blocks, including those added meanwhile") {
        queue.async([&] {
            order.push_back(1);
            queue.async([&] { order.push_back(3); });
        });
        queue.async([&] { order.push_back(2); });
        CHECK(order.empty());
        CHECK(queue.pendingCount() == 2);
        CHECK(queue.drain() == 3);
        CHECK(order == std::vector<int>{1, 2, 3});
    }
    SUBCASE("sync runs the earlier blocks first") {
        queue.async([&] { order.push_back(1); });
        queue.sync([&] { order.push_back(2); });
        CHECK(order == std::vector<int>{1, 2});
    }
    SUBCASE("suspension holds blocks back") {
        queue.suspend();
        queue.async([&] { order.push_back(1); });
        CHECK(queue.drain() == 0);
        queue.resume();
        CHECK(queue.drain() == 1);
    }
    SUBCASE("isCurrent only inside its blocks") {
        bool inside = false;
        queue.async([&] { inside = queue.isCurrent(); });
        queue.drain();
        CHECK(inside);
        CHECK_FALSE(queue.isCurrent());
    }
}

TEST_CASE("the main queue and the main thread") {
    SUBCASE("the test runs on the main thread; other threads do not") {
        CHECK(isMainThread());
        bool other = true;
        std::thread([&] { other = isMainThread(); }).join();
        CHECK_FALSE(other);
    }
    SUBCASE("the run loop runs blocks posted from other threads until stopped") {
        std::atomic<int> ran{0};
        std::thread poster([&] {
            for (int i = 0; i < 50; ++i) mainQueue().async([&] { ran.fetch_add(1); });
            mainQueue().async([] { mainQueue().stop(); });
        });
        mainQueue().runUntilStopped();
        poster.join();
        mainQueue().drain();
        CHECK(ran.load() == 50);
    }
    SUBCASE("runUntil stops when its condition holds or its time is up") {
        bool flag = false;
        mainQueue().async([&] { flag = true; });
        CHECK(mainQueue().runUntil([&] { return flag; }, 5.0));
        CHECK_FALSE(mainQueue().runUntil([] { return false; }, 0.01));
    }
    SUBCASE("resuming the main queue from another thread wakes its loop") {
        bool ran = false;
        std::promise<void> looked;
        bool lookedOnce = false;
        mainQueue().suspend();
        mainQueue().async([&] { ran = true; });
        // Resumes only once the loop has found the queue held back and
        // gone to wait.
        std::thread resumer([future = looked.get_future()]() mutable {
            future.wait();
            mainQueue().resume();
        });
        const bool held = mainQueue().runUntil(
            [&] {
                if (!lookedOnce) {
                    lookedOnce = true;
                    looked.set_value();
                }
                return ran;
            },
            10.0);
        resumer.join();
        CHECK(held);
        CHECK(ran);
    }
}

TEST_CASE("a manual queue factory drains chains across queues") {
    auto factory = std::make_shared<ManualQueueFactory>();
    setQueueFactory(factory);
    auto a = makeSerialQueue("a");
    auto b = makeSerialQueue("b");
    std::vector<std::string> trail;
    a->async([&] {
        trail.push_back("a");
        b->async([&] {
            trail.push_back("b");
            mainQueue().async([&] { trail.push_back("main"); });
        });
    });
    CHECK(factory->queueCount() == 2);
    CHECK(factory->drainAll() == 3);
    CHECK(trail == std::vector<std::string>{"a", "b", "main"});
    setQueueFactory(nullptr);
    auto real = makeSerialQueue("real");
    CHECK(dynamic_cast<ManualQueue*>(real.get()) == nullptr);
}
