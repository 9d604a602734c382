// Turns of a thread's loop and the work put off to their end.
#include "platform/dispatch/main_loop_turn.h"

#include <exception>
#include <iostream>
#include <utility>
#include <vector>

namespace platform::dispatch {

namespace {

struct TurnState {
    int depth = 0;
    std::vector<std::function<void()>> atEnd;
};

thread_local TurnState tTurn;

// Work put off to a turn's end runs whatever another piece of it throws,
// so that nothing put off is lost.
void runReporting(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        std::cerr << "dispatch: work at the end of a turn threw: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "dispatch: work at the end of a turn threw\n";
    }
}

}  // namespace

MainLoopTurn::MainLoopTurn() { ++tTurn.depth; }

MainLoopTurn::~MainLoopTurn() {
    if (--tTurn.depth > 0) return;
    // Work that puts off more work (outside any turn now, so it runs at
    // once) cannot grow the list under this loop; what a nested turn opened
    // meanwhile puts off is taken on the next pass.
    while (!tTurn.atEnd.empty()) {
        auto work = std::exchange(tTurn.atEnd, {});
        for (const auto& each : work) runReporting(each);
    }
}

bool MainLoopTurn::isOpen() { return tTurn.depth > 0; }

void MainLoopTurn::atEnd(std::function<void()> work) {
    if (!isOpen()) {
        work();
        return;
    }
    tTurn.atEnd.push_back(std::move(work));
}

}  // namespace platform::dispatch
