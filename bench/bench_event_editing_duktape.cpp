// The event-editing program on duktape: an event handler object whose
// native functions read and write the event being handled, and a native
// logEvent for created events.
#include <duktape.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "bench_event_editing_peers.h"
#include "measurement/foundation/parameter_value.h"

namespace bench {

namespace {

using measurement::APMPEventContext;
using platform::Value;

// The event being handled; one run at a time.
APMPEventContext* current = nullptr;

const char* const kProgram = R"js(
function edit(e) {
  e.setParamValue("renamed", e.getParamValue("p0"));
  e.setParamValue("p0", null);
  e.setParamValue("p1", null);
  e.setParamValue("added_text", "x");
  e.setParamValue("added_number", 42);
  return 0;
}
function make(e) {
  if (e.getEventName() === "event_0") {
    logEvent("event_0_copy", e.getTimestamp(), {source: e.getParamValue("p2")});
  }
}
)js";

void pushValue(duk_context* context, const Value* value) {
    if (!value) {
        duk_push_null(context);
    } else if (value->isString()) {
        duk_push_lstring(context, value->asString().data(), value->asString().size());
    } else if (value->isNumber()) {
        duk_push_number(context, value->realValue());
    } else {
        duk_push_null(context);
    }
}

// The plain object of a script value; none for null and undefined.
std::optional<Value> valueAt(duk_context* context, duk_idx_t index) {
    if (duk_is_null_or_undefined(context, index)) return std::nullopt;
    if (duk_is_number(context, index)) return Value(duk_get_number(context, index));
    if (duk_is_boolean(context, index)) return Value(duk_get_boolean(context, index) ? 1.0 : 0.0);
    duk_size_t length = 0;
    const char* text = duk_to_lstring(context, index, &length);
    return Value(std::string(text, length));
}

std::string textAt(duk_context* context, duk_idx_t index) {
    duk_size_t length = 0;
    const char* text = duk_to_lstring(context, index, &length);
    return std::string(text, length);
}

duk_ret_t getEventName(duk_context* context) {
    const auto& name = current->outputEvent().name();
    duk_push_lstring(context, name.data(), name.size());
    return 1;
}

duk_ret_t getParamValue(duk_context* context) {
    pushValue(context, current->outputEvent().parameterForName(textAt(context, 0)));
    return 1;
}

duk_ret_t getTimestamp(duk_context* context) {
    duk_push_number(context, current->outputEvent().timestamp());
    return 1;
}

duk_ret_t setEventName(duk_context* context) {
    current->editOutputEvent().setName(textAt(context, 0));
    duk_dup(context, 0);
    return 1;
}

duk_ret_t setParamValue(duk_context* context) {
    measurement::APMPEventSetParameter(current->editOutputEvent(), textAt(context, 0), valueAt(context, 1));
    duk_dup(context, 1);
    return 1;
}

duk_ret_t logEvent(duk_context* context) {
    const std::string name = textAt(context, 0);
    const double seconds = std::trunc(duk_to_number(context, 1));
    Value::Dictionary parameters;
    duk_enum(context, 2, DUK_ENUM_OWN_PROPERTIES_ONLY);
    while (duk_next(context, -1, 1)) {
        if (auto value = valueAt(context, -1)) parameters[textAt(context, -2)] = std::move(*value);
        duk_pop_2(context);
    }
    duk_pop(context);
    current->logEventWithName(name, seconds, parameters);
    return 0;
}

const duk_function_list_entry kHandler[] = {
    {"getEventName", getEventName, 0}, {"getParamValue", getParamValue, 1}, {"getTimestamp", getTimestamp, 0},
    {"setEventName", setEventName, 1}, {"setParamValue", setParamValue, 2}, {nullptr, nullptr, 0},
};

// Calls the global function with the handler: the result code (2 for a
// failed call, the 32-bit form of a number, -1 for anything else).
int call(duk_context* context, const char* function, duk_idx_t handler) {
    duk_get_global_string(context, function);
    duk_dup(context, handler);
    int code = 2;
    if (duk_pcall(context, 1) == DUK_EXEC_SUCCESS) {
        code = duk_is_number(context, -1) ? static_cast<int>(duk_to_int32(context, -1)) : -1;
    } else {
        std::fprintf(stderr, "duktape: %s\n", duk_safe_to_string(context, -1));
    }
    duk_pop(context);
    return code;
}

}  // namespace

std::optional<double> editWithDuktape(const std::vector<measurement::APMPEvent>& events, EditingTally& tally) {
    duk_context* context = duk_create_heap_default();
    if (!context) return std::nullopt;
    duk_push_c_function(context, logEvent, 3);
    duk_put_global_string(context, "logEvent");
    if (duk_peval_string(context, kProgram) != 0) {
        std::fprintf(stderr, "duktape: %s\n", duk_safe_to_string(context, -1));
        duk_destroy_heap(context);
        return std::nullopt;
    }
    duk_pop(context);
    duk_push_object(context);
    duk_put_function_list(context, -1, kHandler);
    const duk_idx_t handler = duk_get_top_index(context);
    auto eventContext = measurement::makeRef<APMPEventContext>();
    current = eventContext.get();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& event : events) {
        eventContext->setInputEvent(event);
        auto before = eventContext->undoPoint();
        const int code = call(context, "edit", handler);
        if (code == 2 || code == -1) eventContext->undoTo(std::move(before));
        call(context, "make", handler);
        tally.add(resultOf(*eventContext), event);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    current = nullptr;
    duk_destroy_heap(context);
    return elapsed.count();
}

}  // namespace bench
