# bench_script: the measurement script runtime against duktape and Lua 5.4
# on the same programs. The two interpreters are optional: they are built in
# when scripts/bench-script-deps has installed them and skipped otherwise.
velmora_program(bench_script
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_script.cpp ${CMAKE_CURRENT_LIST_DIR}/bench_script_absent.cpp
  DEPS measurement_script_text)
pkg_check_modules(BENCH_DUKTAPE QUIET IMPORTED_TARGET duktape)
if(BENCH_DUKTAPE_FOUND)
  target_sources(bench_script PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bench_script_duktape.cpp)
  target_link_libraries(bench_script PRIVATE PkgConfig::BENCH_DUKTAPE)
  target_compile_definitions(bench_script PRIVATE VELMORA_BENCH_DUKTAPE=1)
endif()
pkg_check_modules(BENCH_LUA QUIET IMPORTED_TARGET lua5.4)
if(BENCH_LUA_FOUND)
  target_sources(bench_script PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bench_script_lua.cpp)
  target_link_libraries(bench_script PRIVATE PkgConfig::BENCH_LUA)
  target_compile_definitions(bench_script PRIVATE VELMORA_BENCH_LUA=1)
endif()
