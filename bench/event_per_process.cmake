# One event per process: the velmora command against the sqlite3 command,
# each a process of its own.
velmora_program(bench_event_per_process
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_event_per_process.cpp)
target_compile_definitions(bench_event_per_process PRIVATE VELMORA_TOOL_PATH="$<TARGET_FILE:velmora>")
add_dependencies(bench_event_per_process velmora)
