#include <doctest/doctest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/main_loop_turn.h"
#include "platform/dispatch/queue.h"

using platform::dispatch::MainLoopTurn;

TEST_CASE("work put off to the end of a turn runs once the outermost turn ends") {
    std::vector<std::string> order;
    auto note = [&](std::string what) { return [&order, what] { order.push_back(what); }; };

    SUBCASE("outside a turn it runs at once") {
        MainLoopTurn::atEnd(note("now"));
        CHECK(order == std::vector<std::string>{"now"});
        CHECK_FALSE(MainLoopTurn::isOpen());
    }
    SUBCASE("nested turns join the outer one; what the end's work puts off runs at once") {
        {
            MainLoopTurn outer;
            MainLoopTurn::atEnd(note("first"));
            {
                MainLoopTurn inner;
                MainLoopTurn::atEnd([&] {
                    order.push_back(MainLoopTurn::isOpen() ? "second, inside" : "second");
                    MainLoopTurn::atEnd(note("from the end"));
                });
            }
            order.push_back("inner ended");
            CHECK(MainLoopTurn::isOpen());
        }
        CHECK(order == std::vector<std::string>{"inner ended", "first", "second", "from the end"});
    }
    SUBCASE("work that throws does not keep the rest from running") {
        {
            MainLoopTurn turn;
            MainLoopTurn::atEnd([] { throw std::runtime_error("broken"); });
            MainLoopTurn::atEnd(note("after"));
        }
        CHECK(order == std::vector<std::string>{"after"});
    }
    SUBCASE("a turn belongs to its thread") {
        MainLoopTurn turn;
        std::thread([&] { MainLoopTurn::atEnd(note("other thread")); }).join();
        CHECK(order == std::vector<std::string>{"other thread"});
    }
    SUBCASE("each block of the main queue is a turn of its own") {
        auto& main = platform::dispatch::mainQueue();
        main.async([&] {
            MainLoopTurn::atEnd(note("end of 1"));
            order.push_back("block 1");
        });
        main.async(note("block 2"));
        main.drain();
        CHECK(order == std::vector<std::string>{"block 1", "end of 1", "block 2"});
    }
}
