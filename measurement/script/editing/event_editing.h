#pragma once

// The event-editing host: one runtime into which a configuration's program
// is loaded once, the callbacks that its activities register, and the run
// of those callbacks over every event the engine writes.

#include <memory>
#include <string>

#include "measurement/foundation/edit_event.h"
#include "measurement/foundation/messages.h"
#include "measurement/script/editing/callback_handler.h"
#include "measurement/script/editing/event_context.h"
#include "measurement/script/runtime.h"

namespace measurement {

class APMPEventEditing {
public:
    // With a new runtime.
    APMPEventEditing();
    // Registers "internal.registerCallback" and "internal.eventLogger" with
    // the runtime, over this host's callbacks and event.
    explicit APMPEventEditing(std::unique_ptr<APMPRuntime> runtime);
    ~APMPEventEditing();
    APMPEventEditing(const APMPEventEditing&) = delete;
    APMPEventEditing& operator=(const APMPEventEditing&) = delete;

    // A further module for require (the engine adds its own).
    void setModuleCreator(APMPModuleCreator creator, const std::string& name);

    // Runs the program's statements in the global scope, then registers the
    // rules of each activity, then collects garbage. Statements ending in a
    // control value fail with editing error 5. Callbacks registered before
    // a failure stay registered.
    bool loadProgram(const APMPBProgram& program, ScriptError& error);
    // Evaluates each rule of the activity and hands the map it gives to the
    // activity's function (editing errors 6 and 7).
    bool loadActivityData(const nano_APMPBOgtActivity& activity, ScriptError& error);
    bool registerRuleWithName(const std::u16string& name, const APMPValueRef& rule, ScriptError& error);

    // Runs the callbacks over the event with a fresh budget, then collects
    // garbage. True when the output differs from the event or events were
    // created; false when nothing changed or on an error.
    bool handleEvent(const APMPEvent& event, ScriptError& error);
    bool hasEdits() const;
    bool hasCreatedEvents() const { return !_eventContext->eventsToLog().empty(); }
    APMPEventContext& eventContext() { return *_eventContext; }

    APMPRuntime& runtime() { return *_runtime; }
    APMPEditingCallbackHandler& callbackHandler() { return *_callbackHandler; }

private:
    Ref<APMPEventContext> _eventContext;
    Ref<APMPEditingCallbackHandler> _callbackHandler;
    // Last, so that it goes first: its end releases what the program built.
    std::unique_ptr<APMPRuntime> _runtime;
};

}  // namespace measurement
