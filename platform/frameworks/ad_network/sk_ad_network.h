#pragma once

// The ad-network attribution framework's conversion-value update, as an
// application calls it.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"

namespace platform {

// The framework's error domain and the codes of the stand-in's own checks.
inline constexpr const char* SKANErrorDomain = "SKANErrorDomain";
inline constexpr long kSKANErrorInvalidFineValue = 8;
inline constexpr long kSKANErrorInvalidCoarseValue = 9;

// The coarse conversion values.
inline constexpr const char* SKAdNetworkCoarseConversionValueLow = "low";
inline constexpr const char* SKAdNetworkCoarseConversionValueMedium = "medium";
inline constexpr const char* SKAdNetworkCoarseConversionValueHigh = "high";

struct SKANError {
    std::string domain;
    long code = 0;
    std::string message;
    bool operator==(const SKANError&) const = default;
};

// The conversion-value update. Each call completes once, later, on the
// framework's own serial queue (another thread in a program; a manual queue
// that tests drain), with no error or the error of the update. The stand-in
// checks the values (fine 0 to 63, coarse one of the three constants),
// records every update with its outcome, and fails the updates a test asks
// it to; it keeps no postback windows and sends nothing anywhere. Safe from
// any thread.
class SKAdNetwork {
public:
    using CompletionHandler = std::function<void(const std::optional<SKANError>& error)>;

    static void updatePostbackConversionValue(long fineValue, const std::string& coarseValue, bool lockWindow,
                                              CompletionHandler completionHandler);

    // One update as it was asked for, and how it ended.
    struct Update {
        long fineValue = 0;
        std::string coarseValue;
        bool lockWindow = false;
        std::optional<SKANError> error;
    };
    static std::vector<Update> updates();
    // The next `count` updates fail with the error.
    static void failNextUpdates(int count, SKANError error);
    // The queue completions arrive on, made on first use.
    static std::shared_ptr<dispatch::Queue> completionQueue();
    // Nothing recorded, no failures, a new completion queue.
    static void reset();
};

}  // namespace platform
