extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <chrono>
#include <cstdio>

#include "bench_script_baselines.h"

namespace bench {

std::optional<double> runLua(const std::string& source) {
    lua_State* state = luaL_newstate();
    if (!state) return std::nullopt;
    luaL_openlibs(state);
    const auto start = std::chrono::steady_clock::now();
    const bool failed = luaL_dostring(state, source.c_str()) != LUA_OK;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (failed) std::fprintf(stderr, "lua: %s\n", lua_tostring(state, -1));
    lua_close(state);
    if (failed) return std::nullopt;
    return elapsed.count();
}

}  // namespace bench
