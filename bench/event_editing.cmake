# bench_event_editing: an event-editing program over 10,000 events through
# the engine's host, and the same program on duktape and Lua 5.4 behind
# hosts of the same shape. The two interpreters are optional: built in when
# scripts/bench-script-deps has installed them and skipped otherwise.
velmora_program(bench_event_editing
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_event_editing.cpp ${CMAKE_CURRENT_LIST_DIR}/bench_event_editing_absent.cpp
  DEPS measurement_script_editing measurement_script_text)
pkg_check_modules(BENCH_EDITING_DUKTAPE QUIET IMPORTED_TARGET duktape)
if(BENCH_EDITING_DUKTAPE_FOUND)
  target_sources(bench_event_editing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bench_event_editing_duktape.cpp)
  target_link_libraries(bench_event_editing PRIVATE PkgConfig::BENCH_EDITING_DUKTAPE)
  target_compile_definitions(bench_event_editing PRIVATE VELMORA_BENCH_DUKTAPE=1)
endif()
pkg_check_modules(BENCH_EDITING_LUA QUIET IMPORTED_TARGET lua5.4)
if(BENCH_EDITING_LUA_FOUND)
  target_sources(bench_event_editing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bench_event_editing_lua.cpp)
  target_link_libraries(bench_event_editing PRIVATE PkgConfig::BENCH_EDITING_LUA)
  target_compile_definitions(bench_event_editing PRIVATE VELMORA_BENCH_LUA=1)
endif()
