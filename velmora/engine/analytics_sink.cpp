#include "velmora/engine/analytics_sink.h"

namespace velmora {

namespace {

std::mutex gSinkMutex;

std::shared_ptr<AnalyticsSink>& sinkSlot() {
    static std::shared_ptr<AnalyticsSink> sink = std::make_shared<RecordingAnalytics>();
    return sink;
}

}  // namespace

void RecordingAnalytics::logEventWithName(const std::string& name, const platform::Value::Dictionary& parameters) {
    std::lock_guard lock(mutex_);
    if (events_.size() == kCapacity) events_.pop_front();
    events_.push_back({name, parameters});
}

std::vector<RecordingAnalytics::Event> RecordingAnalytics::events() const {
    std::lock_guard lock(mutex_);
    return {events_.begin(), events_.end()};
}

std::vector<RecordingAnalytics::Event> RecordingAnalytics::events(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::vector<Event> out;
    for (const auto& event : events_) {
        if (event.name == name) out.push_back(event);
    }
    return out;
}

std::vector<std::string> RecordingAnalytics::eventNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& event : events_) names.push_back(event.name);
    return names;
}

void RecordingAnalytics::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

std::shared_ptr<AnalyticsSink> analytics() {
    std::lock_guard lock(gSinkMutex);
    return sinkSlot();
}

void setAnalytics(std::shared_ptr<AnalyticsSink> sink) {
    if (!sink) sink = std::make_shared<RecordingAnalytics>();
    std::lock_guard lock(gSinkMutex);
    sinkSlot() = std::move(sink);
}

void logEvent(const std::string& name, const platform::Value::Dictionary& parameters) {
    analytics()->logEventWithName(name, parameters);
}

}  // namespace velmora
