# Events per second through the public interface until stored, against raw
# SQLite in the same run; the engine's start on a large database; and the
# memory the engine holds meanwhile.
velmora_program(bench_core_events
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_core_events.cpp
  DEPS measurement_core measurement_test_hooks PkgConfig::SQLITE3)
