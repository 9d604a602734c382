# Benchmarks of the calculation engine.
velmora_program(bench_engine_calculate
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_engine_calculate.cpp
  DEPS velmora_engine)
