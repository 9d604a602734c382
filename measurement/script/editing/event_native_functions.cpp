// The methods of the event handler that callbacks receive.
#include "measurement/script/editing/event_native_functions.h"

#include <string_view>

#include "measurement/script/editing/event_rules.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/runtime_helpers.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

using Handler = APMPValueRef (*)(const APMPValueList& arguments, APMPScope& scope, APMPEventContext& context,
                                 ScriptError& error);

// The UTF-8 text of a value's string form, read in place for a string.
std::string textOf(const APMPValueRef& value, ScriptError& error) {
    if (value->isString()) return utf8FromUTF16(valueAs<APMPStringValue>(value).value());
    return utf8FromUTF16(value->stringValueOrError(error));
}

// The parameter's value for the program; null when it is absent.
APMPValueRef parameterValue(const APMPEvent& event, const std::string& name, APMPScope& scope, ScriptError& error) {
    const platform::Value* parameter = event.parameterForName(name);
    if (!parameter) return APMPNull();
    return APMPRuntimeEntityConverter::runtimeValueFromNSObject(*parameter, scope, error);
}

APMPValueRef getEventName(const APMPValueList&, APMPScope&, APMPEventContext& context, ScriptError&) {
    return APMPStringValue::fromUTF8(context.outputEvent().name());
}

APMPValueRef getParamValue(const APMPValueList& arguments, APMPScope& scope, APMPEventContext& context,
                           ScriptError& error) {
    const auto name = textOf(arguments[0], error);
    if (error) return APMPUndefined();
    APMPValueRef value = parameterValue(context.outputEvent(), name, scope, error);
    return error ? APMPUndefined() : value;
}

APMPValueRef getParams(const APMPValueList&, APMPScope& scope, APMPEventContext& context, ScriptError& error) {
    auto map = APMPObjectManager::mapValueWithScope(scope);
    for (const auto& [name, parameter] : context.outputEvent().parameters()) {
        APMPValueRef value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(parameter, scope, error);
        if (error) return APMPUndefined();
        map->setValue(std::move(value), utf16FromUTF8(name));
    }
    return map;
}

APMPValueRef getTimestamp(const APMPValueList&, APMPScope&, APMPEventContext& context, ScriptError&) {
    return APMPNumber(context.outputEvent().timestamp());
}

APMPValueRef setEventName(const APMPValueList& arguments, APMPScope&, APMPEventContext& context,
                          ScriptError& error) {
    if (arguments[0]->isNullOrUndefined()) {
        error.fail(kAPMPErrorArgumentKind);
        return APMPUndefined();
    }
    const auto name = arguments[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    context.editOutputEvent().setName(utf8FromUTF16(name));
    return APMPString(name);
}

APMPValueRef setParamValue(const APMPValueList& arguments, APMPScope&, APMPEventContext& context,
                           ScriptError& error) {
    const auto name = textOf(arguments[0], error);
    if (error) return APMPUndefined();
    auto object = APMPRuntimeEntityConverter::objectFromRuntimeValue(arguments[1], error);
    if (error) return APMPUndefined();
    APMPEventSetParameter(context.editOutputEvent(), name, std::move(object));
    return arguments[1];
}

struct Method {
    std::u16string_view name;
    std::size_t argumentCount;
    Handler handler;
};

constexpr Method kMethods[] = {
    {u"getEventName", 0, getEventName}, {u"getParamValue", 1, getParamValue},
    {u"getParams", 0, getParams},       {u"getTimestamp", 0, getTimestamp},
    {u"setEventName", 1, setEventName}, {u"setParamValue", 2, setParamValue},
};

const Method* methodNamed(const std::u16string& name) {
    for (const auto& method : kMethods) {
        if (method.name == name) return &method;
    }
    return nullptr;
}

}  // namespace

APMPValueRef APMPEventNativeFunctions::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                                     APMPScope& scope, ScriptError& error) {
    const Method* method = methodNamed(name);
    if (!method) return APMPMapValue::applyWithName(name, arguments, scope, error);
    if (!APMPCheckArgumentCount(arguments, method->argumentCount, error)) return APMPUndefined();
    APMPArgumentList values;
    APMPEvaluateArgumentsInto(arguments, scope, error, values.list());
    if (error) return APMPUndefined();
    return method->handler(values.list(), scope, *_eventContext, error);
}

}  // namespace measurement
