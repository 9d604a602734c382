# bench_database_open: what opening a large measurement database costs, its
# check of the small tables among it, against a bare open and a whole check.
velmora_program(bench_database_open
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_database_open.cpp
  DEPS measurement_upload PkgConfig::SQLITE3)
