// Loading a program into the event-editing host and running its callbacks
// over events.
#include "measurement/script/editing/event_editing.h"

#include "measurement/script/editing/editing_error.h"
#include "measurement/script/editing/event_rules.h"
#include "measurement/script/editing/native_modules.h"
#include "measurement/script/script_string.h"

namespace measurement {

APMPEventEditing::APMPEventEditing() : APMPEventEditing(std::make_unique<APMPRuntime>()) {}

APMPEventEditing::APMPEventEditing(std::unique_ptr<APMPRuntime> runtime)
    : _eventContext(makeRef<APMPEventContext>()),
      _callbackHandler(makeRef<APMPEditingCallbackHandler>()),
      _runtime(std::move(runtime)) {
    _runtime->addGarbageCollectionRoot(_callbackHandler.get());
    // The creators hold what their modules work on; the runtime's end
    // breaks the cycle through the callbacks' scopes.
    setModuleCreator(
        [handler = _callbackHandler] {
            return APMPValueRef(makeRef<APMPRegisterCallbackNativeFunctionValue>(handler));
        },
        "internal.registerCallback");
    setModuleCreator([context = _eventContext] { return APMPValueRef(makeRef<APMPEventLogger>(context)); },
                     "internal.eventLogger");
}

APMPEventEditing::~APMPEventEditing() = default;

void APMPEventEditing::setModuleCreator(APMPModuleCreator creator, const std::string& name) {
    _runtime->setModuleCreator(std::move(creator), name);
}

bool APMPEventEditing::loadProgram(const APMPBProgram& program, ScriptError& error) {
    const nano_APMPBProgram* message = program.message();
    if (!message) return true;
    APMPValueRef result = _runtime->executeStatements(message->statements, message->statements_count, error);
    if (error) return false;
    if (result->isControl()) {
        error.failIn(kAPMPEditingErrorDomain, kAPMPEditingErrorControlValueAtTopLevel);
        return false;
    }
    if (const auto* activities = message->activities) {
        for (pb_size_t i = 0; i < activities->activity_count; ++i) {
            if (!loadActivityData(activities->activity[i], error)) return false;
        }
    }
    _runtime->collectGarbage();
    return true;
}

bool APMPEventEditing::loadActivityData(const nano_APMPBOgtActivity& activity, ScriptError& error) {
    const std::u16string name = utf16FromUTF8(activity.name ? activity.name : "");
    for (pb_size_t i = 0; i < activity.rules_count; ++i) {
        APMPValueRef rule = _runtime->executeStatements(&activity.rules[i], 1, error);
        if (error) return false;
        if (!rule->isMap()) {
            error.failIn(kAPMPEditingErrorDomain, kAPMPEditingErrorRuleNotAMap);
            return false;
        }
        if (!registerRuleWithName(name, rule, error)) return false;
    }
    return true;
}

bool APMPEventEditing::registerRuleWithName(const std::u16string& name, const APMPValueRef& rule,
                                            ScriptError& error) {
    Ref<APMPScope> scope = _runtime->getRunScope();
    APMPValueRef function = scope->valueForName(name);
    if (!function->isFunction()) {
        error.failIn(kAPMPEditingErrorDomain, kAPMPEditingErrorActivityNotAFunction);
        return false;
    }
    static_cast<APMPFunctionValue*>(function.get())->invokeWithArguments(APMPValueList{rule}, *scope, error);
    return !error;
}

bool APMPEventEditing::handleEvent(const APMPEvent& event, ScriptError& error) {
    _eventContext->setInputEvent(event);
    _runtime->resetInstructionCount();
    Ref<APMPScope> scope = _runtime->getRunScope();
    const bool ran = _callbackHandler->triggerCallbacksWithScope(*scope, *_eventContext, error);
    // What only this event's scope reached goes now, failed or not.
    scope.reset();
    _runtime->collectGarbage();
    if (!ran) return false;
    return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
    return !APMPEventIsEqualToEvent(_eventContext->outputEvent(), _eventContext->inputEvent());
}

}  // namespace measurement
