# bench_collector_connections: how long the local collector takes to answer
# while thousands of connections sit idle or send their heads a byte at a
# time.
velmora_program(bench_collector_connections
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_collector_connections.cpp
  DEPS velmora_collector)
