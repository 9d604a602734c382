// One turn of a thread's loop, and the work put off to its end.
#pragma once

#include <functional>

namespace platform::dispatch {

// One turn of the loop of the calling thread: the handling of one event (a
// block of the main queue, a command of the person) together with the work
// it sets off. Work put off to the end of the turn runs once the outermost
// turn open on the thread ends, in the order it was put off; turns opened
// inside a turn join it. A loop opens one for each event it handles; the
// main queue opens one for each of its blocks.
class MainLoopTurn {
public:
    MainLoopTurn();
    ~MainLoopTurn();
    MainLoopTurn(const MainLoopTurn&) = delete;
    MainLoopTurn& operator=(const MainLoopTurn&) = delete;

    // True while a turn is open on the calling thread (work done at a
    // turn's end is outside it).
    static bool isOpen();
    // Runs the work when the turn open on the calling thread ends; at once
    // when none is open.
    static void atEnd(std::function<void()> work);
};

}  // namespace platform::dispatch
