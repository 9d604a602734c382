# A long history in the preferences: launch, one calculation and a relaunch
# of `velmora app` at several history sizes.
velmora_program(bench_history
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_history.cpp
  DEPS platform_foundation)
target_compile_definitions(bench_history PRIVATE VELMORA_TOOL_PATH="$<TARGET_FILE:velmora>")
add_dependencies(bench_history velmora)

# The binary property-list writer alone on the same histories: time and size,
# beside the size Python's plistlib writes.
velmora_program(bench_plist_writer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_plist_writer.cpp
  DEPS platform_foundation)

# One preferences write as a command makes it, beside the bare atomic
# rewrite of the same bytes.
velmora_program(bench_preferences_write
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_preferences_write.cpp
  DEPS platform_foundation)
