#pragma once

// The callbacks a program registered for editing and creating events, run
// in priority order for every event. A collection root of the runtime: the
// callbacks and their defining scopes live as long as the host.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "measurement/script/editing/event_context.h"
#include "measurement/script/object_values.h"
#include "measurement/script/scope.h"

namespace measurement {

class APMPEditingCallbackHandler final : public APMPMarkable {
public:
    // Edit and create callbacks together.
    static constexpr std::size_t kMaxCallbacks = 1000;

    // Stores the callback under the priority in the edit ("edit") or create
    // ("create") callbacks; a priority already taken there gives way to
    // the largest one plus 1, so that equal priorities run in registration
    // order. Editing errors 3 (another type) and 4 (1000 registered).
    bool registerWithPriority(std::int64_t priority, Ref<APMPFunctionValue> callback, std::u16string_view ruleType,
                              ScriptError& error);

    // Runs the callbacks for the context's event with one event handler:
    // edit callbacks in ascending priority, each undone when it returns 2
    // or no number, the first failing one undone and ending the run; then
    // create callbacks, whose results do not count. The callbacks that run
    // are those registered when the event began.
    bool triggerCallbacksWithScope(APMPScope& scope, APMPEventContext& context, ScriptError& error);

    // Calls the callback with the event handler: 2 when the call failed,
    // the 32-bit form of a number result, -1 for anything else.
    static std::int32_t invokeCallbackWithScope(APMPScope& scope, APMPFunctionValue& function,
                                                const APMPValueRef& eventHandler, ScriptError& error);

    std::vector<std::int64_t> sortedEditPriorities() const { return prioritiesOf(editCallbackMap_); }
    std::vector<std::int64_t> sortedCreatePriorities() const { return prioritiesOf(createCallbackMap_); }
    std::size_t callbackCount() const { return editCallbackMap_.size() + createCallbackMap_.size(); }

protected:
    bool markSelf(std::uint64_t collection) override;
    // Edit callbacks first, then create callbacks.
    void markChildren(std::vector<APMPMarkable*>& work) override;

private:
    // Priorities are 32-bit when given; the "largest plus 1" of a taken
    // priority is counted in 64 bits so that it cannot overflow.
    using CallbackMap = std::map<std::int64_t, Ref<APMPFunctionValue>>;
    static void addCallback(Ref<APMPFunctionValue> callback, CallbackMap& dictionary, std::int64_t priority);
    static std::vector<std::int64_t> prioritiesOf(const CallbackMap& callbacks);

    CallbackMap editCallbackMap_;
    CallbackMap createCallbackMap_;
    std::uint64_t marked_ = 0;
};

}  // namespace measurement
