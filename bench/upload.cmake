# bench_bundling: bundles per second and bytes per event over stored events
# of the application's own shapes.
velmora_program(bench_bundling
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_bundling.cpp
  DEPS measurement_upload)
