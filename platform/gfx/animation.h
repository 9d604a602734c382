#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform::gfx {

enum class FillMode { removed, forwards, backwards, both };

// A property animation of a layer, by key path ("opacity", "strokeEnd",
// "transform.rotation.z", ...). Nothing moves here: an animation takes
// effect at once (see Layer::presentationValue) and ends on the process
// clock, when its duration has passed, through a timer on the main queue.
struct BasicAnimation {
    std::string keyPath;
    std::optional<double> fromValue;
    std::optional<double> toValue;
    std::optional<double> byValue;
    double duration = 0.25;
    double beginTime = 0;
    std::string timingFunction = "default";  // "linear", "easeIn", "easeOut", "easeInEaseOut"
    FillMode fillMode = FillMode::removed;
    bool removedOnCompletion = true;
    double repeatCount = 0;  // 0 runs once
    bool cumulative = false;
    // Called once when the animation ends: true after its duration, false
    // when it was removed or replaced first.
    std::function<void(bool finished)> onStop;

    double activeDuration() const;  // begin time plus duration times repeats
};

// Groups animations: the completion block of a transaction runs on the main
// queue once every animation added between begin and commit has ended (at
// once, on the next turn of the main queue, when there was none).
class Transaction {
public:
    static void begin();
    static void commit();
    static void setCompletionBlock(std::function<void()> block);
    static void setAnimationDuration(double seconds);
    static double animationDuration();  // 0.25 outside a transaction that set one
    static void setDisableActions(bool disable);
    static bool disableActions();

    // Called by layers as animations are added.
    static void noteAnimation(double activeDuration);
};

// Runs a block on the main queue after a delay on the process clock.
void runOnMainAfter(double seconds, std::function<void()> block);

}  // namespace platform::gfx
