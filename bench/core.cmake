# Events per second through the public interface until stored, and the
# memory the engine holds meanwhile.
velmora_program(bench_core_events
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_core_events.cpp
  DEPS measurement_core)
