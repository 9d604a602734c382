#pragma once

// The event-editing workload of bench_event_editing and its two peers: the
// same program on duktape and on Lua 5.4, each behind a host that hands the
// program the event through native functions as the engine's host does,
// and keeps the same event records, typing rule, undo and equality.

#include <cstddef>
#include <optional>
#include <vector>

#include "measurement/foundation/edit_event.h"
#include "measurement/script/editing/event_context.h"
#include "measurement/script/editing/event_rules.h"
#include "measurement/store/remote_config_seams.h"

namespace bench {

// What came out of all events: edited events, created events and the
// parameters of the stored events, to show that every host did the same.
struct EditingTally {
    std::size_t edited = 0;
    std::size_t created = 0;
    std::size_t parameters = 0;

    void add(const measurement::APMEventEditingResult& result, const measurement::APMPEvent& input) {
        edited += result.hasEdits ? 1 : 0;
        created += result.eventsToLog.size();
        parameters += (result.hasEdits ? result.outputEvent : input).parameters().size();
        for (const auto& made : result.eventsToLog) parameters += made.parameters().size();
    }
    bool operator==(const EditingTally&) const = default;
};

// The result of one event as the engine's host reports it: the output
// (when edited) and the created events.
inline measurement::APMEventEditingResult resultOf(const measurement::APMPEventContext& context) {
    measurement::APMEventEditingResult result;
    result.hasEdits = !measurement::APMPEventIsEqualToEvent(context.outputEvent(), context.inputEvent());
    result.hasCreatedEvents = !context.eventsToLog().empty();
    if (result.hasEdits) result.outputEvent = context.outputEvent();
    result.eventsToLog = context.eventsToLog();
    return result;
}

// Seconds to handle every event, or nothing when the interpreter is not
// built in or the program failed.
std::optional<double> editWithDuktape(const std::vector<measurement::APMPEvent>& events, EditingTally& tally);
std::optional<double> editWithLua(const std::vector<measurement::APMPEvent>& events, EditingTally& tally);

}  // namespace bench
