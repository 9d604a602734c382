#pragma once

// The advertising-identifier framework as an application links it.

#include <chrono>
#include <cstddef>
#include <string>

namespace platform::adsupport {

// Controls the stand-in: whether the framework is linked (its class
// "ASIdentifierManager" is in the class registry and answers "sharedManager"
// with a manager that answers "advertisingIdentifier" and
// "isAdvertisingTrackingEnabled"), what the manager answers, and how long it
// takes to answer the identifier. Safe from any thread.
class AdvertisingIdentifierManager {
public:
    static constexpr const char* kClassName = "ASIdentifierManager";
    // What the platform answers while tracking is not authorised.
    static constexpr const char* kZeroIdentifier = "00000000-0000-0000-0000-000000000000";

    static void link();
    static void unlink();
    static bool isLinked();

    // The identifier's UUID text; the all-zero identifier until set.
    static void setAdvertisingIdentifier(std::string identifier);
    static std::string advertisingIdentifier();
    // Off until set.
    static void setAdvertisingTrackingEnabled(bool enabled);

    // Each identifier answer waits this long first (0, the default, answers
    // at once), unless releaseDelayedAnswers() ends the wait earlier: a slow
    // platform that a test can let go.
    static void setAnswerDelay(std::chrono::nanoseconds delay);
    static void releaseDelayedAnswers();

    // How often the manager was asked for the identifier, and how many of
    // those answers have been given.
    static std::size_t identifierRequestCount();
    // Blocks until the identifier has been asked for `count` times in all:
    // a test releases a delayed answer only once it is being waited for,
    // since a release reaches only the answers already waiting.
    static void waitForIdentifierRequests(std::size_t count);
    static std::size_t identifierAnswerCount();

    // Unlinked, the all-zero identifier, tracking off, no delay, no counts.
    // Answers that are still waiting are released first.
    static void reset();
};

}  // namespace platform::adsupport
