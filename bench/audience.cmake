# bench_audiences: bundling time over the same stored events with 0, 10 and
# 100 audience definitions, as ratios within one run.
velmora_program(bench_audiences
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_audiences.cpp
  DEPS measurement_core measurement_upload measurement_audience)
