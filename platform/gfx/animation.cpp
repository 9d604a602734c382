#include "platform/gfx/animation.h"

#include <algorithm>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"

namespace platform::gfx {

double BasicAnimation::activeDuration() const {
    double repeats = repeatCount > 1 ? repeatCount : 1;
    return std::max(0.0, beginTime) + std::max(0.0, duration) * repeats;
}

namespace {

struct Frame {
    std::function<void()> completion;
    double longest = 0;
    std::optional<double> duration;
    bool disableActions = false;
};

thread_local std::vector<Frame> frames;

}  // namespace

void runOnMainAfter(double seconds, std::function<void()> block) {
    dispatch::timers()->schedule(dispatch::mainQueuePointer(), seconds, std::move(block));
}

void Transaction::begin() { frames.emplace_back(); }

void Transaction::commit() {
    if (frames.empty()) return;
    Frame frame = std::move(frames.back());
    frames.pop_back();
    if (!frames.empty()) frames.back().longest = std::max(frames.back().longest, frame.longest);
    if (frame.completion) runOnMainAfter(frame.longest, std::move(frame.completion));
}

void Transaction::setCompletionBlock(std::function<void()> block) {
    if (!frames.empty()) frames.back().completion = std::move(block);
}

void Transaction::setAnimationDuration(double seconds) {
    if (!frames.empty()) frames.back().duration = seconds;
}

double Transaction::animationDuration() {
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (it->duration) return *it->duration;
    }
    return 0.25;
}

void Transaction::setDisableActions(bool disable) {
    if (!frames.empty()) frames.back().disableActions = disable;
}

bool Transaction::disableActions() { return !frames.empty() && frames.back().disableActions; }

void Transaction::noteAnimation(double activeDuration) {
    if (!frames.empty()) frames.back().longest = std::max(frames.back().longest, activeDuration);
}

}  // namespace platform::gfx
