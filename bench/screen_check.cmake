# The runner's screen check on the application's pages: what measuring the
# ink of texts costs it, kept and set afresh.
velmora_program(bench_screen_check
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_screen_check.cpp
  DEPS velmora_runner platform_render)
