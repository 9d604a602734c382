#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

// Where the application's analytics events go. The shell plugs the
// measurement engine's public interface in with setAnalytics; until then
// (and in tests) events are kept by a RecordingAnalytics sink.
namespace velmora {

class AnalyticsSink {
public:
    virtual ~AnalyticsSink() = default;
    // Parameter values: strings, numbers, or lists of dictionaries.
    virtual void logEventWithName(const std::string& name, const platform::Value::Dictionary& parameters) = 0;
};

// Keeps the latest kCapacity events, so that a process that never installs
// another sink does not grow for ever.
class RecordingAnalytics : public AnalyticsSink {
public:
    static constexpr std::size_t kCapacity = 1000;

    struct Event {
        std::string name;
        platform::Value::Dictionary parameters;
    };

    void logEventWithName(const std::string& name, const platform::Value::Dictionary& parameters) override;

    std::vector<Event> events() const;
    // The kept events of one name, oldest first.
    std::vector<Event> events(const std::string& name) const;
    std::vector<std::string> eventNames() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::deque<Event> events_;
};

// The process-wide sink; a RecordingAnalytics until one is set.
std::shared_ptr<AnalyticsSink> analytics();
void setAnalytics(std::shared_ptr<AnalyticsSink> sink);

// Shorthand for analytics()->logEventWithName(...).
void logEvent(const std::string& name, const platform::Value::Dictionary& parameters = {});

}  // namespace velmora
