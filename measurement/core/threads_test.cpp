// Tests of the engine under real threads: events logged from many threads while it starts.
#include <doctest/doctest.h>

#include <set>
#include <thread>
#include <vector>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"

using namespace measurement;
using measurement::testing::EngineFixture;
using measurement::testing::intParameter;

TEST_CASE("every event accepted before the application resigns active is stored, from many threads") {
    EngineFixture engine(false);  // real queues and threads
    constexpr int kThreads = 8;
    constexpr int kEventsPerThread = 60;
    // Configured on the test thread while the loggers already run: the
    // engine starts on its own thread meanwhile.
    std::vector<std::thread> loggers;
    REQUIRE(platform::VEZApp::configure());
    for (int t = 0; t < kThreads; ++t) {
        loggers.emplace_back([t] {
            for (int i = 0; i < kEventsPerThread; ++i) {
                VEZArurerudo::logEventWithName("thread_event", {{"thread", t}, {"index", i}});
            }
        });
    }
    for (auto& logger : loggers) logger.join();

    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    REQUIRE(platform::BackgroundTasks::shared().waitUntilNoActiveTask(120));

    std::set<std::pair<std::int64_t, std::int64_t>> seen;
    int firstOpens = 0;
    for (const auto& raw : engine.rawEvents()) {
        if (raw.event().name() == "_f") ++firstOpens;
        if (raw.event().name() != "thread_event") continue;
        seen.emplace(intParameter(raw.event(), "thread"), intParameter(raw.event(), "index"));
    }
    CHECK(firstOpens == 1);
    CHECK(seen.size() == static_cast<std::size_t>(kThreads * kEventsPerThread));
    // Each thread's events in the order it logged them.
    std::vector<int> next(kThreads, 0);
    bool ordered = true;
    for (const auto& raw : engine.rawEvents()) {
        if (raw.event().name() != "thread_event") continue;
        const auto t = intParameter(raw.event(), "thread");
        ordered = ordered && intParameter(raw.event(), "index") == next[static_cast<std::size_t>(t)]++;
    }
    CHECK(ordered);
}
