// Registering callbacks by priority and running them over an event.
#include "measurement/script/editing/callback_handler.h"

#include <utility>

#include "measurement/script/editing/editing_error.h"
#include "measurement/script/editing/event_native_functions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"

namespace measurement {

namespace {

using Snapshot = std::vector<Ref<APMPFunctionValue>>;

// The callbacks in ascending priority, as they stand now: a callback that
// registers another changes the maps, not the run under way.
template <class Map>
Snapshot snapshotOf(const Map& callbacks) {
    Snapshot snapshot;
    snapshot.reserve(callbacks.size());
    for (const auto& [priority, callback] : callbacks) snapshot.push_back(callback);
    return snapshot;
}

// The result code that undoes an edit callback's changes, beside -1.
constexpr std::int32_t kUndoCode = 2;

}  // namespace

bool APMPEditingCallbackHandler::registerWithPriority(std::int64_t priority, Ref<APMPFunctionValue> callback,
                                                      std::u16string_view ruleType, ScriptError& error) {
    if (callbackCount() >= kMaxCallbacks) {
        error.failIn(kAPMPEditingErrorDomain, kAPMPEditingErrorTooManyCallbacks);
        return false;
    }
    if (ruleType == u"create") {
        addCallback(std::move(callback), createCallbackMap_, priority);
    } else if (ruleType == u"edit") {
        addCallback(std::move(callback), editCallbackMap_, priority);
    } else {
        error.failIn(kAPMPEditingErrorDomain, kAPMPEditingErrorUnknownRuleType);
        return false;
    }
    return true;
}

void APMPEditingCallbackHandler::addCallback(Ref<APMPFunctionValue> callback, CallbackMap& dictionary,
                                             std::int64_t priority) {
    if (dictionary.count(priority) > 0) priority = dictionary.rbegin()->first + 1;
    dictionary.emplace(priority, std::move(callback));
}

std::vector<std::int64_t> APMPEditingCallbackHandler::prioritiesOf(const CallbackMap& callbacks) {
    std::vector<std::int64_t> priorities;
    priorities.reserve(callbacks.size());
    for (const auto& entry : callbacks) priorities.push_back(entry.first);
    return priorities;
}

bool APMPEditingCallbackHandler::triggerCallbacksWithScope(APMPScope& scope, APMPEventContext& context,
                                                           ScriptError& error) {
    const Snapshot edits = snapshotOf(editCallbackMap_);
    const Snapshot creates = snapshotOf(createCallbackMap_);
    // Tracked, so that a cycle a program builds through it is collected.
    Ref<APMPEventNativeFunctions> handler = makeRef<APMPEventNativeFunctions>(Ref<APMPEventContext>(&context));
    if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(handler.get());
    const APMPValueRef eventHandler(handler);
    for (const auto& callback : edits) {
        auto before = context.undoPoint();
        const std::int32_t code = invokeCallbackWithScope(scope, *callback, eventHandler, error);
        if (error) {
            context.undoTo(std::move(before));
            return false;
        }
        if (code == kUndoCode || code == -1) context.undoTo(std::move(before));
    }
    for (const auto& callback : creates) {
        invokeCallbackWithScope(scope, *callback, eventHandler, error);
        if (error) return false;
    }
    return true;
}

std::int32_t APMPEditingCallbackHandler::invokeCallbackWithScope(APMPScope& scope, APMPFunctionValue& function,
                                                                 const APMPValueRef& eventHandler,
                                                                 ScriptError& error) {
    APMPArgumentList arguments;
    arguments.list().push_back(eventHandler);
    const APMPValueRef result = function.invokeWithArguments(arguments.list(), scope, error);
    if (error) return kUndoCode;
    if (!result->isNumber()) return -1;
    return APMPToInt32(result->doubleValueOrError(error));
}

bool APMPEditingCallbackHandler::markSelf(std::uint64_t collection) {
    if (marked_ == collection) return false;
    marked_ = collection;
    return true;
}

void APMPEditingCallbackHandler::markChildren(std::vector<APMPMarkable*>& work) {
    for (const auto& entry : editCallbackMap_) work.push_back(entry.second.get());
    for (const auto& entry : createCallbackMap_) work.push_back(entry.second.get());
}

}  // namespace measurement
