#include <doctest/doctest.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "platform/foundation/notification_center.h"

using platform::Notification;
using platform::NotificationCenter;
using platform::ObserverToken;
using platform::Value;

TEST_CASE("notifications reach matching observers in order") {
    NotificationCenter center;
    std::vector<std::string> heard;
    int sender = 0;
    int otherSender = 0;
    auto record = [&](std::string who) { return [&heard, who](const Notification& n) { heard.push_back(who + ":" + n.name); }; };

    auto first = center.addObserver("didLoadMenu", nullptr, record("first"));
    auto second = center.addObserver("didLoadMenu", &sender, record("second"));
    auto any = center.addObserver("", nullptr, record("any"));
    auto third = center.addObserver("didLoadMenu", nullptr, record("third"));

    SUBCASE("registration order, name and object filters") {
        center.post("didLoadMenu", &sender);
        CHECK(heard == std::vector<std::string>{"first:didLoadMenu", "second:didLoadMenu", "any:didLoadMenu",
                                                "third:didLoadMenu"});
        heard.clear();
        center.post("didLoadMenu", &otherSender);
        CHECK(heard == std::vector<std::string>{"first:didLoadMenu", "any:didLoadMenu", "third:didLoadMenu"});
        heard.clear();
        center.post("didLoadOffers");
        CHECK(heard == std::vector<std::string>{"any:didLoadOffers"});
    }
    SUBCASE("the user info and sender arrive unchanged") {
        std::optional<Notification> got;
        auto token = center.addObserver("withInfo", nullptr, [&](const Notification& n) { got = n; });
        center.post("withInfo", &sender, {{"count", 3}, {"name", "x"}});
        REQUIRE(got);
        CHECK(got->object == &sender);
        CHECK(got->userInfo == Value::Dictionary{{"count", 3}, {"name", "x"}});
    }
    SUBCASE("a token removes its observer when destroyed or asked") {
        { ObserverToken moved = std::move(second); }
        first.remove();
        CHECK_FALSE(first.isActive());
        center.post("didLoadMenu", &sender);
        CHECK(heard == std::vector<std::string>{"any:didLoadMenu", "third:didLoadMenu"});
        first.remove();  // twice is harmless
    }
    SUBCASE("a moved token still removes its observer") {
        ObserverToken kept;
        kept = std::move(third);
        CHECK_FALSE(third.isActive());
        CHECK(kept.isActive());
        kept = ObserverToken();
        center.post("didLoadMenu", &sender);
        CHECK(heard == std::vector<std::string>{"first:didLoadMenu", "second:didLoadMenu", "any:didLoadMenu"});
    }
}

TEST_CASE("observers may change the centre during a delivery") {
    NotificationCenter center;
    std::vector<std::string> heard;
    std::optional<ObserverToken> victim;
    std::optional<ObserverToken> self;
    std::optional<ObserverToken> late;

    auto remover = center.addObserver("n", nullptr, [&](const Notification&) {
        heard.push_back("remover");
        victim.reset();
    });
    self = center.addObserver("n", nullptr, [&](const Notification&) {
        heard.push_back("self");
        self.reset();  // the block removes, and so destroys, itself
    });
    victim = center.addObserver("n", nullptr, [&](const Notification&) { heard.push_back("victim"); });
    auto adder = center.addObserver("n", nullptr, [&](const Notification&) {
        heard.push_back("adder");
        if (!late) late = center.addObserver("n", nullptr, [&](const Notification&) { heard.push_back("late"); });
    });

    center.post("n");
    CHECK(heard == std::vector<std::string>{"remover", "self", "adder"});
    heard.clear();
    center.post("n");
    CHECK(heard == std::vector<std::string>{"remover", "adder", "late"});

    SUBCASE("a block may post again") {
        heard.clear();
        auto echo = center.addObserver("ping", nullptr, [&](const Notification&) { center.post("pong"); });
        auto pong = center.addObserver("pong", nullptr, [&](const Notification&) { heard.push_back("pong"); });
        center.post("ping");
        CHECK(heard == std::vector<std::string>{"pong"});
    }
}

TEST_CASE("observers registered for an owner leave together") {
    NotificationCenter center;
    int menu = 0;
    int sender = 0;
    int calls = 0;
    center.addObserver(&menu, "didLoadMenu", nullptr, [&](const Notification&) { ++calls; });
    center.addObserver(&menu, "didBecomeActive", nullptr, [&](const Notification&) { ++calls; });
    center.addObserver(&menu, "fromSender", &sender, [&](const Notification&) { ++calls; });

    SUBCASE("everything") {
        center.removeObserver(&menu);
        center.post("didLoadMenu");
        center.post("didBecomeActive");
        center.post("fromSender", &sender);
        CHECK(calls == 0);
    }
    SUBCASE("by name and sender") {
        center.removeObserver(&menu, "didLoadMenu");
        center.removeObserver(&menu, "fromSender", &menu);  // another sender: stays
        center.post("didLoadMenu");
        center.post("didBecomeActive");
        center.post("fromSender", &sender);
        CHECK(calls == 2);
    }
}

TEST_CASE("a token outliving its centre is harmless") {
    ObserverToken token;
    {
        NotificationCenter center;
        token = center.addObserver("n", nullptr, [](const Notification&) {});
    }
    token.remove();
    CHECK_FALSE(token.isActive());
}

TEST_CASE("the centre is safe across threads") {
    NotificationCenter center;

    SUBCASE("posts from several threads all arrive") {
        std::atomic<int> count{0};
        auto token = center.addObserver("tick", nullptr, [&](const Notification&) { ++count; });
        std::atomic<bool> stop{false};
        std::thread churn([&] {
            while (!stop) {
                auto passing = center.addObserver("tick", nullptr, [](const Notification&) {});
            }
        });
        std::vector<std::thread> posters;
        for (int t = 0; t < 4; ++t) {
            posters.emplace_back([&] {
                for (int i = 0; i < 500; ++i) center.post("tick");
            });
        }
        for (auto& p : posters) p.join();
        stop = true;
        churn.join();
        CHECK(count == 2000);
    }
    SUBCASE("removal waits for a call running on another thread") {
        std::promise<void> entered;
        std::promise<void> release;
        auto released = release.get_future().share();
        std::atomic<bool> blockFinished{false};
        auto token = center.addObserver("slow", nullptr, [&](const Notification&) {
            entered.set_value();
            released.wait();
            blockFinished = true;
        });
        std::thread poster([&] { center.post("slow"); });
        entered.get_future().wait();
        std::atomic<bool> removed{false};
        std::atomic<bool> finishedFirst{false};
        std::thread remover([&] {
            token.remove();
            finishedFirst = blockFinished.load();
            removed = true;
        });
        CHECK_FALSE(removed);
        release.set_value();
        remover.join();
        poster.join();
        CHECK(removed);
        CHECK(finishedFirst);
    }
}
