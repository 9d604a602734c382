// The event-editing program on Lua 5.4: an event handler table whose C
// functions read and write the event being handled (called with the colon
// syntax), and a C logEvent for created events.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>

#include "bench_event_editing_peers.h"

namespace bench {

namespace {

using measurement::APMPEventContext;
using platform::Value;

// The event being handled; one run at a time.
APMPEventContext* current = nullptr;

const char* const kProgram = R"lua(
function edit(e)
  e:setParamValue("renamed", e:getParamValue("p0"))
  e:setParamValue("p0", nil)
  e:setParamValue("p1", nil)
  e:setParamValue("added_text", "x")
  e:setParamValue("added_number", 42)
  return 0
end
function make(e)
  if e:getEventName() == "event_0" then
    logEvent("event_0_copy", e:getTimestamp(), {source = e:getParamValue("p2")})
  end
end
)lua";

void pushValue(lua_State* state, const Value* value) {
    if (value && value->isString()) {
        lua_pushlstring(state, value->asString().data(), value->asString().size());
    } else if (value && value->isNumber()) {
        lua_pushnumber(state, value->realValue());
    } else {
        lua_pushnil(state);
    }
}

std::optional<Value> valueAt(lua_State* state, int index) {
    switch (lua_type(state, index)) {
        case LUA_TNIL: return std::nullopt;
        case LUA_TNUMBER: return Value(static_cast<double>(lua_tonumber(state, index)));
        case LUA_TBOOLEAN: return Value(lua_toboolean(state, index) ? 1.0 : 0.0);
        default: break;
    }
    std::size_t length = 0;
    const char* text = luaL_tolstring(state, index, &length);
    Value value(std::string(text, length));
    lua_pop(state, 1);
    return value;
}

std::string textAt(lua_State* state, int index) {
    std::size_t length = 0;
    const char* text = luaL_tolstring(state, index, &length);
    std::string copy(text, length);
    lua_pop(state, 1);
    return copy;
}

int getEventName(lua_State* state) {
    const auto& name = current->outputEvent().name();
    lua_pushlstring(state, name.data(), name.size());
    return 1;
}

int getParamValue(lua_State* state) {
    pushValue(state, current->outputEvent().parameterForName(textAt(state, 2)));
    return 1;
}

int getTimestamp(lua_State* state) {
    lua_pushnumber(state, current->outputEvent().timestamp());
    return 1;
}

int setEventName(lua_State* state) {
    current->editOutputEvent().setName(textAt(state, 2));
    lua_pushvalue(state, 2);
    return 1;
}

int setParamValue(lua_State* state) {
    measurement::APMPEventSetParameter(current->editOutputEvent(), textAt(state, 2), valueAt(state, 3));
    lua_pushvalue(state, 3);
    return 1;
}

int logEvent(lua_State* state) {
    const std::string name = textAt(state, 1);
    const double seconds = std::trunc(static_cast<double>(lua_tonumber(state, 2)));
    Value::Dictionary parameters;
    lua_pushnil(state);
    while (lua_next(state, 3) != 0) {
        if (auto value = valueAt(state, -1)) parameters[textAt(state, -2)] = std::move(*value);
        lua_pop(state, 1);
    }
    current->logEventWithName(name, seconds, parameters);
    return 0;
}

const luaL_Reg kHandler[] = {
    {"getEventName", getEventName}, {"getParamValue", getParamValue}, {"getTimestamp", getTimestamp},
    {"setEventName", setEventName}, {"setParamValue", setParamValue}, {nullptr, nullptr},
};

// The result code of the global function called with the handler.
int call(lua_State* state, const char* function, int handler) {
    lua_getglobal(state, function);
    lua_rawgeti(state, LUA_REGISTRYINDEX, handler);
    int code = 2;
    if (lua_pcall(state, 1, 1, 0) == LUA_OK) {
        code = lua_type(state, -1) == LUA_TNUMBER ? static_cast<int>(lua_tonumber(state, -1)) : -1;
    } else {
        std::fprintf(stderr, "lua: %s\n", lua_tostring(state, -1));
    }
    lua_pop(state, 1);
    return code;
}

}  // namespace

std::optional<double> editWithLua(const std::vector<measurement::APMPEvent>& events, EditingTally& tally) {
    lua_State* state = luaL_newstate();
    if (!state) return std::nullopt;
    luaL_openlibs(state);
    lua_register(state, "logEvent", logEvent);
    if (luaL_dostring(state, kProgram) != LUA_OK) {
        std::fprintf(stderr, "lua: %s\n", lua_tostring(state, -1));
        lua_close(state);
        return std::nullopt;
    }
    luaL_newlib(state, kHandler);
    const int handler = luaL_ref(state, LUA_REGISTRYINDEX);
    auto eventContext = measurement::makeRef<APMPEventContext>();
    current = eventContext.get();
    const auto start = std::chrono::steady_clock::now();
    for (const auto& event : events) {
        eventContext->setInputEvent(event);
        auto before = eventContext->undoPoint();
        const int code = call(state, "edit", handler);
        if (code == 2 || code == -1) eventContext->undoTo(std::move(before));
        call(state, "make", handler);
        tally.add(resultOf(*eventContext), event);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    current = nullptr;
    lua_close(state);
    return elapsed.count();
}

}  // namespace bench
