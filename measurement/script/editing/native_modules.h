#pragma once

// The modules through which programs reach the engine: registering
// callbacks, creating events, reading the configuration's settings and the
// application's metadata. Each is a native function made afresh for each
// runtime by its module creator.

#include <functional>
#include <optional>
#include <string>

#include "measurement/script/editing/callback_handler.h"
#include "measurement/script/editing/event_context.h"
#include "measurement/script/object_values.h"
#include "platform/foundation/value.h"

namespace measurement {

// "internal.registerCallback": registerCallback(anything, callback, rule)
// registers the callback with the rule's "type" ("edit" or "create") and
// its "priority" (1000 when absent).
class APMPRegisterCallbackNativeFunctionValue final : public APMPNativeFunctionValue {
public:
    static constexpr std::int64_t kDefaultPriority = 1000;

    explicit APMPRegisterCallbackNativeFunctionValue(Ref<APMPEditingCallbackHandler> callbackHandler)
        : APMPNativeFunctionValue(u"internal.registerCallback"), _callbackHandler(std::move(callbackHandler)) {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

private:
    Ref<APMPEditingCallbackHandler> _callbackHandler;
};

// "internal.eventLogger": eventLogger(name, timestamp, parameters) creates
// an event with the whole seconds of the timestamp and the parameters of
// the map that have a plain object.
class APMPEventLogger final : public APMPNativeFunctionValue {
public:
    explicit APMPEventLogger(Ref<APMPEventContext> eventContext)
        : APMPNativeFunctionValue(u"internal.eventLogger"), _eventContext(std::move(eventContext)) {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

private:
    Ref<APMPEventContext> _eventContext;
};

// The text of a setting; none when there is no setting with a text form.
using APMPKeyValueLookup = std::function<std::optional<std::string>(const std::string& key)>;

// getValue(key, default): the text stored under the key, else the default
// as it was given.
class APMPKeyValueStoreGetValue final : public APMPNativeFunctionValue {
public:
    explicit APMPKeyValueStoreGetValue(APMPKeyValueLookup getValueBlock)
        : APMPNativeFunctionValue(u"getValue"), _getValueBlock(std::move(getValueBlock)) {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

private:
    APMPKeyValueLookup _getValueBlock;
};

// A module of settings ("internal.remoteConfig"): its property "getValue"
// reads them; calling the module itself only evaluates its arguments.
class APMPKeyValueStore final : public APMPNativeFunctionValue {
public:
    APMPKeyValueStore(std::u16string name, APMPKeyValueLookup getValueBlock);
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;
};

// A module that yields a new map of a host object on every call
// ("internal.appMetadata"); its arguments are not evaluated.
class APMPObjectProvider final : public APMPNativeFunctionValue {
public:
    using Block = std::function<platform::Value()>;
    APMPObjectProvider(std::u16string name, Block objectProviderBlock)
        : APMPNativeFunctionValue(std::move(name)), _objectProviderBlock(std::move(objectProviderBlock)) {}
    APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope, ScriptError& error) override;

private:
    Block _objectProviderBlock;
};

}  // namespace measurement
