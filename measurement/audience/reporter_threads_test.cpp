// The reporters under real threads: ad-unit begins and ends from several
// threads, screen changes from the main thread and from others, engagement
// timer firings and lifecycle relays, and concurrent session starts. Run
// under ThreadSanitizer to check the locking; the assertions check that
// nothing is lost, doubled or deadlocked.
#include <doctest/doctest.h>

#include <atomic>
#include <set>
#include <thread>

#include "measurement/audience/reporter_test_support.h"
#include "measurement/audience/view_controller_tracking.h"

using namespace reporter_test;

TEST_CASE("ad units, screen changes, timer firings and session starts from many threads at once") {
    ReporterFixture f(Settings{{"measurement.collection.efficient_engagement_reporting_enabled", "true"}},
                      /*manualQueues=*/false);
    Interception hooks(f);
    f.sessions->setReportingEnabled(true);
    auto home = std::make_shared<HomePage>();
    f.show(home);
    f.activate();
    // Expired, and then current for the rest of the test: the starts below
    // race for one session.
    f.sessions->setTimeoutSessionInterval(86400);
    f.persisted->setLastSessionActivityClockTime(0);
    const auto sessionsBefore = f.persisted->sessionNumber();

    constexpr int kAdThreads = 4;
    constexpr int kRounds = 150;
    std::atomic<int> ready{0};
    std::atomic<int> sessionStarts{0};
    // The session race comes first, before the main thread's engagement
    // records activity of its own.
    std::atomic<int> raced{0};
    auto race = [&] {
        if (f.sessions->startNewSessionIfExpired()) ++sessionStarts;
        ++raced;
    };
    std::vector<std::thread> threads;
    auto waitForAll = [&] {
        ++ready;
        while (ready.load() < kAdThreads + 2) std::this_thread::yield();
    };
    for (int t = 0; t < kAdThreads; ++t) {
        threads.emplace_back([&, t] {
            waitForAll();
            race();
            for (int i = 0; i < kRounds; ++i) {
                const auto unit = "unit" + std::to_string(t) + "_" + std::to_string(i % 3);
                f.ads->beginAdUnitExposure(unit);
                if (i % 2 == 0) f.ads->beginAdUnitExposure(unit);  // nested
                if (i % 2 == 0) f.ads->endAdUnitExposure(unit);
                f.ads->endAdUnitExposure(unit);
            }
        });
    }
    threads.emplace_back([&] {
        waitForAll();
        race();
        for (int i = 0; i < kRounds; ++i) {
            f.screens->trackScreenWithParameters({{"screen_name", "Tracked" + std::to_string(i)}}, 1700000000.0 + i);
            (void)f.screens->screenParameters();
        }
    });
    threads.emplace_back([&] {
        waitForAll();
        race();
        for (int i = 0; i < kRounds; ++i) {
            if (f.sessions->startNewSessionIfExpired()) ++sessionStarts;
            (void)f.sessions->isSessionExpired();
            f.sessions->extendSession();
        }
    });

    // The main thread: screen changes by controller, timer firings (each
    // cuts the open ad periods and logs engagement) and relays.
    std::vector<std::shared_ptr<platform::ui::ViewController>> pages = {home, std::make_shared<DetailPage>(),
                                                                        std::make_shared<SettingsPage>()};
    for (auto& page : pages) page->loadViewIfNeeded();
    while (raced.load() < kAdThreads + 2) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) {
        f.window->setRootViewController(pages[static_cast<std::size_t>(i) % pages.size()]);
        f.advance(i % 10 == 0 ? 3600 : 1);
        if (i % 25 == 0) {
            f.screens->handleApplicationWillResignActive();
            f.screens->handleApplicationDidBecomeActive();
        }
    }
    for (auto& thread : threads) thread.join();
    f.settle();
    f.screens->queue()->sync([] {});
    f.ads->queue()->sync([] {});

    CHECK(f.ads->activeAdUnits().empty());
    CHECK(sessionStarts.load() == 1);
    CHECK(f.persisted->sessionNumber() == sessionsBefore + 1);
    for (const auto& event : f.host->events()) {
        if (event.name == "_xu" || event.name == "_xa") CHECK(event.integer("_xt") > 999);
    }
    // Every screen has an instance ID of its own.
    std::set<std::int64_t> tracked;
    for (const auto& event : f.host->eventsNamed("_vs")) {
        if (event.origin == "app") CHECK(tracked.insert(event.integer("_si")).second);
    }
    CHECK(tracked.size() == static_cast<std::size_t>(kRounds));
    CHECK(f.host->eventsNamed("_e").size() >= static_cast<std::size_t>(kRounds / 10));
}
